#pragma once
// The reference count and QueryInterface of every simulated COM object. An
// object lists its interfaces as template arguments and answers, in Find, which
// of its interface pointers stands for an IID; it is counted among the live
// simulated objects from construction to destruction, and OnFinalRelease runs
// just before the last Release deletes it.
#include <windows.h>
#include <objbase.h>

namespace stisim::detail {

void ObjectCreated();
void ObjectDestroyed();

template <class... Interfaces>
class CSimComObject : public Interfaces... {
public:
    CSimComObject() { ObjectCreated(); }
    CSimComObject(const CSimComObject&) = delete;
    CSimComObject& operator=(const CSimComObject&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, LPVOID* ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = Find(riid);
        if (*ppv == nullptr)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG cRef = InterlockedDecrement(&m_cRef);
        if (cRef == 0) {
            OnFinalRelease();
            delete this;
        }
        return static_cast<ULONG>(cRef);
    }

protected:
    virtual ~CSimComObject() { ObjectDestroyed(); }
    // The interface pointer that answers riid, or null.
    virtual void* Find(REFIID riid) = 0;
    virtual void OnFinalRelease() {}

private:
    LONG m_cRef = 1;
};

} // namespace stisim::detail
