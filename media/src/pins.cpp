#include "media/pins.h"

#include <cstring>
#include <new>

#include "media/filter.h"

namespace {
bool IsRefusal(HRESULT hr) {
    return hr == S_FALSE || hr == E_FAIL || hr == E_INVALIDARG;
}
} // namespace

// ---- CBasePin ---------------------------------------------------------------------------------------------

CBasePin::CBasePin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT*, const char* name,
                   PIN_DIRECTION dir)
    : CUnknown(objectName, nullptr), m_pName(name ? name : ""), m_dir(dir), m_pLock(lock), m_pFilter(filter) {
}

CBasePin::~CBasePin() {
    if (m_Connected) {
        m_Connected->Release();
        m_Connected = nullptr;
    }
}

HRESULT CBasePin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IPin)
        return GetInterface(static_cast<IPin*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

ULONG CBasePin::NonDelegatingAddRef() {
    return m_pFilter->AddRef();
}
ULONG CBasePin::NonDelegatingRelease() {
    return m_pFilter->Release();
}

bool CBasePin::IsStopped() const {
    return m_pFilter->IsStopped();
}

HRESULT CBasePin::Connect(IPin* receivePin, const AM_MEDIA_TYPE* pmt) {
    if (!receivePin)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    if (m_Connected)
        return VFW_E_ALREADY_CONNECTED;
    if (!IsStopped() && !m_bCanReconnectWhenActive)
        return VFW_E_NOT_STOPPED;
    CMediaType partial;
    if (pmt)
        partial = *pmt;
    HRESULT hr = AgreeMediaType(receivePin, &partial);
    if (FAILED(hr))
        return hr;
    return S_OK;
}

HRESULT CBasePin::AgreeMediaType(IPin* receivePin, const CMediaType* pmt) {
    // A fully specified type is tried alone.
    if (pmt && !pmt->IsPartiallySpecified())
        return AttemptConnection(receivePin, pmt);

    HRESULT failure = VFW_E_NO_ACCEPTABLE_TYPES;
    // The receiving pin's types first, then ours (or the other way round when asked).
    for (int pass = 0; pass < 2; ++pass) {
        bool mine = (pass == 0) == m_bTryMyTypesFirst;
        IEnumMediaTypes* types = nullptr;
        HRESULT hr = mine ? EnumMediaTypes(&types) : receivePin->EnumMediaTypes(&types);
        if (FAILED(hr) || !types)
            continue;
        hr = TryMediaTypes(receivePin, pmt, types);
        types->Release();
        if (SUCCEEDED(hr))
            return S_OK;
        if (hr != VFW_E_NO_ACCEPTABLE_TYPES)
            failure = hr;
    }
    return failure;
}

HRESULT CBasePin::TryMediaTypes(IPin* receivePin, const CMediaType* pmt, IEnumMediaTypes* types) {
    types->Reset();
    HRESULT failure = S_OK;
    for (;;) {
        AM_MEDIA_TYPE* mt = nullptr;
        ULONG fetched = 0;
        if (types->Next(1, &mt, &fetched) != S_OK || fetched != 1)
            break;
        CMediaType candidate(*mt);
        DeleteMediaType(mt);
        if (pmt && !candidate.MatchesPartial(pmt))
            continue;
        HRESULT hr = AttemptConnection(receivePin, &candidate);
        if (SUCCEEDED(hr))
            return S_OK;
        // A plain refusal of one type is expected; any other failure is worth reporting.
        if (SUCCEEDED(failure) && hr != E_FAIL && hr != E_INVALIDARG && hr != VFW_E_TYPE_NOT_ACCEPTED)
            failure = hr;
    }
    return SUCCEEDED(failure) ? VFW_E_NO_ACCEPTABLE_TYPES : failure;
}

HRESULT CBasePin::AttemptConnection(IPin* receivePin, const CMediaType* pmt) {
    HRESULT hr = CheckConnect(receivePin);
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    hr = CheckMediaType(pmt);
    if (hr == S_OK) {
        m_Connected = receivePin;
        m_Connected->AddRef();
        hr = SetMediaType(pmt);
        if (SUCCEEDED(hr)) {
            hr = receivePin->ReceiveConnection(this, pmt);
            if (SUCCEEDED(hr)) {
                hr = CompleteConnect(receivePin);
                if (SUCCEEDED(hr))
                    return hr;
                receivePin->Disconnect();
            }
        }
    } else if (SUCCEEDED(hr) || IsRefusal(hr)) {
        hr = VFW_E_TYPE_NOT_ACCEPTED;
    }
    if (m_Connected) {
        m_Connected->Release();
        m_Connected = nullptr;
    }
    BreakConnect();
    return hr;
}

HRESULT CBasePin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) {
    if (!connector || !pmt)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    if (m_Connected)
        return VFW_E_ALREADY_CONNECTED;
    if (!IsStopped() && !m_bCanReconnectWhenActive)
        return VFW_E_NOT_STOPPED;
    HRESULT hr = CheckConnect(connector);
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    CMediaType mt(*pmt);
    hr = CheckMediaType(&mt);
    if (hr != S_OK) {
        BreakConnect();
        return (SUCCEEDED(hr) || IsRefusal(hr)) ? VFW_E_TYPE_NOT_ACCEPTED : hr;
    }
    m_Connected = connector;
    m_Connected->AddRef();
    hr = SetMediaType(&mt);
    if (SUCCEEDED(hr)) {
        hr = CompleteConnect(connector);
        if (SUCCEEDED(hr))
            return S_OK;
    }
    m_Connected->Release();
    m_Connected = nullptr;
    BreakConnect();
    return hr;
}

