#include "media/transform.h"

#include <algorithm>
#include <cstring>
#include <new>

// ---- Input pin --------------------------------------------------------------------------------------------

CTransformInputPin::CTransformInputPin(const char* objectName, CTransformFilter* filter, HRESULT* phr,
                                       const char* name)
    : CBaseInputPin(objectName, filter, &filter->m_csFilter, phr, name), m_pTransformFilter(filter) {}

HRESULT CTransformInputPin::CheckConnect(IPin* pin) {
    HRESULT hr = m_pTransformFilter->CheckConnect(PINDIR_INPUT, pin);
    if (FAILED(hr))
        return hr;
    return CBaseInputPin::CheckConnect(pin);
}

HRESULT CTransformInputPin::BreakConnect() {
    m_pTransformFilter->BreakConnect(PINDIR_INPUT);
    return CBaseInputPin::BreakConnect();
}

HRESULT CTransformInputPin::CompleteConnect(IPin* receivePin) {
    HRESULT hr = m_pTransformFilter->CompleteConnect(PINDIR_INPUT, receivePin);
    if (FAILED(hr))
        return hr;
    return CBaseInputPin::CompleteConnect(receivePin);
}

HRESULT CTransformInputPin::CheckMediaType(const CMediaType* pmt) {
    HRESULT hr = m_pTransformFilter->CheckInputType(pmt);
    if (hr != S_OK)
        return hr;
    // With the output connected already, the new input must still suit it.
    CTransformOutputPin* out = m_pTransformFilter->m_pOutput;
    if (out && out->IsConnected())
        return m_pTransformFilter->CheckTransform(pmt, &out->CurrentMediaType());
    return S_OK;
}

HRESULT CTransformInputPin::SetMediaType(const CMediaType* pmt) {
    HRESULT hr = CBasePin::SetMediaType(pmt);
    if (FAILED(hr))
        return hr;
    return m_pTransformFilter->SetMediaType(PINDIR_INPUT, pmt);
}

HRESULT CTransformInputPin::CheckStreaming() {
    // Without a connected output there is nowhere to deliver.
    CTransformOutputPin* out = m_pTransformFilter->m_pOutput;
    if (!out || !out->IsConnected())
        return VFW_E_NOT_CONNECTED;
    return CBaseInputPin::CheckStreaming();
}

HRESULT CTransformInputPin::Receive(IMediaSample* sample) {
    CAutoLock lock(&m_pTransformFilter->m_csReceive);
    HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr == S_OK)
        hr = m_pTransformFilter->Receive(sample);
    return hr;
}

HRESULT CTransformInputPin::EndOfStream() {
    CAutoLock lock(&m_pTransformFilter->m_csReceive);
    HRESULT hr = CheckStreaming();
    if (hr == S_OK)
        hr = m_pTransformFilter->EndOfStream();
    return hr;
}

HRESULT CTransformInputPin::BeginFlush() {
    CAutoLock lock(&m_pTransformFilter->m_csFilter);
    if (!IsConnected() || !m_pTransformFilter->m_pOutput->IsConnected())
        return VFW_E_NOT_CONNECTED;
    HRESULT hr = CBaseInputPin::BeginFlush();
    if (FAILED(hr))
        return hr;
    return m_pTransformFilter->BeginFlush();
}

HRESULT CTransformInputPin::EndFlush() {
    CAutoLock lock(&m_pTransformFilter->m_csFilter);
    if (!IsConnected() || !m_pTransformFilter->m_pOutput->IsConnected())
        return VFW_E_NOT_CONNECTED;
    HRESULT hr = m_pTransformFilter->EndFlush();
    if (FAILED(hr))
        return hr;
    return CBaseInputPin::EndFlush();
}

HRESULT CTransformInputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    CBasePin::NewSegment(start, stop, rate);
    return m_pTransformFilter->NewSegment(start, stop, rate);
}

// ---- Output pin
// --------------------------------------------------------------------------------------------

CTransformOutputPin::CTransformOutputPin(const char* objectName, CTransformFilter* filter, HRESULT* phr,
                                         const char* name)
    : CBaseOutputPin(objectName, filter, &filter->m_csFilter, phr, name), m_pTransformFilter(filter) {}

