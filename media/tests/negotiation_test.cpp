// Connection protocol through the harness: the order of the filter's negotiation calls, the codes a
// refusing CheckInputType or CheckTransform produces, and single-threaded streaming through
// CTransformFilter and CTransInPlaceFilter.
#include <gtest/gtest.h>

#include "media/harness.h"
#include "test_filters.h"

using namespace testfilters;
using media::CFilterHarness;

namespace {
const ALLOCATOR_PROPERTIES kFeedProps{2, kSampleBytes, 1, 0};

std::vector<BYTE> Payload(LONG n) {
    std::vector<BYTE> p(kSampleBytes);
    platform::WriteLE32(p.data() + 4, static_cast<DWORD>(n));
    return p;
}
} // namespace

TEST(Negotiation, TransformCallsComeInTheFrameworkOrder) {
    CTestTransform* t = CTestTransform::Create();
    {
        CFilterHarness h(t);
        ASSERT_EQ(h.ConnectInput(TestType(MEDIASUBTYPE_TestA, 5), kFeedProps), S_OK);
        EXPECT_EQ(t->TakeLog(), (std::vector<std::string>{"CheckConnect(in)", "CheckInputType",
                                                          "SetMediaType(in)", "CompleteConnect(in)"}));
        ASSERT_EQ(h.ConnectOutput(), S_OK);
        EXPECT_EQ(t->TakeLog(), (std::vector<std::string>{"GetMediaType", "CheckConnect(out)",
                                                          "CheckTransform", "SetMediaType(out)",
                                                          "CompleteConnect(out)", "DecideBufferSize"}));
        CMediaType agreed = h.CaptureType();
        EXPECT_EQ(*agreed.Subtype(), MEDIASUBTYPE_TestB);
        VIDEOINFOHEADER vih;
        ASSERT_TRUE(GetVideoInfo(agreed, &vih));
        EXPECT_EQ(vih.dwBitRate, 5u); // the output type is built from the input's format
        EXPECT_EQ(h.CaptureAllocator().cbBuffer, kSampleBytes);
    }
    t->Release();
}

TEST(Negotiation, RefusalsGiveTheFrameworkCodes) {
    struct Case {
        HRESULT refuseInput;
        HRESULT refuseTransform;
        HRESULT connectInput;
        HRESULT connectOutput;
    } cases[] = {
        // A refusing input check is reported as "type not accepted", whatever refusal it was.
        {E_INVALIDARG, S_OK, VFW_E_TYPE_NOT_ACCEPTED, VFW_E_NOT_FOUND},
        {E_FAIL, S_OK, VFW_E_TYPE_NOT_ACCEPTED, VFW_E_NOT_FOUND},
        {S_FALSE, S_OK, VFW_E_TYPE_NOT_ACCEPTED, VFW_E_NOT_FOUND},
        // Another error passes through as it is.
        {VFW_E_BUFFER_OVERFLOW, S_OK, VFW_E_BUFFER_OVERFLOW, VFW_E_NOT_FOUND},
        // A plain refusal by every proposed output type: no acceptable types.
        {S_OK, VFW_E_TYPE_NOT_ACCEPTED, S_OK, VFW_E_NO_ACCEPTABLE_TYPES},
        {S_OK, E_INVALIDARG, S_OK, VFW_E_NO_ACCEPTABLE_TYPES},
        // A specific error from the transform check is what the connection reports.
        {S_OK, VFW_E_BUFFER_OVERFLOW, S_OK, VFW_E_BUFFER_OVERFLOW},
    };
    for (const Case& c : cases) {
        CTestTransform* t = CTestTransform::Create();
        t->m_refuseInput = c.refuseInput;
        t->m_refuseTransform = c.refuseTransform;
        {
            CFilterHarness h(t);
            EXPECT_EQ(h.ConnectInput(TestType(MEDIASUBTYPE_TestA), kFeedProps), c.connectInput);
            HRESULT out = h.ConnectOutput();
            // Without a connected input the output proposes nothing and its connection cannot start.
            if (c.connectInput == S_OK)
                EXPECT_EQ(out, c.connectOutput);
            else
                EXPECT_TRUE(FAILED(out));
        }
        t->Release();
    }
}

