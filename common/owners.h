#pragma once
// Small move-only owners for every kind of handle the task obtains, so that each
// early return gives back what the operation holds. reset() keeps the thread's
// last error intact: a trace written after a cleanup still reports the failing
// call's code.
#include <windows.h>
#include <oaidl.h>
#include <propidl.h>
#include <unknwn.h>

#include <utility>

namespace bgt {

template <class T, T Invalid, class Closer>
class UniqueResource {
public:
    UniqueResource() = default;
    explicit UniqueResource(T value) : m_value(value) {}
    ~UniqueResource() { reset(); }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : m_value(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    T get() const { return m_value; }
    explicit operator bool() const { return m_value != Invalid; }
    bool valid() const { return m_value != Invalid; }

    void reset(T value = Invalid)
    {
        if (m_value != Invalid) {
            DWORD dwLastError = GetLastError();
            Closer{}(m_value);
            SetLastError(dwLastError);
        }
        m_value = value;
    }
    T release() { return std::exchange(m_value, Invalid); }
    // Gives the address to a call that fills it in; what was held is given back first.
    T* put()
    {
        reset();
        return &m_value;
    }

private:
    T m_value = Invalid;
};

struct CloseHandleFn {
    void operator()(HANDLE h) const { ::CloseHandle(h); }
};
struct RegCloseKeyFn {
    void operator()(HKEY h) const { ::RegCloseKey(h); }
};
struct FindCloseFn {
    void operator()(HANDLE h) const { ::FindClose(h); }
};
struct LocalFreeFn {
    void operator()(void* p) const { ::LocalFree(p); }
};
struct HeapFreeFn {
    void operator()(void* p) const { ::HeapFree(::GetProcessHeap(), 0, p); }
};
struct FreeLibraryFn {
    void operator()(HMODULE h) const { ::FreeLibrary(h); }
};
struct DeregisterEventSourceFn {
    void operator()(HANDLE h) const { ::DeregisterEventSource(h); }
};


// Kernel objects (threads, events, processes, tokens): empty when null.
using UniqueHandle = UniqueResource<HANDLE, nullptr, CloseHandleFn>;
using UniqueHKey = UniqueResource<HKEY, nullptr, RegCloseKeyFn>;
using UniqueLocalMem = UniqueResource<void*, nullptr, LocalFreeFn>;
using UniqueHeapMem = UniqueResource<void*, nullptr, HeapFreeFn>;
using UniqueModule = UniqueResource<HMODULE, nullptr, FreeLibraryFn>;
using UniqueEventSource = UniqueResource<HANDLE, nullptr, DeregisterEventSourceFn>;

// Files, folders and searches are empty when INVALID_HANDLE_VALUE, which is not a
// constant expression; they get an owner of their own.
template <class Closer>
class UniqueInvalidHandle {
public:
    UniqueInvalidHandle() = default;
    explicit UniqueInvalidHandle(HANDLE h) : m_h(h) {}
    ~UniqueInvalidHandle() { reset(); }
    UniqueInvalidHandle(const UniqueInvalidHandle&) = delete;
    UniqueInvalidHandle& operator=(const UniqueInvalidHandle&) = delete;
    UniqueInvalidHandle(UniqueInvalidHandle&& other) noexcept : m_h(other.release()) {}
    UniqueInvalidHandle& operator=(UniqueInvalidHandle&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    HANDLE get() const { return m_h; }
    bool valid() const { return m_h != INVALID_HANDLE_VALUE && m_h != nullptr; }
    explicit operator bool() const { return valid(); }
    void reset(HANDLE h = INVALID_HANDLE_VALUE)
    {
        if (valid()) {
            DWORD dwLastError = GetLastError();
            Closer{}(m_h);
            SetLastError(dwLastError);
        }
        m_h = h;
    }
    HANDLE release() { return std::exchange(m_h, INVALID_HANDLE_VALUE); }

private:
    HANDLE m_h = INVALID_HANDLE_VALUE;
};

using UniqueFileHandle = UniqueInvalidHandle<CloseHandleFn>;
using UniqueFindHandle = UniqueInvalidHandle<FindCloseFn>;

// COM interface pointer.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : m_p(other.detach()) {}
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        if (this != &other) {
            reset();
            m_p = other.detach();
        }
        return *this;
    }
    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    // Releases what was held and answers the release's count (0 when empty).
    ULONG reset()
    {
        ULONG ul = 0;
        if (m_p != nullptr)
            ul = std::exchange(m_p, nullptr)->Release();
        return ul;
    }
    T** put()
    {
        reset();
        return &m_p;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    T* detach() { return std::exchange(m_p, nullptr); }
    void attach(T* p)
    {
        reset();
        m_p = p;
    }

private:
    T* m_p = nullptr;
};

class UniqueBstr {
public:
    UniqueBstr() = default;
    explicit UniqueBstr(BSTR b) : m_b(b) {}
    ~UniqueBstr() { reset(); }
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;
    BSTR get() const { return m_b; }
    explicit operator bool() const { return m_b != nullptr; }
    void reset(BSTR b = nullptr)
    {
        if (m_b != nullptr)
            ::SysFreeString(m_b);
        m_b = b;
    }
    BSTR release() { return std::exchange(m_b, nullptr); }

private:
    BSTR m_b = nullptr;
};

// PROPVARIANT: zeroed on construction, cleared on destruction.
class UniquePropVariant {
public:
    UniquePropVariant() { PropVariantInit(&m_pv); }
    ~UniquePropVariant() { PropVariantClear(&m_pv); }
    UniquePropVariant(const UniquePropVariant&) = delete;
    UniquePropVariant& operator=(const UniquePropVariant&) = delete;
    PROPVARIANT* get() { return &m_pv; }
    PROPVARIANT* operator->() { return &m_pv; }

private:
    PROPVARIANT m_pv;
};

// Runs a cleanup once when the scope ends, unless dismissed.
template <class Fn>
class ScopeExit {
public:
    explicit ScopeExit(Fn fn) : m_fn(std::move(fn)) {}
    ~ScopeExit()
    {
        if (m_bArmed)
            m_fn();
    }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    void dismiss() { m_bArmed = false; }

private:
    Fn m_fn;
    bool m_bArmed = true;
};

} // namespace bgt
