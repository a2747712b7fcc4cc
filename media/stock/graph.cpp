#include "graph.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "media/clsids.h"
#include "stock.h"

namespace {

constexpr int kMaxInsertDepth = 3; // transforms chained by one intelligent connect

class CEnumFilters final : public IEnumFilters {
public:
    explicit CEnumFilters(std::vector<IBaseFilter*> filters, ULONG position = 0)
        : m_filters(std::move(filters)), m_pos(position) {
        for (IBaseFilter* f : m_filters)
            f->AddRef();
    }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IEnumFilters || riid == IID_IUnknown) {
            *ppv = static_cast<IEnumFilters*>(this);
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
    HRESULT Next(ULONG count, IBaseFilter** out, ULONG* fetched) override {
        if (!out)
            return E_POINTER;
        ULONG got = 0;
        while (got < count && m_pos < m_filters.size()) {
            out[got] = m_filters[m_pos++];
            out[got]->AddRef();
            ++got;
        }
        if (fetched)
            *fetched = got;
        return got == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        m_pos += count;
        return m_pos <= m_filters.size() ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        m_pos = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumFilters** out) override {
        if (!out)
            return E_POINTER;
        *out = new (std::nothrow) CEnumFilters(m_filters, m_pos);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

private:
    ~CEnumFilters() {
        for (IBaseFilter* f : m_filters)
            f->Release();
    }
    std::vector<IBaseFilter*> m_filters;
    std::size_t m_pos;
    std::atomic<LONG> m_ref{1};
};

// Every pin of a filter, each with a reference.
std::vector<ComPtr<IPin>> PinsOf(IBaseFilter* filter) {
    std::vector<ComPtr<IPin>> pins;
    IEnumPins* e = nullptr;
    if (FAILED(filter->EnumPins(&e)))
        return pins;
    IPin* p = nullptr;
    while (e->Next(1, &p, nullptr) == S_OK) {
        ComPtr<IPin> held;
        held.Attach(p);
        pins.push_back(std::move(held));
    }
    e->Release();
    return pins;
}

PIN_DIRECTION DirectionOf(IPin* pin) {
    PIN_DIRECTION d = PINDIR_INPUT;
    pin->QueryDirection(&d);
    return d;
}

ComPtr<IPin> PeerOf(IPin* pin) {
    ComPtr<IPin> peer;
    pin->ConnectedTo(&peer);
    return peer;
}

ComPtr<IBaseFilter> FilterOf(IPin* pin) {
    PIN_INFO info;
    ComPtr<IBaseFilter> f;
    if (SUCCEEDED(pin->QueryPinInfo(&info)))
        f.Attach(info.pFilter);
    return f;
}

std::vector<CMediaType> TypesOf(IPin* pin) {
    std::vector<CMediaType> types;
    IEnumMediaTypes* e = nullptr;
    if (FAILED(pin->EnumMediaTypes(&e)) || !e)
        return types;
    AM_MEDIA_TYPE* mt = nullptr;
    while (e->Next(1, &mt, nullptr) == S_OK) {
        types.emplace_back(*mt);
        DeleteMediaType(mt);
    }
    e->Release();
    return types;
}

bool GuidMatches(const GUID& a, const GUID& b) {
    return a == GUID_NULL || b == GUID_NULL || a == b;
}

// Whether a registered pin takes one of `types` (any type when the output proposes none).
bool PinTakes(const media::RegisteredPin& pin, const std::vector<CMediaType>& types) {
    if (types.empty() || pin.types.empty())
        return true;
    for (const CMediaType& t : types)
        for (const auto& [major, minor] : pin.types)
            if (GuidMatches(major, t.majortype) && GuidMatches(minor, t.subtype))
                return true;
    return false;
}

} // namespace

CFilterGraph::CFilterGraph(LPUNKNOWN outer, HRESULT* phr)
    : CUnknown("filter graph", outer, phr), m_hEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

CFilterGraph::~CFilterGraph() {
    Stop();
    // Remove from the end so later filters (downstream of earlier ones) go first.
    while (!m_filters.empty())
        RemoveFilter(m_filters.back().filter);
    if (m_pClock)
        m_pClock->Release();
    CloseHandle(m_hEvent);
}

CUnknown* CFilterGraph::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
    return new (std::nothrow) CFilterGraph(outer, phr);
}