TEST(Negotiation, OutputNeedsTheInputFirst) {
    CTestTransform* t = CTestTransform::Create();
    {
        CFilterHarness h(t);
        EXPECT_TRUE(FAILED(h.ConnectOutput()));
        IPin* out = nullptr;
        ASSERT_EQ(t->FindPin("Out", &out), S_OK);
        IPin* in = nullptr;
        ASSERT_EQ(t->FindPin("XForm In", &in), S_OK);
        PIN_DIRECTION dir;
        in->QueryDirection(&dir);
        EXPECT_EQ(dir, PINDIR_INPUT);
        in->Release();
        out->Release();
    }
    t->Release();
}

TEST(Streaming, TransformCopiesAndKeepsTimesAndFlags) {
    CTestTransform* t = CTestTransform::Create();
    t->m_skipEvery = 3;
    {
        CFilterHarness h(t);
        ASSERT_EQ(h.ConnectInput(TestType(MEDIASUBTYPE_TestA), kFeedProps), S_OK);
        ASSERT_EQ(h.ConnectOutput(), S_OK);
        std::vector<BYTE> data = Payload(0);
        EXPECT_EQ(h.Push(data.data(), kSampleBytes), VFW_E_NOT_COMMITTED); // stopped: no buffers
        ASSERT_EQ(h.Run(), S_OK);
        for (LONG i = 0; i < 6; ++i) {
            data = Payload(i);
            REFERENCE_TIME s = i * 10;
            REFERENCE_TIME e = s + 10;
            ASSERT_EQ(h.Push(data.data(), kSampleBytes, &s, &e, i % 2 == 0, i == 1), S_OK);
        }
        auto got = h.Received();
        ASSERT_EQ(got.size(), 4u); // samples 2 and 5 were skipped by the transform
        EXPECT_EQ(platform::ReadLE32(got[2].data.data() + 4), 3u);
        EXPECT_EQ(got[2].start, 30);
        EXPECT_EQ(got[2].stop, 40);
        EXPECT_TRUE(got[1].discontinuity);
        EXPECT_TRUE(got[2].discontinuity); // the first sample after a skip
        EXPECT_TRUE(got[0].syncPoint);
        EXPECT_FALSE(got[2].syncPoint);
        EXPECT_TRUE(got[3].syncPoint);
        // A skipped sample is reported once as a quality change.
        auto events = h.Events();
        EXPECT_EQ(std::count_if(events.begin(), events.end(),
                                [](const media::CapturedEvent& e) { return e.code == EC_QUALITY_CHANGE; }),
                  1);
        // Flushing passes downstream, and samples during a flush are dropped.
        ASSERT_EQ(h.PushBeginFlush(), S_OK);
        EXPECT_EQ(h.Push(data.data(), kSampleBytes), S_FALSE);
        ASSERT_EQ(h.PushEndFlush(), S_OK);
        EXPECT_EQ(h.FlushCount(), 1);
        ASSERT_EQ(h.PushEndOfStream(), S_OK);
        EXPECT_TRUE(h.EndOfStreamSeen());
        ASSERT_EQ(h.Stop(), S_OK);
    }
    t->Release();
}

TEST(Streaming, InPlaceTransformModifiesTheBufferItPassesOn) {
    CTestInPlace* f = CTestInPlace::Create();
    {
        CFilterHarness h(f);
        ASSERT_EQ(h.ConnectInput(TestType(MEDIASUBTYPE_TestA), kFeedProps), S_OK);
        ASSERT_EQ(h.ConnectOutput(), S_OK);
        EXPECT_EQ(h.CaptureType(), TestType(MEDIASUBTYPE_TestA)); // the type passes through unchanged
        ASSERT_EQ(h.Run(), S_OK);
        std::vector<BYTE> data = Payload(7);
        REFERENCE_TIME s = 70;
        REFERENCE_TIME e = 80;
        ASSERT_EQ(h.Push(data.data(), kSampleBytes, &s, &e), S_OK);
        auto got = h.Received();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].data[4], static_cast<BYTE>(~7));
        EXPECT_EQ(got[0].data[0], 0xFF);
        EXPECT_EQ(got[0].start, 70);
        EXPECT_EQ(f->m_count, 1);
        h.Stop();
    }
    f->Release();
}

