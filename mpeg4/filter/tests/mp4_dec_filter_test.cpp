#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "captiva/icaptiva.h"
#include "ivtmp4dec.h"
#include "media/harness.h"
#include "media/sample.h"
#include "mp4_dec_filter.h"
#include "mpeg4/m4v_split.h"
#include "mpeg4/mpeg4_core.h"
#include "platform/bytes.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "testsupport/files.h"

namespace {

using platform::FourCC;
using platform::ReadLE16;
using platform::ReadLE32;
using platform::WriteLE16;
using platform::WriteLE32;

constexpr std::uint32_t kPlain = 0x311F42C1;
constexpr std::uint32_t kPlaceholder = 0x12345678;
constexpr int kTrailer = kVTMp4TrailerBytes;

// ---- Streams and samples ---------------------------------------------------------------------------------

struct Stream {
    std::vector<BYTE> bytes;
    std::vector<mpeg4::FrameSpan> spans;
    std::vector<BYTE> Frame(std::size_t i) const {
        const auto& s = spans.at(i);
        return {bytes.begin() + static_cast<std::ptrdiff_t>(s.offset),
                bytes.begin() + static_cast<std::ptrdiff_t>(s.offset + s.length)};
    }
};

Stream Load(const std::string& path) {
    Stream s;
    s.bytes = testsupport::ReadFileBytes(path);
    s.spans = mpeg4::SplitElementaryStream(s.bytes.data(), s.bytes.size());
    return s;
}
Stream CoreStream(const std::string& name) {
    return Load(std::string(MPEG4_TEST_DATA) + "/" + name);
}
Stream FieldStream(const std::string& name) {
    return Load(std::string(MP4DEC_TEST_DATA) + "/" + name);
}

// The VOP coding type (ISO/IEC 14496-2 6.2.5) of a frame: I-VOPs are the key frames.
bool IsIntra(const std::vector<BYTE>& f) {
    for (std::size_t i = 0; i + 4 < f.size(); ++i)
        if (f[i] == 0 && f[i + 1] == 0 && f[i + 2] == 1 && f[i + 3] == 0xB6)
            return (f[i + 4] >> 6) == 0;
    return false;
}

// A TAV video sample: the 64-byte sample header, the MPEG-4 frame, a 512-byte status record.
struct Sample {
    std::uint32_t tag = kPlain;
    BYTE kind = 0;
    bool key = true;
    int width = 0, height = 0; // header fields of tags QRVA, ZUBE, MOTH
};

BYTE StatusByte(std::size_t i) {
    return static_cast<BYTE>(i * 7 + 3);
}

std::vector<BYTE> MakeSample(const Sample& s, const std::vector<BYTE>& frame) {
    std::vector<BYTE> v(64 + frame.size() + 512, 0);
    WriteLE32(&v[0], s.tag);
    WriteLE32(&v[4], 0xA1B2C3D4);
    WriteLE32(&v[8], static_cast<std::uint32_t>(frame.size()));
    WriteLE16(&v[12], static_cast<std::uint16_t>(s.width));
    WriteLE16(&v[14], static_cast<std::uint16_t>(s.height));
    v[17] = s.kind;
    v[19] = s.key ? 0x81 : 0x82;
    WriteLE32(&v[20], 0x11223344);
    WriteLE32(&v[24], 0x55667788);
    WriteLE32(&v[28], static_cast<std::uint32_t>(frame.size()));
    for (int i = 32; i < 44; ++i)
        v[i] = static_cast<BYTE>('A' + i - 32);
    std::memcpy(&v[64], frame.data(), frame.size());
    for (std::size_t i = 0; i < 512; ++i)
        v[64 + frame.size() + i] = StatusByte(i);
    return v;
}

std::vector<BYTE> MakePlaceholder() {
    std::vector<BYTE> v(4);
    WriteLE32(v.data(), kPlaceholder);
    return v;
}

// ---- Media types ------------------------------------------------------------------------------------------

CMediaType InputType(LONG width, LONG height, BYTE kind = 0) {
    CMediaType mt;
    mt.SetType(&MEDIATYPE_Stream);
    mt.SetSubtype(&MEDIASUBTYPE_VTMp4Video);
    mt.SetFormatType(&FORMAT_VideoInfo);
    VIDEOINFOHEADER vih;
    vih.dwBitErrorRate = 0xAB00u | kind;
    vih.bmiHeader.biSize = 40;
    vih.bmiHeader.biWidth = width;
    vih.bmiHeader.biHeight = height;
    vih.bmiHeader.biPlanes = 1;
    mt.AllocFormatBuffer(88);
    vih.Write(mt.Format());
    return mt;
}

CMediaType VideoType(const GUID& subtype, LONG width, LONG height, WORD planes = 1) {
    CMediaType mt;
    mt.SetType(&MEDIATYPE_Video);
    mt.SetSubtype(&subtype);
    mt.SetFormatType(&FORMAT_VideoInfo);
    VIDEOINFOHEADER vih;
    vih.bmiHeader.biSize = 40;
    vih.bmiHeader.biWidth = width;
    vih.bmiHeader.biHeight = height;
    vih.bmiHeader.biPlanes = planes;
    mt.AllocFormatBuffer(88);
    vih.Write(mt.Format());
    return mt;
}

VIDEOINFOHEADER Vih(const CMediaType& mt) {
    VIDEOINFOHEADER vih;
    EXPECT_TRUE(GetVideoInfo(mt, &vih));
    return vih;
}

// ---- The bare core, as the filter should drive it
// -----------------------------------------------------------

struct CoreDecoder {
    mpeg4::CMp4Codec* codec = nullptr;
    mpeg4::DecodeParams p;
    std::vector<BYTE> out;
    CoreDecoder(int w, int h, int format, bool presets = false) {
        EXPECT_EQ(mpeg4::Create(w, h, &codec), mpeg4::kOk);
        if (presets)
            mpeg4::SetHeaderPresets(codec, h > 288, 30000, 5, 1, 0);
        p.width = w;
        p.height = h;
        p.format = format;
        p.stride = w;
        p.deinterlace = h > 288 ? mpeg4::kDeinterlaceBlend : mpeg4::kDeinterlaceNone;
        out.assign(static_cast<std::size_t>(mpeg4::BytesPerPixel(format)) * w * h, 0);
    }
    ~CoreDecoder() { mpeg4::Destroy(codec); }
    int Decode(const std::vector<BYTE>& frame) {
        p.data = frame.data();
        p.length = static_cast<int32_t>(frame.size());
        p.output = out.data();
        return mpeg4::DecodeFrame(codec, p);
    }
};

// ---- The filter in the harness
// ------------------------------------------------------------------------------

struct Filter {
    ComPtr<IBaseFilter> ref;
    CVTMP4DecFilter* f;
    Filter() {
        HRESULT hr = S_OK;
        f = static_cast<CVTMP4DecFilter*>(CVTMP4DecFilter::CreateInstance(nullptr, &hr));
        ref = static_cast<IBaseFilter*>(f);
    }
    CVTMP4DecFilter* operator->() const { return f; }
};

// Accepts exactly one output subtype and row order, and proposes it.
HRESULT ConnectOutputAs(media::CFilterHarness& h, const GUID& subtype, LONG width, LONG height) {
    auto accept = [subtype, height](const CMediaType& mt) {
        VIDEOINFOHEADER vih;
        return *mt.Subtype() == subtype && GetVideoInfo(mt, &vih) && vih.bmiHeader.biHeight == height
                   ? S_OK
                   : S_FALSE;
    };
    return h.ConnectOutput(nullptr, accept, {VideoType(subtype, width, height)});
}

class Decoding : public ::testing::Test {
protected:
    void Connect(LONG width, LONG height, BYTE kind = 0) {
        h = std::make_unique<media::CFilterHarness>(f.ref.Get());
        ALLOCATOR_PROPERTIES props{1, 512 * 1024, 1, 0};
        ASSERT_EQ(h->ConnectInput(InputType(width, height, kind), props), S_OK);
    }
    void Start() { ASSERT_EQ(h->Run(), S_OK); }
    HRESULT Push(const std::vector<BYTE>& sample) {
        REFERENCE_TIME t0 = 1000 * m_pushed, t1 = t0 + 1000;
        ++m_pushed;
        return h->Push(sample.data(), static_cast<LONG>(sample.size()), &t0, &t1, true, false);
    }
    std::vector<media::CapturedSample> Got() const { return h->Received(); }
    void TearDown() override {
        if (h)
            h->Stop();
    }