HRESULT CFilterGraph::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IGraphBuilder)
        return GetInterface(static_cast<IGraphBuilder*>(this), ppv);
    if (riid == IID_IFilterGraph)
        return GetInterface(static_cast<IFilterGraph*>(this), ppv);
    if (riid == IID_IMediaControl)
        return GetInterface(static_cast<IMediaControl*>(this), ppv);
    if (riid == IID_IMediaEventEx)
        return GetInterface(static_cast<IMediaEventEx*>(this), ppv);
    if (riid == IID_IMediaEvent)
        return GetInterface(static_cast<IMediaEvent*>(this), ppv);
    if (riid == IID_IMediaEventSink)
        return GetInterface(static_cast<IMediaEventSink*>(this), ppv);
    if (riid == IID_IVideoFrameStep)
        return GetInterface(static_cast<IVideoFrameStep*>(this), ppv);
    if (riid == IID_IBasicAudio)
        return GetInterface(static_cast<IBasicAudio*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

// ---- Membership ------------------------------------------------------------------------------------------

bool CFilterGraph::IsInGraph(IBaseFilter* filter) {
    return std::any_of(m_filters.begin(), m_filters.end(),
                       [&](const Entry& e) { return e.filter == filter; });
}

HRESULT CFilterGraph::AddFilter(IBaseFilter* filter, const char* name) {
    if (!filter)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    if (IsInGraph(filter))
        return VFW_E_DUPLICATE_NAME;
    std::string base = (name && *name) ? name : "Filter";
    std::string unique = base;
    HRESULT result = S_OK;
    for (int n = 1;
         std::any_of(m_filters.begin(), m_filters.end(), [&](const Entry& e) { return e.name == unique; });
         ++n) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, " %04d", n);
        unique = base + suffix;
        result = VFW_S_DUPLICATE_NAME;
    }
    HRESULT hr = filter->JoinFilterGraph(this, unique.c_str());
    if (FAILED(hr))
        return hr;
    filter->AddRef();
    m_filters.push_back({filter, unique});
    if (m_pClock)
        filter->SetSyncSource(m_pClock);
    return result;
}

HRESULT CFilterGraph::RemoveFilter(IBaseFilter* filter) {
    if (!filter)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    auto it =
        std::find_if(m_filters.begin(), m_filters.end(), [&](const Entry& e) { return e.filter == filter; });
    if (it == m_filters.end())
        return VFW_E_NOT_FOUND;
    // A filter leaves the graph stopped and with every connection broken on both sides.
    filter->Stop();
    for (ComPtr<IPin>& pin : PinsOf(filter)) {
        ComPtr<IPin> peer = PeerOf(pin.Get());
        if (peer) {
            ComPtr<IBaseFilter> other = FilterOf(peer.Get());
            if (other)
                other->Stop();
            peer->Disconnect();
            pin->Disconnect();
        }
    }
    filter->SetSyncSource(nullptr);
    filter->JoinFilterGraph(nullptr, nullptr);
    m_filters.erase(it);
    {
        std::lock_guard ev(m_eventMutex);
        m_completed.erase(filter);
    }
    filter->Release();
    return S_OK;
}

HRESULT CFilterGraph::EnumFilters(IEnumFilters** filters) {
    if (!filters)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    std::vector<IBaseFilter*> list;
    // Most recently added first, as the classic graph lists them.
    for (auto it = m_filters.rbegin(); it != m_filters.rend(); ++it)
        list.push_back(it->filter);
    *filters = new (std::nothrow) CEnumFilters(std::move(list));
    return *filters ? S_OK : E_OUTOFMEMORY;
}

HRESULT CFilterGraph::FindFilterByName(const char* name, IBaseFilter** filter) {
    if (!name || !filter)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    for (const Entry& e : m_filters) {
        if (e.name == name) {
            *filter = e.filter;
            e.filter->AddRef();
            return S_OK;
        }
    }
    *filter = nullptr;
    return VFW_E_NOT_FOUND;
}