TEST(Streaming, SampleWithANewTypeIsCheckedByTheInput) {
    CTestTransform* t = CTestTransform::Create();
    {
        CFilterHarness h(t);
        ASSERT_EQ(h.ConnectInput(TestType(MEDIASUBTYPE_TestA), kFeedProps), S_OK);
        ASSERT_EQ(h.ConnectOutput(), S_OK);
        ASSERT_EQ(h.Run(), S_OK);
        std::vector<BYTE> data = Payload(1);
        CMediaType wrong = TestType(MEDIASUBTYPE_TestB);
        EXPECT_EQ(h.Push(data.data(), kSampleBytes, nullptr, nullptr, true, false, &wrong),
                  VFW_E_INVALIDMEDIATYPE);
        media::CapturedEvent ev{};
        ASSERT_TRUE(h.WaitForEvent(EC_ERRORABORT, 0, &ev));
        EXPECT_EQ(ev.param1, VFW_E_TYPE_NOT_ACCEPTED);
        h.Stop();
    }
    t->Release();
}

namespace {
// Changes its output format before the first sample, as a decoder does on a picture-size change: the
// new type is offered to the connected downstream pin, then the allocator is resized and handed on.
class CResizingTransform : public CTestTransform {
public:
    CResizingTransform(HRESULT* phr) : CTestTransform(phr) {}
    HRESULT Receive(IMediaSample* sample) override {
        if (!m_resized) {
            m_resized = true;
            CMediaType mt = m_pOutput->CurrentMediaType();
            VIDEOINFOHEADER vih;
            GetVideoInfo(mt, &vih);
            vih.bmiHeader.biWidth = 8;
            SetVideoInfo(mt, vih);
            mt.SetSampleSize(2 * kSampleBytes);
            HRESULT hr = m_pOutput->GetConnected()->ReceiveConnection(m_pOutput, &mt);
            if (FAILED(hr))
                return hr;
            IMemAllocator* allocator = m_pOutput->Allocator();
            allocator->Decommit();
            ALLOCATOR_PROPERTIES props;
            m_pOutput->ConnectedInputPin()->GetAllocatorRequirements(&props);
            if (props.cbAlign == 0)
                props.cbAlign = 1;
            m_bufferBytes = 2 * kSampleBytes;
            hr = DecideBufferSize(allocator, &props);
            if (FAILED(hr))
                return hr;
            allocator->Commit();
            m_pOutput->ConnectedInputPin()->NotifyAllocator(allocator, FALSE);
        }
        return CTestTransform::Receive(sample);
    }
    bool m_resized = false;
};
} // namespace

TEST(Streaming, OutputFormatChangesWhileRunning) {
    HRESULT hr = S_OK;
    auto* t = new CResizingTransform(&hr);
    t->NonDelegatingAddRef();
    {
        CFilterHarness h(t);
        ASSERT_EQ(h.ConnectInput(TestType(MEDIASUBTYPE_TestA), kFeedProps), S_OK);
        ASSERT_EQ(h.ConnectOutput(), S_OK);
        EXPECT_EQ(h.CaptureAllocator().cbBuffer, kSampleBytes);
        ASSERT_EQ(h.Run(), S_OK);
        std::vector<BYTE> data = Payload(1);
        ASSERT_EQ(h.Push(data.data(), kSampleBytes), S_OK);
        VIDEOINFOHEADER vih;
        ASSERT_TRUE(GetVideoInfo(h.CaptureType(), &vih));
        EXPECT_EQ(vih.bmiHeader.biWidth, 8);
        EXPECT_EQ(h.CaptureAllocator().cbBuffer, 2 * kSampleBytes);
        EXPECT_EQ(h.ReceivedCount(), 1u);
        h.Stop();
    }
    t->Release();
}