HRESULT CBasePin::Disconnect() {
    CAutoLock lock(m_pLock);
    if (!IsStopped())
        return VFW_E_NOT_STOPPED;
    return DisconnectInternal();
}

HRESULT CBasePin::DisconnectInternal() {
    if (!m_Connected)
        return S_FALSE;
    HRESULT hr = BreakConnect();
    if (FAILED(hr))
        return hr;
    m_Connected->Release();
    m_Connected = nullptr;
    return S_OK;
}

HRESULT CBasePin::ConnectedTo(IPin** pin) {
    if (!pin)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    *pin = m_Connected;
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    m_Connected->AddRef();
    return S_OK;
}

HRESULT CBasePin::ConnectionMediaType(AM_MEDIA_TYPE* pmt) {
    if (!pmt)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    if (!m_Connected) {
        CMediaType empty;
        CopyMediaType(pmt, &empty);
        return VFW_E_NOT_CONNECTED;
    }
    return CopyMediaType(pmt, &m_mt);
}

HRESULT CBasePin::QueryPinInfo(PIN_INFO* info) {
    if (!info)
        return E_POINTER;
    info->pFilter = m_pFilter;
    m_pFilter->AddRef();
    std::memset(info->achName, 0, sizeof info->achName);
    std::strncpy(info->achName, m_pName.c_str(), sizeof info->achName - 1);
    info->dir = m_dir;
    return S_OK;
}

HRESULT CBasePin::QueryDirection(PIN_DIRECTION* dir) {
    if (!dir)
        return E_POINTER;
    *dir = m_dir;
    return S_OK;
}

HRESULT CBasePin::QueryId(char** id) {
    if (!id)
        return E_POINTER;
    *id = static_cast<char*>(CoTaskMemAlloc(m_pName.size() + 1));
    if (!*id)
        return E_OUTOFMEMORY;
    std::memcpy(*id, m_pName.c_str(), m_pName.size() + 1);
    return S_OK;
}

HRESULT CBasePin::QueryAccept(const AM_MEDIA_TYPE* pmt) {
    if (!pmt)
        return E_POINTER;
    CMediaType mt(*pmt);
    HRESULT hr = CheckMediaType(&mt);
    return SUCCEEDED(hr) && hr != S_FALSE ? S_OK : S_FALSE;
}

