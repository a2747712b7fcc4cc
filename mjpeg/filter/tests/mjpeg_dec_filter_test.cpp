#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "media/harness.h"
#include "mjpeg/jpeg_decoder.h"
#include "mjpeg_dec_filter.h"
#include "platform/registry.h"
#include "vtmjpegdec.h"

namespace {

// A JPEG of w × h whose pixel (x, y) has red x*4, green y*4, blue 128 (or a grey ramp).
std::vector<BYTE> MakeJpeg(int w, int h, bool grey = false) {
    std::vector<BYTE> pixels(static_cast<std::size_t>(w) * h * (grey ? 1 : 3));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (grey) {
                pixels[y * w + x] = static_cast<BYTE>(x * 4);
            } else {
                BYTE* p = &pixels[(static_cast<std::size_t>(y) * w + x) * 3];
                p[0] = static_cast<BYTE>(x * 4), p[1] = static_cast<BYTE>(y * 4), p[2] = 128;
            }
        }
    tjhandle tj = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    tjCompress2(tj, pixels.data(), w, 0, h, grey ? TJPF_GRAY : TJPF_RGB, &jpeg, &size,
                grey ? TJSAMP_GRAY : TJSAMP_422, 90, 0);
    std::vector<BYTE> out(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(tj);
    return out;
}

// The core's own decode, line by line (R, G, B, x per pixel).
std::vector<std::vector<BYTE>> DecodeLines(const std::vector<BYTE>& jpeg) {
    mjpeg::jpeg_decoder_memory_stream stream(jpeg.data(), static_cast<std::int32_t>(jpeg.size()));
    mjpeg::jpeg_decoder d(&stream);
    std::vector<std::vector<BYTE>> lines;
    if (d.begin_decoding() != 0)
        return lines;
    const void* line;
    std::uint32_t bytes;
    while (d.decode(&line, &bytes) == 0)
        lines.emplace_back(static_cast<const BYTE*>(line), static_cast<const BYTE*>(line) + bytes);
    return lines;
}

CMediaType VideoType(const GUID& subtype, LONG width, LONG height, WORD planes = 1, ULONG formatLength = 88) {
    CMediaType mt;
    mt.SetType(&MEDIATYPE_Video);
    mt.SetSubtype(&subtype);
    mt.SetFormatType(&FORMAT_VideoInfo);
    VIDEOINFOHEADER vih;
    vih.bmiHeader.biSize = 40;
    vih.bmiHeader.biWidth = width;
    vih.bmiHeader.biHeight = height;
    vih.bmiHeader.biPlanes = planes;
    vih.bmiHeader.biBitCount = 32;
    mt.AllocFormatBuffer(88);
    vih.Write(mt.Format());
    if (formatLength != 88)
        mt.ReallocFormatBuffer(formatLength);
    return mt;
}

// A sample over a vector, for calling Transform directly.
class TestSample final : public IMediaSample {
public:
    TestSample(std::vector<BYTE>& data, LONG actual, HRESULT discontinuity = S_FALSE)
        : m_data(data), m_actual(actual), m_discontinuityAnswer(discontinuity) {}
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT GetPointer(BYTE** b) override { return *b = m_data.data(), S_OK; }
    LONG GetSize() override { return static_cast<LONG>(m_data.size()); }
    HRESULT GetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return VFW_E_SAMPLE_TIME_NOT_SET; }
    HRESULT SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return S_OK; }
    HRESULT IsSyncPoint() override { return m_sync ? S_OK : S_FALSE; }
    HRESULT SetSyncPoint(BOOL s) override { return m_sync = s, S_OK; }
    HRESULT IsPreroll() override { return S_FALSE; }
    HRESULT SetPreroll(BOOL) override { return S_OK; }
    LONG GetActualDataLength() override { return m_actual; }
    HRESULT SetActualDataLength(LONG n) override { return m_actual = n, S_OK; }
    HRESULT GetMediaType(AM_MEDIA_TYPE** t) override { return *t = nullptr, S_FALSE; }
    HRESULT SetMediaType(AM_MEDIA_TYPE*) override { return S_OK; }
    HRESULT IsDiscontinuity() override { return m_discontinuityAnswer; }
    HRESULT SetDiscontinuity(BOOL d) override { return m_discontinuity = d, S_OK; }
    HRESULT GetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
    HRESULT SetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }

    std::vector<BYTE>& m_data;
    LONG m_actual;
    HRESULT m_discontinuityAnswer;
    BOOL m_sync = TRUE;
    BOOL m_discontinuity = -1;
};

