#include "media/filter.h"

#include <chrono>
#include <cstring>
#include <new>
#include <sstream>

#include "media/clock.h"

CBaseFilter::CBaseFilter(const char* name, LPUNKNOWN outer, CCritSec* lock, REFCLSID clsid, HRESULT* phr)
    : CUnknown(name, outer, phr), m_clsid(clsid), m_pLock(lock) {}

CBaseFilter::~CBaseFilter() {
    if (m_pClock)
        m_pClock->Release();
}

HRESULT CBaseFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IBaseFilter)
        return GetInterface(static_cast<IBaseFilter*>(this), ppv);
    if (riid == IID_IMediaFilter)
        return GetInterface(static_cast<IMediaFilter*>(this), ppv);
    if (riid == IID_IPersist)
        return GetInterface(static_cast<IPersist*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CBaseFilter::GetClassID(CLSID* clsid) {
    if (!clsid)
        return E_POINTER;
    *clsid = m_clsid;
    return S_OK;
}

bool CBaseFilter::IsActive() const {
    return m_State != State_Stopped;
}

HRESULT CBaseFilter::Stop() {
    CAutoLock lock(m_pLock);
    HRESULT result = S_OK;
    if (m_State != State_Stopped) {
        for (int i = 0, n = GetPinCount(); i < n; ++i) {
            CBasePin* pin = GetPin(i);
            if (pin && pin->IsConnected()) {
                HRESULT hr = pin->Inactive();
                if (FAILED(hr) && SUCCEEDED(result))
                    result = hr;
            }
        }
    }
    m_State = State_Stopped;
    return result;
}

HRESULT CBaseFilter::Pause() {
    CAutoLock lock(m_pLock);
    if (m_State == State_Stopped) {
        for (int i = 0, n = GetPinCount(); i < n; ++i) {
            CBasePin* pin = GetPin(i);
            if (pin && pin->IsConnected()) {
                HRESULT hr = pin->Active();
                if (FAILED(hr))
                    return hr;
            }
        }
    }
    m_State = State_Paused;
    return S_OK;
}

HRESULT CBaseFilter::Run(REFERENCE_TIME start) {
    CAutoLock lock(m_pLock);
    m_tStart = start;
    if (m_State == State_Stopped) {
        HRESULT hr = Pause();
        if (FAILED(hr))
            return hr;
    }
    if (m_State != State_Running) {
        for (int i = 0, n = GetPinCount(); i < n; ++i) {
            CBasePin* pin = GetPin(i);
            if (pin && pin->IsConnected()) {
                HRESULT hr = pin->Run(start);
                if (FAILED(hr))
                    return hr;
            }
        }
    }
    m_State = State_Running;
    return S_OK;
}

HRESULT CBaseFilter::GetState(DWORD, FILTER_STATE* state) {
    if (!state)
        return E_POINTER;
    *state = m_State;
    return S_OK;
}

HRESULT CBaseFilter::SetSyncSource(IReferenceClock* clock) {
    CAutoLock lock(m_pLock);
    if (clock)
        clock->AddRef();
    if (m_pClock)
        m_pClock->Release();
    m_pClock = clock;
    return S_OK;
}

HRESULT CBaseFilter::GetSyncSource(IReferenceClock** clock) {
    if (!clock)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    *clock = m_pClock;
    if (m_pClock)
        m_pClock->AddRef();
    return S_OK;
}

HRESULT CBaseFilter::EnumPins(IEnumPins** pins) {
    if (!pins)
        return E_POINTER;
    *pins = new (std::nothrow) CEnumPins(this);
    return *pins ? S_OK : E_OUTOFMEMORY;
}

HRESULT CBaseFilter::FindPin(const char* id, IPin** pin) {
    if (!id || !pin)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    for (int i = 0, n = GetPinCount(); i < n; ++i) {
        CBasePin* p = GetPin(i);
        if (p && p->Name() == id) {
            *pin = p;
            p->AddRef();
            return S_OK;
        }
    }
    *pin = nullptr;
    return VFW_E_NOT_FOUND;
}

HRESULT CBaseFilter::QueryFilterInfo(FILTER_INFO* info) {
    if (!info)
        return E_POINTER;
    std::memset(info->achName, 0, sizeof info->achName);
    std::strncpy(info->achName, m_pName.c_str(), sizeof info->achName - 1);
    info->pGraph = m_pGraph;
    if (m_pGraph)
        m_pGraph->AddRef();
    return S_OK;
}

HRESULT CBaseFilter::JoinFilterGraph(IFilterGraph* graph, const char* name) {
    CAutoLock lock(m_pLock);
    m_pGraph = graph;
    m_pSink = nullptr;
    if (graph) {
        // The graph owns us: keep its event sink without a reference, as the graph itself.
        IMediaEventSink* sink = nullptr;
        if (SUCCEEDED(graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink)))) {
            m_pSink = sink;
            sink->Release();
        }
        m_pName = name ? name : "";
    } else {
        m_pName.clear();
    }
    return S_OK;
}

