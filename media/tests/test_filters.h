// Small filters for the framework's tests: a counting source with any number of pins, a copying
// transform that logs its negotiation calls and can refuse, an inverting in-place transform and a
// renderer that records what it presents.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "media/streams.h"
#include "platform/bytes.h"
#include "platform/system.h"

namespace testfilters {

constexpr CLSID CLSID_TestSource = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x01}};
constexpr CLSID CLSID_TestTransform = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x02}};
constexpr CLSID CLSID_TestInPlace = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x03}};
constexpr CLSID CLSID_TestRenderer = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x04}};

// The test stream types: "TSTA" out of the source, "TSTB" out of the transform.
constexpr GUID MEDIASUBTYPE_TestA = platform::FourCCGuid(MAKEFOURCC('T', 'S', 'T', 'A'));
constexpr GUID MEDIASUBTYPE_TestB = platform::FourCCGuid(MAKEFOURCC('T', 'S', 'T', 'B'));
constexpr LONG kSampleBytes = 16;
constexpr REFERENCE_TIME kFrame = 1000;  // 100 ns units per test sample

inline CMediaType TestType(const GUID& subtype, ULONG channel = 0) {
    CMediaType mt;
    mt.SetType(&MEDIATYPE_Video);
    mt.SetSubtype(&subtype);
    VIDEOINFOHEADER vih;
    vih.dwBitRate = channel;
    vih.bmiHeader.biSize = 40;
    vih.bmiHeader.biWidth = 4;
    vih.bmiHeader.biHeight = 1;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 32;
    vih.bmiHeader.biSizeImage = kSampleBytes;
    mt.AllocFormatBuffer(VIDEOINFOHEADER::kSize);
    SetVideoInfo(mt, vih);
    mt.SetSampleSize(kSampleBytes);
    return mt;
}

class CTestSource;

// Each sample: 4 bytes pin index, 4 bytes running number, the rest the low byte of the number.
class CTestStream : public CSourceStream {
public:
    CTestStream(CTestSource* filter, int index, HRESULT* phr);

    HRESULT GetMediaType(CMediaType* pmt) override {
        *pmt = TestType(MEDIASUBTYPE_TestA, static_cast<ULONG>(m_index));
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
        CAutoLock lock(m_pFilter->pStateLock());
        request->cBuffers = std::max<LONG>(request->cBuffers, 2);
        request->cbBuffer = std::max<LONG>(request->cbBuffer, kSampleBytes);
        ALLOCATOR_PROPERTIES actual;
        HRESULT hr = allocator->SetProperties(request, &actual);
        if (FAILED(hr))
            return hr;
        return actual.cbBuffer < kSampleBytes ? E_FAIL : S_OK;
    }
    HRESULT FillBuffer(IMediaSample* sample) override;

    // Restarts numbering at `n` (under the pin lock, as a reposition does).
    void SeekTo(LONG n) {
        CAutoLock lock(&m_cSharedState);
        m_next = n;
    }
    LONG Next() {
        CAutoLock lock(&m_cSharedState);
        return m_next;
    }

    std::atomic<LONG> m_limit{-1};        // samples before end of stream; -1 endless
    std::atomic<LONG> m_failAt{-1};       // the sample whose fill fails
    std::atomic<HRESULT> m_failCode{E_FAIL};
    std::atomic<int> m_fillDelayMs{0};

private:
    CTestSource* m_source;
    int m_index;
    LONG m_next = 0;
};