// ---- Connections
// ----------------------------------------------------------------------------------------------

HRESULT CFilterGraph::ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* pmt) {
    if (!out || !in)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    if (DirectionOf(out) != PINDIR_OUTPUT || DirectionOf(in) != PINDIR_INPUT)
        return VFW_E_INVALID_DIRECTION;
    return out->Connect(in, pmt);
}

HRESULT CFilterGraph::Reconnect(IPin* pin) {
    if (!pin)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    ComPtr<IPin> peer = PeerOf(pin);
    if (!peer)
        return VFW_E_NOT_CONNECTED;
    IPin* out = DirectionOf(pin) == PINDIR_OUTPUT ? pin : peer.Get();
    IPin* in = out == pin ? peer.Get() : pin;
    CMediaType mt;
    out->ConnectionMediaType(&mt);
    out->Disconnect();
    in->Disconnect();
    return out->Connect(in, &mt);
}

HRESULT CFilterGraph::Disconnect(IPin* pin) {
    if (!pin)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    return pin->Disconnect();
}

HRESULT CFilterGraph::SetDefaultSyncSource() {
    CAutoLock lock(&m_lock);
    if (!m_pClock) {
        HRESULT hr = CSystemClock::Create(&m_pClock);
        if (FAILED(hr))
            return hr;
    }
    for (const Entry& e : m_filters)
        e.filter->SetSyncSource(m_pClock);
    return S_OK;
}

HRESULT CFilterGraph::Connect(IPin* out, IPin* in) {
    if (!out || !in)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    if (DirectionOf(out) != PINDIR_OUTPUT || DirectionOf(in) != PINDIR_INPUT)
        return VFW_E_INVALID_DIRECTION;
    return ConnectThrough(out, in, 0);
}

HRESULT CFilterGraph::TryCandidate(const platform::ClassEntry& entry, IPin* out, IPin* in, int depth) {
    ComPtr<IBaseFilter> filter;
    if (FAILED(CoCreateInstance(entry.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                filter.ReleaseAndGetVoidAddress())))
        return VFW_E_CANNOT_CONNECT;
    if (FAILED(AddFilter(filter.Get(), entry.name.c_str())))
        return VFW_E_CANNOT_CONNECT;
    for (ComPtr<IPin>& fin : PinsOf(filter.Get())) {
        if (DirectionOf(fin.Get()) != PINDIR_INPUT || PeerOf(fin.Get()))
            continue;
        if (FAILED(out->Connect(fin.Get(), nullptr)))
            continue;
        for (ComPtr<IPin>& fout : PinsOf(filter.Get())) {
            if (DirectionOf(fout.Get()) != PINDIR_OUTPUT || PeerOf(fout.Get()))
                continue;
            HRESULT hr =
                in ? ConnectThrough(fout.Get(), in, depth + 1) : RenderThrough(fout.Get(), depth + 1);
            if (SUCCEEDED(hr))
                return S_OK;
        }
        break;
    }
    RemoveFilter(filter.Get());
    return VFW_E_CANNOT_CONNECT;
}

