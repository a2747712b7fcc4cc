#include "media/sample.h"

#include <algorithm>
#include <new>

// ---- CMediaSample
// ------------------------------------------------------------------------------------------

CMediaSample::CMediaSample(const char*, CBaseAllocator* allocator, HRESULT* phr, BYTE* buffer, LONG length)
    : m_pBuffer(buffer), m_cbBuffer(length), m_pAllocator(allocator) {
    if (length < 0 && phr)
        *phr = VFW_E_BUFFER_OVERFLOW;
}

CMediaSample::~CMediaSample() {
    DeleteMediaType(m_pMediaType);
}

HRESULT CMediaSample::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IMediaSample || riid == IID_IUnknown) {
        *ppv = static_cast<IMediaSample*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CMediaSample::AddRef() {
    return static_cast<ULONG>(++m_cRef);
}

ULONG CMediaSample::Release() {
    LONG n = --m_cRef;
    if (n == 0) {
        // Clear what the delivery attached before the sample goes back on the free list.
        ResetProperties();
        m_pAllocator->ReleaseBuffer(this);
    }
    return static_cast<ULONG>(n);
}

void CMediaSample::ResetProperties() {
    m_dwFlags = 0;
    DeleteMediaType(m_pMediaType);
    m_pMediaType = nullptr;
}

HRESULT CMediaSample::SetPointer(BYTE* buffer, LONG length) {
    if (length < 0)
        return VFW_E_BUFFER_OVERFLOW;
    m_pBuffer = buffer;
    m_cbBuffer = length;
    m_lActual = length;
    return S_OK;
}

HRESULT CMediaSample::GetPointer(BYTE** buffer) {
    if (!buffer)
        return E_POINTER;
    *buffer = m_pBuffer;
    return S_OK;
}

LONG CMediaSample::GetSize() {
    return m_cbBuffer;
}

HRESULT CMediaSample::GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) {
    if (!(m_dwFlags & Sample_StopValid)) {
        if (!(m_dwFlags & Sample_TimeValid))
            return VFW_E_SAMPLE_TIME_NOT_SET;
        // Only the start is valid: the stop is reported as start + 1.
        if (start)
            *start = m_Start;
        if (end)
            *end = m_Start + 1;
        return VFW_S_NO_STOP_TIME;
    }
    if (start)
        *start = m_Start;
    if (end)
        *end = m_End;
    return S_OK;
}

HRESULT CMediaSample::SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) {
    // Without a start the sample carries no times, whatever the stop says.
    if (!start) {
        m_dwFlags &= ~(Sample_TimeValid | Sample_StopValid);
        return S_OK;
    }
    m_Start = *start;
    m_dwFlags |= Sample_TimeValid;
    if (end) {
        m_End = *end;
        m_dwFlags |= Sample_StopValid;
    } else {
        m_dwFlags &= ~Sample_StopValid;
    }
    return S_OK;
}

HRESULT CMediaSample::IsSyncPoint() {
    return (m_dwFlags & Sample_SyncPoint) ? S_OK : S_FALSE;
}

HRESULT CMediaSample::SetSyncPoint(BOOL sync) {
    m_dwFlags = sync ? (m_dwFlags | Sample_SyncPoint) : (m_dwFlags & ~Sample_SyncPoint);
    return S_OK;
}

HRESULT CMediaSample::IsPreroll() {
    return (m_dwFlags & Sample_Preroll) ? S_OK : S_FALSE;
}

HRESULT CMediaSample::SetPreroll(BOOL preroll) {
    m_dwFlags = preroll ? (m_dwFlags | Sample_Preroll) : (m_dwFlags & ~Sample_Preroll);
    return S_OK;
}

LONG CMediaSample::GetActualDataLength() {
    return m_lActual;
}

HRESULT CMediaSample::SetActualDataLength(LONG length) {
    if (length < 0 || length > m_cbBuffer)
        return VFW_E_BUFFER_OVERFLOW;
    m_lActual = length;
    return S_OK;
}

HRESULT CMediaSample::GetMediaType(AM_MEDIA_TYPE** type) {
    if (!type)
        return E_POINTER;
    if (!(m_dwFlags & Sample_TypeChanged) || !m_pMediaType) {
        *type = nullptr;
        return S_FALSE;
    }
    *type = CreateMediaType(m_pMediaType);
    return *type ? S_OK : E_OUTOFMEMORY;
}

