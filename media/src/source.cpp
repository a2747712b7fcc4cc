#include "media/source.h"

#include <algorithm>

// ---- CSource ----------------------------------------------------------------------------------------------

CSource::CSource(const char* name, LPUNKNOWN outer, REFCLSID clsid, HRESULT* phr)
    : CBaseFilter(name, outer, &m_cStateLock, clsid, phr) {}

CSource::~CSource() {
    // Each pin's destructor removes it from the list.
    while (!m_paStreams.empty())
        delete m_paStreams.back();
}

int CSource::GetPinCount() {
    CAutoLock lock(&m_cStateLock);
    return m_iPins;
}

CBasePin* CSource::GetPin(int n) {
    CAutoLock lock(&m_cStateLock);
    if (n < 0 || n >= m_iPins)
        return nullptr;
    return m_paStreams[static_cast<std::size_t>(n)];
}

HRESULT CSource::FindPin(const char* id, IPin** pin) {
    return CBaseFilter::FindPin(id, pin);
}

HRESULT CSource::AddPin(CSourceStream* pin) {
    CAutoLock lock(&m_cStateLock);
    m_paStreams.push_back(pin);
    m_iPins = static_cast<int>(m_paStreams.size());
    return S_OK;
}

HRESULT CSource::RemovePin(CSourceStream* pin) {
    CAutoLock lock(&m_cStateLock);
    auto it = std::find(m_paStreams.begin(), m_paStreams.end(), pin);
    if (it == m_paStreams.end())
        return S_FALSE;
    m_paStreams.erase(it);
    m_iPins = static_cast<int>(m_paStreams.size());
    return S_OK;
}

int CSource::FindPinNumber(IPin* pin) {
    CAutoLock lock(&m_cStateLock);
    for (int i = 0; i < m_iPins; ++i)
        if (static_cast<IPin*>(m_paStreams[static_cast<std::size_t>(i)]) == pin)
            return i;
    return -1;
}

// ---- CSourceStream
// -----------------------------------------------------------------------------------------

CSourceStream::CSourceStream(const char* objectName, HRESULT* phr, CSource* filter, const char* pinName)
    : CBaseOutputPin(objectName, filter, filter->pStateLock(), phr, pinName), m_pFilter(filter) {
    filter->AddPin(this);
}

CSourceStream::~CSourceStream() {
    // A pin destroyed while its thread still runs would leave the thread on freed memory.
    if (ThreadExists()) {
        Stop();
        Exit();
        Close();
    }
    m_pFilter->RemovePin(this);
}

HRESULT CSourceStream::CheckMediaType(const CMediaType* pmt) {
    CAutoLock lock(m_pFilter->pStateLock());
    CMediaType mt;
    if (FAILED(GetMediaType(&mt)))
        return E_FAIL;
    return mt == *pmt ? S_OK : E_FAIL;
}

HRESULT CSourceStream::GetMediaType(int position, CMediaType* pmt) {
    if (position < 0)
        return E_INVALIDARG;
    if (position > 0)
        return VFW_S_NO_MORE_ITEMS;
    return GetMediaType(pmt);
}

HRESULT CSourceStream::GetMediaType(CMediaType*) {
    return E_UNEXPECTED;
}

HRESULT CSourceStream::Active() {
    CAutoLock lock(m_pFilter->pStateLock());
    if (m_pFilter->IsActive())
        return S_FALSE; // already running
    if (!IsConnected())
        return S_OK;
    HRESULT hr = CBaseOutputPin::Active();
    if (FAILED(hr))
        return hr;
    if (ThreadExists())
        return S_OK;
    if (!Create())
        return E_FAIL;
    hr = Init();
    if (FAILED(hr))
        return hr;
    return Pause();
}

HRESULT CSourceStream::Inactive() {
    CAutoLock lock(m_pFilter->pStateLock());
    if (!IsConnected())
        return S_OK;
    // Decommitting first releases a thread waiting for a buffer.
    HRESULT hr = CBaseOutputPin::Inactive();
    if (FAILED(hr))
        return hr;
    if (ThreadExists()) {
        hr = Stop();
        if (FAILED(hr))
            return hr;
        hr = Exit();
        if (FAILED(hr))
            return hr;
        Close();
    }
    return S_OK;
}

BOOL CSourceStream::CheckRequest(Command* com) {
    DWORD param = 0;
    BOOL got = CAMThread::CheckRequest(&param);
    if (got && com)
        *com = static_cast<Command>(param);
    return got;
}

DWORD CSourceStream::ThreadProc() {
    Command com;
    do {
        com = GetRequest();
        if (com != CMD_INIT)
            Reply(static_cast<DWORD>(E_UNEXPECTED));
    } while (com != CMD_INIT);

    HRESULT hr = OnThreadCreate();
    if (FAILED(hr)) {
        OnThreadDestroy();
        Reply(static_cast<DWORD>(hr));
        return 1;
    }
    Reply(S_OK);

    for (;;) {
        com = GetRequest();
        switch (com) {
        case CMD_EXIT:
            Reply(S_OK);
            OnThreadDestroy();
            return 0;
        case CMD_RUN:
        case CMD_PAUSE:
            Reply(S_OK);
            DoBufferProcessingLoop();
            break;
        case CMD_STOP:
            Reply(S_OK);
            break;
        default:
            Reply(static_cast<DWORD>(E_NOTIMPL));
            break;
        }
    }
}

HRESULT CSourceStream::DoBufferProcessingLoop() {
    OnThreadStartPlay();
    Command com = CMD_INIT;
    do {
        while (!CheckRequest(&com)) {
            IMediaSample* sample = nullptr;
            HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
            if (FAILED(hr)) {
                // Decommitted: a stop is on its way; wait for the command.
                WaitForSingleObject(GetRequestHandle(), INFINITE);
                continue;
            }
            hr = FillBuffer(sample);
            if (hr == S_OK) {
                hr = Deliver(sample);
                sample->Release();
                if (hr != S_OK && !ContinueAfterRefusal(hr))
                    return S_OK; // wait for a command
                continue;
            }
            sample->Release();
            if (hr == kFillPending)
                continue; // the command is taken at the top of the loop
            DeliverEndOfStream();
            if (hr != S_FALSE)
                m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
            OnStreamEnded(hr);
            return hr == S_FALSE ? S_OK : hr;
        }
        // Run and pause are acknowledged and streaming goes on.
        if (com == CMD_RUN || com == CMD_PAUSE)
            Reply(S_OK);
        else if (com != CMD_STOP)
            Reply(static_cast<DWORD>(E_UNEXPECTED));
    } while (com != CMD_STOP);
    return S_FALSE;
}
