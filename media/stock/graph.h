// The filter graph: membership, direct and intelligent connection, state control of all filters
// (downstream first), the event queue with its handle, frame stepping and the graph's audio volume.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <vector>

#include "media/streams.h"
#include "platform/registry.h"

class CFilterGraph : public CUnknown,
                     public IGraphBuilder,
                     public IMediaControl,
                     public IMediaEventEx,
                     public IMediaEventSink,
                     public IVideoFrameStep,
                     public IBasicAudio {
public:
    CFilterGraph(LPUNKNOWN outer, HRESULT* phr);
    ~CFilterGraph() override;
    static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IFilterGraph / IGraphBuilder
    HRESULT AddFilter(IBaseFilter* filter, const char* name) override;
    HRESULT RemoveFilter(IBaseFilter* filter) override;
    HRESULT EnumFilters(IEnumFilters** filters) override;
    HRESULT FindFilterByName(const char* name, IBaseFilter** filter) override;
    HRESULT ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* pmt) override;
    HRESULT Reconnect(IPin* pin) override;
    HRESULT Disconnect(IPin* pin) override;
    HRESULT SetDefaultSyncSource() override;
    HRESULT Connect(IPin* out, IPin* in) override;
    HRESULT Render(IPin* out) override;
    HRESULT RenderFile(const char* file, const char* playList) override;
    HRESULT AddSourceFilter(const char* file, const char* name, IBaseFilter** filter) override;
    HRESULT SetLogFile(DWORD_PTR) override { return S_OK; }
    HRESULT Abort() override { return S_OK; }
    HRESULT ShouldOperationContinue() override { return S_OK; }

    // IMediaControl
    HRESULT Run() override;
    HRESULT Pause() override;
    HRESULT Stop() override;
    HRESULT GetState(LONG msTimeout, OAFilterState* state) override;
    HRESULT StopWhenReady() override;

    // IMediaEventEx
    HRESULT GetEventHandle(OAEVENT* handle) override;
    HRESULT GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG msTimeout) override;
    HRESULT WaitForCompletion(LONG msTimeout, LONG* code) override;
    HRESULT CancelDefaultHandling(LONG code) override;
    HRESULT RestoreDefaultHandling(LONG code) override;
    HRESULT FreeEventParams(LONG, LONG_PTR, LONG_PTR) override { return S_OK; }
    HRESULT SetNotifyWindow(OAHWND hwnd, LONG message, LONG_PTR instanceData) override;
    HRESULT SetNotifyFlags(LONG flags) override;
    HRESULT GetNotifyFlags(LONG* flags) override;

    // IMediaEventSink
    HRESULT Notify(LONG code, LONG_PTR param1, LONG_PTR param2) override;

    // IVideoFrameStep
    HRESULT Step(DWORD frames, IUnknown* stepObject) override;
    HRESULT CanStep(LONG multiple, IUnknown* stepObject) override;
    HRESULT CancelStep() override;

    // IBasicAudio: forwarded to every filter of the graph that has it.
    HRESULT put_Volume(LONG volume) override;
    HRESULT get_Volume(LONG* volume) override;
    HRESULT put_Balance(LONG balance) override;
    HRESULT get_Balance(LONG* balance) override;

private:
    struct Event {
        LONG code;
        LONG_PTR param1;
        LONG_PTR param2;
    };
    struct Entry {
        IBaseFilter* filter; // holds a reference
        std::string name;
    };

    // Filters ordered so that each comes before the filters feeding it.
    std::vector<IBaseFilter*> DownstreamFirst();
    HRESULT PauseLocked();
    // Applies `change` to every filter, downstream first; on a failure stops them all.
    HRESULT ChangeState(FILTER_STATE target, const std::function<HRESULT(IBaseFilter*)>& change);
    HRESULT ConnectThrough(IPin* out, IPin* in, int depth);
    HRESULT RenderThrough(IPin* out, int depth);
    HRESULT TryCandidate(const platform::ClassEntry& entry, IPin* out, IPin* in, int depth);
    void QueueEvent(LONG code, LONG_PTR p1, LONG_PTR p2);
    bool IsInGraph(IBaseFilter* filter);
    int CountRenderers();
    template <class I, class F> HRESULT ForEachWith(REFIID iid, F&& call);

    CCritSec m_lock; // membership, connections and state; never taken by Notify
    std::vector<Entry> m_filters;
    FILTER_STATE m_state = State_Stopped;
    IReferenceClock* m_pClock = nullptr;

    std::mutex m_eventMutex; // the queue; taken by streaming threads through Notify
    std::condition_variable m_eventCond;
    std::deque<Event> m_events;
    HANDLE m_hEvent;
    std::set<IBaseFilter*> m_completed;
    int m_renderers = 0;
    bool m_defaultComplete = true;
    LONG m_notifyFlags = 0;
};
