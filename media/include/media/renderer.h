// CBaseRenderer: a filter with one input pin that presents each sample at its time on the graph clock
// (at once when the sample has no time or there is no clock).
//
// Paused, the renderer holds the first sample it receives (the transition to paused completes then;
// until it arrives GetState answers VFW_S_STATE_INTERMEDIATE). Running, each sample waits for its
// start time. End of stream is reported to the graph as EC_COMPLETE once running. Frame stepping:
// Step(n) presents the next n samples at once, then holds the stream and sends EC_STEP_COMPLETE; a step
// asked for before the last one completed adds its samples to it.
// Every wait in Receive ends on stop, flush, a state change or destruction.
#pragma once

#include <condition_variable>
#include <mutex>

#include "media/filter.h"

class CBaseRenderer;

class CRendererInputPin : public CBaseInputPin {
public:
    CRendererInputPin(CBaseRenderer* renderer, HRESULT* phr, const char* name);

    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT SetMediaType(const CMediaType* pmt) override;
    HRESULT CompleteConnect(IPin* receivePin) override;
    HRESULT BreakConnect() override;
    // A connected renderer accepts a new type from its own upstream pin (dynamic format change).
    HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) override;
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;

protected:
    CBaseRenderer* m_pRenderer;
};

class CBaseRenderer : public CBaseFilter, public IVideoFrameStep {
public:
    CBaseRenderer(REFCLSID clsid, const char* name, LPUNKNOWN outer, HRESULT* phr = nullptr);
    ~CBaseRenderer() override;

    DECLARE_IUNKNOWN
    // IVideoFrameStep is offered only by renderers that can step (m_bCanStep).
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    HRESULT Step(DWORD frames, IUnknown* stepObject) override;
    HRESULT CanStep(LONG multiple, IUnknown* stepObject) override;

    int GetPinCount() override;
    CBasePin* GetPin(int n) override;
    HRESULT FindPin(const char* id, IPin** pin) override;

    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME start) override;
    HRESULT GetState(DWORD milliseconds, FILTER_STATE* state) override;

    virtual HRESULT CheckMediaType(const CMediaType* pmt) = 0;
    virtual HRESULT SetMediaType(const CMediaType*) { return S_OK; }
    virtual HRESULT CompleteConnect(IPin*) { return S_OK; }
    virtual HRESULT BreakConnect() { return S_OK; }
    // Presents one sample (called on the streaming thread, outside the renderer's locks).
    virtual HRESULT DoRenderSample(IMediaSample* sample) = 0;
    virtual void OnReceiveFirstSample(IMediaSample*) {}
    virtual HRESULT OnStartStreaming() { return S_OK; }
    virtual HRESULT OnStopStreaming() { return S_OK; }
    // Whether samples wait for their time on the clock (audio renderers pace themselves).
    virtual bool SchedulesByClock() const { return true; }

    virtual HRESULT Receive(IMediaSample* sample);
    virtual HRESULT EndOfStream();
    virtual HRESULT BeginFlush();
    virtual HRESULT EndFlush();

    // Frame stepping (the graph's IVideoFrameStep lands here).
    HRESULT StepFrames(DWORD frames);
    HRESULT CancelStep() override;
    LONG RenderedCount() const { return m_cRendered; }
    bool IsEndOfStream() const;

    CRendererInputPin* InputPin();

protected:
    // Waits until `deadline` (stream time) or until the wait is aborted; false when aborted.
    bool WaitUntil(REFERENCE_TIME streamDeadline);
    // Wakes every wait of the streaming thread (state change, flush, stop).
    void Interrupt();

    bool m_bCanStep = false;
    CCritSec m_InterfaceLock; // the state lock
    CRendererInputPin* m_pInputPin = nullptr;

    mutable std::mutex m_mutex; // guards the fields below; never held while calling out
    std::condition_variable m_cond;
    FILTER_STATE m_renderState = State_Stopped; // the state as the streaming side sees it
    bool m_bHaveSample = false;                 // paused with a sample held (cue done)
    bool m_bFlushing = false;
    bool m_bEOS = false;
    bool m_bEOSDelivered = false;
    bool m_bInReceive = false;
    LONG m_lStepFrames = -1; // -1 not stepping; >0 frames still to present; 0 holding after a step
    std::atomic<LONG> m_cRendered{0};
    unsigned m_generation = 0; // bumped by every interruption
};