HRESULT CTransformOutputPin::CheckConnect(IPin* pin) {
    // The output type depends on the input, so the input connects first.
    if (!m_pTransformFilter->m_pInput->IsConnected())
        return E_UNEXPECTED;
    HRESULT hr = m_pTransformFilter->CheckConnect(PINDIR_OUTPUT, pin);
    if (FAILED(hr))
        return hr;
    return CBaseOutputPin::CheckConnect(pin);
}

HRESULT CTransformOutputPin::BreakConnect() {
    m_pTransformFilter->BreakConnect(PINDIR_OUTPUT);
    return CBaseOutputPin::BreakConnect();
}

HRESULT CTransformOutputPin::CompleteConnect(IPin* receivePin) {
    HRESULT hr = m_pTransformFilter->CompleteConnect(PINDIR_OUTPUT, receivePin);
    if (FAILED(hr))
        return hr;
    return CBaseOutputPin::CompleteConnect(receivePin);
}

HRESULT CTransformOutputPin::CheckMediaType(const CMediaType* pmt) {
    if (!m_pTransformFilter->m_pInput->IsConnected())
        return E_INVALIDARG;
    return m_pTransformFilter->CheckTransform(&m_pTransformFilter->m_pInput->CurrentMediaType(), pmt);
}

HRESULT CTransformOutputPin::SetMediaType(const CMediaType* pmt) {
    HRESULT hr = CBasePin::SetMediaType(pmt);
    if (FAILED(hr))
        return hr;
    return m_pTransformFilter->SetMediaType(PINDIR_OUTPUT, pmt);
}

HRESULT CTransformOutputPin::GetMediaType(int position, CMediaType* pmt) {
    // Nothing to propose before the input type is known.
    if (!m_pTransformFilter->m_pInput->IsConnected())
        return E_UNEXPECTED;
    return m_pTransformFilter->GetMediaType(position, pmt);
}

HRESULT CTransformOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    return m_pTransformFilter->DecideBufferSize(allocator, request);
}

// ---- CTransformFilter -------------------------------------------------------------------------------------

CTransformFilter::CTransformFilter(const char* name, LPUNKNOWN outer, REFCLSID clsid, HRESULT* phr)
    : CBaseFilter(name, outer, &m_csFilter, clsid, phr) {}

CTransformFilter::~CTransformFilter() {
    delete m_pInput;
    delete m_pOutput;
}

void CTransformFilter::CreatePins() {
    HRESULT hr = S_OK;
    m_pInput = new (std::nothrow) CTransformInputPin("Transform input pin", this, &hr, "XForm In");
    m_pOutput = new (std::nothrow) CTransformOutputPin("Transform output pin", this, &hr, "XForm Out");
}

int CTransformFilter::GetPinCount() {
    return 2;
}

CBasePin* CTransformFilter::GetPin(int n) {
    CAutoLock lock(&m_csFilter);
    if (!m_pInput) {
        CreatePins();
        if (!m_pInput || !m_pOutput) {
            delete m_pInput;
            delete m_pOutput;
            m_pInput = nullptr;
            m_pOutput = nullptr;
            return nullptr;
        }
    }
    if (n == 0)
        return m_pInput;
    if (n == 1)
        return m_pOutput;
    return nullptr;
}

HRESULT CTransformFilter::FindPin(const char* id, IPin** pin) {
    if (!id || !pin)
        return E_POINTER;
    if (std::strcmp(id, "In") == 0)
        *pin = GetPin(0);
    else if (std::strcmp(id, "Out") == 0)
        *pin = GetPin(1);
    else
        return CBaseFilter::FindPin(id, pin);
    if (!*pin)
        return VFW_E_NOT_FOUND;
    (*pin)->AddRef();
    return S_OK;
}

HRESULT CTransformFilter::Stop() {
    CAutoLock lock(&m_csFilter);
    if (m_State == State_Stopped)
        return S_OK;
    if (!m_pInput || !m_pInput->IsConnected() || !m_pOutput->IsConnected()) {
        m_State = State_Stopped;
        m_bEOSDelivered = false;
        return S_OK;
    }
    // The input first, so upstream cannot get buffers; then wait for a Receive in progress.
    m_pInput->Inactive();
    CAutoLock receive(&m_csReceive);
    m_pOutput->Inactive();
    HRESULT hr = StopStreaming();
    if (SUCCEEDED(hr)) {
        m_State = State_Stopped;
        m_bEOSDelivered = false;
    }
    return hr;
}

