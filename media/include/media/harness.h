// A test harness that wraps one filter between test pins: a feeding output pin offers a media type and
// pushes samples into the filter's input; capturing input pins take what comes out of its outputs; a
// stand-in graph records the events the filter sends. Tests set types, push, and read the results
// without building a whole graph.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "media/filter.h"

namespace media {

struct CapturedSample {
    std::vector<BYTE> data;
    HRESULT timeResult = VFW_E_SAMPLE_TIME_NOT_SET; // GetTime's answer
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    bool syncPoint = false;
    bool discontinuity = false;
    bool preroll = false;
    bool hasMediaType = false;
    CMediaType mediaType;
};

struct CapturedEvent {
    LONG code;
    LONG_PTR param1;
    LONG_PTR param2;
};

class CHarnessFilter;
class CHarnessGraph;

class CFilterHarness {
public:
    // Takes a reference on `filter` and joins it to the harness's stand-in graph.
    explicit CFilterHarness(IBaseFilter* filter);
    ~CFilterHarness();
    CFilterHarness(const CFilterHarness&) = delete;
    CFilterHarness& operator=(const CFilterHarness&) = delete;

    // Connects a feeding pin that offers exactly `type` to the filter's input pin (the first unconnected
    // input, or the one named). `props` is what the feeding pin asks of the allocator.
    HRESULT ConnectInput(const CMediaType& type, const ALLOCATOR_PROPERTIES& props,
                         const char* pinName = nullptr);
    // Connects a capturing pin to the filter's output pin (the first unconnected output, or the one named).
    // `accept` decides which types the capturing pin takes (all when empty); `types` are the types it
    // proposes itself (none when empty). Returns the index of the capture, or a negative value.
    HRESULT ConnectOutput(int* index = nullptr, std::function<HRESULT(const CMediaType&)> accept = {},
                          std::vector<CMediaType> types = {}, const char* pinName = nullptr);

    HRESULT Pause();
    HRESULT Run(REFERENCE_TIME start = 0);
    HRESULT Stop();

    // Pushes one sample through the filter's input (on the calling thread).
    HRESULT Push(const BYTE* data, LONG length, const REFERENCE_TIME* start = nullptr,
                 const REFERENCE_TIME* stop = nullptr, bool syncPoint = true, bool discontinuity = false,
                 const AM_MEDIA_TYPE* newType = nullptr);
    HRESULT PushEndOfStream();
    HRESULT PushBeginFlush();
    HRESULT PushEndFlush();
    HRESULT PushNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

    // What capture `index` received (a copy).
    std::vector<CapturedSample> Received(int index = 0) const;
    std::size_t ReceivedCount(int index = 0) const;
    bool EndOfStreamSeen(int index = 0) const;
    LONG FlushCount(int index = 0) const;
    // Waits until capture `index` holds at least `count` samples; false on time-out.
    bool WaitForSamples(std::size_t count, DWORD milliseconds, int index = 0) const;
    bool WaitForEndOfStream(DWORD milliseconds, int index = 0) const;
    void ClearReceived(int index = 0);
    // Makes capture `index` keep each sample in Receive, as a paused renderer does, until it is released
    // (false), flushed, or the harness stops: the thread that delivers waits meanwhile.
    void HoldReceive(bool hold, int index = 0);
    // Makes capture `index` answer Receive with `hr` from now on (S_OK again to stop).
    void SetReceiveResult(HRESULT hr, int index = 0);
    // The type the capture's pin was connected with.
    CMediaType CaptureType(int index = 0) const;
    // The allocator the filter's output negotiated with capture `index`.
    ALLOCATOR_PROPERTIES CaptureAllocator(int index = 0) const;

    std::vector<CapturedEvent> Events() const;
    bool WaitForEvent(LONG code, DWORD milliseconds, CapturedEvent* event = nullptr) const;

    IBaseFilter* Filter() const { return m_filter; }
    // The feeding output pin (to inspect what the filter's input agreed).
    IPin* FeedPin() const;

private:
    IBaseFilter* m_filter;
    CHarnessGraph* m_graph;
    CHarnessFilter* m_host;
};

} // namespace media
