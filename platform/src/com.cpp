#include "platform/com.h"

namespace platform {
namespace {
std::atomic<long> g_liveObjects{0};
}
long LiveObjectCount() {
    return g_liveObjects.load();
}
void AdjustLiveObjectCount(long delta) {
    g_liveObjects += delta;
}
} // namespace platform

CUnknown::CUnknown(const char* name, LPUNKNOWN outer, HRESULT* /*phr*/) : m_pName(name) {
    m_self.owner = this;
    m_pUnknown = outer ? outer : static_cast<IUnknown*>(&m_self);
    platform::AdjustLiveObjectCount(1);
}

CUnknown::~CUnknown() {
    platform::AdjustLiveObjectCount(-1);
}

HRESULT CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown) {
        *ppv = static_cast<IUnknown*>(&m_self);
        NonDelegatingAddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CUnknown::NonDelegatingAddRef() {
    return static_cast<ULONG>(++m_cRef);
}

ULONG CUnknown::NonDelegatingRelease() {
    long n = --m_cRef;
    if (n == 0) {
        // Guard against re-entrant destruction while the destructor releases what it holds.
        m_cRef = 1;
        delete this;
        return 0;
    }
    return static_cast<ULONG>(n);
}