    Filter f;
    std::unique_ptr<media::CFilterHarness> h;
    REFERENCE_TIME m_pushed = 0;
};

bool IsBlankRgb32(const std::vector<BYTE>& data, std::size_t pixels) {
    for (std::size_t i = 0; i < pixels; ++i)
        if (ReadLE32(&data[4 * i]) != 0x000000FFu)
            return false;
    return true;
}

bool SamePicture(const std::vector<BYTE>& got, const std::vector<BYTE>& want) {
    return got.size() >= want.size() && std::memcmp(got.data(), want.data(), want.size()) == 0;
}

// ---- Negotiation
// --------------------------------------------------------------------------------------------

TEST(Mp4DecFilter, InputAndTransformChecks) {
    Filter f;
    CMediaType wrongMajor = InputType(352, 240);
    wrongMajor.SetType(&MEDIATYPE_Video);
    CMediaType wrongSub = InputType(352, 240);
    wrongSub.SetSubtype(&MEDIASUBTYPE_MJPG);
    CMediaType wrongFormat = InputType(352, 240);
    wrongFormat.SetFormatType(&FORMAT_WaveFormatEx);
    struct {
        CMediaType type;
        HRESULT expected;
    } inputs[] = {
        {InputType(720, 576), S_OK},           {InputType(721, 576), E_INVALIDARG},
        {InputType(720, 577), E_INVALIDARG},   {InputType(352, -240), E_INVALIDARG},
        {wrongMajor, VFW_E_TYPE_NOT_ACCEPTED}, {wrongSub, VFW_E_TYPE_NOT_ACCEPTED},
        {wrongFormat, E_INVALIDARG},
    };
    for (auto& c : inputs)
        EXPECT_EQ(f->CheckInputType(&c.type), c.expected);

    CMediaType in = InputType(352, 240);
    CMediaType notVideoInfo = VideoType(MEDIASUBTYPE_RGB32, 352, 240);
    notVideoInfo.SetFormatType(&FORMAT_VideoInfo2);
    CMediaType shortBlock = VideoType(MEDIASUBTYPE_RGB32, 352, 240);
    shortBlock.ReallocFormatBuffer(87);
    struct {
        CMediaType out;
        HRESULT expected;
    } outputs[] = {
        {VideoType(MEDIASUBTYPE_RGB32, 352, 240), S_OK},
        {VideoType(MEDIASUBTYPE_RGB24, 384, -240), S_OK},
        {VideoType(MEDIASUBTYPE_YUY2, 352, 240), S_OK},
        {notVideoInfo, E_INVALIDARG},
        {shortBlock, E_INVALIDARG},
        {VideoType(MEDIASUBTYPE_RGB32, 352, 239), VFW_E_TYPE_NOT_ACCEPTED},
        {VideoType(MEDIASUBTYPE_RGB32, 351, 240), VFW_E_TYPE_NOT_ACCEPTED},
        {VideoType(MEDIASUBTYPE_RGB32, 352, 240, 2), VFW_E_TYPE_NOT_ACCEPTED},
    };
    for (auto& c : outputs)
        EXPECT_EQ(f->CheckTransform(&in, &c.out), c.expected);

    CMediaType mt;
    EXPECT_EQ(f->GetMediaType(0, &mt), VFW_E_NOT_CONNECTED);
    ALLOCATOR_PROPERTIES props{};
    EXPECT_EQ(f->DecideBufferSize(nullptr, &props), VFW_E_NOT_CONNECTED);
}

TEST_F(Decoding, OffersRgb32ThenRgb24AndSizesBuffersForPictureAndTrailer) {
    Connect(352, 240);
    CMediaType mt;
    const struct {
        GUID subtype;
        WORD bits;
    } offers[] = {{MEDIASUBTYPE_RGB32, 32}, {MEDIASUBTYPE_RGB24, 24}};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(f->GetMediaType(i, &mt), S_OK);
        EXPECT_EQ(*mt.Subtype(), offers[i].subtype);
        VIDEOINFOHEADER vih = Vih(mt);
        EXPECT_EQ(vih.bmiHeader.biHeight, 240);
        EXPECT_EQ(vih.bmiHeader.biBitCount, offers[i].bits);
        EXPECT_EQ(vih.bmiHeader.biSizeImage, 352u * 240 * offers[i].bits / 8);
        EXPECT_EQ(mt.GetSampleSize(), vih.bmiHeader.biSizeImage);
        EXPECT_EQ(vih.rcTarget.right, 352);
    }
    EXPECT_EQ(f->GetMediaType(2, &mt), VFW_S_NO_MORE_ITEMS);
    EXPECT_EQ(f->GetMediaType(-1, &mt), E_INVALIDARG);

