// CSource and CSourceStream: a push source whose output pins each run a streaming thread.
//
// The pin's thread takes commands through CAMThread: CMD_INIT (OnThreadCreate), CMD_PAUSE and CMD_RUN
// (acknowledged, then the processing loop runs), CMD_STOP (acknowledged; the loop ends) and CMD_EXIT
// (OnThreadDestroy, the thread ends). The loop gets a buffer, calls FillBuffer and delivers: S_OK
// delivers; S_FALSE ends the stream (end of stream downstream); an error ends the stream and is
// reported to the graph as EC_ERRORABORT with the code; kFillPending lets a waiting fill give way to a
// command. A refused delivery asks ContinueAfterRefusal whether to go on.
//
// Going inactive first decommits the allocator, which releases a thread waiting for a buffer, then
// stops the thread. Locks: the filter's state lock is taken by state changes and negotiation; the
// pin's m_cSharedState is free for the derived class (FillBuffer, repositioning).
#pragma once

#include <vector>

#include "media/filter.h"

class CSourceStream;

class CSource : public CBaseFilter {
public:
    CSource(const char* name, LPUNKNOWN outer, REFCLSID clsid, HRESULT* phr = nullptr);
    ~CSource() override; // deletes the pins

    int GetPinCount() override;
    CBasePin* GetPin(int n) override;
    HRESULT FindPin(const char* id, IPin** pin) override;

    // Pins add and remove themselves (CSourceStream's constructor and destructor).
    HRESULT AddPin(CSourceStream* pin);
    HRESULT RemovePin(CSourceStream* pin);
    int FindPinNumber(IPin* pin);

    CCritSec* pStateLock() { return &m_cStateLock; }

    // Moves every pin's stream with a two-phase flush: begin-flush downstream (which releases streaming
    // threads blocked in delivery, without taking any stream lock), stop each pin's thread, call `move`
    // under the state lock, end-flush and a new segment from `newStart`, and restart streaming when the
    // filter is active.
    template <class Move> HRESULT Reposition(Move&& move, REFERENCE_TIME newStart);

protected:
    int m_iPins = 0;
    std::vector<CSourceStream*> m_paStreams;
    CCritSec m_cStateLock;
};

class CSourceStream : public CAMThread, public CBaseOutputPin {
public:
    CSourceStream(const char* objectName, HRESULT* phr, CSource* filter, const char* pinName);
    ~CSourceStream() override;

    enum Command : DWORD { CMD_INIT, CMD_PAUSE, CMD_RUN, CMD_STOP, CMD_EXIT };

    // Fills one sample: S_OK delivers it, S_FALSE ends the stream, an error aborts it, kFillPending
    // delivers nothing and lets the loop take a command that arrived while the fill waited.
    virtual HRESULT FillBuffer(IMediaSample* sample) = 0;
    // FillBuffer's "not yet": it waited for data on an event that a command also wakes, and the command
    // came first. The loop takes the command and, on run or pause, asks for the sample again.
    static constexpr HRESULT kFillPending = 2;
    // Deliver answered other than S_OK: S_FALSE while downstream flushes, an error once it has stopped.
    // True goes on with the next sample; false (the default) leaves the loop to wait for a command.
    virtual bool ContinueAfterRefusal(HRESULT /*hr*/) { return false; }
    // The loop has delivered end of stream: `hr` is S_FALSE when the data ran out, else the error that
    // aborted the stream (already reported to the graph as EC_ERRORABORT).
    virtual void OnStreamEnded(HRESULT /*hr*/) {}
    virtual HRESULT OnThreadCreate() { return S_OK; }
    virtual HRESULT OnThreadDestroy() { return S_OK; }
    virtual HRESULT OnThreadStartPlay() { return S_OK; }
    // The processing loop; returns when a command arrives (S_FALSE for CMD_STOP) or the stream ends.
    // Sources shape it through the hooks above rather than by writing their own.
    virtual HRESULT DoBufferProcessingLoop();

    HRESULT Active() override;
    HRESULT Inactive() override;
    HRESULT CheckMediaType(const CMediaType* pmt) override;
    // A single type at position 0 from GetMediaType(CMediaType*); override either form.
    HRESULT GetMediaType(int position, CMediaType* pmt) override;
    virtual HRESULT GetMediaType(CMediaType* pmt);

    HRESULT Init() { return static_cast<HRESULT>(CallWorker(CMD_INIT)); }
    HRESULT Exit() { return static_cast<HRESULT>(CallWorker(CMD_EXIT)); }
    HRESULT Run() { return static_cast<HRESULT>(CallWorker(CMD_RUN)); }
    HRESULT Pause() { return static_cast<HRESULT>(CallWorker(CMD_PAUSE)); }
    HRESULT Stop() { return static_cast<HRESULT>(CallWorker(CMD_STOP)); }

    using CBasePin::Run;

protected:
    DWORD ThreadProc() override;
    Command GetRequest() { return static_cast<Command>(CAMThread::GetRequest()); }
    BOOL CheckRequest(Command* com);

    CSource* m_pFilter;
    CCritSec m_cSharedState; // the pin lock, free for derived classes
};

template <class Move> HRESULT CSource::Reposition(Move&& move, REFERENCE_TIME newStart) {
    CAutoLock lock(&m_cStateLock);
    for (CSourceStream* pin : m_paStreams)
        if (pin->IsConnected())
            pin->DeliverBeginFlush();
    for (CSourceStream* pin : m_paStreams)
        if (pin->ThreadExists())
            pin->Stop();
    HRESULT hr = move();
    for (CSourceStream* pin : m_paStreams) {
        if (!pin->IsConnected())
            continue;
        pin->DeliverEndFlush();
        pin->DeliverNewSegment(newStart, 0x7FFFFFFFFFFFFFFFLL, 1.0);
    }
    if (IsActive())
        for (CSourceStream* pin : m_paStreams)
            if (pin->ThreadExists())
                pin->Pause();
    return hr;
}
