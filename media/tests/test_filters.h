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
#include "platform/registry.h"
#include "platform/system.h"

namespace testfilters {

constexpr CLSID CLSID_TestSource = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x01}};
constexpr CLSID CLSID_TestTransform = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x02}};
constexpr CLSID CLSID_TestInPlace = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x03}};
constexpr CLSID CLSID_TestRenderer = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x04}};

// The test stream types: "TSTA" out of the source, "TSTB" out of the transform.
constexpr GUID MEDIASUBTYPE_TestA = platform::FourCCGuid(MAKEFOURCC('T', 'S', 'T', 'A'));
constexpr GUID MEDIASUBTYPE_TestB = platform::FourCCGuid(MAKEFOURCC('T', 'S', 'T', 'B'));
constexpr LONG kSampleBytes = 16;
constexpr REFERENCE_TIME kFrame = 1000; // 100 ns units per test sample

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

    std::atomic<LONG> m_limit{-1};  // samples before end of stream; -1 endless
    std::atomic<LONG> m_failAt{-1}; // the sample whose fill fails
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
            new CTestStream(this, i, phr); // the pin adds itself; the filter deletes it
    }
    CTestStream* Stream(int i) {
        return static_cast<CTestStream*>(m_paStreams.at(static_cast<std::size_t>(i)));
    }
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
        return (*in->Type() == MEDIATYPE_Video && *in->Subtype() == MEDIASUBTYPE_TestA)
                   ? S_OK
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
        request->cbBuffer = m_bufferBytes;
        ALLOCATOR_PROPERTIES actual;
        HRESULT hr = allocator->SetProperties(request, &actual);
        if (FAILED(hr))
            return hr;
        return actual.cbBuffer < m_bufferBytes ? E_FAIL : S_OK;
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

    LONG m_bufferBytes = kSampleBytes;
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
        if (m_onlySubtype != GUID_NULL && *pmt->Subtype() != m_onlySubtype)
            return VFW_E_TYPE_NOT_ACCEPTED;
        return (*pmt->Type() == MEDIATYPE_Video || *pmt->Type() == MEDIATYPE_Audio) ? S_OK
                                                                                    : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT DoRenderSample(IMediaSample* sample) override {
        BYTE* p = nullptr;
        sample->GetPointer(&p);
        Presented pr;
        pr.number = sample->GetActualDataLength() >= 8 ? static_cast<LONG>(platform::ReadLE32(p + 4)) : -1;
        pr.timeResult = sample->GetTime(&pr.start, &pr.stop);
        if (m_keepData)
            pr.data.assign(p, p + sample->GetActualDataLength());
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
        std::vector<BYTE> data;
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
    bool m_keepData = false;
    // Accept only this subtype (any when GUID_NULL).
    GUID m_onlySubtype = GUID_NULL;
    void EnableStepping() { m_bCanStep = true; }

private:
    std::mutex m_mutexLog;
    std::vector<Presented> m_presented;
};

// A picture and sound source: an RGB32 video pin ("Video") of `width` × `height` whose frame i is a
// gradient shifted by i, and optionally an 8-bit mono 8000 Hz PCM pin ("Audio") with 800 bytes (0.1 s)
// per sample; both at 10 samples a second, `count` samples each.
class CPatternSource;

class CPatternStream : public CSourceStream {
public:
    CPatternStream(CPatternSource* filter, bool audio, HRESULT* phr);
    HRESULT GetMediaType(CMediaType* pmt) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
        request->cBuffers = 2;
        request->cbBuffer = FrameBytes();
        ALLOCATOR_PROPERTIES actual;
        HRESULT hr = allocator->SetProperties(request, &actual);
        if (FAILED(hr))
            return hr;
        return actual.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
    }
    HRESULT FillBuffer(IMediaSample* sample) override;
    LONG FrameBytes() const;

    static void Fill(bool audio, LONG width, LONG height, LONG n, BYTE* p) {
        if (audio) {
            for (LONG i = 0; i < 800; ++i)
                p[i] = static_cast<BYTE>(128 + ((i * 7 + n * 13) % 64) - 32);
            return;
        }
        for (LONG y = 0; y < height; ++y)
            for (LONG x = 0; x < width; ++x) {
                BYTE* px = p + (y * width + x) * 4;
                px[0] = static_cast<BYTE>(x * 4 + n * 20);
                px[1] = static_cast<BYTE>(y * 4);
                px[2] = static_cast<BYTE>(n * 25);
                px[3] = 0;
            }
    }