    ASSERT_EQ(h->ConnectOutput(), S_OK);
    EXPECT_EQ(*h->CaptureType().Subtype(), MEDIASUBTYPE_RGB32);
    // 352 pixels of slack would not hold the 553-byte trailer.
    EXPECT_EQ(h->CaptureAllocator().cbBuffer, 352 * 240 * 4 + kTrailer);
}

TEST(Mp4DecFilter, UnknownOutputSubtypeIsRefusedWithAMessage) {
    Filter f;
    media::CFilterHarness h(f.ref.Get());
    ALLOCATOR_PROPERTIES props{1, 65536, 1, 0};
    ASSERT_EQ(h.ConnectInput(InputType(176, 144), props), S_OK);
    std::vector<platform::MessageBoxRequest> boxes;
    auto previous = platform::SetMessageBoxHandler([&](const platform::MessageBoxRequest& r) {
        boxes.push_back(r);
        return IDOK;
    });
    EXPECT_TRUE(FAILED(ConnectOutputAs(h, MEDIASUBTYPE_RGB8, 176, 144)));
    platform::SetMessageBoxHandler(previous);
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes[0].text,
              "Unsupported output color format " + std::to_string(static_cast<int>(MEDIASUBTYPE_RGB8.Data1)));
    EXPECT_EQ(boxes[0].caption, "MP4 Decoder");
}

// ---- Pictures
// ------------------------------------------------------------------------------------------------