class CTestSource : public CSource {
public:
    CTestSource(int pins, HRESULT* phr) : CSource("test source", nullptr, CLSID_TestSource, phr) {
        for (int i = 0; i < pins; ++i)
            new CTestStream(this, i, phr);  // the pin adds itself; the filter deletes it
    }
    CTestStream* Stream(int i) { return static_cast<CTestStream*>(m_paStreams.at(static_cast<std::size_t>(i))); }
    static CTestSource* Create(int pins) {
        HRESULT hr = S_OK;
        auto* f = new CTestSource(pins, &hr);
        f->NonDelegatingAddRef();
        return f;
    }
    // Repositions every pin to sample `n` with the two-phase flush.
    HRESULT SeekAll(LONG n) {
        return Reposition(
            [&] {
                for (CSourceStream* s : m_paStreams)
                    static_cast<CTestStream*>(s)->SeekTo(n);
                return S_OK;
            },
            n * kFrame);
    }
};

inline CTestStream::CTestStream(CTestSource* filter, int index, HRESULT* phr)
    : CSourceStream("test stream", phr, filter, ("Out" + std::to_string(index)).c_str()), m_source(filter),
      m_index(index) {}

inline HRESULT CTestStream::FillBuffer(IMediaSample* sample) {
    if (int d = m_fillDelayMs.load())
        Sleep(static_cast<DWORD>(d));
    CAutoLock lock(&m_cSharedState);
    if (m_limit >= 0 && m_next >= m_limit)
        return S_FALSE;
    if (m_failAt >= 0 && m_next == m_failAt)
        return m_failCode.load();
    BYTE* p = nullptr;
    sample->GetPointer(&p);
    platform::WriteLE32(p, static_cast<DWORD>(m_index));
    platform::WriteLE32(p + 4, static_cast<DWORD>(m_next));
    for (int i = 8; i < kSampleBytes; ++i)
        p[i] = static_cast<BYTE>(m_next);
    sample->SetActualDataLength(kSampleBytes);
    REFERENCE_TIME start = m_next * kFrame;
    REFERENCE_TIME stop = start + kFrame;
    sample->SetTime(&start, &stop);
    sample->SetSyncPoint(TRUE);
    ++m_next;
    return S_OK;
}

// Copies TSTA samples into TSTB samples, logging each negotiation call by name.
class CTestTransform : public CTransformFilter {
public:
    CTestTransform(HRESULT* phr) : CTransformFilter("test transform", nullptr, CLSID_TestTransform, phr) {}
    static CTestTransform* Create() {
        HRESULT hr = S_OK;
        auto* f = new CTestTransform(&hr);
        f->NonDelegatingAddRef();
        return f;
    }