struct Filter {
    ComPtr<IBaseFilter> ref;
    CVTMJPEGDecFilter* f;
    Filter() {
        HRESULT hr = S_OK;
        f = static_cast<CVTMJPEGDecFilter*>(CVTMJPEGDecFilter::CreateInstance(nullptr, &hr));
        ref = static_cast<IBaseFilter*>(f);
    }
    CVTMJPEGDecFilter* operator->() const { return f; }
};

TEST(MjpegDecFilter, InputTypeChecks) {
    Filter f;
    struct Case {
        CMediaType type;
        HRESULT expected;
    } cases[] = {
        {VideoType(MEDIASUBTYPE_MJPG, 720, 576), S_OK},
        {VideoType(MEDIASUBTYPE_MJPG, 0, 0), S_OK},
        {VideoType(MEDIASUBTYPE_MJPG, 721, 576), E_INVALIDARG},
        {VideoType(MEDIASUBTYPE_MJPG, 720, 577), E_INVALIDARG},
        {VideoType(MEDIASUBTYPE_MJPG, -16, 16), E_INVALIDARG},
        {VideoType(MEDIASUBTYPE_RGB32, 352, 288), VFW_E_TYPE_NOT_ACCEPTED},
    };
    for (Case& c : cases)
        EXPECT_EQ(f->CheckInputType(&c.type), c.expected);
    CMediaType audio = VideoType(MEDIASUBTYPE_MJPG, 16, 16);
    audio.SetType(&MEDIATYPE_Audio);
    EXPECT_EQ(f->CheckInputType(&audio), VFW_E_TYPE_NOT_ACCEPTED);
}

TEST(MjpegDecFilter, TransformChecksAndSizesBeforeConnection) {
    Filter f;
    CMediaType in = VideoType(MEDIASUBTYPE_MJPG, 704, 576);
    struct Case {
        CMediaType out;
        HRESULT expected;
    } cases[] = {
        {VideoType(MEDIASUBTYPE_RGB32, 704, -576), S_OK},
        {VideoType(MEDIASUBTYPE_RGB32, 768, 576), S_OK},
        {VideoType(MEDIASUBTYPE_RGB32, 704, 575), VFW_E_TYPE_NOT_ACCEPTED},
        {VideoType(MEDIASUBTYPE_RGB32, 703, 576), VFW_E_TYPE_NOT_ACCEPTED},
        {VideoType(MEDIASUBTYPE_RGB32, 704, 576, 2), VFW_E_TYPE_NOT_ACCEPTED},
        {VideoType(MEDIASUBTYPE_RGB32, 704, 576, 1, 87), VFW_E_BUFFER_OVERFLOW},
    };
    for (Case& c : cases)
        EXPECT_EQ(f->CheckTransform(&in, &c.out), c.expected);
    CMediaType bad = VideoType(MEDIASUBTYPE_MJPG, 721, 576);
    EXPECT_EQ(f->CheckTransform(&bad, &cases[0].out), E_INVALIDARG);

    CMediaType mt;
    EXPECT_EQ(f->GetMediaType(0, &mt), VFW_E_NOT_CONNECTED);
    ALLOCATOR_PROPERTIES props{};
    EXPECT_EQ(f->DecideBufferSize(nullptr, &props), VFW_E_NOT_CONNECTED);
}

// Direct transforms into a pre-filled output buffer: what is written, where, and what is left alone.
class MjpegTransform : public ::testing::Test {
protected:
    static constexpr BYTE kFill = 0xCD;
    void Negotiate(LONG inW, LONG inH, LONG outW, LONG outH) {
        CMediaType in = VideoType(MEDIASUBTYPE_MJPG, inW, inH);
        CMediaType out = VideoType(MEDIASUBTYPE_RGB32, outW, outH);
        ASSERT_EQ(f->CheckInputType(&in), S_OK);
        ASSERT_EQ(f->CheckTransform(&in, &out), S_OK);
        m_out.assign(static_cast<std::size_t>(outW) * std::abs(inH) * 4, kFill);
    }
    HRESULT Run(std::vector<BYTE> jpeg, HRESULT discontinuity = S_FALSE) {
        m_in = std::move(jpeg);
        TestSample in(m_in, static_cast<LONG>(m_in.size()), discontinuity);
        TestSample out(m_out, 0);
        HRESULT hr = f->Transform(&in, &out);
        m_outLength = out.m_actual;
        m_outSync = out.m_sync;
        m_outDiscontinuity = out.m_discontinuity;
        return hr;
    }
    const BYTE* Pixel(int row, int x, int stride) const {
        return &m_out[(static_cast<std::size_t>(row) * stride + x) * 4];
    }
    bool Untouched(std::size_t from, std::size_t to) const {
        for (std::size_t i = from; i < to; ++i)
            if (m_out[i] != kFill)
                return false;
        return true;
    }