// Each output subtype and row order reaches the codec as its format code: the delivered picture is the
// bare core's decode with that code.
TEST(Mp4DecFilterFormats, OutputSubtypeAndRowOrderSelectTheCodecFormat) {
    const Stream s = CoreStream("simple_352x240.m4v");
    const auto frame = s.Frame(0);
    const struct {
        GUID subtype;
        bool topDown;
        int code;
    } cases[] = {
        {MEDIASUBTYPE_RGB32, false, 9}, {MEDIASUBTYPE_RGB32, true, 4},    {MEDIASUBTYPE_RGB24, false, 8},
        {MEDIASUBTYPE_RGB24, true, 3},  {MEDIASUBTYPE_RGB565, false, 12}, {MEDIASUBTYPE_RGB555, true, 7},
        {MEDIASUBTYPE_YUY2, false, 5},  {MEDIASUBTYPE_UYVY, false, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        Filter f;
        media::CFilterHarness h(f.ref.Get());
        ALLOCATOR_PROPERTIES props{1, 256 * 1024, 1, 0};
        ASSERT_EQ(h.ConnectInput(InputType(352, 240), props), S_OK);
        ASSERT_EQ(ConnectOutputAs(h, c.subtype, 352, c.topDown ? -240 : 240), S_OK);
        ASSERT_EQ(h.Run(), S_OK);
        auto sample = MakeSample({}, frame);
        ASSERT_EQ(h.Push(sample.data(), static_cast<LONG>(sample.size())), S_OK);
        CoreDecoder core(352, 240, c.code);
        ASSERT_EQ(core.Decode(frame), 0);
        auto got = h.Received();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].data.size(), core.out.size() + kTrailer);
        EXPECT_TRUE(SamePicture(got[0].data, core.out));
        EXPECT_TRUE(got[0].syncPoint);
        h.Stop();
    }
}

TEST_F(Decoding, PlaceholderStreamGivesOnlyBlankPicturesOfFullLength) {
    Connect(352, 240);
    ASSERT_EQ(h->ConnectOutput(), S_OK);
    Start();
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(Push(MakePlaceholder()), S_OK);
    auto got = Got();
    ASSERT_EQ(got.size(), 5u);
    for (const auto& g : got) {
        ASSERT_EQ(g.data.size(), 352u * 240 * 4 + kTrailer);
        EXPECT_TRUE(IsBlankRgb32(g.data, 352 * 240));
        EXPECT_TRUE(g.syncPoint);
        EXPECT_EQ(g.timeResult, S_OK);
    }
    EXPECT_EQ(f->DecodedFrames(), 0);
}

TEST_F(Decoding, SizeChangeWaitsForItsKeyFrameAndOffersTheNewTypeDownstream) {
    const Stream small = CoreStream("bare_352x240.m4v");
    const Stream large = CoreStream("bare_704x480.m4v");
    ASSERT_TRUE(IsIntra(small.Frame(0)));
    ASSERT_TRUE(IsIntra(large.Frame(0)));
    ASSERT_FALSE(IsIntra(large.Frame(1)));
    const std::uint32_t qrva = FourCC("QRVA");
    Connect(352, 240);
    ASSERT_EQ(h->ConnectOutput(), S_OK);
    Start();

    CoreDecoder smallCore(352, 240, 9, true);
    CoreDecoder largeCore(704, 480, 9, true);
    ASSERT_EQ(Push(MakeSample({qrva, 0, true, 352, 240}, small.Frame(0))), S_OK);
    ASSERT_EQ(smallCore.Decode(small.Frame(0)), 0);
    // Changed samples before their key frame: blank pictures at the old size, old type downstream.
    ASSERT_EQ(Push(MakeSample({qrva, 0, false, 704, 480}, large.Frame(1))), S_OK);
    ASSERT_EQ(Push(MakeSample({qrva, 0, false, 704, 480}, large.Frame(2))), S_OK);
    EXPECT_EQ(Vih(h->CaptureType()).bmiHeader.biWidth, 352);
    // The key frame applies the change; later frames predict from it.
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(Push(MakeSample({qrva, 0, i == 0, 704, 480}, large.Frame(i))), S_OK);
        ASSERT_EQ(largeCore.Decode(large.Frame(i)), 0);
        auto got = Got();
        ASSERT_EQ(got.size(), 4 + i);
        EXPECT_TRUE(SamePicture(got.back().data, largeCore.out)) << i;
    }
    auto got = Got();
    EXPECT_TRUE(SamePicture(got[0].data, smallCore.out));
    for (int i : {1, 2}) {
        ASSERT_EQ(got[i].data.size(), 352u * 240 * 4 + kTrailer);
        EXPECT_TRUE(IsBlankRgb32(got[i].data, 352 * 240));
    }
    for (std::size_t i = 3; i < got.size(); ++i)
        EXPECT_EQ(got[i].data.size(), 704u * 480 * 4 + kTrailer);

    VIDEOINFOHEADER vih = Vih(h->CaptureType());
    EXPECT_EQ(vih.bmiHeader.biWidth, 704);
    EXPECT_EQ(vih.bmiHeader.biHeight, 480);
    EXPECT_EQ(vih.bmiHeader.biSizeImage, 704u * 480 * 4);
    EXPECT_EQ(vih.rcSource.right, 704);
    EXPECT_EQ(vih.rcTarget.bottom, 480);
    EXPECT_EQ(h->CaptureType().GetSampleSize(), 704u * 480 * 4);
    int w = 0, ht = 0, bytes = 0;
    f->GetPictureInfo(&w, &ht, &bytes);
    EXPECT_EQ(w, 704);
    EXPECT_EQ(ht, 480);
    EXPECT_EQ(bytes, 54 + 704 * 480 * 4);
}