HRESULT CBasePin::EnumMediaTypes(IEnumMediaTypes** types) {
    if (!types)
        return E_POINTER;
    *types = new (std::nothrow) CEnumMediaTypes(this);
    return *types ? S_OK : E_OUTOFMEMORY;
}

HRESULT CBasePin::QueryInternalConnections(IPin**, ULONG*) {
    return E_NOTIMPL;
}

HRESULT CBasePin::EndOfStream() {
    return S_OK;
}

HRESULT CBasePin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    m_tStart = start;
    m_tStop = stop;
    m_dRate = rate;
    return S_OK;
}

HRESULT CBasePin::SetMediaType(const CMediaType* pmt) {
    return m_mt.Set(*pmt);
}
HRESULT CBasePin::GetMediaType(int, CMediaType*) {
    return E_UNEXPECTED;
}
HRESULT CBasePin::CheckConnect(IPin* pin) {
    PIN_DIRECTION dir;
    pin->QueryDirection(&dir);
    return dir == m_dir ? VFW_E_INVALID_DIRECTION : S_OK;
}
HRESULT CBasePin::BreakConnect() {
    return S_OK;
}
HRESULT CBasePin::CompleteConnect(IPin*) {
    return S_OK;
}
HRESULT CBasePin::Run(REFERENCE_TIME) {
    return S_OK;
}

// ---- CBaseOutputPin
// -----------------------------------------------------------------------------------------

CBaseOutputPin::CBaseOutputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr,
                               const char* name)
    : CBasePin(objectName, filter, lock, phr, name, PINDIR_OUTPUT) {}

CBaseOutputPin::~CBaseOutputPin() {
    if (m_pAllocator)
        m_pAllocator->Release();
    if (m_pInputPin)
        m_pInputPin->Release();
}

HRESULT CBaseOutputPin::CheckConnect(IPin* pin) {
    HRESULT hr = CBasePin::CheckConnect(pin);
    if (FAILED(hr))
        return hr;
    hr = pin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&m_pInputPin));
    return FAILED(hr) ? VFW_E_NO_TRANSPORT : S_OK;
}

HRESULT CBaseOutputPin::BreakConnect() {
    if (m_pAllocator) {
        m_pAllocator->Decommit();
        m_pAllocator->Release();
        m_pAllocator = nullptr;
    }
    if (m_pInputPin) {
        m_pInputPin->Release();
        m_pInputPin = nullptr;
    }
    return S_OK;
}

HRESULT CBaseOutputPin::CompleteConnect(IPin*) {
    return DecideAllocator(m_pInputPin, &m_pAllocator);
}

HRESULT CBaseOutputPin::InitAllocator(IMemAllocator** allocator) {
    return CMemAllocator::Create(allocator);
}

HRESULT CBaseOutputPin::DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator) {
    *allocator = nullptr;
    ALLOCATOR_PROPERTIES props;
    pin->GetAllocatorRequirements(&props); // what the input asks for, when it says
    if (props.cbAlign == 0)
        props.cbAlign = 1;

    // The input pin's allocator first, then our own.
    HRESULT hr = pin->GetAllocator(allocator);
    if (SUCCEEDED(hr)) {
        hr = DecideBufferSize(*allocator, &props);
        if (SUCCEEDED(hr)) {
            hr = pin->NotifyAllocator(*allocator, FALSE);
            if (SUCCEEDED(hr))
                return S_OK;
        }
    }
    if (*allocator) {
        (*allocator)->Release();
        *allocator = nullptr;
    }
    hr = InitAllocator(allocator);
    if (SUCCEEDED(hr)) {
        hr = DecideBufferSize(*allocator, &props);
        if (SUCCEEDED(hr)) {
            hr = pin->NotifyAllocator(*allocator, FALSE);
            if (SUCCEEDED(hr))
                return S_OK;
        }
    }
    if (*allocator) {
        (*allocator)->Release();
        *allocator = nullptr;
    }
    return hr;
}