private:
    CPatternSource* m_source;
    bool m_audio;
    LONG m_next = 0;
};

class CPatternSource : public CSource {
public:
    CPatternSource(LONG width, LONG height, LONG count, bool withAudio, HRESULT* phr)
        : CSource("pattern source", nullptr, CLSID_TestSource, phr), m_width(width), m_height(height),
          m_count(count) {
        new CPatternStream(this, false, phr);
        if (withAudio)
            new CPatternStream(this, true, phr);
    }
    static CPatternSource* Create(LONG width, LONG height, LONG count, bool withAudio) {
        HRESULT hr = S_OK;
        auto* f = new CPatternSource(width, height, count, withAudio, &hr);
        f->NonDelegatingAddRef();
        return f;
    }
    LONG m_width;
    LONG m_height;
    LONG m_count;
};

inline CPatternStream::CPatternStream(CPatternSource* filter, bool audio, HRESULT* phr)
    : CSourceStream("pattern stream", phr, filter, audio ? "Audio" : "Video"), m_source(filter),
      m_audio(audio) {}

inline LONG CPatternStream::FrameBytes() const {
    return m_audio ? 800 : m_source->m_width * m_source->m_height * 4;
}

inline HRESULT CPatternStream::GetMediaType(CMediaType* pmt) {
    pmt->InitMediaType();
    if (m_audio) {
        WAVEFORMATEX w;
        w.wFormatTag = WAVE_FORMAT_PCM;
        w.nChannels = 1;
        w.nSamplesPerSec = 8000;
        w.nAvgBytesPerSec = 8000;
        w.nBlockAlign = 1;
        w.wBitsPerSample = 8;
        pmt->SetType(&MEDIATYPE_Audio);
        pmt->SetSubtype(&MEDIASUBTYPE_PCM);
        SetWaveFormat(*pmt, w);
        pmt->SetSampleSize(1);
        return S_OK;
    }
    VIDEOINFOHEADER v;
    v.rcSource = v.rcTarget = RECT{0, 0, m_source->m_width, m_source->m_height};
    v.AvgTimePerFrame = UNITS / 10;
    v.bmiHeader.biSize = 40;
    v.bmiHeader.biWidth = m_source->m_width;
    v.bmiHeader.biHeight = -m_source->m_height; // top-down
    v.bmiHeader.biPlanes = 1;
    v.bmiHeader.biBitCount = 32;
    v.bmiHeader.biSizeImage = static_cast<DWORD>(FrameBytes());
    pmt->SetType(&MEDIATYPE_Video);
    pmt->SetSubtype(&MEDIASUBTYPE_RGB32);
    pmt->AllocFormatBuffer(VIDEOINFOHEADER::kSize);
    SetVideoInfo(*pmt, v);
    pmt->SetSampleSize(static_cast<ULONG>(FrameBytes()));
    return S_OK;
}

inline HRESULT CPatternStream::FillBuffer(IMediaSample* sample) {
    CAutoLock lock(&m_cSharedState);
    if (m_next >= m_source->m_count)
        return S_FALSE;
    BYTE* p = nullptr;
    sample->GetPointer(&p);
    Fill(m_audio, m_source->m_width, m_source->m_height, m_next, p);
    sample->SetActualDataLength(FrameBytes());
    REFERENCE_TIME start = m_next * (UNITS / 10);
    REFERENCE_TIME stop = start + UNITS / 10;
    sample->SetTime(&start, &stop);
    sample->SetSyncPoint(TRUE);
    ++m_next;
    return S_OK;
}

} // namespace testfilters