TEST_F(Decoding, CorruptDataGivesBlankPicturesUntilTheNextKeyFrame) {
    const Stream s = CoreStream("simple_352x240.m4v");
    auto broken = s.Frame(2);
    broken.resize(16); // the VOP header and the start of its first macroblocks
    {
        CoreDecoder core(352, 240, 9);
        ASSERT_EQ(core.Decode(s.Frame(0)), 0);
        ASSERT_NE(core.Decode(broken), 0);
    }
    Connect(352, 240);
    ASSERT_EQ(h->ConnectOutput(), S_OK);
    Start();
    const std::vector<std::vector<BYTE>> frames = {s.Frame(0), s.Frame(1), broken,
                                                   s.Frame(3), s.Frame(0), s.Frame(1)};
    for (const auto& fr : frames)
        ASSERT_EQ(Push(MakeSample({kPlain, 0, IsIntra(fr)}, fr)), S_OK);
    auto got = Got();
    ASSERT_EQ(got.size(), frames.size());
    for (const auto& g : got)
        ASSERT_EQ(g.data.size(), 352u * 240 * 4 + kTrailer);
    EXPECT_FALSE(IsBlankRgb32(got[1].data, 352 * 240));
    EXPECT_TRUE(IsBlankRgb32(got[2].data, 352 * 240));
    EXPECT_TRUE(IsBlankRgb32(got[3].data, 352 * 240));
    // Decoding resumes at the key frame exactly where it started.
    EXPECT_TRUE(
        SamePicture(got[4].data, std::vector<BYTE>(got[0].data.begin(), got[0].data.end() - kTrailer)));
    EXPECT_TRUE(
        SamePicture(got[5].data, std::vector<BYTE>(got[1].data.begin(), got[1].data.end() - kTrailer)));
}

TEST_F(Decoding, DamagedSamplesNeverBreakTheStream) {
    const Stream s = CoreStream("simple_352x240.m4v");
    Connect(352, 240);
    ASSERT_EQ(h->ConnectOutput(), S_OK);
    Start();
    std::mt19937 rng(1234);
    const std::uint32_t tags[] = {kPlain,         FourCC("KLTO"), FourCC("QRVA"),
                                  FourCC("ZUBE"), FourCC("MOTH"), FourCC("WENG"),
                                  FourCC("FABL"), kPlaceholder,   0xDEADBEEF};
    const int sizes[][2] = {{352, 240}, {176, 144}, {720, 576}, {704, 240}, {0, 0}, {4000, 9000}};
    for (int i = 0; i < 150; ++i) {
        auto frame = s.Frame(rng() % s.spans.size());
        // Flip bytes, cut the frame short, or replace it with noise.
        switch (rng() % 3) {
        case 0:
            for (int k = 0; k < 8; ++k)
                frame[rng() % frame.size()] ^= static_cast<BYTE>(rng());
            break;
        case 1:
            frame.resize(rng() % frame.size());
            break;
        default:
            for (auto& b : frame)
                b = static_cast<BYTE>(rng());
            break;
        }
        const auto& size = sizes[rng() % std::size(sizes)];
        auto sample = MakeSample(
            {tags[rng() % std::size(tags)], static_cast<BYTE>(rng() % 3), rng() % 2 == 0, size[0], size[1]},
            frame);
        if (rng() % 4 == 0)
            WriteLE32(&sample[28], rng()); // a length that is not the frame's
        if (rng() % 8 == 0)
            sample.resize(1 + rng() % 79); // shorter than its own header
        ASSERT_EQ(Push(sample), S_OK) << i;
        int w = 0, ht = 0;
        f->GetPictureInfo(&w, &ht, nullptr);
        auto got = Got();
        ASSERT_EQ(got.size(), 1u);
        ASSERT_EQ(got.back().data.size(), static_cast<std::size_t>(w) * ht * 4 + kTrailer) << i;
        h->ClearReceived();
    }
}

// ---- The trailer behind each picture
// --------------------------------------------------------------------------