    Filter f;
    std::vector<BYTE> m_in, m_out;
    LONG m_outLength = 0;
    BOOL m_outSync = TRUE, m_outDiscontinuity = -1;
};

TEST_F(MjpegTransform, BottomUpRowsInBgrOrderWithStridePaddingLeftAlone) {
    const int w = 32, h = 16, stride = 40;
    Negotiate(w, h, stride, h);
    auto jpeg = MakeJpeg(w, h);
    auto lines = DecodeLines(jpeg);
    ASSERT_EQ(lines.size(), 16u);
    ASSERT_EQ(Run(jpeg, S_OK), S_OK);
    EXPECT_EQ(m_outLength, stride * h * 4);
    EXPECT_FALSE(m_outSync);
    EXPECT_TRUE(m_outDiscontinuity);
    for (int y = 0; y < h; ++y) {
        int row = h - 1 - y; // bottom-up: the picture's first line is the buffer's last row
        for (int x = 0; x < w; ++x) {
            const BYTE* p = Pixel(row, x, stride);
            ASSERT_EQ(p[0], lines[y][4 * x + 2]) << y << "," << x;
            ASSERT_EQ(p[1], lines[y][4 * x + 1]);
            ASSERT_EQ(p[2], lines[y][4 * x + 0]);
            ASSERT_EQ(p[3], kFill); // the fourth byte is never written
        }
        std::size_t padFrom = (static_cast<std::size_t>(row) * stride + w) * 4;
        EXPECT_TRUE(Untouched(padFrom, padFrom + (stride - w) * 4)) << row;
    }
}

TEST_F(MjpegTransform, TopDownOutputFillsFromTheTopAndStopsAtTheInputHeight) {
    const int w = 16, inH = 8;
    Negotiate(w, inH, w, -inH);
    auto jpeg = MakeJpeg(w, 24); // a picture taller than the declared input
    auto lines = DecodeLines(jpeg);
    ASSERT_EQ(Run(jpeg), S_OK);
    EXPECT_FALSE(m_outDiscontinuity);
    for (int y = 0; y < inH; ++y)
        EXPECT_EQ(Pixel(y, 3, w)[2], lines[y][12]) << y;
}

TEST_F(MjpegTransform, ShortGreyAndJunkPicturesAreDeliveredWithoutWrites) {
    const int w = 16, h = 32;
    Negotiate(w, h, w, -h);
    // A shorter picture: the rows it lacks keep the buffer's contents.
    ASSERT_EQ(Run(MakeJpeg(w, 16)), S_OK);
    EXPECT_FALSE(Untouched(0, 16 * w * 4));
    EXPECT_TRUE(Untouched(16 * w * 4, m_out.size()));
    EXPECT_EQ(m_outLength, w * h * 4);

    std::fill(m_out.begin(), m_out.end(), kFill);
    ASSERT_EQ(Run(MakeJpeg(w, h, true)), S_OK); // greyscale: drained, nothing written
    EXPECT_TRUE(Untouched(0, m_out.size()));
    EXPECT_EQ(m_outLength, w * h * 4);

    ASSERT_EQ(Run(std::vector<BYTE>(600, 0x11)), S_OK); // no start marker in the first 512 bytes
    EXPECT_TRUE(Untouched(0, m_out.size()));

    auto cut = MakeJpeg(w, h);
    cut.resize(cut.size() / 2); // ends part-way: the rows decoded so far are delivered
    EXPECT_EQ(Run(cut), S_OK);
}

