// Pins: the connection protocol (media-type agreement, allocator negotiation) and the streaming calls.
//
// Connecting an output pin to an input pin runs, in this order: the output's CheckConnect, its
// CheckMediaType and SetMediaType for a candidate type, the input's ReceiveConnection (CheckConnect,
// CheckMediaType, SetMediaType, CompleteConnect), then the output's CompleteConnect, which decides the
// allocator (GetAllocatorRequirements, GetAllocator, DecideBufferSize, NotifyAllocator). A failing
// CheckMediaType that returns S_FALSE, E_FAIL or E_INVALIDARG is reported as VFW_E_TYPE_NOT_ACCEPTED.
#pragma once

#include <string>

#include "media/sample.h"
#include "platform/sync.h"

class CBaseFilter;

class CBasePin : public CUnknown, public IPin {
public:
    CBasePin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr, const char* name,
             PIN_DIRECTION dir);
    ~CBasePin() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    // A pin lives as long as its filter: references are counted on the filter.
    ULONG NonDelegatingAddRef() override;
    ULONG NonDelegatingRelease() override;

    // IPin
    HRESULT Connect(IPin* receivePin, const AM_MEDIA_TYPE* pmt) override;
    HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) override;
    HRESULT Disconnect() override;
    HRESULT ConnectedTo(IPin** pin) override;
    HRESULT ConnectionMediaType(AM_MEDIA_TYPE* pmt) override;
    HRESULT QueryPinInfo(PIN_INFO* info) override;
    HRESULT QueryDirection(PIN_DIRECTION* dir) override;
    HRESULT QueryId(char** id) override;
    HRESULT QueryAccept(const AM_MEDIA_TYPE* pmt) override;
    HRESULT EnumMediaTypes(IEnumMediaTypes** types) override;
    HRESULT QueryInternalConnections(IPin** pins, ULONG* count) override;
    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override = 0;
    HRESULT EndFlush() override = 0;
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

    // Overridables of the connection protocol.
    virtual HRESULT CheckMediaType(const CMediaType* pmt) = 0;
    virtual HRESULT SetMediaType(const CMediaType* pmt);
    // The type at `position` (0-based) that this pin proposes; VFW_S_NO_MORE_ITEMS past the end.
    virtual HRESULT GetMediaType(int position, CMediaType* pmt);
    virtual HRESULT CheckConnect(IPin* pin);
    virtual HRESULT BreakConnect();
    virtual HRESULT CompleteConnect(IPin* receivePin);

    // State changes, called by the filter with its lock held.
    virtual HRESULT Active() { return S_OK; }
    virtual HRESULT Inactive() { return S_OK; }
    virtual HRESULT Run(REFERENCE_TIME start);

    bool IsConnected() const { return m_Connected != nullptr; }
    IPin* GetConnected() const { return m_Connected; }
    bool IsStopped() const;
    const CMediaType& CurrentMediaType() const { return m_mt; }
    const std::string& Name() const { return m_pName; }
    PIN_DIRECTION Direction() const { return m_dir; }
    CBaseFilter* Filter() const { return m_pFilter; }
    REFERENCE_TIME CurrentStartTime() const { return m_tStart; }
    REFERENCE_TIME CurrentStopTime() const { return m_tStop; }
    double CurrentRate() const { return m_dRate; }

    HRESULT DisconnectInternal();

protected:
    HRESULT AgreeMediaType(IPin* receivePin, const CMediaType* pmt);
    HRESULT TryMediaTypes(IPin* receivePin, const CMediaType* pmt, IEnumMediaTypes* types);
    HRESULT AttemptConnection(IPin* receivePin, const CMediaType* pmt);

    std::string m_pName;
    IPin* m_Connected = nullptr; // holds a reference
    PIN_DIRECTION m_dir;
    CCritSec* m_pLock; // the filter's state lock
    CBaseFilter* m_pFilter;
    CMediaType m_mt;
    REFERENCE_TIME m_tStart = 0;
    REFERENCE_TIME m_tStop = 0x7FFFFFFFFFFFFFFFLL;
    double m_dRate = 1.0;
    std::atomic<bool> m_bRunTimeError{false};
    bool m_bCanReconnectWhenActive = false;
    bool m_bTryMyTypesFirst = false;
};

class CBaseOutputPin : public CBasePin {
public:
    CBaseOutputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr,
                   const char* name);
    ~CBaseOutputPin() override;

    HRESULT CompleteConnect(IPin* receivePin) override;
    HRESULT CheckConnect(IPin* pin) override;
    HRESULT BreakConnect() override;
    HRESULT Active() override;
    HRESULT Inactive() override;

    // Allocator negotiation.
    virtual HRESULT DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator);
    virtual HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) = 0;
    virtual HRESULT InitAllocator(IMemAllocator** allocator);

    virtual HRESULT GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop,
                                      DWORD flags);
    virtual HRESULT Deliver(IMediaSample* sample);
    virtual HRESULT DeliverEndOfStream();
    virtual HRESULT DeliverBeginFlush();
    virtual HRESULT DeliverEndFlush();
    virtual HRESULT DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

    // An output pin receives no stream calls.
    HRESULT EndOfStream() override { return E_UNEXPECTED; }
    HRESULT BeginFlush() override { return E_UNEXPECTED; }
    HRESULT EndFlush() override { return E_UNEXPECTED; }

    IMemAllocator* Allocator() const { return m_pAllocator; }
    IMemInputPin* ConnectedInputPin() const { return m_pInputPin; }

protected:
    IMemAllocator* m_pAllocator = nullptr; // holds a reference
    IMemInputPin* m_pInputPin = nullptr;   // holds a reference
};

class CBaseInputPin : public CBasePin, public IMemInputPin {
public:
    CBaseInputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr,
                  const char* name);
    ~CBaseInputPin() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IMemInputPin
    HRESULT GetAllocator(IMemAllocator** allocator) override;
    HRESULT NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) override;
    HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override;
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) override;
    HRESULT ReceiveCanBlock() override;

    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    HRESULT BreakConnect() override;
    HRESULT Inactive() override;

    // S_OK when a sample may be received now; S_FALSE while flushing; an error when stopped, not
    // connected or after a run-time error.
    virtual HRESULT CheckStreaming();
    bool IsFlushing() const { return m_bFlushing; }
    bool IsReadOnly() const { return m_bReadOnly; }
    IMemAllocator* Allocator() const { return m_pAllocator; }

protected:
    IMemAllocator* m_pAllocator = nullptr; // holds a reference
    bool m_bReadOnly = false;
    std::atomic<bool> m_bFlushing{false};
};

// Enumerates a filter's pins through CBaseFilter::GetPinCount/GetPin.
class CEnumPins final : public IEnumPins {
public:
    CEnumPins(CBaseFilter* filter, ULONG position = 0);
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) override;
    HRESULT Skip(ULONG count) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumPins** out) override;

private:
    ~CEnumPins();
    CBaseFilter* m_pFilter; // holds a reference
    ULONG m_Position;
    std::atomic<LONG> m_cRef{1};
};

// Enumerates the types a pin proposes through CBasePin::GetMediaType.
class CEnumMediaTypes final : public IEnumMediaTypes {
public:
    CEnumMediaTypes(CBasePin* pin, ULONG position = 0);
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
    HRESULT Skip(ULONG count) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumMediaTypes** out) override;

private:
    ~CEnumMediaTypes();
    CBasePin* m_pPin; // holds a reference (on the filter)
    ULONG m_Position;
    std::atomic<LONG> m_cRef{1};
};
