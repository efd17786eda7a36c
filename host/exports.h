#pragma once
// The comparators the executable exports for the maker's other components. Nothing
// in the task calls them.
#include <windows.h>

#if defined(BGTASK_EXPORTS)
#define BGTASK_EXPORT __declspec(dllexport)
#else
#define BGTASK_EXPORT
#endif

// Answers whether one UTF-16 string sorts before another, code unit by code unit
// (no locale, no case folding); a string sorts before every longer one it begins.
class BGTASK_EXPORT CompareTCHAR {
public:
    CompareTCHAR();
    CompareTCHAR(const CompareTCHAR& other);
    // Defined out of line, so that the export table carries it.
    ~CompareTCHAR(); // NOLINT(performance-trivially-destructible)
    CompareTCHAR& operator=(const CompareTCHAR& other);
    bool operator()(const wchar_t* pwszLeft, const wchar_t* pwszRight) const;
};

// A less-than comparator over values of T.
template <class T>
class CompareObj {
public:
    CompareObj& operator=(const CompareObj& other);
    bool operator()(const T& left, const T& right) const { return left < right; }
};

extern template class BGTASK_EXPORT CompareObj<int>;
