#pragma once
// What the bounded string operations share: the writer that never passes its
// capacity and records whether it had to cut, the capacity check, and the
// bounded copy and length. Only common/bounded_*.cpp include it.
#include <cstddef>
#include <windows.h>

#include "common/bounded_string.h"
#include "common/status.h"

namespace bgt::bounded {

template <class Ch>
class BoundedWriter {
public:
    BoundedWriter(Ch* pszDest, size_t cchDest) : m_psz(pszDest), m_cch(cchDest) {}

    void Put(Ch ch)
    {
        if (m_len + 1 < m_cch)
            m_psz[m_len++] = ch;
        else
            m_bTruncated = true;
    }
    void Repeat(Ch ch, size_t n)
    {
        while (n-- > 0)
            Put(ch);
    }
    HRESULT Finish()
    {
        m_psz[m_len] = Ch(0);
        return m_bTruncated ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
    }
    size_t Length() const { return m_len; }

private:
    Ch* m_psz;
    size_t m_cch;
    size_t m_len = 0;
    bool m_bTruncated = false;
};

inline bool IsValidCapacity(size_t cch) { return cch >= 1 && cch <= kMaxCch; }

template <class Ch>
HRESULT CopyBounded(Ch* pszDest, size_t cchDest, const Ch* pszSrc, size_t cchToCopy)
{
    if (pszDest == nullptr || !IsValidCapacity(cchDest))
        return E_INVALIDARG;
    BoundedWriter<Ch> out(pszDest, cchDest);
    for (size_t i = 0; pszSrc != nullptr && i < cchToCopy && pszSrc[i] != Ch(0); ++i) {
        if (out.Length() + 1 >= cchDest) {
            out.Put(pszSrc[i]); // does not fit: records the truncation
            break;
        }
        out.Put(pszSrc[i]);
    }
    return out.Finish();
}

template <class Ch>
size_t BoundedLength(const Ch* psz, size_t cchMax)
{
    size_t n = 0;
    while (n < cchMax && psz[n] != Ch(0))
        ++n;
    return n;
}

} // namespace bgt::bounded
