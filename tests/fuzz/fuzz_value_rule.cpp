// The value rule against its plain statement, on any line of bytes.
#include <cstdint>
#include <cstring>

#include "delivery/template_bytes.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/template_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb)
{
    ExactText line(pData, cb);
    const char* pszLine = line.c_str();
    const char* pValue = nullptr;
    size_t cbValue = 0;
    bool bValue = GetQuotedValue(pszLine, &pValue, &cbValue);

    std::string expected;
    bool bExpected = model::QuotedValue(std::string(pszLine, cb), &expected);
    FUZZ_CHECK(bValue == bExpected);
    if (!bValue)
        return 0;
    // The value lies inside the line's C text, holds no quote, and is never empty.
    size_t cchLine = std::strlen(pszLine);
    FUZZ_CHECK(pValue > pszLine && pValue + cbValue <= pszLine + cchLine);
    FUZZ_CHECK(cbValue > 0);
    FUZZ_CHECK(std::memchr(pValue, '"', cbValue) == nullptr);
    FUZZ_CHECK(pValue[-1] == '"');
    FUZZ_CHECK(std::string(pValue, cbValue) == expected);
    // No state between calls: a second call on the same line answers the same.
    const char* pAgain = nullptr;
    size_t cbAgain = 0;
    FUZZ_CHECK(GetQuotedValue(pszLine, &pAgain, &cbAgain) && pAgain == pValue && cbAgain == cbValue);
    return 0;
}
