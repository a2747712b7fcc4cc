#include "media/harness.h"

#include <chrono>
#include <cstring>
#include <new>

namespace media {

namespace {
const CLSID kHarnessClsid = {0x6A1D4C8E, 0x2B7F, 0x4E19, {0x9C, 0x3A, 0x51, 0x7D, 0x20, 0x84, 0xE6, 0x0B}};
}

// The stand-in graph: it only collects events.
class CHarnessGraph : public CUnknown, public IFilterGraph, public IMediaEventSink {
public:
    CHarnessGraph() : CUnknown("harness graph", nullptr) {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IFilterGraph)
            return GetInterface(static_cast<IFilterGraph*>(this), ppv);
        if (riid == IID_IMediaEventSink)
            return GetInterface(static_cast<IMediaEventSink*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    HRESULT AddFilter(IBaseFilter*, const char*) override { return E_NOTIMPL; }
    HRESULT RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
    HRESULT EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
    HRESULT FindFilterByName(const char*, IBaseFilter**) override { return E_NOTIMPL; }
    HRESULT ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* pmt) override {
        return out->Connect(in, pmt);
    }
    HRESULT Reconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT Disconnect(IPin* pin) override { return pin->Disconnect(); }
    HRESULT SetDefaultSyncSource() override { return E_NOTIMPL; }

    HRESULT Notify(LONG code, LONG_PTR p1, LONG_PTR p2) override {
        {
            std::lock_guard lock(m_mutex);
            m_events.push_back({code, p1, p2});
        }
        m_cond.notify_all();
        return S_OK;
    }

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cond;
    std::vector<CapturedEvent> m_events;
};

class CFeedPin : public CBaseOutputPin {
public:
    CFeedPin(CBaseFilter* filter, CCritSec* lock, const CMediaType& type, const ALLOCATOR_PROPERTIES& props)
        : CBaseOutputPin("harness feed pin", filter, lock, nullptr, "Feed"), m_type(type), m_props(props) {}
    HRESULT CheckMediaType(const CMediaType* pmt) override { return *pmt == m_type ? S_OK : S_FALSE; }
    HRESULT GetMediaType(int position, CMediaType* pmt) override {
        if (position < 0)
            return E_INVALIDARG;
        if (position > 0)
            return VFW_S_NO_MORE_ITEMS;
        *pmt = m_type;
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
        ALLOCATOR_PROPERTIES want = m_props;
        want.cBuffers = std::max(want.cBuffers, request->cBuffers);
        want.cbBuffer = std::max(want.cbBuffer, request->cbBuffer);
        want.cbAlign = std::max<LONG>(1, std::max(want.cbAlign, request->cbAlign));
        ALLOCATOR_PROPERTIES actual;
        HRESULT hr = allocator->SetProperties(&want, &actual);
        if (FAILED(hr))
            return hr;
        return actual.cbBuffer < want.cbBuffer ? E_FAIL : S_OK;
    }
    CMediaType m_type;
    ALLOCATOR_PROPERTIES m_props;
};

class CCapturePin : public CBaseInputPin {
public:
    CCapturePin(CBaseFilter* filter, CCritSec* lock, std::function<HRESULT(const CMediaType&)> accept,
                std::vector<CMediaType> types, const std::string& name)
        : CBaseInputPin("harness capture pin", filter, lock, nullptr, name.c_str()),
          m_accept(std::move(accept)), m_types(std::move(types)) {}