HRESULT CMediaSample::SetMediaType(AM_MEDIA_TYPE* type) {
    DeleteMediaType(m_pMediaType);
    m_pMediaType = nullptr;
    if (!type) {
        m_dwFlags &= ~Sample_TypeChanged;
        return S_OK;
    }
    m_pMediaType = CreateMediaType(type);
    if (!m_pMediaType) {
        m_dwFlags &= ~Sample_TypeChanged;
        return E_OUTOFMEMORY;
    }
    m_dwFlags |= Sample_TypeChanged;
    return S_OK;
}

HRESULT CMediaSample::IsDiscontinuity() {
    return (m_dwFlags & Sample_Discontinuity) ? S_OK : S_FALSE;
}

HRESULT CMediaSample::SetDiscontinuity(BOOL discontinuity) {
    m_dwFlags = discontinuity ? (m_dwFlags | Sample_Discontinuity) : (m_dwFlags & ~Sample_Discontinuity);
    return S_OK;
}

HRESULT CMediaSample::GetMediaTime(LONGLONG* start, LONGLONG* end) {
    if (!(m_dwFlags & Sample_MediaTimeValid))
        return VFW_E_MEDIA_TIME_NOT_SET;
    if (start)
        *start = m_MediaStart;
    if (end)
        *end = m_MediaEnd;
    return S_OK;
}

HRESULT CMediaSample::SetMediaTime(LONGLONG* start, LONGLONG* end) {
    if (!start) {
        m_dwFlags &= ~Sample_MediaTimeValid;
        return S_OK;
    }
    if (!end)
        return E_POINTER;
    m_MediaStart = *start;
    m_MediaEnd = *end;
    m_dwFlags |= Sample_MediaTimeValid;
    return S_OK;
}

// ---- CBaseAllocator
// -----------------------------------------------------------------------------------------

CBaseAllocator::CBaseAllocator(const char* name, LPUNKNOWN outer, HRESULT* phr)
    : CUnknown(name, outer, phr) {}

CBaseAllocator::~CBaseAllocator() = default;

HRESULT CBaseAllocator::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IMemAllocator)
        return GetInterface(static_cast<IMemAllocator*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

bool CBaseAllocator::IsCommitted() const {
    std::lock_guard lock(m_mutex);
    return m_bCommitted;
}

HRESULT CBaseAllocator::SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) {
    if (!request || !actual)
        return E_POINTER;
    std::lock_guard lock(m_mutex);
    if (m_bCommitted)
        return VFW_E_ALREADY_COMMITTED;
    // Buffers may not change while samples from the last commit are still out.
    if (m_samples.size() != m_lFree.size())
        return VFW_E_BUFFERS_OUTSTANDING;
    *actual = *request;
    m_lCount = request->cBuffers;
    m_lSize = request->cbBuffer;
    m_lAlignment = request->cbAlign;
    m_lPrefix = request->cbPrefix;
    m_bChanged = true;
    return S_OK;
}

HRESULT CBaseAllocator::GetProperties(ALLOCATOR_PROPERTIES* props) {
    if (!props)
        return E_POINTER;
    std::lock_guard lock(m_mutex);
    props->cBuffers = m_lCount;
    props->cbBuffer = m_lSize;
    props->cbAlign = m_lAlignment;
    props->cbPrefix = m_lPrefix;
    return S_OK;
}

HRESULT CBaseAllocator::Commit() {
    std::lock_guard lock(m_mutex);
    if (m_bCommitted)
        return S_OK;
    m_bDecommitInProgress = false;
    // Memory kept from an earlier commit is reused when nothing changed and it is all back.
    if (m_samples.empty() || m_bChanged) {
        if (m_samples.size() != m_lFree.size())
            return VFW_E_BUFFERS_OUTSTANDING;
        Free();
        HRESULT hr = Alloc();
        if (FAILED(hr))
            return hr;
        m_bChanged = false;
    }
    m_bCommitted = true;
    return S_OK;
}

HRESULT CBaseAllocator::Decommit() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_bCommitted)
            return S_OK;
        m_bCommitted = false;
        if (m_lFree.size() == m_samples.size())
            Free();
        else
            m_bDecommitInProgress = true; // freed when the last sample returns
    }
    m_freeChanged.notify_all();
    return S_OK;
}