HRESULT CTransformFilter::Pause() {
    CAutoLock lock(&m_csFilter);
    HRESULT hr = S_OK;
    if (m_State == State_Paused)
        return S_OK;
    if (!m_pInput || !m_pInput->IsConnected()) {
        // Nothing can arrive: tell the graph this branch is complete.
        if (m_pOutput && m_pOutput->IsConnected() && !m_bEOSDelivered) {
            m_pOutput->DeliverEndOfStream();
            m_bEOSDelivered = true;
        }
        m_State = State_Paused;
        return S_OK;
    }
    if (!m_pOutput->IsConnected()) {
        m_State = State_Paused;
        return S_OK;
    }
    if (m_State == State_Stopped) {
        CAutoLock receive(&m_csReceive);
        hr = StartStreaming();
    }
    if (SUCCEEDED(hr))
        hr = CBaseFilter::Pause();
    m_bSampleSkipped = false;
    m_bQualityChanged = false;
    return hr;
}

HRESULT CTransformFilter::SetMediaType(PIN_DIRECTION, const CMediaType*) {
    return S_OK;
}
HRESULT CTransformFilter::CheckConnect(PIN_DIRECTION, IPin*) {
    return S_OK;
}
HRESULT CTransformFilter::BreakConnect(PIN_DIRECTION) {
    return S_OK;
}
HRESULT CTransformFilter::CompleteConnect(PIN_DIRECTION, IPin*) {
    return S_OK;
}
HRESULT CTransformFilter::Transform(IMediaSample*, IMediaSample*) {
    return E_UNEXPECTED;
}

HRESULT CTransformFilter::InitializeOutputSample(IMediaSample* sample, IMediaSample** out) {
    DWORD flags = m_bSampleSkipped ? AM_GBF_PREVFRAMESKIPPED : 0;
    if (sample->IsSyncPoint() != S_OK)
        flags |= AM_GBF_NOTASYNCPOINT;
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    bool timed = SUCCEEDED(sample->GetTime(&start, &stop));
    IMediaSample* outSample = nullptr;
    HRESULT hr =
        m_pOutput->GetDeliveryBuffer(&outSample, timed ? &start : nullptr, timed ? &stop : nullptr, flags);
    *out = outSample;
    if (FAILED(hr))
        return hr;
    // Carry the sample's properties over to the output.
    if (timed) {
        REFERENCE_TIME s = 0;
        REFERENCE_TIME e = 0;
        HRESULT th = sample->GetTime(&s, &e);
        outSample->SetTime(&s, th == S_OK ? &e : nullptr);
    }
    outSample->SetSyncPoint(sample->IsSyncPoint() == S_OK);
    outSample->SetPreroll(sample->IsPreroll() == S_OK);
    outSample->SetDiscontinuity(sample->IsDiscontinuity() == S_OK || m_bSampleSkipped);
    LONGLONG ms = 0;
    LONGLONG me = 0;
    if (sample->GetMediaTime(&ms, &me) == S_OK)
        outSample->SetMediaTime(&ms, &me);
    return S_OK;
}

HRESULT CTransformFilter::Receive(IMediaSample* sample) {
    IMediaSample* out = nullptr;
    HRESULT hr = InitializeOutputSample(sample, &out);
    if (FAILED(hr))
        return hr;
    hr = Transform(sample, out);
    if (hr == S_OK) {
        hr = m_pOutput->Deliver(out);
        m_bSampleSkipped = false;
    } else if (hr == S_FALSE) {
        // A dropped sample: downstream hears about the quality change once.
        m_bSampleSkipped = true;
        if (!m_bQualityChanged) {
            NotifyEvent(EC_QUALITY_CHANGE, 0, 0);
            m_bQualityChanged = true;
        }
        hr = S_OK;
    }
    out->Release();
    return hr;
}

HRESULT CTransformFilter::EndOfStream() {
    m_bEOSDelivered = true;
    return m_pOutput->DeliverEndOfStream();
}

HRESULT CTransformFilter::BeginFlush() {
    return m_pOutput->DeliverBeginFlush();
}
HRESULT CTransformFilter::EndFlush() {
    return m_pOutput->DeliverEndFlush();
}

HRESULT CTransformFilter::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    if (m_pOutput->IsConnected())
        return m_pOutput->DeliverNewSegment(start, stop, rate);
    return S_OK;
}