HRESULT CFilterGraph::ConnectThrough(IPin* out, IPin* in, int depth) {
    HRESULT direct = out->Connect(in, nullptr);
    if (SUCCEEDED(direct) || depth >= kMaxInsertDepth)
        return direct;
    // Registered transforms that take what the output offers, best merit first.
    std::vector<CMediaType> types = TypesOf(out);
    ComPtr<IBaseFilter> upstream = FilterOf(out);
    ComPtr<IBaseFilter> downstream = FilterOf(in);
    CLSID upId = GUID_NULL;
    CLSID downId = GUID_NULL;
    if (upstream)
        upstream->GetClassID(&upId);
    if (downstream)
        downstream->GetClassID(&downId);
    std::vector<platform::ClassEntry> candidates;
    for (platform::ClassEntry& e : platform::EnumerateClasses()) {
        if (e.merit <= MERIT_DO_NOT_USE || e.clsid == upId || e.clsid == downId)
            continue;
        auto pins = media::ParsePinStrings(e.pins);
        bool takes = std::any_of(pins.begin(), pins.end(), [&](const media::RegisteredPin& p) {
            return !p.output && PinTakes(p, types);
        });
        bool gives =
            std::any_of(pins.begin(), pins.end(), [](const media::RegisteredPin& p) { return p.output; });
        if (takes && gives)
            candidates.push_back(std::move(e));
    }
    std::stable_sort(
        candidates.begin(), candidates.end(),
        [](const platform::ClassEntry& a, const platform::ClassEntry& b) { return a.merit > b.merit; });
    for (const platform::ClassEntry& c : candidates)
        if (SUCCEEDED(TryCandidate(c, out, in, depth)))
            return S_OK;
    return candidates.empty() ? direct : VFW_E_CANNOT_CONNECT;
}

HRESULT CFilterGraph::RenderThrough(IPin* out, int depth) {
    if (depth > kMaxInsertDepth)
        return VFW_E_CANNOT_RENDER;
    std::vector<CMediaType> types = TypesOf(out);
    std::vector<platform::ClassEntry> renderers;
    std::vector<platform::ClassEntry> transforms;
    for (platform::ClassEntry& e : platform::EnumerateClasses()) {
        if (e.merit <= MERIT_DO_NOT_USE)
            continue;
        auto pins = media::ParsePinStrings(e.pins);
        bool takes = std::any_of(pins.begin(), pins.end(), [&](const media::RegisteredPin& p) {
            return !p.output && PinTakes(p, types);
        });
        bool gives =
            std::any_of(pins.begin(), pins.end(), [](const media::RegisteredPin& p) { return p.output; });
        if (takes)
            (gives ? transforms : renderers).push_back(std::move(e));
    }
    auto byMerit = [](const platform::ClassEntry& a, const platform::ClassEntry& b) {
        return a.merit > b.merit;
    };
    std::stable_sort(renderers.begin(), renderers.end(), byMerit);
    std::stable_sort(transforms.begin(), transforms.end(), byMerit);
    for (const platform::ClassEntry& r : renderers)
        if (SUCCEEDED(TryCandidate(r, out, nullptr, depth)))
            return S_OK;
    for (const platform::ClassEntry& t : transforms)
        if (SUCCEEDED(TryCandidate(t, out, nullptr, depth)))
            return S_OK;
    return VFW_E_CANNOT_RENDER;
}

HRESULT CFilterGraph::Render(IPin* out) {
    if (!out)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    if (DirectionOf(out) != PINDIR_OUTPUT)
        return VFW_E_INVALID_DIRECTION;
    if (PeerOf(out))
        return VFW_E_ALREADY_CONNECTED;
    return RenderThrough(out, 0);
}

HRESULT CFilterGraph::RenderFile(const char*, const char*) {
    return E_NOTIMPL;
}

HRESULT CFilterGraph::AddSourceFilter(const char* file, const char* name, IBaseFilter** filter) {
    if (!file || !filter)
        return E_POINTER;
    *filter = nullptr;
    ComPtr<IBaseFilter> source;
    HRESULT hr = CoCreateInstance(CLSID_AsyncReader, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  source.ReleaseAndGetVoidAddress());
    if (FAILED(hr))
        return hr;
    ComPtr<IFileSourceFilter> load;
    hr = source.As(IID_IFileSourceFilter, load);
    if (FAILED(hr))
        return hr;
    hr = load->Load(file, nullptr);
    if (FAILED(hr))
        return hr;
    hr = AddFilter(source.Get(), name ? name : file);
    if (FAILED(hr))
        return hr;
    *filter = source.Detach();
    return S_OK;
}

// ---- State ------------------------------------------------------------------------------------------------

