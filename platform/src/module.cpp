#include "platform/module.h"

#include <new>

namespace platform {

namespace {

std::atomic<long> g_serverLocks{0};

class CClassFactory final : public IClassFactory {
public:
    explicit CClassFactory(const CFactoryTemplate* t) : m_template(t) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++m_ref); }
    ULONG Release() override {
        long n = --m_ref;
        if (n == 0)
            delete this;
        return static_cast<ULONG>(n);
    }

    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        // An aggregating caller may only ask for the inner IUnknown.
        if (outer && riid != IID_IUnknown)
            return E_NOINTERFACE;
        HRESULT hr = S_OK;
        CUnknown* obj = m_template->m_lpfnNew(outer, &hr);
        if (!obj)
            return FAILED(hr) ? hr : E_OUTOFMEMORY;
        if (FAILED(hr)) {
            obj->NonDelegatingAddRef();
            obj->NonDelegatingRelease();
            return hr;
        }
        // Hold a reference across the query so a failed query destroys the object.
        obj->NonDelegatingAddRef();
        hr = obj->NonDelegatingQueryInterface(riid, ppv);
        obj->NonDelegatingRelease();
        return hr;
    }
    HRESULT LockServer(BOOL lock) override {
        g_serverLocks += lock ? 1 : -1;
        return S_OK;
    }

private:
    ~CClassFactory() = default;
    const CFactoryTemplate* m_template;
    std::atomic<long> m_ref{1};
};

} // namespace

HRESULT ModuleGetClassObject(const CFactoryTemplate* templates, int count, REFCLSID clsid, REFIID riid,
                             void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory)
        return E_NOINTERFACE;
    for (int i = 0; i < count; ++i) {
        if (templates[i].m_ClsID && *templates[i].m_ClsID == clsid) {
            auto* f = new (std::nothrow) CClassFactory(&templates[i]);
            if (!f)
                return E_OUTOFMEMORY;
            *ppv = static_cast<IClassFactory*>(f);
            return S_OK;
        }
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT ModuleCanUnloadNow() {
    return (LiveObjectCount() == 0 && g_serverLocks == 0) ? S_OK : S_FALSE;
}

HRESULT ModuleRegister(const CFactoryTemplate* templates, int count, const void* addressInModule, bool add) {
    std::string path = ModulePathOf(addressInModule);
    if (path.empty())
        return E_FAIL;
    for (int i = 0; i < count; ++i) {
        const CFactoryTemplate& t = templates[i];
        HRESULT hr;
        if (add) {
            ClassEntry e;
            e.clsid = *t.m_ClsID;
            e.name = t.m_Name ? t.m_Name : "";
            e.module = path;
            e.merit = t.m_dwMerit;
            if (t.m_pCategory)
                e.category = *t.m_pCategory;
            e.pins = t.m_Pins;
            hr = RegisterClassEntry(e);
        } else {
            hr = UnregisterClassEntry(*t.m_ClsID);
        }
        if (FAILED(hr))
            return SELFREG_E_CLASS;
    }
    return S_OK;
}

} // namespace platform