// ---- In place
// -----------------------------------------------------------------------------------------------

CTransInPlaceInputPin::CTransInPlaceInputPin(const char* objectName, CTransInPlaceFilter* filter,
                                             HRESULT* phr, const char* name)
    : CTransformInputPin(objectName, filter, phr, name), m_pTIPFilter(filter) {}

HRESULT CTransInPlaceInputPin::EnumMediaTypes(IEnumMediaTypes** types) {
    // The types of whatever is downstream: we pass them through unchanged.
    CTransformOutputPin* out = m_pTIPFilter->m_pOutput;
    if (!out || !out->IsConnected())
        return VFW_E_NOT_CONNECTED;
    return out->GetConnected()->EnumMediaTypes(types);
}

HRESULT CTransInPlaceInputPin::CheckMediaType(const CMediaType* pmt) {
    HRESULT hr = m_pTIPFilter->CheckInputType(pmt);
    if (hr != S_OK)
        return hr;
    CTransformOutputPin* out = m_pTIPFilter->m_pOutput;
    if (out && out->IsConnected())
        return out->GetConnected()->QueryAccept(pmt);
    return S_OK;
}

HRESULT CTransInPlaceInputPin::GetAllocator(IMemAllocator** allocator) {
    if (!allocator)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    CTransformOutputPin* out = m_pTIPFilter->m_pOutput;
    if (out && out->IsConnected() && out->ConnectedInputPin()) {
        HRESULT hr = out->ConnectedInputPin()->GetAllocator(allocator);
        if (SUCCEEDED(hr))
            return hr;
    }
    return CTransformInputPin::GetAllocator(allocator);
}

HRESULT CTransInPlaceInputPin::NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) {
    if (!allocator)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    HRESULT hr = CBaseInputPin::NotifyAllocator(allocator, readOnly);
    if (FAILED(hr))
        return hr;
    // Pass the same allocator on, so the one buffer travels through us.
    CTransformOutputPin* out = m_pTIPFilter->m_pOutput;
    if (out && out->IsConnected() && out->ConnectedInputPin()) {
        hr = out->ConnectedInputPin()->NotifyAllocator(allocator, readOnly);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT CTransInPlaceInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) {
    CTransformOutputPin* out = m_pTIPFilter->m_pOutput;
    if (out && out->IsConnected() && out->ConnectedInputPin())
        return out->ConnectedInputPin()->GetAllocatorRequirements(props);
    return E_NOTIMPL;
}

CTransInPlaceOutputPin::CTransInPlaceOutputPin(const char* objectName, CTransInPlaceFilter* filter,
                                               HRESULT* phr, const char* name)
    : CTransformOutputPin(objectName, filter, phr, name), m_pTIPFilter(filter) {}

HRESULT CTransInPlaceOutputPin::DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator) {
    // The input's allocator travels on when downstream takes it, so one buffer passes through.
    IMemAllocator* upstream = m_pTIPFilter->m_pInput->Allocator();
    if (upstream && SUCCEEDED(pin->NotifyAllocator(upstream, m_pTIPFilter->m_pInput->IsReadOnly()))) {
        upstream->AddRef();
        *allocator = upstream;
        return S_OK;
    }
    return CTransformOutputPin::DecideAllocator(pin, allocator);
}

HRESULT CTransInPlaceOutputPin::EnumMediaTypes(IEnumMediaTypes** types) {
    CTransformInputPin* in = m_pTIPFilter->m_pInput;
    if (!in || !in->IsConnected())
        return VFW_E_NOT_CONNECTED;
    return in->GetConnected()->EnumMediaTypes(types);
}

HRESULT CTransInPlaceOutputPin::CheckMediaType(const CMediaType* pmt) {
    // The output type must be the input type (or one the upstream pin accepts as the new input).
    CTransformInputPin* in = m_pTIPFilter->m_pInput;
    if (!in || !in->IsConnected())
        return E_INVALIDARG;
    if (in->CurrentMediaType() == *pmt)
        return m_pTIPFilter->CheckInputType(pmt);
    return VFW_E_TYPE_NOT_ACCEPTED;
}

CTransInPlaceFilter::CTransInPlaceFilter(const char* name, LPUNKNOWN outer, REFCLSID clsid, HRESULT* phr,
                                         bool modifiesData)
    : CTransformFilter(name, outer, clsid, phr), m_bModifiesData(modifiesData) {}