    HRESULT CheckMediaType(const CMediaType* pmt) override { return m_accept ? m_accept(*pmt) : S_OK; }
    HRESULT GetMediaType(int position, CMediaType* pmt) override {
        if (position < 0)
            return E_INVALIDARG;
        if (static_cast<std::size_t>(position) >= m_types.size())
            return VFW_S_NO_MORE_ITEMS;
        *pmt = m_types[static_cast<std::size_t>(position)];
        return S_OK;
    }
    // A connected capture takes a new format from its own upstream pin, as renderers do.
    HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) override {
        {
            CAutoLock lock(m_pLock);
            if (m_Connected && m_Connected == connector && pmt) {
                CMediaType mt(*pmt);
                if (CheckMediaType(&mt) != S_OK)
                    return VFW_E_TYPE_NOT_ACCEPTED;
                return SetMediaType(&mt);
            }
        }
        return CBaseInputPin::ReceiveConnection(connector, pmt);
    }
    HRESULT Receive(IMediaSample* sample) override {
        HRESULT hr = CBaseInputPin::Receive(sample);
        if (hr != S_OK)
            return hr;
        CapturedSample c;
        BYTE* p = nullptr;
        sample->GetPointer(&p);
        LONG n = sample->GetActualDataLength();
        if (p && n > 0)
            c.data.assign(p, p + n);
        c.timeResult = sample->GetTime(&c.start, &c.stop);
        c.syncPoint = sample->IsSyncPoint() == S_OK;
        c.discontinuity = sample->IsDiscontinuity() == S_OK;
        c.preroll = sample->IsPreroll() == S_OK;
        AM_MEDIA_TYPE* mt = nullptr;
        if (sample->GetMediaType(&mt) == S_OK && mt) {
            c.hasMediaType = true;
            c.mediaType = *mt;
            DeleteMediaType(mt);
        }
        HRESULT answer;
        {
            std::unique_lock lock(m_mutex);
            m_samples.push_back(std::move(c));
            answer = m_result;
            m_cond.notify_all();
            // A held capture keeps the sample, as a paused renderer does, until released or flushed.
            const LONG flushes = m_flushes;
            m_cond.wait(lock, [&] { return !m_hold || m_flushing || m_flushes != flushes; });
        }
        return answer;
    }
    HRESULT EndOfStream() override {
        {
            std::lock_guard lock(m_mutex);
            m_eos = true;
        }
        m_cond.notify_all();
        return S_OK;
    }
    HRESULT BeginFlush() override {
        CBaseInputPin::BeginFlush();
        {
            std::lock_guard lock(m_mutex);
            ++m_flushes;
            m_eos = false;
            m_flushing = true;
        }
        m_cond.notify_all();
        return S_OK;
    }
    HRESULT EndFlush() override {
        {
            std::lock_guard lock(m_mutex);
            m_flushing = false;
        }
        return CBaseInputPin::EndFlush();
    }
    void Hold(bool hold) {
        {
            std::lock_guard lock(m_mutex);
            m_hold = hold;
        }
        m_cond.notify_all();
    }

    std::function<HRESULT(const CMediaType&)> m_accept;
    std::vector<CMediaType> m_types;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cond;
    std::vector<CapturedSample> m_samples;
    bool m_eos = false;
    LONG m_flushes = 0;
    HRESULT m_result = S_OK;
    bool m_hold = false;
    bool m_flushing = false;
};

class CHarnessFilter : public CBaseFilter {
public:
    CHarnessFilter() : CBaseFilter("harness", nullptr, &m_lock, kHarnessClsid) {}
    ~CHarnessFilter() override = default;
    int GetPinCount() override {
        CAutoLock lock(&m_lock);
        return static_cast<int>(m_pins.size());
    }
    CBasePin* GetPin(int n) override {
        CAutoLock lock(&m_lock);
        if (n < 0 || n >= static_cast<int>(m_pins.size()))
            return nullptr;
        return m_pins[static_cast<std::size_t>(n)].get();
    }
    CCritSec m_lock;
    CCritSec m_feedLock;
    std::vector<std::unique_ptr<CBasePin>> m_pins;
    CFeedPin* m_feed = nullptr;
    std::vector<CCapturePin*> m_captures;
};

namespace {

// The first unconnected pin of the given direction, or the one with that name.
IPin* FindFilterPin(IBaseFilter* filter, PIN_DIRECTION dir, const char* name) {
    IEnumPins* pins = nullptr;
    if (FAILED(filter->EnumPins(&pins)))
        return nullptr;
    IPin* found = nullptr;
    IPin* pin = nullptr;
    while (!found && pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_INFO info;
        pin->QueryPinInfo(&info);
        if (info.pFilter)
            info.pFilter->Release();
        IPin* peer = nullptr;
        bool free = pin->ConnectedTo(&peer) != S_OK;
        if (peer)
            peer->Release();
        bool match = info.dir == dir && (name ? std::strcmp(info.achName, name) == 0 : free);
        if (match)
            found = pin;
        else
            pin->Release();
    }
    pins->Release();
    return found;
}

} // namespace

CFilterHarness::CFilterHarness(IBaseFilter* filter) : m_filter(filter) {
    m_filter->AddRef();
    m_graph = new CHarnessGraph();
    m_graph->NonDelegatingAddRef();
    m_host = new CHarnessFilter();
    m_host->NonDelegatingAddRef();
    m_host->JoinFilterGraph(m_graph, "harness");
    m_filter->JoinFilterGraph(m_graph, "filter under test");
}

