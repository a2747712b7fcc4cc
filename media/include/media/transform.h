// CTransformFilter (separate input and output buffers) and CTransInPlaceFilter (the input buffer is
// modified and passed on).
//
// Negotiation: the input pin's CheckMediaType calls CheckInputType; the output pin's CheckMediaType
// calls CheckTransform(input type, candidate) and needs a connected input; the output pin proposes
// the filter's GetMediaType; both pins' SetMediaType and CompleteConnect reach the filter's versions
// with the pin's direction; the output allocator is sized by the filter's DecideBufferSize.
//
// Streaming: Receive (on the upstream thread, under m_csReceive) gets an output sample from
// InitializeOutputSample, calls Transform and delivers on S_OK; on S_FALSE the sample is dropped, the
// skipped flag set and EC_QUALITY_CHANGE sent once. Stop takes the input inactive, then m_csReceive,
// then the output, so a Receive in progress finishes first.
#pragma once

#include "media/filter.h"

class CTransformFilter;

class CTransformInputPin : public CBaseInputPin {
public:
    CTransformInputPin(const char* objectName, CTransformFilter* filter, HRESULT* phr, const char* name);

    HRESULT CheckConnect(IPin* pin) override;
    HRESULT BreakConnect() override;
    HRESULT CompleteConnect(IPin* receivePin) override;
    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT SetMediaType(const CMediaType* pmt) override;
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
    HRESULT CheckStreaming() override;

    const CMediaType& MediaType() const { return m_mt; }

protected:
    CTransformFilter* m_pTransformFilter;
};

class CTransformOutputPin : public CBaseOutputPin {
public:
    CTransformOutputPin(const char* objectName, CTransformFilter* filter, HRESULT* phr, const char* name);

    HRESULT CheckConnect(IPin* pin) override;
    HRESULT BreakConnect() override;
    HRESULT CompleteConnect(IPin* receivePin) override;
    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT SetMediaType(const CMediaType* pmt) override;
    HRESULT GetMediaType(int position, CMediaType* pmt) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;

    const CMediaType& MediaType() const { return m_mt; }

protected:
    CTransformFilter* m_pTransformFilter;
};

class CTransformFilter : public CBaseFilter {
public:
    CTransformFilter(const char* name, LPUNKNOWN outer, REFCLSID clsid, HRESULT* phr = nullptr);
    ~CTransformFilter() override;

    int GetPinCount() override;
    CBasePin* GetPin(int n) override;
    // Accepts the pin names and "In" / "Out".
    HRESULT FindPin(const char* id, IPin** pin) override;
    HRESULT Stop() override;
    HRESULT Pause() override;

    // The filter's part of negotiation.
    virtual HRESULT CheckInputType(const CMediaType* in) = 0;
    virtual HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) = 0;
    virtual HRESULT GetMediaType(int position, CMediaType* pmt) = 0;
    virtual HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) = 0;
    virtual HRESULT SetMediaType(PIN_DIRECTION dir, const CMediaType* pmt);
    virtual HRESULT CheckConnect(PIN_DIRECTION dir, IPin* pin);
    virtual HRESULT BreakConnect(PIN_DIRECTION dir);
    virtual HRESULT CompleteConnect(PIN_DIRECTION dir, IPin* receivePin);

    // The filter's part of streaming.
    virtual HRESULT Transform(IMediaSample* in, IMediaSample* out);
    virtual HRESULT Receive(IMediaSample* sample);
    virtual HRESULT InitializeOutputSample(IMediaSample* sample, IMediaSample** out);
    virtual HRESULT StartStreaming() { return S_OK; }
    virtual HRESULT StopStreaming() { return S_OK; }
    virtual HRESULT EndOfStream();
    virtual HRESULT BeginFlush();
    virtual HRESULT EndFlush();
    virtual HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);
    virtual HRESULT AlterQuality() { return S_FALSE; }

    CTransformInputPin* InputPin() { return m_pInput; }
    CTransformOutputPin* OutputPin() { return m_pOutput; }

protected:
    // Creates the pins on first use (the constructor of a derived class may be needed first).
    virtual void CreatePins();

    std::atomic<bool> m_bEOSDelivered{false};
    std::atomic<bool> m_bSampleSkipped{false};
    std::atomic<bool> m_bQualityChanged{false};
    CCritSec m_csFilter;  // the state lock
    CCritSec m_csReceive; // serialises Receive against Stop
    CTransformInputPin* m_pInput = nullptr;
    CTransformOutputPin* m_pOutput = nullptr;

    friend class CTransformInputPin;
    friend class CTransformOutputPin;
};

// ---- In place -------------------------------------------------------------------------------------------

class CTransInPlaceFilter;

class CTransInPlaceInputPin : public CTransformInputPin {
public:
    CTransInPlaceInputPin(const char* objectName, CTransInPlaceFilter* filter, HRESULT* phr,
                          const char* name);
    HRESULT EnumMediaTypes(IEnumMediaTypes** types) override;
    HRESULT CheckMediaType(const CMediaType* pmt) override;
    // The downstream allocator when the output is connected, so the same buffer travels on.
    HRESULT GetAllocator(IMemAllocator** allocator) override;
    HRESULT NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) override;
    HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override;

protected:
    CTransInPlaceFilter* m_pTIPFilter;
};

class CTransInPlaceOutputPin : public CTransformOutputPin {
public:
    CTransInPlaceOutputPin(const char* objectName, CTransInPlaceFilter* filter, HRESULT* phr,
                           const char* name);
    HRESULT EnumMediaTypes(IEnumMediaTypes** types) override;
    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator) override;

protected:
    CTransInPlaceFilter* m_pTIPFilter;
};

class CTransInPlaceFilter : public CTransformFilter {
public:
    CTransInPlaceFilter(const char* name, LPUNKNOWN outer, REFCLSID clsid, HRESULT* phr = nullptr,
                        bool modifiesData = true);

    // In place: the output type equals the input type.
    HRESULT CheckTransform(const CMediaType*, const CMediaType*) override { return S_OK; }
    HRESULT GetMediaType(int, CMediaType*) override { return E_UNEXPECTED; }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT CompleteConnect(PIN_DIRECTION dir, IPin* receivePin) override;
    HRESULT Receive(IMediaSample* sample) override;

    // The in-place filter works on the one sample it is given; the copying form stays reachable.
    using CTransformFilter::Transform;
    virtual HRESULT Transform(IMediaSample* sample) = 0;

protected:
    void CreatePins() override;
    // A writable copy when the upstream buffer may not be modified; nullptr when none can be had.
    IMediaSample* Copy(IMediaSample* source);
    bool TypesMatch() const;

    bool m_bModifiesData;

    friend class CTransInPlaceInputPin;
    friend class CTransInPlaceOutputPin;
};
