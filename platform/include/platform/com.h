// COM stand-ins: IUnknown, IClassFactory, CUnknown with non-delegating QueryInterface, and ComPtr.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include "platform/guid.h"
#include "platform/hresult.h"

#define STDMETHODCALLTYPE
#define STDMETHOD(method) virtual HRESULT method
#define STDMETHOD_(type, method) virtual type method
#define STDMETHODIMP HRESULT
#define STDMETHODIMP_(type) type
#define PURE = 0

constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;

struct IClassFactory : IUnknown {
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) = 0;
    virtual HRESULT LockServer(BOOL lock) = 0;

protected:
    ~IClassFactory() = default;
};

// The inner, non-delegating IUnknown of an aggregatable object.
struct INonDelegatingUnknown {
    virtual HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG NonDelegatingAddRef() = 0;
    virtual ULONG NonDelegatingRelease() = 0;

protected:
    ~INonDelegatingUnknown() = default;
};

namespace platform {
// Live COM objects in the process; a module can be unloaded only when none remain.
long LiveObjectCount();
void AdjustLiveObjectCount(long delta);
} // namespace platform

// Base of every object we hand out through an interface. It counts references, and when aggregated
// forwards the public IUnknown to its owner.
class CUnknown : public INonDelegatingUnknown {
public:
    CUnknown(const char* name, LPUNKNOWN outer, HRESULT* phr = nullptr);
    virtual ~CUnknown();
    CUnknown(const CUnknown&) = delete;
    CUnknown& operator=(const CUnknown&) = delete;

    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    ULONG NonDelegatingAddRef() override;
    ULONG NonDelegatingRelease() override;

    LPUNKNOWN GetOwner() const { return m_pUnknown; }
    const char* Name() const { return m_pName; }

protected:
    std::atomic<long> m_cRef{0};

private:
    const char* m_pName;
    LPUNKNOWN m_pUnknown; // outer unknown, or our own non-delegating one seen as IUnknown
    struct SelfUnknown final : IUnknown {
        CUnknown* owner;
        HRESULT QueryInterface(REFIID riid, void** ppv) override {
            return owner->NonDelegatingQueryInterface(riid, ppv);
        }
        ULONG AddRef() override { return owner->NonDelegatingAddRef(); }
        ULONG Release() override { return owner->NonDelegatingRelease(); }
    } m_self;
};

// Hands out an interface pointer with a reference added: the usual tail of NonDelegatingQueryInterface.
template <class I> HRESULT GetInterface(I* p, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = p;
    static_cast<IUnknown*>(p)->AddRef();
    return S_OK;
}

// Forwards a class's public IUnknown to its owner (the aggregator, or itself).
#define DECLARE_IUNKNOWN                                                                                     \
    HRESULT QueryInterface(REFIID riid, void** ppv) override {                                               \
        return GetOwner()->QueryInterface(riid, ppv);                                                        \
    }                                                                                                        \
    ULONG AddRef() override {                                                                                \
        return GetOwner()->AddRef();                                                                         \
    }                                                                                                        \
    ULONG Release() override {                                                                               \
        return GetOwner()->Release();                                                                        \
    }

// Owning interface pointer.
template <class T> class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    ComPtr(T* p) : m_p(p) {
        if (m_p)
            m_p->AddRef();
    }
    ComPtr(const ComPtr& o) : ComPtr(o.m_p) {}
    ComPtr(ComPtr&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    ~ComPtr() { Reset(); }
    ComPtr& operator=(const ComPtr& o) {
        if (this != std::addressof(o)) {
            ComPtr tmp(o);
            Swap(tmp);
        }
        return *this;
    }
    ComPtr& operator=(ComPtr&& o) noexcept {
        if (this != std::addressof(o)) {
            Reset();
            m_p = std::exchange(o.m_p, nullptr);
        }
        return *this;
    }
    ComPtr& operator=(T* p) {
        ComPtr tmp(p);
        Swap(tmp);
        return *this;
    }

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    T& operator*() const { return *m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    // Releases what is held and gives the address to fill, as out-parameters expect.
    T** operator&() {
        Reset();
        return &m_p;
    }
    T** GetAddressOf() { return &m_p; }
    void** ReleaseAndGetVoidAddress() {
        Reset();
        return reinterpret_cast<void**>(&m_p);
    }
    void Reset() {
        if (m_p) {
            T* p = std::exchange(m_p, nullptr);
            p->Release();
        }
    }
    void Attach(T* p) {
        Reset();
        m_p = p;
    }
    T* Detach() { return std::exchange(m_p, nullptr); }
    void Swap(ComPtr& o) noexcept { std::swap(m_p, o.m_p); }

    template <class U> HRESULT As(REFIID iid, ComPtr<U>& out) const {
        if (!m_p)
            return E_POINTER;
        return m_p->QueryInterface(iid, out.ReleaseAndGetVoidAddress());
    }

    friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.m_p == b.m_p; }
    friend bool operator==(const ComPtr& a, std::nullptr_t) { return a.m_p == nullptr; }

private:
    T* m_p = nullptr;
};
