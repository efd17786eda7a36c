#include "host/exports.h"

CompareTCHAR::CompareTCHAR() = default;
CompareTCHAR::CompareTCHAR(const CompareTCHAR&) = default;
CompareTCHAR::~CompareTCHAR() = default;
CompareTCHAR& CompareTCHAR::operator=(const CompareTCHAR&) = default;

bool CompareTCHAR::operator()(const wchar_t* pwszLeft, const wchar_t* pwszRight) const
{
    // Code units compared as unsigned 16-bit values, whatever the sign of wchar_t.
    for (;; ++pwszLeft, ++pwszRight) {
        auto uLeft = static_cast<unsigned short>(*pwszLeft);
        auto uRight = static_cast<unsigned short>(*pwszRight);
        if (uLeft != uRight)
            return uLeft < uRight;
        if (uLeft == 0)
            return false;
    }
}

template <class T>
CompareObj<T>& CompareObj<T>::operator=(const CompareObj&)
{
    return *this;
}

// The declaration in the header carries the export; MSVC wants it here as well.
#if defined(_MSC_VER)
template class BGTASK_EXPORT CompareObj<int>;
#else
template class CompareObj<int>;
#endif