TEST_F(Decoding, TrailerCarriesHeaderOrStatusRecordByTag) {
    const Stream s = CoreStream("simple_352x240.m4v");
    const auto frame = s.Frame(0);
    Connect(352, 240, 5);
    ASSERT_EQ(h->ConnectOutput(), S_OK);
    Start();
    const std::size_t picture = 352u * 240 * 4;
    auto trailerOf = [&](std::uint32_t tag) {
        auto sample = MakeSample({tag, 5, true, 352, 240}, frame);
        EXPECT_EQ(Push(sample), S_OK);
        auto got = Got();
        return std::make_pair(sample,
                              std::vector<BYTE>(got.back().data.begin() + picture, got.back().data.end()));
    };
    for (std::uint32_t tag : {kPlain, FourCC("QRVA"), FourCC("ZUBE")}) {
        auto [sample, trailer] = trailerOf(tag);
        EXPECT_EQ(std::memcmp(trailer.data(), sample.data(), 32), 0) << std::hex << tag;
    }
    for (std::uint32_t tag : {FourCC("KLTO"), FourCC("FABL")}) {
        auto [sample, trailer] = trailerOf(tag);
        std::vector<BYTE> want(512);
        for (std::size_t i = 0; i < 512; ++i)
            want[i] = StatusByte(i);
        WriteLE32(&want[22], tag);
        WriteLE32(&want[26], 0xA1B2C3D4);
        EXPECT_EQ(std::vector<BYTE>(trailer.begin(), trailer.begin() + 512), want) << std::hex << tag;
    }
    {
        auto [sample, trailer] = trailerOf(FourCC("WENG"));
        for (std::size_t i = 0; i < 44; ++i)
            ASSERT_EQ(trailer[i], StatusByte(i)) << i;
        const std::uint32_t words[] = {FourCC("WENG"), 0xA1B2C3D4, 0x11223344, 0x55667788,
                                       static_cast<std::uint32_t>(frame.size())};
        for (int k = 0; k < 5; ++k)
            EXPECT_EQ(ReadLE32(&trailer[44 + 4 * k]), words[k]) << k;
    }
    // An unknown tag leaves the trailer as the buffer held it. The decoder keeps its last picture's buffer,
    // so two buffers take turns: this picture lands in the one of the picture before last.
    const auto delivered = Got();
    ASSERT_GE(delivered.size(), 2u);
    auto before = delivered[delivered.size() - 2].data;
    auto [sample, trailer] = trailerOf(FourCC("RAIL"));
    EXPECT_EQ(trailer, std::vector<BYTE>(before.begin() + picture, before.end()));
    EXPECT_EQ(f->DecodedFrames(), 7);
}

// ---- The overlay set-up of KLTO and MOTH streams ----------------------------------------------------------

class RecordingOverlay final : public ICaptiva {
public:
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT SetOverlayType(int) override { return S_OK; }
    HRESULT GetOverlayType(int*) override { return S_OK; }
    HRESULT SetDrawMode(int) override { return S_OK; }
    HRESULT GetDrawMode(int*) override { return S_OK; }
    HRESULT SetText(UINT index, char* text, int length) override {
        texts.push_back(std::to_string(index) + ":" + std::string(text, static_cast<std::size_t>(length)));
        return S_OK;
    }
    HRESULT GetText(UINT, char*, int*) override { return S_OK; }
    HRESULT SetColor(BYTE, BYTE, BYTE) override { return S_OK; }
    HRESULT GetColor(BYTE*, BYTE*, BYTE*) override { return S_OK; }
    HRESULT SetTextPosition(UINT index, int x, int y) override {
        positions.push_back({static_cast<int>(index), x, y});
        return S_OK;
    }
    HRESULT GetTextPosition(UINT, int*) override { return S_OK; }
    HRESULT SetFont(LOGFONTA f) override {
        font = f;
        ++fonts;
        return S_OK;
    }
    HRESULT GetFont(LOGFONTA*) override { return S_OK; }
    HRESULT SetTimeRange(double, double) override { return S_OK; }
    HRESULT GetTimeRange(double*, double*) override { return S_OK; }
    HRESULT SetVideoSize(int w, int h, int image, int* result) override {
        size = {w, h, image};
        *result = image;
        return S_OK;
    }

    std::vector<int> size;
    std::vector<std::vector<int>> positions;
    std::vector<std::string> texts;
    LOGFONTA font{};
    int fonts = 0;
};

TEST(Mp4DecFilterOverlay, KltoKindChangeReadsTheSizeFromTheStreamAndLaysOutTheOverlay) {
    struct Case {
        const char* stream;
        int width, height;
        std::vector<std::vector<int>> positions;
        LONG fontHeight, fontWidth;
    } cases[] = {
        {"simple_352x240.m4v",
         352,
         240,
         {{0, 20, 208}, {1, 20, 192}, {2, 20, 176}, {3, 20, 22}, {4, 20, 160}},
         -16,
         10},
        {"interlaced_704x480.m4v",
         704,
         480,
         {{0, 40, 416}, {1, 40, 384}, {2, 40, 352}, {3, 40, 54}, {4, 40, 320}},
         -32,
         20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stream);
        const Stream s = CoreStream(c.stream);
        const auto frame = s.Frame(0);
        Filter f;
        RecordingOverlay overlay;
        ComPtr<IVTMP4Dec> control;
        ASSERT_EQ(f.ref.As(IID_IVTMP4Dec, control), S_OK);
        EXPECT_EQ(control->SetOverlayControl(&overlay), S_OK);
        media::CFilterHarness h(f.ref.Get());
        ALLOCATOR_PROPERTIES props{1, 256 * 1024, 1, 0};
        // The input type names another size: the stream's own layer header wins at the key frame.
        ASSERT_EQ(h.ConnectInput(InputType(176, 144, 1), props), S_OK);
        ASSERT_EQ(h.ConnectOutput(), S_OK);
        ASSERT_EQ(h.Run(), S_OK);
        auto sample = MakeSample({FourCC("KLTO"), 2, true}, frame);
        ASSERT_EQ(h.Push(sample.data(), static_cast<LONG>(sample.size())), S_OK);

        const int picture = c.width * c.height * 4;
        EXPECT_EQ(overlay.size, (std::vector<int>{c.width, c.height, picture}));
        EXPECT_EQ(overlay.positions, c.positions);
        EXPECT_EQ(overlay.texts, (std::vector<std::string>{"0:", "1:", "2:", "3:", "4:"}));
        ASSERT_EQ(overlay.fonts, 1);
        EXPECT_EQ(overlay.font.lfHeight, c.fontHeight);
        EXPECT_EQ(overlay.font.lfWidth, c.fontWidth);
        EXPECT_EQ(overlay.font.lfWeight, 400);
        EXPECT_EQ(overlay.font.lfCharSet, 1);
        EXPECT_EQ(overlay.font.lfQuality, 1);
        EXPECT_EQ(overlay.font.lfPitchAndFamily, 1);
        EXPECT_STREQ(overlay.font.lfFaceName, "Lucida Console");

        // The picture comes out at the stream's size, decoded.
        CoreDecoder core(c.width, c.height, 9);
        ASSERT_EQ(core.Decode(frame), 0);
        auto got = h.Received();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].data.size(), static_cast<std::size_t>(picture) + kTrailer);
        EXPECT_TRUE(SamePicture(got[0].data, core.out));
        h.Stop();
    }
}