// A wider input type offered after the pair was accepted, and refused for the output, changes nothing:
// a wide picture still fills only the accepted output rows, and nothing is written past the frame.
TEST_F(MjpegTransform, RefusedWiderTypeNeverWidensTheRows) {
    const int w = 48, h = 16;
    Negotiate(w, h, w, h);
    CMediaType wide = VideoType(MEDIASUBTYPE_MJPG, 96, h);
    CMediaType out = VideoType(MEDIASUBTYPE_RGB32, w, h);
    EXPECT_EQ(f->CheckTransform(&wide, &out), VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(f->CheckInputType(&wide), S_OK); // an input-pin query alone widens nothing either
    const std::size_t frame = m_out.size();
    m_out.resize(frame + 96 * 4, kFill);
    ASSERT_EQ(Run(MakeJpeg(96, h)), S_OK);
    EXPECT_EQ(m_outLength, w * h * 4);
    EXPECT_TRUE(Untouched(frame, m_out.size()));
    auto lines = DecodeLines(MakeJpeg(96, h));
    // The first picture line lands in the bottom row, its first w pixels only.
    EXPECT_EQ(Pixel(h - 1, w - 1, w)[2], lines[0][4 * (w - 1)]);
    EXPECT_EQ(Pixel(h - 2, 0, w)[2], lines[1][0]);
}

TEST_F(MjpegTransform, SmallOutputAndBadDiscontinuityAnswerFail) {
    Negotiate(16, 16, 16, 16);
    m_out.resize(16 * 16 * 4 - 1);
    EXPECT_EQ(Run(MakeJpeg(16, 16)), VFW_E_BUFFER_OVERFLOW);
    m_out.resize(16 * 16 * 4);
    EXPECT_EQ(Run(MakeJpeg(16, 16), E_FAIL), E_UNEXPECTED);
}

TEST(MjpegDecFilterGraph, NegotiatesRgb32AndStreamsThroughTheHarness) {
    Filter f;
    media::CFilterHarness h(f.ref.Get());
    ALLOCATOR_PROPERTIES props{1, 64 * 1024, 1, 0};
    ASSERT_EQ(h.ConnectInput(VideoType(MEDIASUBTYPE_MJPG, 48, 32), props), S_OK);
    CMediaType offered;
    ASSERT_EQ(f->GetMediaType(0, &offered), S_OK);
    VIDEOINFOHEADER vih;
    ASSERT_TRUE(GetVideoInfo(offered, &vih));
    EXPECT_EQ(*offered.Subtype(), MEDIASUBTYPE_RGB32);
    EXPECT_EQ(offered.GetSampleSize(), 48u * 32 * 4);
    EXPECT_EQ(vih.bmiHeader.biHeight, 32);
    EXPECT_EQ(vih.bmiHeader.biBitCount, 32);
    EXPECT_EQ(vih.bmiHeader.biSizeImage, 48u * 32 * 4);
    EXPECT_EQ(vih.rcSource.right, 48);
    EXPECT_EQ(vih.rcTarget.bottom, 32);
    CMediaType none;
    EXPECT_EQ(f->GetMediaType(1, &none), VFW_S_NO_MORE_ITEMS);
    EXPECT_EQ(f->GetMediaType(-1, &none), E_INVALIDARG);

    ASSERT_EQ(h.ConnectOutput(), S_OK);
    EXPECT_EQ(h.CaptureAllocator().cBuffers, 1);
    EXPECT_EQ(h.CaptureAllocator().cbBuffer, 48 * 32 * 4);
    ASSERT_EQ(h.Run(), S_OK);
    auto jpeg = MakeJpeg(48, 32);
    REFERENCE_TIME t0 = 400000, t1 = 800000;
    ASSERT_EQ(h.Push(jpeg.data(), static_cast<LONG>(jpeg.size()), &t0, &t1, true, true), S_OK);
    ASSERT_EQ(h.Push(jpeg.data(), static_cast<LONG>(jpeg.size()), &t0, &t1, true, false), S_OK);
    auto got = h.Received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].data.size(), 48u * 32 * 4);
    EXPECT_FALSE(got[0].syncPoint);
    EXPECT_TRUE(got[0].discontinuity);
    EXPECT_FALSE(got[1].discontinuity);
    EXPECT_EQ(got[0].start, t0);
    auto lines = DecodeLines(jpeg);
    // Bottom-up: the last row holds the picture's first line.
    const BYTE* last = &got[0].data[31 * 48 * 4];
    EXPECT_EQ(last[2], lines[0][0]);
    EXPECT_EQ(last[1], lines[0][1]);
    EXPECT_EQ(h.Stop(), S_OK);
}

TEST(MjpegDecFilterModule, CreatedByClassIdWithNoPropertyPages) {
    auto entry = platform::LookupClass(CLSID_VTMjpegDec);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, "Veltrix Motion JPEG Decoder");
    ComPtr<IBaseFilter> filter;
    ASSERT_EQ(CoCreateInstance(CLSID_VTMjpegDec, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               filter.ReleaseAndGetVoidAddress()),
              S_OK);
    ComPtr<ISpecifyPropertyPages> pages;
    ASSERT_EQ(filter.As(IID_ISpecifyPropertyPages, pages), S_OK);
    CAUUID list{};
    EXPECT_EQ(pages->GetPages(&list), S_OK);
    EXPECT_EQ(list.cElems, 0u);
    EXPECT_EQ(list.pElems, nullptr);
    ComPtr<IPin> in, out;
    EXPECT_EQ(filter->FindPin("In", &in), S_OK);
    EXPECT_EQ(filter->FindPin("Out", &out), S_OK);
}

} // namespace