HRESULT CBaseOutputPin::Active() {
    if (!m_pAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->Commit();
}

HRESULT CBaseOutputPin::Inactive() {
    m_bRunTimeError = false;
    if (!m_pAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->Decommit();
}

HRESULT CBaseOutputPin::GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop,
                                          DWORD flags) {
    if (!m_pAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->GetBuffer(sample, start, stop, flags);
}

HRESULT CBaseOutputPin::Deliver(IMediaSample* sample) {
    if (!m_pInputPin)
        return VFW_E_NOT_CONNECTED;
    return m_pInputPin->Receive(sample);
}

HRESULT CBaseOutputPin::DeliverEndOfStream() {
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    return m_Connected->EndOfStream();
}

HRESULT CBaseOutputPin::DeliverBeginFlush() {
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    return m_Connected->BeginFlush();
}

HRESULT CBaseOutputPin::DeliverEndFlush() {
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    return m_Connected->EndFlush();
}

HRESULT CBaseOutputPin::DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    return m_Connected->NewSegment(start, stop, rate);
}

// ---- CBaseInputPin ----------------------------------------------------------------------------------------

CBaseInputPin::CBaseInputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr,
                             const char* name)
    : CBasePin(objectName, filter, lock, phr, name, PINDIR_INPUT) {}

CBaseInputPin::~CBaseInputPin() {
    if (m_pAllocator)
        m_pAllocator->Release();
}

HRESULT CBaseInputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IMemInputPin)
        return GetInterface(static_cast<IMemInputPin*>(this), ppv);
    return CBasePin::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CBaseInputPin::GetAllocator(IMemAllocator** allocator) {
    if (!allocator)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    if (!m_pAllocator) {
        HRESULT hr = CMemAllocator::Create(&m_pAllocator);
        if (FAILED(hr))
            return hr;
    }
    *allocator = m_pAllocator;
    m_pAllocator->AddRef();
    return S_OK;
}

HRESULT CBaseInputPin::NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) {
    if (!allocator)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    allocator->AddRef();
    if (m_pAllocator)
        m_pAllocator->Release();
    m_pAllocator = allocator;
    m_bReadOnly = readOnly != FALSE;
    return S_OK;
}

HRESULT CBaseInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) {
    return E_NOTIMPL;
}

HRESULT CBaseInputPin::BreakConnect() {
    if (m_pAllocator) {
        m_pAllocator->Decommit();
        m_pAllocator->Release();
        m_pAllocator = nullptr;
    }
    return S_OK;
}

HRESULT CBaseInputPin::Inactive() {
    m_bRunTimeError = false;
    m_bFlushing = false;
    if (!m_pAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->Decommit();
}

HRESULT CBaseInputPin::CheckStreaming() {
    if (!IsConnected())
        return VFW_E_NOT_CONNECTED;
    if (IsStopped())
        return VFW_E_WRONG_STATE;
    if (m_bFlushing)
        return S_FALSE;
    if (m_bRunTimeError)
        return VFW_E_RUNTIME_ERROR;
    return S_OK;
}

HRESULT CBaseInputPin::Receive(IMediaSample* sample) {
    if (!sample)
        return E_POINTER;
    HRESULT hr = CheckStreaming();
    if (hr != S_OK)
        return hr;
    // A sample may carry a new type: it must be one this pin accepts.
    AM_MEDIA_TYPE* mt = nullptr;
    if (sample->GetMediaType(&mt) == S_OK && mt) {
        CMediaType changed(*mt);
        DeleteMediaType(mt);
        hr = CheckMediaType(&changed);
        if (hr != S_OK) {
            m_bRunTimeError = true;
            EndOfStream();
            m_pFilter->NotifyEvent(EC_ERRORABORT, VFW_E_TYPE_NOT_ACCEPTED, 0);
            return VFW_E_INVALIDMEDIATYPE;
        }
        m_mt = changed;
    }
    return S_OK;
}

HRESULT CBaseInputPin::ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) {
    if (!samples || !processed)
        return E_POINTER;
    HRESULT hr = S_OK;
    *processed = 0;
    while (count-- > 0) {
        hr = Receive(samples[*processed]);
        if (hr != S_OK)
            break;
        ++*processed;
    }
    return hr;
}