HRESULT CBaseAllocator::GetBuffer(IMediaSample** sample, REFERENCE_TIME*, REFERENCE_TIME*, DWORD flags) {
    if (!sample)
        return E_POINTER;
    *sample = nullptr;
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (!m_bCommitted)
            return VFW_E_NOT_COMMITTED;
        if (!m_lFree.empty())
            break;
        if (flags & AM_GBF_NOWAIT)
            return VFW_E_TIMEOUT;
        m_freeChanged.wait(lock);
    }
    CMediaSample* s = m_lFree.back();
    m_lFree.pop_back();
    s->m_lActual = s->m_cbBuffer;
    s->m_cRef = 1;
    *sample = s;
    lock.unlock();
    // An outstanding sample keeps its allocator alive.
    NonDelegatingAddRef();
    return S_OK;
}

HRESULT CBaseAllocator::ReleaseBuffer(IMediaSample* sample) {
    {
        std::lock_guard lock(m_mutex);
        m_lFree.push_back(static_cast<CMediaSample*>(sample));
        if (m_bDecommitInProgress && m_lFree.size() == m_samples.size()) {
            m_bDecommitInProgress = false;
            Free();
        }
    }
    m_freeChanged.notify_one();
    NonDelegatingRelease();
    return S_OK;
}

// ---- CMemAllocator
// ------------------------------------------------------------------------------------------

CMemAllocator::CMemAllocator(const char* name, LPUNKNOWN outer, HRESULT* phr)
    : CBaseAllocator(name, outer, phr) {}

CMemAllocator::~CMemAllocator() {
    std::lock_guard lock(m_mutex);
    Free();
}

HRESULT CMemAllocator::Create(IMemAllocator** out) {
    if (!out)
        return E_POINTER;
    HRESULT hr = S_OK;
    auto* a = new (std::nothrow) CMemAllocator("CMemAllocator", nullptr, &hr);
    if (!a)
        return E_OUTOFMEMORY;
    a->NonDelegatingAddRef();
    *out = a;
    return S_OK;
}

HRESULT CMemAllocator::SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) {
    if (!request || !actual)
        return E_POINTER;
    LONG align = request->cbAlign;
    if (align == 0 || (align & (align - 1)) != 0)
        return VFW_E_BADALIGN;
    if (request->cBuffers < 0 || request->cbBuffer < 0 || request->cbPrefix < 0)
        return E_INVALIDARG;
    ALLOCATOR_PROPERTIES adjusted = *request;
    // Each buffer, prefix included, is rounded up to the alignment.
    LONG total = adjusted.cbBuffer + adjusted.cbPrefix;
    if (total % align)
        adjusted.cbBuffer += align - total % align;
    return CBaseAllocator::SetProperties(&adjusted, actual);
}

HRESULT CMemAllocator::Alloc() {
    if (m_lCount <= 0 || m_lSize <= 0)
        return VFW_E_SIZENOTSET;
    std::size_t stride = std::size_t(m_lSize) + std::size_t(m_lPrefix);
    std::size_t total = stride * std::size_t(m_lCount) + std::size_t(m_lAlignment);
    m_pBuffer.reset(new (std::nothrow) BYTE[total]);
    if (!m_pBuffer)
        return E_OUTOFMEMORY;
    auto base = reinterpret_cast<std::uintptr_t>(m_pBuffer.get());
    std::uintptr_t aligned = (base + std::uintptr_t(m_lPrefix) + std::uintptr_t(m_lAlignment) - 1) &
                             ~std::uintptr_t(m_lAlignment - 1);
    BYTE* first = m_pBuffer.get() + (aligned - base);
    for (LONG i = 0; i < m_lCount; ++i) {
        HRESULT hr = S_OK;
        auto s = std::unique_ptr<CMediaSample>(
            new (std::nothrow) CMediaSample("sample", this, &hr, first + std::size_t(i) * stride, m_lSize));
        if (!s) {
            Free();
            return E_OUTOFMEMORY;
        }
        m_lFree.push_back(s.get());
        m_samples.push_back(std::move(s));
    }
    return S_OK;
}

void CMemAllocator::Free() {
    m_lFree.clear();
    m_samples.clear();
    m_pBuffer.reset();
}