HRESULT CBaseFilter::QueryVendorInfo(char**) {
    return E_NOTIMPL;
}

HRESULT CBaseFilter::NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2) {
    IMediaEventSink* sink = m_pSink;
    if (!sink)
        return E_NOTIMPL;
    // Completion names the filter that completed.
    if (code == EC_COMPLETE && param2 == 0)
        param2 = reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this));
    return sink->Notify(code, param1, param2);
}

HRESULT CBaseFilter::StreamTime(REFERENCE_TIME& time) {
    if (!m_pClock)
        return VFW_E_NO_CLOCK;
    HRESULT hr = m_pClock->GetTime(&time);
    if (FAILED(hr))
        return hr;
    time -= m_tStart;
    return S_OK;
}

// ---- Registration strings
// ----------------------------------------------------------------------------------

namespace media {

std::vector<std::string> SetupPinStrings(const AMOVIESETUP_FILTER& filter) {
    std::vector<std::string> lines;
    for (UINT i = 0; i < filter.nPins; ++i) {
        const AMOVIESETUP_PIN& pin = filter.lpPin[i];
        std::ostringstream line;
        line << (pin.strName ? pin.strName : "") << ';' << (pin.bOutput ? "out" : "in")
             << ";rendered=" << (pin.bRendered ? 1 : 0) << ";many=" << (pin.bMany ? 1 : 0) << ";types=";
        for (UINT t = 0; t < pin.nMediaTypes; ++t) {
            if (t)
                line << ',';
            const AMOVIESETUP_MEDIATYPE& mt = pin.lpMediaType[t];
            line << platform::GuidToString(mt.clsMajorType ? *mt.clsMajorType : GUID_NULL) << '/'
                 << platform::GuidToString(mt.clsMinorType ? *mt.clsMinorType : GUID_NULL);
        }
        lines.push_back(line.str());
    }
    return lines;
}

std::vector<RegisteredPin> ParsePinStrings(const std::vector<std::string>& lines) {
    std::vector<RegisteredPin> pins;
    for (const std::string& line : lines) {
        std::vector<std::string> fields;
        std::string field;
        std::istringstream in(line);
        while (std::getline(in, field, ';'))
            fields.push_back(field);
        if (fields.size() < 2)
            continue;
        RegisteredPin pin;
        pin.name = fields[0];
        pin.output = fields[1] == "out";
        for (std::size_t i = 2; i < fields.size(); ++i) {
            const std::string& f = fields[i];
            if (f == "rendered=1")
                pin.rendered = true;
            else if (f == "many=1")
                pin.many = true;
            else if (f.rfind("types=", 0) == 0) {
                std::istringstream types(f.substr(6));
                std::string pair;
                while (std::getline(types, pair, ',')) {
                    auto slash = pair.find('/');
                    if (slash == std::string::npos)
                        continue;
                    auto major = platform::GuidFromString(pair.substr(0, slash));
                    auto minor = platform::GuidFromString(pair.substr(slash + 1));
                    if (major && minor)
                        pin.types.emplace_back(*major, *minor);
                }
            }
        }
        pins.push_back(std::move(pin));
    }
    return pins;
}

REFERENCE_TIME MonotonicTime() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100;
}

} // namespace media

// ---- CSystemClock -----------------------------------------------------------------------------------------

CSystemClock::CSystemClock(const char* name, LPUNKNOWN outer, HRESULT* phr) : CUnknown(name, outer, phr) {}

HRESULT CSystemClock::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IReferenceClock)
        return GetInterface(static_cast<IReferenceClock*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CSystemClock::GetTime(REFERENCE_TIME* time) {
    if (!time)
        return E_POINTER;
    *time = media::MonotonicTime();
    return S_OK;
}

HRESULT CSystemClock::Create(IReferenceClock** out) {
    if (!out)
        return E_POINTER;
    HRESULT hr = S_OK;
    auto* c = new (std::nothrow) CSystemClock("system clock", nullptr, &hr);
    if (!c)
        return E_OUTOFMEMORY;
    c->NonDelegatingAddRef();
    *out = c;
    return S_OK;
}