    HRESULT CheckInputType(const CMediaType* in) override {
        Log("CheckInputType");
        if (m_refuseInput != S_OK)
            return m_refuseInput;
        return (*in->Type() == MEDIATYPE_Video && *in->Subtype() == MEDIASUBTYPE_TestA) ? S_OK
                                                                                       : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT CheckTransform(const CMediaType*, const CMediaType* out) override {
        Log("CheckTransform");
        if (m_refuseTransform != S_OK)
            return m_refuseTransform;
        return *out->Subtype() == MEDIASUBTYPE_TestB ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT GetMediaType(int position, CMediaType* pmt) override {
        Log("GetMediaType");
        if (position < 0)
            return E_INVALIDARG;
        if (position > 0)
            return VFW_S_NO_MORE_ITEMS;
        VIDEOINFOHEADER vih;
        GetVideoInfo(m_pInput->CurrentMediaType(), &vih);
        *pmt = TestType(MEDIASUBTYPE_TestB, vih.dwBitRate);
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
        Log("DecideBufferSize");
        request->cBuffers = 1;
        request->cbBuffer = kSampleBytes;
        ALLOCATOR_PROPERTIES actual;
        HRESULT hr = allocator->SetProperties(request, &actual);
        if (FAILED(hr))
            return hr;
        return actual.cbBuffer < kSampleBytes ? E_FAIL : S_OK;
    }
    HRESULT SetMediaType(PIN_DIRECTION dir, const CMediaType*) override {
        Log(dir == PINDIR_INPUT ? "SetMediaType(in)" : "SetMediaType(out)");
        return S_OK;
    }
    HRESULT CheckConnect(PIN_DIRECTION dir, IPin*) override {
        Log(dir == PINDIR_INPUT ? "CheckConnect(in)" : "CheckConnect(out)");
        return S_OK;
    }
    HRESULT CompleteConnect(PIN_DIRECTION dir, IPin*) override {
        Log(dir == PINDIR_INPUT ? "CompleteConnect(in)" : "CompleteConnect(out)");
        return S_OK;
    }
    HRESULT Transform(IMediaSample* in, IMediaSample* out) override {
        if (m_skipEvery > 0 && ++m_seen % m_skipEvery == 0)
            return S_FALSE;
        BYTE* src = nullptr;
        BYTE* dst = nullptr;
        in->GetPointer(&src);
        out->GetPointer(&dst);
        LONG n = in->GetActualDataLength();
        std::memcpy(dst, src, static_cast<std::size_t>(n));
        out->SetActualDataLength(n);
        return S_OK;
    }

    void Log(const std::string& call) {
        std::lock_guard lock(m_logMutex);
        m_log.push_back(call);
    }
    std::vector<std::string> TakeLog() {
        std::lock_guard lock(m_logMutex);
        return std::exchange(m_log, {});
    }

    HRESULT m_refuseInput = S_OK;
    HRESULT m_refuseTransform = S_OK;
    int m_skipEvery = 0;

private:
    int m_seen = 0;
    std::mutex m_logMutex;
    std::vector<std::string> m_log;
};

// Inverts every byte in place.
class CTestInPlace : public CTransInPlaceFilter {
public:
    CTestInPlace(HRESULT* phr) : CTransInPlaceFilter("test in place", nullptr, CLSID_TestInPlace, phr) {}
    static CTestInPlace* Create() {
        HRESULT hr = S_OK;
        auto* f = new CTestInPlace(&hr);
        f->NonDelegatingAddRef();
        return f;
    }
    HRESULT CheckInputType(const CMediaType* in) override {
        return *in->Type() == MEDIATYPE_Video ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT Transform(IMediaSample* sample) override {
        BYTE* p = nullptr;
        sample->GetPointer(&p);
        for (LONG i = 0; i < sample->GetActualDataLength(); ++i)
            p[i] = static_cast<BYTE>(~p[i]);
        ++m_count;
        return S_OK;
    }
    std::atomic<int> m_count{0};
};

// Records the running number and times of what it presents; optionally presents by the clock.
class CTestRenderer : public CBaseRenderer {
public:
    CTestRenderer(HRESULT* phr) : CBaseRenderer(CLSID_TestRenderer, "test renderer", nullptr, phr) {}
    static CTestRenderer* Create() {
        HRESULT hr = S_OK;
        auto* f = new CTestRenderer(&hr);
        f->NonDelegatingAddRef();
        return f;
    }
    HRESULT CheckMediaType(const CMediaType* pmt) override {
        return *pmt->Type() == MEDIATYPE_Video ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT DoRenderSample(IMediaSample* sample) override {
        BYTE* p = nullptr;
        sample->GetPointer(&p);
        Presented pr;
        pr.number = static_cast<LONG>(platform::ReadLE32(p + 4));
        pr.timeResult = sample->GetTime(&pr.start, &pr.stop);
        std::lock_guard lock(m_mutexLog);
        m_presented.push_back(pr);
        return S_OK;
    }
    bool SchedulesByClock() const override { return m_byClock; }

    struct Presented {
        LONG number;
        HRESULT timeResult;
        REFERENCE_TIME start = 0;
        REFERENCE_TIME stop = 0;
    };
    std::vector<Presented> TakePresented() {
        std::lock_guard lock(m_mutexLog);
        return std::exchange(m_presented, {});
    }
    std::size_t PresentedCount() {
        std::lock_guard lock(m_mutexLog);
        return m_presented.size();
    }
    bool m_byClock = false;

private:
    std::mutex m_mutexLog;
    std::vector<Presented> m_presented;
};

}  // namespace testfilters