// ---- IVTMP4Dec: the picture as a bitmap
// ------------------------------------------------------------------------

struct BitmapHeader {
    std::uint32_t fileSize, offset, infoSize;
    std::int32_t width, height;
    std::uint16_t planes, bits;
    explicit BitmapHeader(const std::vector<BYTE>& b)
        : fileSize(ReadLE32(&b[2])), offset(ReadLE32(&b[10])), infoSize(ReadLE32(&b[14])),
          width(static_cast<std::int32_t>(ReadLE32(&b[18]))),
          height(static_cast<std::int32_t>(ReadLE32(&b[22]))), planes(ReadLE16(&b[26])),
          bits(ReadLE16(&b[28])) {}
};

TEST(Mp4DecFilterBitmap, FieldPicturesOf720AreExportedWithDoubledLines) {
    const struct {
        const char* stream;
        int width;
        bool doubled;
    } cases[] = {{"field_720x240.m4v", 720, true}, {"field_704x240.m4v", 704, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stream);
        const Stream s = FieldStream(c.stream);
        ASSERT_EQ(s.spans.size(), 2u);
        Filter filter;
        media::CFilterHarness harness(filter.ref.Get());
        ALLOCATOR_PROPERTIES props{1, 256 * 1024, 1, 0};
        ASSERT_EQ(harness.ConnectInput(InputType(c.width, 240), props), S_OK);
        ASSERT_EQ(harness.ConnectOutput(), S_OK);
        ASSERT_EQ(harness.Run(), S_OK);
        for (std::size_t i = 0; i < 2; ++i) {
            auto sample = MakeSample({kPlain, 0, i == 0}, s.Frame(i));
            ASSERT_EQ(harness.Push(sample.data(), static_cast<LONG>(sample.size())), S_OK);
        }
        const auto picture = harness.Received().back().data;
        const std::size_t row = static_cast<std::size_t>(c.width) * 4;
        ASSERT_EQ(picture.size(), row * 240 + kTrailer);
        ASSERT_FALSE(IsBlankRgb32(picture, static_cast<std::size_t>(c.width) * 240));

        int w = 0, ht = 0, bytes = 0;
        ComPtr<IVTMP4Dec> control;
        ASSERT_EQ(filter.ref.As(IID_IVTMP4Dec, control), S_OK);
        EXPECT_EQ(control->GetPictureInfo(&w, &ht, &bytes), S_OK);
        EXPECT_EQ(control->GetPictureInfo(nullptr, nullptr, nullptr), S_OK);
        EXPECT_EQ(w, c.width);
        EXPECT_EQ(ht, 240);
        const int rows = c.doubled ? 480 : 240;
        ASSERT_EQ(bytes, 54 + static_cast<int>(row) * rows);

        // The bitmap stays readable once the graph has stopped and the buffers are gone.
        for (bool stopped : {false, true}) {
            if (stopped)
                harness.Stop();
            std::vector<BYTE> bmp(static_cast<std::size_t>(bytes), 0xEE);
            ASSERT_EQ(control->GetPictureBitmap(bmp.data()), S_OK);
            BitmapHeader hd(bmp);
            EXPECT_EQ(bmp[0], 'B');
            EXPECT_EQ(bmp[1], 'M');
            EXPECT_EQ(hd.fileSize, static_cast<std::uint32_t>(bytes));
            EXPECT_EQ(hd.offset, 54u);
            EXPECT_EQ(hd.infoSize, 40u);
            EXPECT_EQ(hd.width, c.width);
            EXPECT_EQ(hd.height, rows); // positive: the picture is bottom-up
            EXPECT_EQ(hd.planes, 1);
            EXPECT_EQ(hd.bits, 32);
            for (int r = 0; r < rows; ++r) {
                const int source = c.doubled ? r / 2 : r;
                ASSERT_EQ(std::memcmp(&bmp[54 + r * row], &picture[source * row], row), 0) << r;
            }
        }
    }
}

