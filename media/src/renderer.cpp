#include "media/renderer.h"

#include <chrono>
#include <cstring>
#include <new>

// ---- Input pin --------------------------------------------------------------------------------------------

CRendererInputPin::CRendererInputPin(CBaseRenderer* renderer, HRESULT* phr, const char* name)
    : CBaseInputPin("renderer input pin", renderer, renderer->StateLock(), phr, name), m_pRenderer(renderer) {
}

HRESULT CRendererInputPin::CheckMediaType(const CMediaType* pmt) {
    return m_pRenderer->CheckMediaType(pmt);
}

HRESULT CRendererInputPin::SetMediaType(const CMediaType* pmt) {
    HRESULT hr = CBasePin::SetMediaType(pmt);
    if (FAILED(hr))
        return hr;
    return m_pRenderer->SetMediaType(pmt);
}

HRESULT CRendererInputPin::CompleteConnect(IPin* receivePin) {
    HRESULT hr = CBaseInputPin::CompleteConnect(receivePin);
    if (FAILED(hr))
        return hr;
    return m_pRenderer->CompleteConnect(receivePin);
}

HRESULT CRendererInputPin::BreakConnect() {
    m_pRenderer->BreakConnect();
    return CBaseInputPin::BreakConnect();
}

HRESULT CRendererInputPin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) {
    if (!connector || !pmt)
        return E_POINTER;
    {
        CAutoLock lock(m_pLock);
        if (m_Connected && m_Connected == connector) {
            // A new format from the pin we are connected to: accepted while streaming.
            CMediaType mt(*pmt);
            HRESULT hr = CheckMediaType(&mt);
            if (hr != S_OK)
                return (SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG) ? VFW_E_TYPE_NOT_ACCEPTED : hr;
            return SetMediaType(&mt);
        }
    }
    return CBaseInputPin::ReceiveConnection(connector, pmt);
}

HRESULT CRendererInputPin::Receive(IMediaSample* sample) {
    HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK)
        return hr;
    // A sample that carries a new format (already checked by the base) changes the renderer's format.
    AM_MEDIA_TYPE* changed = nullptr;
    if (sample->GetMediaType(&changed) == S_OK && changed) {
        CMediaType mt(*changed);
        DeleteMediaType(changed);
        hr = m_pRenderer->SetMediaType(&mt);
        if (FAILED(hr))
            return hr;
    }
    return m_pRenderer->Receive(sample);
}

HRESULT CRendererInputPin::EndOfStream() {
    HRESULT hr = CheckStreaming();
    if (hr != S_OK)
        return hr;
    return m_pRenderer->EndOfStream();
}

HRESULT CRendererInputPin::BeginFlush() {
    CBaseInputPin::BeginFlush();
    return m_pRenderer->BeginFlush();
}

HRESULT CRendererInputPin::EndFlush() {
    m_pRenderer->EndFlush();
    return CBaseInputPin::EndFlush();
}

// ---- CBaseRenderer
// ------------------------------------------------------------------------------------------

CBaseRenderer::CBaseRenderer(REFCLSID clsid, const char* name, LPUNKNOWN outer, HRESULT* phr)
    : CBaseFilter(name, outer, &m_InterfaceLock, clsid, phr) {}

CBaseRenderer::~CBaseRenderer() {
    Interrupt();
    delete m_pInputPin;
}