CFilterHarness::~CFilterHarness() {
    Stop();
    // Break every connection before the pins go.
    for (int i = 0, n = m_host->GetPinCount(); i < n; ++i) {
        CBasePin* pin = m_host->GetPin(i);
        IPin* peer = pin->GetConnected();
        if (peer) {
            peer->Disconnect();
            pin->Disconnect();
        }
    }
    m_filter->JoinFilterGraph(nullptr, nullptr);
    m_host->JoinFilterGraph(nullptr, nullptr);
    m_filter->Release();
    m_host->NonDelegatingRelease();
    m_graph->NonDelegatingRelease();
}

HRESULT CFilterHarness::ConnectInput(const CMediaType& type, const ALLOCATOR_PROPERTIES& props,
                                     const char* pinName) {
    IPin* in = FindFilterPin(m_filter, PINDIR_INPUT, pinName);
    if (!in)
        return VFW_E_NOT_FOUND;
    {
        CAutoLock lock(&m_host->m_lock);
        if (!m_host->m_feed) {
            // The feeding pin has a lock of its own: connections run feed -> filter and filter -> capture,
            // so one lock for both would be taken in both orders.
            auto feed = std::make_unique<CFeedPin>(m_host, &m_host->m_feedLock, type, props);
            m_host->m_feed = feed.get();
            m_host->m_pins.push_back(std::move(feed));
        } else {
            m_host->m_feed->m_type = type;
            m_host->m_feed->m_props = props;
        }
    }
    HRESULT hr = m_host->m_feed->Connect(in, &type);
    in->Release();
    return hr;
}

HRESULT CFilterHarness::ConnectOutput(int* index, std::function<HRESULT(const CMediaType&)> accept,
                                      std::vector<CMediaType> types, const char* pinName) {
    IPin* out = FindFilterPin(m_filter, PINDIR_OUTPUT, pinName);
    if (!out)
        return VFW_E_NOT_FOUND;
    CCapturePin* capture;
    int at;
    {
        CAutoLock lock(&m_host->m_lock);
        at = static_cast<int>(m_host->m_captures.size());
        auto pin = std::make_unique<CCapturePin>(m_host, &m_host->m_lock, std::move(accept), std::move(types),
                                                 "Capture" + std::to_string(at));
        capture = pin.get();
        m_host->m_captures.push_back(capture);
        m_host->m_pins.push_back(std::move(pin));
    }
    HRESULT hr = out->Connect(capture, nullptr);
    out->Release();
    if (index)
        *index = at;
    return hr;
}

HRESULT CFilterHarness::Pause() {
    HRESULT hr = m_host->Pause();
    if (FAILED(hr))
        return hr;
    return m_filter->Pause();
}

HRESULT CFilterHarness::Run(REFERENCE_TIME start) {
    HRESULT hr = m_host->Run(start);
    if (FAILED(hr))
        return hr;
    return m_filter->Run(start);
}

HRESULT CFilterHarness::Stop() {
    // A held sample would keep its streaming thread from stopping.
    for (CCapturePin* c : m_host->m_captures)
        c->Hold(false);
    // The filter first, so its threads stop delivering before the captures close.
    HRESULT hr = m_filter->Stop();
    m_host->Stop();
    return hr;
}

HRESULT CFilterHarness::Push(const BYTE* data, LONG length, const REFERENCE_TIME* start,
                             const REFERENCE_TIME* stop, bool syncPoint, bool discontinuity,
                             const AM_MEDIA_TYPE* newType) {
    CFeedPin* feed = m_host->m_feed;
    if (!feed || !feed->IsConnected())
        return VFW_E_NOT_CONNECTED;
    IMediaSample* sample = nullptr;
    HRESULT hr = feed->GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
    if (FAILED(hr))
        return hr;
    BYTE* p = nullptr;
    sample->GetPointer(&p);
    if (length > sample->GetSize()) {
        sample->Release();
        return VFW_E_BUFFER_OVERFLOW;
    }
    if (length > 0)
        std::memcpy(p, data, static_cast<std::size_t>(length));
    sample->SetActualDataLength(length);
    REFERENCE_TIME s = start ? *start : 0;
    REFERENCE_TIME e = stop ? *stop : 0;
    sample->SetTime(start ? &s : nullptr, stop ? &e : nullptr);
    sample->SetSyncPoint(syncPoint);
    sample->SetDiscontinuity(discontinuity);
    if (newType)
        sample->SetMediaType(const_cast<AM_MEDIA_TYPE*>(newType));
    hr = feed->Deliver(sample);
    sample->Release();
    return hr;
}