HRESULT CBaseInputPin::ReceiveCanBlock() {
    return S_OK;
}

HRESULT CBaseInputPin::BeginFlush() {
    m_bFlushing = true;
    return S_OK;
}

HRESULT CBaseInputPin::EndFlush() {
    m_bFlushing = false;
    m_bRunTimeError = false;
    return S_OK;
}

// ---- Enumerators ------------------------------------------------------------------------------------------

CEnumPins::CEnumPins(CBaseFilter* filter, ULONG position) : m_pFilter(filter), m_Position(position) {
    m_pFilter->AddRef();
}
CEnumPins::~CEnumPins() {
    m_pFilter->Release();
}

HRESULT CEnumPins::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IEnumPins || riid == IID_IUnknown) {
        *ppv = static_cast<IEnumPins*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}
ULONG CEnumPins::AddRef() {
    return static_cast<ULONG>(++m_cRef);
}
ULONG CEnumPins::Release() {
    LONG n = --m_cRef;
    if (n == 0)
        delete this;
    return static_cast<ULONG>(n);
}

HRESULT CEnumPins::Next(ULONG count, IPin** pins, ULONG* fetched) {
    if (!pins)
        return E_POINTER;
    ULONG got = 0;
    while (got < count) {
        CBasePin* pin = m_pFilter->GetPin(static_cast<int>(m_Position));
        if (!pin)
            break;
        ++m_Position;
        pins[got] = pin;
        pin->AddRef();
        ++got;
    }
    if (fetched)
        *fetched = got;
    return got == count ? S_OK : S_FALSE;
}
HRESULT CEnumPins::Skip(ULONG count) {
    m_Position += count;
    return static_cast<int>(m_Position) <= m_pFilter->GetPinCount() ? S_OK : S_FALSE;
}
HRESULT CEnumPins::Reset() {
    m_Position = 0;
    return S_OK;
}
HRESULT CEnumPins::Clone(IEnumPins** out) {
    if (!out)
        return E_POINTER;
    *out = new (std::nothrow) CEnumPins(m_pFilter, m_Position);
    return *out ? S_OK : E_OUTOFMEMORY;
}

CEnumMediaTypes::CEnumMediaTypes(CBasePin* pin, ULONG position) : m_pPin(pin), m_Position(position) {
    m_pPin->AddRef();
}
CEnumMediaTypes::~CEnumMediaTypes() {
    m_pPin->Release();
}

HRESULT CEnumMediaTypes::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IEnumMediaTypes || riid == IID_IUnknown) {
        *ppv = static_cast<IEnumMediaTypes*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}
ULONG CEnumMediaTypes::AddRef() {
    return static_cast<ULONG>(++m_cRef);
}
ULONG CEnumMediaTypes::Release() {
    LONG n = --m_cRef;
    if (n == 0)
        delete this;
    return static_cast<ULONG>(n);
}

HRESULT CEnumMediaTypes::Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) {
    if (!types)
        return E_POINTER;
    ULONG got = 0;
    while (got < count) {
        CMediaType mt;
        HRESULT hr = m_pPin->GetMediaType(static_cast<int>(m_Position), &mt);
        if (hr != S_OK)
            break;
        ++m_Position;
        types[got] = CreateMediaType(&mt);
        if (!types[got])
            break;
        ++got;
    }
    if (fetched)
        *fetched = got;
    return got == count ? S_OK : S_FALSE;
}
HRESULT CEnumMediaTypes::Skip(ULONG count) {
    m_Position += count;
    return S_OK;
}
HRESULT CEnumMediaTypes::Reset() {
    m_Position = 0;
    return S_OK;
}
HRESULT CEnumMediaTypes::Clone(IEnumMediaTypes** out) {
    if (!out)
        return E_POINTER;
    *out = new (std::nothrow) CEnumMediaTypes(m_pPin, m_Position);
    return *out ? S_OK : E_OUTOFMEMORY;
}