std::vector<IBaseFilter*> CFilterGraph::DownstreamFirst() {
    std::vector<IBaseFilter*> order;
    std::vector<IBaseFilter*> left;
    for (const Entry& e : m_filters)
        left.push_back(e.filter);
    while (!left.empty()) {
        bool progress = false;
        for (auto it = left.begin(); it != left.end();) {
            // Ready when everything this filter feeds is already in the order.
            bool ready = true;
            for (ComPtr<IPin>& pin : PinsOf(*it)) {
                if (DirectionOf(pin.Get()) != PINDIR_OUTPUT)
                    continue;
                ComPtr<IPin> peer = PeerOf(pin.Get());
                if (!peer)
                    continue;
                ComPtr<IBaseFilter> down = FilterOf(peer.Get());
                if (down && std::find(left.begin(), left.end(), down.Get()) != left.end() &&
                    down.Get() != *it)
                    ready = false;
            }
            if (ready) {
                order.push_back(*it);
                it = left.erase(it);
                progress = true;
            } else {
                ++it;
            }
        }
        if (!progress) { // a loop: take the rest as they are
            order.insert(order.end(), left.begin(), left.end());
            break;
        }
    }
    return order;
}

int CFilterGraph::CountRenderers() {
    // A renderer here: a filter with a connected input and no connected output.
    int n = 0;
    for (const Entry& e : m_filters) {
        bool fed = false;
        bool feeds = false;
        for (ComPtr<IPin>& pin : PinsOf(e.filter)) {
            if (!PeerOf(pin.Get()))
                continue;
            (DirectionOf(pin.Get()) == PINDIR_INPUT ? fed : feeds) = true;
        }
        if (fed && !feeds)
            ++n;
    }
    return n;
}

HRESULT CFilterGraph::PauseLocked() {
    if (m_state == State_Stopped) {
        if (!m_pClock) {
            HRESULT hr = CSystemClock::Create(&m_pClock);
            if (FAILED(hr))
                return hr;
        }
        for (const Entry& e : m_filters)
            e.filter->SetSyncSource(m_pClock);
        // Counted before the event lock is taken: streaming threads hold their own locks when they notify.
        int renderers = CountRenderers();
        std::lock_guard ev(m_eventMutex);
        m_completed.clear();
        m_renderers = renderers;
    }
    return ChangeState(State_Paused, [](IBaseFilter* f) { return f->Pause(); });
}

HRESULT CFilterGraph::ChangeState(FILTER_STATE target, const std::function<HRESULT(IBaseFilter*)>& change) {
    HRESULT result = S_OK;
    for (IBaseFilter* f : DownstreamFirst()) {
        HRESULT hr = change(f);
        if (FAILED(hr) && SUCCEEDED(result))
            result = hr;
    }
    // One filter that cannot follow stops them all: the graph is never half running.
    if (FAILED(result)) {
        for (IBaseFilter* f : DownstreamFirst())
            f->Stop();
        m_state = State_Stopped;
        return result;
    }
    m_state = target;
    return S_OK;
}

HRESULT CFilterGraph::Pause() {
    CAutoLock lock(&m_lock);
    return PauseLocked();
}

HRESULT CFilterGraph::Run() {
    CAutoLock lock(&m_lock);
    if (m_state == State_Running)
        return S_OK;
    if (m_state == State_Stopped) {
        HRESULT hr = PauseLocked();
        if (FAILED(hr))
            return hr;
    }
    REFERENCE_TIME now = 0;
    m_pClock->GetTime(&now);
    // A little ahead, so the first samples are not late before every filter runs.
    const REFERENCE_TIME start = now + 10 * MILLISECONDS;
    return ChangeState(State_Running, [start](IBaseFilter* f) { return f->Run(start); });
}

HRESULT CFilterGraph::Stop() {
    CAutoLock lock(&m_lock);
    HRESULT result = S_OK;
    for (IBaseFilter* f : DownstreamFirst()) {
        HRESULT hr = f->Stop();
        if (FAILED(hr) && SUCCEEDED(result))
            result = hr;
    }
    m_state = State_Stopped;
    return result;
}

