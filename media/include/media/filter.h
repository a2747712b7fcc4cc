// CBaseFilter: state (stopped, paused, running), the reference clock, graph membership, pin lookup and
// event notification; plus the registration data a filter module writes for its classes.
#pragma once

#include <string>
#include <vector>

#include "media/pins.h"

class CBaseFilter : public CUnknown, public IBaseFilter {
public:
    CBaseFilter(const char* name, LPUNKNOWN outer, CCritSec* lock, REFCLSID clsid, HRESULT* phr = nullptr);
    ~CBaseFilter() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IPersist
    HRESULT GetClassID(CLSID* clsid) override;
    // IMediaFilter
    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME start) override;
    HRESULT GetState(DWORD milliseconds, FILTER_STATE* state) override;
    HRESULT SetSyncSource(IReferenceClock* clock) override;
    HRESULT GetSyncSource(IReferenceClock** clock) override;
    // IBaseFilter
    HRESULT EnumPins(IEnumPins** pins) override;
    HRESULT FindPin(const char* id, IPin** pin) override;
    HRESULT QueryFilterInfo(FILTER_INFO* info) override;
    HRESULT JoinFilterGraph(IFilterGraph* graph, const char* name) override;
    HRESULT QueryVendorInfo(char** info) override;

    virtual int GetPinCount() = 0;
    virtual CBasePin* GetPin(int n) = 0;

    // Sends an event to the graph (EC_COMPLETE, EC_ERRORABORT, ...); E_NOTIMPL outside a graph.
    HRESULT NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2);
    // Stream time: the clock's time minus the run start; VFW_E_NO_CLOCK without a clock.
    HRESULT StreamTime(REFERENCE_TIME& time);

    bool IsActive() const;
    bool IsStopped() const { return m_State == State_Stopped; }
    FILTER_STATE State() const { return m_State; }
    CCritSec* StateLock() const { return m_pLock; }
    IFilterGraph* Graph() const { return m_pGraph; }
    const std::string& FilterName() const { return m_pName; }
    REFERENCE_TIME StartTime() const { return m_tStart; }
    IReferenceClock* Clock() const { return m_pClock; }

protected:
    std::atomic<FILTER_STATE> m_State{State_Stopped};
    IReferenceClock* m_pClock = nullptr; // holds a reference
    REFERENCE_TIME m_tStart = 0;
    CLSID m_clsid;
    CCritSec* m_pLock;
    std::string m_pName;
    IFilterGraph* m_pGraph = nullptr;   // no reference: the graph owns the filter
    IMediaEventSink* m_pSink = nullptr; // no reference, as above
};

// ---- Registration data ----------------------------------------------------------------------------
//
// A pin of a registered filter is written into the class registry as one line
//   "<name>;<in|out>;rendered=<0|1>;many=<0|1>;types=<major>/<sub>,<major>/<sub>"
// with the GUIDs in their "{...}" form (GUID_NULL meaning any). Intelligent connect reads them back.

struct AMOVIESETUP_MEDIATYPE {
    const GUID* clsMajorType;
    const GUID* clsMinorType;
};

struct AMOVIESETUP_PIN {
    const char* strName;
    BOOL bRendered;
    BOOL bOutput;
    BOOL bZero;
    BOOL bMany;
    const CLSID* clsConnectsToFilter;
    const char* strConnectsToPin;
    UINT nMediaTypes;
    const AMOVIESETUP_MEDIATYPE* lpMediaType;
};

struct AMOVIESETUP_FILTER {
    const CLSID* clsID;
    const char* strName;
    DWORD dwMerit;
    UINT nPins;
    const AMOVIESETUP_PIN* lpPin;
};

namespace media {

// The registry lines for a filter's pins.
std::vector<std::string> SetupPinStrings(const AMOVIESETUP_FILTER& filter);

// A registered pin, read back from the registry.
struct RegisteredPin {
    std::string name;
    bool output = false;
    bool rendered = false;
    bool many = false;
    std::vector<std::pair<GUID, GUID>> types; // (major, subtype); GUID_NULL matches anything
};
std::vector<RegisteredPin> ParsePinStrings(const std::vector<std::string>& lines);

} // namespace media