HRESULT CBaseRenderer::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IVideoFrameStep && m_bCanStep)
        return GetInterface(static_cast<IVideoFrameStep*>(this), ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CBaseRenderer::Step(DWORD frames, IUnknown* stepObject) {
    if (stepObject)
        return E_INVALIDARG;
    return StepFrames(frames);
}

HRESULT CBaseRenderer::CanStep(LONG, IUnknown*) {
    return m_bCanStep ? S_OK : S_FALSE;
}

CRendererInputPin* CBaseRenderer::InputPin() {
    CAutoLock lock(&m_InterfaceLock);
    if (!m_pInputPin) {
        HRESULT hr = S_OK;
        m_pInputPin = new (std::nothrow) CRendererInputPin(this, &hr, "In");
    }
    return m_pInputPin;
}

int CBaseRenderer::GetPinCount() {
    return 1;
}

CBasePin* CBaseRenderer::GetPin(int n) {
    return n == 0 ? InputPin() : nullptr;
}

HRESULT CBaseRenderer::FindPin(const char* id, IPin** pin) {
    if (!id || !pin)
        return E_POINTER;
    if (std::strcmp(id, "In") == 0 || std::strcmp(id, "Input") == 0) {
        *pin = InputPin();
        if (!*pin)
            return E_OUTOFMEMORY;
        (*pin)->AddRef();
        return S_OK;
    }
    *pin = nullptr;
    return VFW_E_NOT_FOUND;
}

void CBaseRenderer::Interrupt() {
    {
        std::lock_guard lock(m_mutex);
        ++m_generation;
    }
    m_cond.notify_all();
}

bool CBaseRenderer::IsEndOfStream() const {
    std::lock_guard lock(m_mutex);
    return m_bEOS;
}

HRESULT CBaseRenderer::Stop() {
    CAutoLock lock(&m_InterfaceLock);
    if (m_State == State_Stopped)
        return S_OK;
    {
        std::lock_guard l(m_mutex);
        m_renderState = State_Stopped;
        m_bHaveSample = false;
        m_bEOS = false;
        m_bEOSDelivered = false;
        m_lStepFrames = -1;
        ++m_generation;
    }
    m_cond.notify_all();
    HRESULT hr = CBaseFilter::Stop();
    // Wait for a sample being presented to finish before streaming stops.
    {
        std::unique_lock l(m_mutex);
        m_cond.wait(l, [this] { return !m_bInReceive; });
    }
    OnStopStreaming();
    return hr;
}

HRESULT CBaseRenderer::Pause() {
    CAutoLock lock(&m_InterfaceLock);
    FILTER_STATE old = m_State;
    if (old == State_Paused)
        return S_OK;
    if (old == State_Stopped) {
        HRESULT hr = OnStartStreaming();
        if (FAILED(hr))
            return hr;
    }
    HRESULT hr = CBaseFilter::Pause();
    if (FAILED(hr))
        return hr;
    {
        std::lock_guard l(m_mutex);
        if (old == State_Stopped) {
            m_bHaveSample = false;
            m_bEOS = false;
            m_bEOSDelivered = false;
        }
        m_renderState = State_Paused;
        m_lStepFrames = -1;
        ++m_generation;
    }
    m_cond.notify_all();
    return S_OK;
}

HRESULT CBaseRenderer::Run(REFERENCE_TIME start) {
    CAutoLock lock(&m_InterfaceLock);
    if (m_State == State_Running)
        return S_OK;
    HRESULT hr = CBaseFilter::Run(start);
    if (FAILED(hr))
        return hr;
    bool complete = false;
    {
        std::lock_guard l(m_mutex);
        m_renderState = State_Running;
        m_lStepFrames = -1;
        ++m_generation;
        if (m_bEOS && !m_bEOSDelivered) {
            m_bEOSDelivered = true;
            complete = true;
        }
    }
    m_cond.notify_all();
    if (complete)
        NotifyEvent(EC_COMPLETE, S_OK, 0);
    return S_OK;
}

HRESULT CBaseRenderer::GetState(DWORD milliseconds, FILTER_STATE* state) {
    if (!state)
        return E_POINTER;
    *state = m_State;
    // Nothing can arrive on an unconnected input, so its pause is complete at once.
    if (*state != State_Paused || !m_pInputPin || !m_pInputPin->IsConnected())
        return S_OK;
    // Paused completes when the first sample (or the end of the stream) has arrived.
    std::unique_lock l(m_mutex);
    bool done = m_cond.wait_for(l, std::chrono::milliseconds(milliseconds), [this] {
        return m_bHaveSample || m_bEOS || m_renderState != State_Paused || m_lStepFrames >= 0;
    });
    return done ? S_OK : VFW_S_STATE_INTERMEDIATE;
}

bool CBaseRenderer::WaitUntil(REFERENCE_TIME streamDeadline) {
    std::unique_lock l(m_mutex);
    unsigned gen = m_generation;
    for (;;) {
        if (m_generation != gen)
            return false;
        REFERENCE_TIME now = 0;
        if (!m_pClock || FAILED(m_pClock->GetTime(&now)))
            return true;
        REFERENCE_TIME left = streamDeadline - (now - m_tStart);
        if (left <= 0)
            return true;
        m_cond.wait_for(l, std::chrono::microseconds(left / 10 + 1));
    }
}

HRESULT CBaseRenderer::Receive(IMediaSample* sample) {
    std::unique_lock l(m_mutex);
    if (m_bEOS)
        return VFW_E_SAMPLE_REJECTED_EOS;
    if (m_renderState == State_Stopped)
        return VFW_E_WRONG_STATE;
    if (m_bFlushing)
        return S_FALSE;
    m_bInReceive = true;
    bool first = true;
    HRESULT result = S_OK;
    for (;;) {
        if (m_bFlushing) {
            result = S_FALSE;
            break;
        }
        if (m_renderState == State_Stopped) {
            result = VFW_E_WRONG_STATE;
            break;
        }
        if (m_lStepFrames > 0) {
            // Stepping: present at once.
            l.unlock();
            HRESULT hr = DoRenderSample(sample);
            l.lock();
            ++m_cRendered;
            bool done = --m_lStepFrames == 0;
            m_bHaveSample = false;
            l.unlock();
            m_cond.notify_all();
            if (done)
                NotifyEvent(EC_STEP_COMPLETE, FALSE, 0);
            l.lock();
            result = hr;
            break;
        }
        if (m_renderState == State_Paused || m_lStepFrames == 0) {
            // Hold the sample: the pause is complete; wait for run, step, flush or stop.
            m_bHaveSample = true;
            if (first && m_lStepFrames < 0) {
                first = false;
                l.unlock();
                m_cond.notify_all();
                OnReceiveFirstSample(sample);
                l.lock();
                continue;
            }
            unsigned gen = m_generation;
            m_cond.wait(l, [&] { return m_generation != gen; });
            continue;
        }
        // Running: wait for the sample's start time on the clock.
        REFERENCE_TIME start = 0;
        REFERENCE_TIME stop = 0;
        if (SchedulesByClock() && SUCCEEDED(sample->GetTime(&start, &stop)) && m_pClock) {
            l.unlock();
            bool due = WaitUntil(start);
            l.lock();
            if (!due)
                continue; // something changed: look again
        }
        m_bHaveSample = false;
        l.unlock();
        HRESULT hr = DoRenderSample(sample);
        l.lock();
        ++m_cRendered;
        result = hr;
        break;
    }
    m_bInReceive = false;
    if (result != S_OK)
        m_bHaveSample = false;
    l.unlock();
    m_cond.notify_all();
    return result;
}

HRESULT CBaseRenderer::EndOfStream() {
    bool complete = false;
    {
        std::lock_guard l(m_mutex);
        if (m_bFlushing || m_renderState == State_Stopped)
            return S_OK;
        m_bEOS = true;
        if (m_renderState == State_Running && !m_bEOSDelivered) {
            m_bEOSDelivered = true;
            complete = true;
        }
    }
    m_cond.notify_all();
    if (complete)
        NotifyEvent(EC_COMPLETE, S_OK, 0);
    return S_OK;
}

HRESULT CBaseRenderer::BeginFlush() {
    {
        std::lock_guard l(m_mutex);
        m_bFlushing = true;
        ++m_generation;
    }
    m_cond.notify_all();
    return S_OK;
}

HRESULT CBaseRenderer::EndFlush() {
    {
        std::lock_guard l(m_mutex);
        m_bFlushing = false;
        m_bEOS = false;
        m_bEOSDelivered = false;
        m_bHaveSample = false;
        ++m_generation;
    }
    m_cond.notify_all();
    return S_OK;
}

HRESULT CBaseRenderer::StepFrames(DWORD frames) {
    {
        std::lock_guard l(m_mutex);
        if (m_renderState == State_Stopped)
            return VFW_E_WRONG_STATE;
        // A step asked for while the last one still presents adds to it: replacing the count would lose
        // the frames still to come (or, just after the last one was presented, the new step itself).
        if (frames > 0 && m_lStepFrames > 0)
            m_lStepFrames += static_cast<LONG>(frames);
        else
            m_lStepFrames = static_cast<LONG>(frames);
        ++m_generation;
    }
    m_cond.notify_all();
    return S_OK;
}

HRESULT CBaseRenderer::CancelStep() {
    {
        std::lock_guard l(m_mutex);
        m_lStepFrames = -1;
        ++m_generation;
    }
    m_cond.notify_all();
    return S_OK;
}