HRESULT CFilterGraph::GetState(LONG msTimeout, OAFilterState* state) {
    if (!state)
        return E_POINTER;
    std::vector<ComPtr<IBaseFilter>> filters;
    {
        CAutoLock lock(&m_lock);
        *state = m_state;
        for (const Entry& e : m_filters)
            filters.emplace_back(e.filter);
    }
    // Every filter gets what is left of the time-out to finish its transition.
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max<LONG>(msTimeout, 0));
    HRESULT result = S_OK;
    for (ComPtr<IBaseFilter>& f : filters) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        FILTER_STATE fs;
        HRESULT hr = f->GetState(static_cast<DWORD>(std::max<long long>(left.count(), 0)), &fs);
        if (FAILED(hr))
            return hr;
        if (hr == VFW_S_STATE_INTERMEDIATE)
            result = hr;
    }
    return result;
}

HRESULT CFilterGraph::StopWhenReady() {
    // Let a pause finish (the renderers cue their first pictures), then stop.
    OAFilterState s;
    GetState(5000, &s);
    return Stop();
}

// ---- Events
// ------------------------------------------------------------------------------------------------

void CFilterGraph::QueueEvent(LONG code, LONG_PTR p1, LONG_PTR p2) {
    m_events.push_back({code, p1, p2});
    SetEvent(m_hEvent);
    m_eventCond.notify_all();
}

HRESULT CFilterGraph::Notify(LONG code, LONG_PTR param1, LONG_PTR param2) {
    std::lock_guard lock(m_eventMutex);
    if (code == EC_COMPLETE && m_defaultComplete) {
        // The graph is complete when every renderer has said so.
        auto* from = reinterpret_cast<IBaseFilter*>(param2);
        if (from)
            m_completed.insert(from);
        if (static_cast<int>(m_completed.size()) >= m_renderers && m_renderers > 0) {
            m_renderers = -1; // report once per run
            QueueEvent(EC_COMPLETE, S_OK, 0);
        }
        return S_OK;
    }
    QueueEvent(code, param1, param2);
    return S_OK;
}

HRESULT CFilterGraph::GetEventHandle(OAEVENT* handle) {
    if (!handle)
        return E_POINTER;
    *handle = reinterpret_cast<OAEVENT>(m_hEvent);
    return S_OK;
}

HRESULT CFilterGraph::GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG msTimeout) {
    if (!code || !param1 || !param2)
        return E_POINTER;
    std::unique_lock lock(m_eventMutex);
    auto ready = [&] { return !m_events.empty(); };
    if (msTimeout < 0)
        m_eventCond.wait(lock, ready);
    else if (!m_eventCond.wait_for(lock, std::chrono::milliseconds(msTimeout), ready))
        return E_ABORT;
    Event e = m_events.front();
    m_events.pop_front();
    if (m_events.empty())
        ResetEvent(m_hEvent);
    *code = e.code;
    *param1 = e.param1;
    *param2 = e.param2;
    return S_OK;
}

HRESULT CFilterGraph::WaitForCompletion(LONG msTimeout, LONG* code) {
    if (!code)
        return E_POINTER;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max<LONG>(msTimeout, 0));
    for (;;) {
        LONG left = -1;
        if (msTimeout >= 0) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                            std::chrono::steady_clock::now());
            left = static_cast<LONG>(std::max<long long>(ms.count(), 0));
        }
        LONG c = 0;
        LONG_PTR p1 = 0;
        LONG_PTR p2 = 0;
        HRESULT hr = GetEvent(&c, &p1, &p2, left);
        if (FAILED(hr)) {
            *code = 0;
            return hr;
        }
        if (c == EC_COMPLETE || c == EC_ERRORABORT || c == EC_USERABORT) {
            *code = c;
            return S_OK;
        }
    }
}

HRESULT CFilterGraph::CancelDefaultHandling(LONG code) {
    std::lock_guard lock(m_eventMutex);
    if (code != EC_COMPLETE)
        return S_FALSE;
    m_defaultComplete = false;
    return S_OK;
}

HRESULT CFilterGraph::RestoreDefaultHandling(LONG code) {
    std::lock_guard lock(m_eventMutex);
    if (code != EC_COMPLETE)
        return S_FALSE;
    m_defaultComplete = true;
    return S_OK;
}