TEST_F(Decoding, Yuy2OutputIsExportedAs24BitRgb) {
    const Stream s = CoreStream("simple_352x240.m4v");
    Connect(352, 240);
    ASSERT_EQ(ConnectOutputAs(*h, MEDIASUBTYPE_YUY2, 352, 240), S_OK);
    Start();
    ASSERT_EQ(Push(MakeSample({}, s.Frame(0))), S_OK);
    ASSERT_EQ(Got().back().data.size(), 352u * 240 * 2 + kTrailer);
    int bytes = 0;
    f->GetPictureInfo(nullptr, nullptr, &bytes);
    ASSERT_EQ(bytes, 54 + 352 * 240 * 3);
    std::vector<BYTE> bmp(static_cast<std::size_t>(bytes));
    ASSERT_EQ(f->GetPictureBitmap(bmp.data()), S_OK);
    BitmapHeader hd(bmp);
    EXPECT_EQ(hd.bits, 24);
    EXPECT_EQ(hd.height, 240);
    // The same colours as the codec's own bottom-up RGB conversion.
    CoreDecoder core(352, 240, 9);
    ASSERT_EQ(core.Decode(s.Frame(0)), 0);
    for (std::size_t i = 0; i < 352u * 240; ++i)
        ASSERT_EQ(std::memcmp(&bmp[54 + 3 * i], &core.out[4 * i], 3), 0) << i;
}

TEST_F(Decoding, UndersizedOutputSampleIsSkippedAndBlanksUntilAKeyFrame) {
    const Stream s = CoreStream("simple_352x240.m4v");
    Connect(352, 240);
    ASSERT_EQ(h->ConnectOutput(), S_OK);
    Start();
    ASSERT_EQ(Push(MakeSample({}, s.Frame(0))), S_OK);

    // Transform straight into a buffer that cannot hold the picture and its trailer.
    ComPtr<IMemAllocator> small;
    IMemAllocator* created = nullptr;
    ASSERT_EQ(CMemAllocator::Create(&created), S_OK);
    small.Attach(created);
    ALLOCATOR_PROPERTIES want{2, 352 * 240 * 4, 1, 0}, actual{};
    ASSERT_EQ(small->SetProperties(&want, &actual), S_OK);
    ASSERT_EQ(small->Commit(), S_OK);
    IMediaSample* in = nullptr;
    IMediaSample* out = nullptr;
    ASSERT_EQ(small->GetBuffer(&in, nullptr, nullptr, 0), S_OK);
    ASSERT_EQ(small->GetBuffer(&out, nullptr, nullptr, 0), S_OK);
    auto p = MakeSample({kPlain, 0, false}, s.Frame(1));
    BYTE* data = nullptr;
    in->GetPointer(&data);
    std::memcpy(data, p.data(), p.size());
    in->SetActualDataLength(static_cast<LONG>(p.size()));
    EXPECT_EQ(f->Transform(in, out), S_FALSE);
    in->Release();
    out->Release();
    small->Decommit();

    ASSERT_EQ(Push(MakeSample({kPlain, 0, false}, s.Frame(1))), S_OK);
    ASSERT_EQ(Push(MakeSample({kPlain, 0, true}, s.Frame(0))), S_OK);
    auto got = Got();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_TRUE(IsBlankRgb32(got[1].data, 352 * 240));
    EXPECT_TRUE(
        SamePicture(got[2].data, std::vector<BYTE>(got[0].data.begin(), got[0].data.end() - kTrailer)));
}

// ---- The module
// -----------------------------------------------------------------------------------------------

TEST(Mp4DecFilterModule, CreatedByClassIdWithItsControlInterface) {
    auto entry = platform::LookupClass(CLSID_VTMp4Dec);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, "Veltrix Stavik MP4 Decoder");
    ComPtr<IBaseFilter> filter;
    ASSERT_EQ(CoCreateInstance(CLSID_VTMp4Dec, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               filter.ReleaseAndGetVoidAddress()),
              S_OK);
    ComPtr<IVTMP4Dec> control;
    ASSERT_EQ(filter.As(IID_IVTMP4Dec, control), S_OK);
    int w = -1, ht = -1, bytes = -1;
    EXPECT_EQ(control->GetPictureInfo(&w, &ht, &bytes), S_OK);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(bytes, 54);
    ComPtr<ISpecifyPropertyPages> pages;
    ASSERT_EQ(filter.As(IID_ISpecifyPropertyPages, pages), S_OK);
    CAUUID list{};
    EXPECT_EQ(pages->GetPages(&list), S_OK);
    EXPECT_EQ(list.cElems, 0u);
    ComPtr<IPin> in, out;
    EXPECT_EQ(filter->FindPin("In", &in), S_OK);
    EXPECT_EQ(filter->FindPin("Out", &out), S_OK);
}

} // namespace