void CTransInPlaceFilter::CreatePins() {
    HRESULT hr = S_OK;
    m_pInput = new (std::nothrow) CTransInPlaceInputPin("TransInPlace input pin", this, &hr, "Input");
    m_pOutput = new (std::nothrow) CTransInPlaceOutputPin("TransInPlace output pin", this, &hr, "Output");
}

bool CTransInPlaceFilter::TypesMatch() const {
    return m_pInput->IsConnected() && m_pOutput->IsConnected() &&
           m_pInput->CurrentMediaType() == m_pOutput->CurrentMediaType();
}

HRESULT CTransInPlaceFilter::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    // Our own allocator is used only when upstream's could not be passed on: copy its sizes.
    ALLOCATOR_PROPERTIES want = *request;
    IMemAllocator* upstream = m_pInput->Allocator();
    if (upstream) {
        ALLOCATOR_PROPERTIES props;
        if (SUCCEEDED(upstream->GetProperties(&props))) {
            want.cBuffers = std::max(want.cBuffers, props.cBuffers);
            want.cbBuffer = std::max(want.cbBuffer, props.cbBuffer);
        }
    }
    if (want.cBuffers < 1)
        want.cBuffers = 1;
    if (want.cbBuffer < 1)
        want.cbBuffer = static_cast<LONG>(std::max<ULONG>(m_pInput->CurrentMediaType().GetSampleSize(), 1));
    if (want.cbAlign < 1)
        want.cbAlign = 1;
    ALLOCATOR_PROPERTIES actual;
    HRESULT hr = allocator->SetProperties(&want, &actual);
    if (FAILED(hr))
        return hr;
    return (actual.cBuffers < want.cBuffers || actual.cbBuffer < want.cbBuffer) ? E_FAIL : S_OK;
}

HRESULT CTransInPlaceFilter::CompleteConnect(PIN_DIRECTION, IPin*) {
    return S_OK;
}

IMediaSample* CTransInPlaceFilter::Copy(IMediaSample* source) {
    IMediaSample* dest = nullptr;
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    bool timed = SUCCEEDED(source->GetTime(&start, &stop));
    if (FAILED(m_pOutput->GetDeliveryBuffer(&dest, timed ? &start : nullptr, timed ? &stop : nullptr, 0)))
        return nullptr;
    LONG length = source->GetActualDataLength();
    if (dest->GetSize() < length) {
        dest->Release();
        return nullptr;
    }
    BYTE* from = nullptr;
    BYTE* to = nullptr;
    source->GetPointer(&from);
    dest->GetPointer(&to);
    std::memcpy(to, from, static_cast<std::size_t>(length));
    dest->SetActualDataLength(length);
    if (timed) {
        HRESULT th = source->GetTime(&start, &stop);
        dest->SetTime(&start, th == S_OK ? &stop : nullptr);
    }
    dest->SetSyncPoint(source->IsSyncPoint() == S_OK);
    dest->SetPreroll(source->IsPreroll() == S_OK);
    dest->SetDiscontinuity(source->IsDiscontinuity() == S_OK);
    AM_MEDIA_TYPE* mt = nullptr;
    if (source->GetMediaType(&mt) == S_OK && mt) {
        dest->SetMediaType(mt);
        DeleteMediaType(mt);
    }
    return dest;
}

HRESULT CTransInPlaceFilter::Receive(IMediaSample* sample) {
    // The same buffer travels on when upstream and downstream share the allocator; otherwise a copy.
    bool shared = m_pInput->Allocator() && m_pInput->Allocator() == m_pOutput->Allocator();
    IMediaSample* work = sample;
    if (!shared || (m_bModifiesData && m_pInput->IsReadOnly())) {
        work = Copy(sample);
        if (!work)
            return E_UNEXPECTED;
    } else {
        work->AddRef();
    }
    HRESULT hr = Transform(work);
    if (hr == S_OK) {
        hr = m_pOutput->Deliver(work);
        m_bSampleSkipped = false;
    } else if (hr == S_FALSE) {
        m_bSampleSkipped = true;
        if (!m_bQualityChanged) {
            NotifyEvent(EC_QUALITY_CHANGE, 0, 0);
            m_bQualityChanged = true;
        }
        hr = S_OK;
    }
    work->Release();
    return hr;
}