HRESULT CFilterHarness::PushEndOfStream() {
    return m_host->m_feed ? m_host->m_feed->DeliverEndOfStream() : VFW_E_NOT_CONNECTED;
}
HRESULT CFilterHarness::PushBeginFlush() {
    return m_host->m_feed ? m_host->m_feed->DeliverBeginFlush() : VFW_E_NOT_CONNECTED;
}
HRESULT CFilterHarness::PushEndFlush() {
    return m_host->m_feed ? m_host->m_feed->DeliverEndFlush() : VFW_E_NOT_CONNECTED;
}
HRESULT CFilterHarness::PushNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    return m_host->m_feed ? m_host->m_feed->DeliverNewSegment(start, stop, rate) : VFW_E_NOT_CONNECTED;
}

IPin* CFilterHarness::FeedPin() const {
    return m_host->m_feed;
}

std::vector<CapturedSample> CFilterHarness::Received(int index) const {
    CCapturePin* c = m_host->m_captures.at(static_cast<std::size_t>(index));
    std::lock_guard lock(c->m_mutex);
    return c->m_samples;
}

std::size_t CFilterHarness::ReceivedCount(int index) const {
    CCapturePin* c = m_host->m_captures.at(static_cast<std::size_t>(index));
    std::lock_guard lock(c->m_mutex);
    return c->m_samples.size();
}

bool CFilterHarness::EndOfStreamSeen(int index) const {
    CCapturePin* c = m_host->m_captures.at(static_cast<std::size_t>(index));
    std::lock_guard lock(c->m_mutex);
    return c->m_eos;
}

LONG CFilterHarness::FlushCount(int index) const {
    CCapturePin* c = m_host->m_captures.at(static_cast<std::size_t>(index));
    std::lock_guard lock(c->m_mutex);
    return c->m_flushes;
}

bool CFilterHarness::WaitForSamples(std::size_t count, DWORD milliseconds, int index) const {
    CCapturePin* c = m_host->m_captures.at(static_cast<std::size_t>(index));
    std::unique_lock lock(c->m_mutex);
    return c->m_cond.wait_for(lock, std::chrono::milliseconds(milliseconds),
                              [&] { return c->m_samples.size() >= count; });
}

bool CFilterHarness::WaitForEndOfStream(DWORD milliseconds, int index) const {
    CCapturePin* c = m_host->m_captures.at(static_cast<std::size_t>(index));
    std::unique_lock lock(c->m_mutex);
    return c->m_cond.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return c->m_eos; });
}

void CFilterHarness::ClearReceived(int index) {
    CCapturePin* c = m_host->m_captures.at(static_cast<std::size_t>(index));
    std::lock_guard lock(c->m_mutex);
    c->m_samples.clear();
    c->m_eos = false;
}

void CFilterHarness::HoldReceive(bool hold, int index) {
    m_host->m_captures.at(static_cast<std::size_t>(index))->Hold(hold);
}

void CFilterHarness::SetReceiveResult(HRESULT hr, int index) {
    CCapturePin* c = m_host->m_captures.at(static_cast<std::size_t>(index));
    std::lock_guard lock(c->m_mutex);
    c->m_result = hr;
}

CMediaType CFilterHarness::CaptureType(int index) const {
    return m_host->m_captures.at(static_cast<std::size_t>(index))->CurrentMediaType();
}

ALLOCATOR_PROPERTIES CFilterHarness::CaptureAllocator(int index) const {
    ALLOCATOR_PROPERTIES props;
    IMemAllocator* a = m_host->m_captures.at(static_cast<std::size_t>(index))->Allocator();
    if (a)
        a->GetProperties(&props);
    return props;
}

std::vector<CapturedEvent> CFilterHarness::Events() const {
    std::lock_guard lock(m_graph->m_mutex);
    return m_graph->m_events;
}

bool CFilterHarness::WaitForEvent(LONG code, DWORD milliseconds, CapturedEvent* event) const {
    std::unique_lock lock(m_graph->m_mutex);
    const CapturedEvent* hit = nullptr;
    m_graph->m_cond.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
        for (const CapturedEvent& e : m_graph->m_events)
            if (e.code == code) {
                hit = &e;
                return true;
            }
        return false;
    });
    if (hit && event)
        *event = *hit;
    return hit != nullptr;
}

} // namespace media