HRESULT CFilterGraph::SetNotifyWindow(OAHWND, LONG, LONG_PTR) {
    return S_OK;
}

HRESULT CFilterGraph::SetNotifyFlags(LONG flags) {
    std::lock_guard lock(m_eventMutex);
    m_notifyFlags = flags;
    return S_OK;
}

HRESULT CFilterGraph::GetNotifyFlags(LONG* flags) {
    if (!flags)
        return E_POINTER;
    std::lock_guard lock(m_eventMutex);
    *flags = m_notifyFlags;
    return S_OK;
}

// ---- Frame stepping and audio
// --------------------------------------------------------------------------------

template <class I, class F> HRESULT CFilterGraph::ForEachWith(REFIID iid, F&& call) {
    std::vector<ComPtr<IBaseFilter>> filters;
    {
        CAutoLock lock(&m_lock);
        for (const Entry& e : m_filters)
            filters.emplace_back(e.filter);
    }
    HRESULT result = E_NOTIMPL;
    for (ComPtr<IBaseFilter>& f : filters) {
        ComPtr<I> i;
        if (SUCCEEDED(f.As(iid, i))) {
            HRESULT hr = call(i.Get());
            if (result == E_NOTIMPL || (FAILED(hr) && SUCCEEDED(result)))
                result = hr;
        }
    }
    return result;
}

HRESULT CFilterGraph::Step(DWORD frames, IUnknown* stepObject) {
    if (stepObject)
        return E_INVALIDARG;
    {
        // Stepping starts from a paused graph: the renderer then presents `frames` pictures and holds.
        CAutoLock lock(&m_lock);
        if (m_state != State_Paused) {
            HRESULT hr = PauseLocked();
            if (FAILED(hr))
                return hr;
        }
    }
    HRESULT hr = ForEachWith<IVideoFrameStep>(IID_IVideoFrameStep,
                                              [&](IVideoFrameStep* s) { return s->Step(frames, nullptr); });
    return hr == E_NOTIMPL ? VFW_E_FRAME_STEP_UNSUPPORTED : hr;
}

HRESULT CFilterGraph::CanStep(LONG multiple, IUnknown*) {
    HRESULT hr = ForEachWith<IVideoFrameStep>(
        IID_IVideoFrameStep, [&](IVideoFrameStep* s) { return s->CanStep(multiple, nullptr); });
    return hr == E_NOTIMPL ? S_FALSE : hr;
}

HRESULT CFilterGraph::CancelStep() {
    HRESULT hr =
        ForEachWith<IVideoFrameStep>(IID_IVideoFrameStep, [](IVideoFrameStep* s) { return s->CancelStep(); });
    return hr == E_NOTIMPL ? S_OK : hr;
}

HRESULT CFilterGraph::put_Volume(LONG volume) {
    return ForEachWith<IBasicAudio>(IID_IBasicAudio, [&](IBasicAudio* a) { return a->put_Volume(volume); });
}

HRESULT CFilterGraph::get_Volume(LONG* volume) {
    if (!volume)
        return E_POINTER;
    bool got = false;
    HRESULT hr = ForEachWith<IBasicAudio>(IID_IBasicAudio, [&](IBasicAudio* a) {
        if (got)
            return S_OK;
        got = true;
        return a->get_Volume(volume);
    });
    return hr;
}

HRESULT CFilterGraph::put_Balance(LONG balance) {
    return ForEachWith<IBasicAudio>(IID_IBasicAudio, [&](IBasicAudio* a) { return a->put_Balance(balance); });
}

HRESULT CFilterGraph::get_Balance(LONG* balance) {
    if (!balance)
        return E_POINTER;
    bool got = false;
    return ForEachWith<IBasicAudio>(IID_IBasicAudio, [&](IBasicAudio* a) {
        if (got)
            return S_OK;
        got = true;
        return a->get_Balance(balance);
    });
}

CUnknown* CreateFilterGraph(LPUNKNOWN outer, HRESULT* phr) {
    return CFilterGraph::CreateInstance(outer, phr);
}
