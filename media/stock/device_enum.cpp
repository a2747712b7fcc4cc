// The system device enumerator: lists the registered classes of a category (the video compressors) as
// monikers that bind to the object and to a property bag with its "FriendlyName" and "CLSID".
#include <cstring>
#include <new>
#include <vector>

#include "media/clsids.h"
#include "media/streams.h"
#include "platform/registry.h"
#include "stock.h"

namespace {

class CPropertyBag : public CUnknown, public IPropertyBag {
public:
    explicit CPropertyBag(const platform::ClassEntry& entry)
        : CUnknown("property bag", nullptr), m_entry(entry) {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IPropertyBag)
            return GetInterface(static_cast<IPropertyBag*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    HRESULT Read(const char* name, VARIANT* value, void*) override {
        if (!name || !value)
            return E_POINTER;
        if (std::strcmp(name, "FriendlyName") == 0) {
            value->vt = VT_BSTR;
            value->bstrVal = m_entry.name;
            return S_OK;
        }
        if (std::strcmp(name, "CLSID") == 0) {
            value->vt = VT_BSTR;
            value->bstrVal = platform::GuidToString(m_entry.clsid);
            return S_OK;
        }
        if (std::strcmp(name, "Merit") == 0) {
            value->vt = VT_I4;
            value->lVal = static_cast<LONG>(m_entry.merit);
            return S_OK;
        }
        return E_INVALIDARG;
    }
    HRESULT Write(const char*, VARIANT*) override { return E_NOTIMPL; }

private:
    platform::ClassEntry m_entry;
};

class CDeviceMoniker : public CUnknown, public IMoniker {
public:
    explicit CDeviceMoniker(const platform::ClassEntry& entry)
        : CUnknown("device moniker", nullptr), m_entry(entry) {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IMoniker)
            return GetInterface(static_cast<IMoniker*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    HRESULT BindToObject(void*, IMoniker*, REFIID riid, void** ppv) override {
        return CoCreateInstance(m_entry.clsid, nullptr, CLSCTX_INPROC_SERVER, riid, ppv);
    }
    HRESULT BindToStorage(void*, IMoniker*, REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        auto* bag = new (std::nothrow) CPropertyBag(m_entry);
        if (!bag)
            return E_OUTOFMEMORY;
        bag->NonDelegatingAddRef();
        HRESULT hr = bag->NonDelegatingQueryInterface(riid, ppv);
        bag->NonDelegatingRelease();
        return hr;
    }
    HRESULT GetDisplayName(void*, IMoniker*, char** name) override {
        if (!name)
            return E_POINTER;
        std::string text =
            "@device:sw:" + (m_entry.category ? platform::GuidToString(*m_entry.category) : "") + "\\" +
            platform::GuidToString(m_entry.clsid);
        *name = static_cast<char*>(CoTaskMemAlloc(text.size() + 1));
        if (!*name)
            return E_OUTOFMEMORY;
        std::memcpy(*name, text.c_str(), text.size() + 1);
        return S_OK;
    }

private:
    platform::ClassEntry m_entry;
};

class CEnumMoniker final : public IEnumMoniker {
public:
    explicit CEnumMoniker(std::vector<platform::ClassEntry> entries, ULONG pos = 0)
        : m_entries(std::move(entries)), m_pos(pos) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IEnumMoniker || riid == IID_IUnknown) {
            *ppv = static_cast<IEnumMoniker*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++m_ref); }
    ULONG Release() override {
        LONG n = --m_ref;
        if (n == 0)
            delete this;
        return static_cast<ULONG>(n);
    }
    HRESULT Next(ULONG count, IMoniker** out, ULONG* fetched) override {
        if (!out)
            return E_POINTER;
        ULONG got = 0;
        while (got < count && m_pos < m_entries.size()) {
            auto* m = new (std::nothrow) CDeviceMoniker(m_entries[m_pos]);
            if (!m)
                break;
            ++m_pos;
            m->NonDelegatingAddRef();
            out[got++] = m;
        }
        if (fetched)
            *fetched = got;
        return got == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        m_pos += count;
        return m_pos <= m_entries.size() ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        m_pos = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumMoniker** out) override {
        if (!out)
            return E_POINTER;
        *out = new (std::nothrow) CEnumMoniker(m_entries, m_pos);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

private:
    ~CEnumMoniker() = default;
    std::vector<platform::ClassEntry> m_entries;
    std::size_t m_pos;
    std::atomic<LONG> m_ref{1};
};

class CSystemDeviceEnum : public CUnknown, public ICreateDevEnum {
public:
    CSystemDeviceEnum(LPUNKNOWN outer, HRESULT* phr) : CUnknown("system device enumerator", outer, phr) {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_ICreateDevEnum)
            return GetInterface(static_cast<ICreateDevEnum*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    HRESULT CreateClassEnumerator(REFCLSID category, IEnumMoniker** out, DWORD) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        std::vector<platform::ClassEntry> entries = platform::EnumerateClasses(&category);
        if (entries.empty())
            return S_FALSE;
        *out = new (std::nothrow) CEnumMoniker(std::move(entries));
        return *out ? S_OK : E_OUTOFMEMORY;
    }
};

} // namespace

CUnknown* CreateDeviceEnumerator(LPUNKNOWN outer, HRESULT* phr) {
    return new (std::nothrow) CSystemDeviceEnum(outer, phr);
}
