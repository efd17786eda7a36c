#pragma once
// A broken property stops the fuzzer at once with the line that failed; the
// input that caused it is then saved by libFuzzer as a crash file.
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(cond)                                                                        \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            std::fprintf(stderr, "property broken at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

// The input as a NUL-terminated text in a heap block of exactly its size, so
// that AddressSanitizer sees a read one byte past the terminator.
class ExactText {
public:
    ExactText(const uint8_t* pData, size_t cb) : m_p(new char[cb + 1])
    {
        for (size_t i = 0; i < cb; ++i)
            m_p[i] = static_cast<char>(pData[i]);
        m_p[cb] = '\0';
    }
    ~ExactText() { delete[] m_p; }
    ExactText(const ExactText&) = delete;
    ExactText& operator=(const ExactText&) = delete;
    const char* c_str() const { return m_p; }

private:
    char* m_p;
};
