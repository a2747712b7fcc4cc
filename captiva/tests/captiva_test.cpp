#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "captiva/filter_captiva.h"
#include "captiva/icaptiva.h"
#include "captiva/pixel.h"
#include "media/harness.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace {

// The log goes into a scratch home, not the user's.
const bool g_home = [] {
    std::string dir = ::testing::TempDir() + "captiva_home";
    setenv("SCRYDE_HOME", dir.c_str(), 1);
    return true;
}();

CMediaType VideoType(const GUID& subtype, LONG width, LONG height, WORD bits,
                     REFERENCE_TIME avgTimePerFrame = 400000, const GUID& format = FORMAT_VideoInfo) {
    CMediaType mt;
    mt.SetType(&MEDIATYPE_Video);
    mt.SetSubtype(&subtype);
    mt.SetFormatType(&format);
    VIDEOINFOHEADER vih;
    vih.AvgTimePerFrame = avgTimePerFrame;
    vih.bmiHeader.biSize = 40;
    vih.bmiHeader.biWidth = width;
    vih.bmiHeader.biHeight = height;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = bits;
    vih.bmiHeader.biSizeImage = GetBitmapSize(vih.bmiHeader);
    mt.AllocFormatBuffer(VIDEOINFOHEADER::kSize);
    vih.Write(mt.Format());
    mt.SetSampleSize(vih.bmiHeader.biSizeImage);
    return mt;
}

LOGFONTA MonoFont(LONG height = -16, LONG width = 10) {
    LOGFONTA lf{};
    lf.lfHeight = height;
    lf.lfWidth = width;
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    lf.lfQuality = DRAFT_QUALITY;
    lf.lfPitchAndFamily = FIXED_PITCH;
    std::strcpy(lf.lfFaceName, "Lucida Console");
    return lf;
}

// The filter between the harness's test pins, running, with its ICaptiva.
struct Overlay {
    ComPtr<IBaseFilter> ref;
    CFilterCaptiva* filter = nullptr;
    ICaptiva* captiva = nullptr; // borrowed from `filter`
    std::unique_ptr<media::CFilterHarness> harness;
    LONG width = 0, height = 0, bytesPerPixel = 0;

    Overlay(const GUID& subtype, LONG w, LONG h, WORD bits, REFERENCE_TIME avg = 400000,
            std::function<HRESULT(const CMediaType&)> accept = {}) {
        HRESULT hr = S_OK;
        filter = static_cast<CFilterCaptiva*>(CFilterCaptiva::CreateInstance(nullptr, &hr));
        ref = static_cast<IBaseFilter*>(filter);
        captiva = filter;
        harness = std::make_unique<media::CFilterHarness>(ref.Get());
        width = w, height = h < 0 ? -h : h, bytesPerPixel = bits / 8;
        // Buffers with room for the larger pictures of a size change.
        ALLOCATOR_PROPERTIES props{2, std::max<LONG>(Stride() * height, 64 * 1024), 1, 0};
        EXPECT_EQ(harness->ConnectInput(VideoType(subtype, w, h, bits, avg), props), S_OK);
        EXPECT_EQ(harness->ConnectOutput(nullptr, std::move(accept)), S_OK);
        EXPECT_EQ(harness->Run(), S_OK);
    }
    ~Overlay() {
        if (harness)
            harness->Stop();
    }
    LONG Stride() const { return (bytesPerPixel * width + 3) & ~3; }
    std::vector<BYTE> Blank(BYTE fill = 0x40) const {
        return std::vector<BYTE>(std::size_t(Stride()) * height, fill);
    }

    // Pushes one picture and returns what came out.
    std::vector<BYTE> Pass(const std::vector<BYTE>& picture, const REFERENCE_TIME* start = nullptr,
                           const REFERENCE_TIME* stop = nullptr) {
        std::size_t before = harness->ReceivedCount();
        EXPECT_EQ(harness->Push(picture.data(), LONG(picture.size()), start, stop), S_OK);
        auto received = harness->Received();
        EXPECT_EQ(received.size(), before + 1);
        return received.empty() ? std::vector<BYTE>{} : received.back().data;
    }

    void Text(UINT index, const char* text, int x, int y) {
        ASSERT_EQ(captiva->SetText(index, const_cast<char*>(text), int(std::strlen(text))), S_OK);
        ASSERT_EQ(captiva->SetTextPosition(index, x, y), S_OK);
    }
};

// Pixels (x, y from the top) where two pictures differ.
std::set<std::pair<LONG, LONG>> Changed(const Overlay& o, const std::vector<BYTE>& a,
                                        const std::vector<BYTE>& b, bool bottomUp) {
    std::set<std::pair<LONG, LONG>> out;
    for (LONG y = 0; y < o.height; ++y) {
        LONG memRow = bottomUp ? o.height - 1 - y : y;
        for (LONG x = 0; x < o.width; ++x) {
            std::size_t at = std::size_t(memRow) * o.Stride() + std::size_t(x) * o.bytesPerPixel;
            if (std::memcmp(&a[at], &b[at], std::size_t(o.bytesPerPixel)) != 0)
                out.insert({x, y});
        }
    }
    return out;
}

TEST(Captiva, AcceptsOnlyUncompressedRgbOfFourKinds) {
    HRESULT hr = S_OK;
    auto* f = static_cast<CFilterCaptiva*>(CFilterCaptiva::CreateInstance(nullptr, &hr));
    ComPtr<IBaseFilter> ref(static_cast<IBaseFilter*>(f));
    struct Case {
        GUID subtype;
        HRESULT expected;
    } cases[] = {{MEDIASUBTYPE_RGB32, S_OK},        {MEDIASUBTYPE_RGB24, S_OK},
                 {MEDIASUBTYPE_RGB555, S_OK},       {MEDIASUBTYPE_RGB565, S_OK},
                 {MEDIASUBTYPE_RGB8, E_INVALIDARG}, {MEDIASUBTYPE_YUY2, E_INVALIDARG},
                 {MEDIASUBTYPE_MJPG, E_INVALIDARG}};
    for (const auto& c : cases) {
        CMediaType mt = VideoType(c.subtype, 16, 16, 32);
        EXPECT_EQ(f->CheckInputType(&mt), c.expected);
    }
    CMediaType audio = VideoType(MEDIASUBTYPE_RGB32, 16, 16, 32);
    audio.SetType(&MEDIATYPE_Audio);
    EXPECT_EQ(f->CheckInputType(&audio), E_INVALIDARG);

    // An RGB type without a VIDEOINFOHEADER passes the check but cannot complete the connection.
    media::CFilterHarness h(ref.Get());
    ALLOCATOR_PROPERTIES props{1, 1024, 1, 0};
    EXPECT_FALSE(
        SUCCEEDED(h.ConnectInput(VideoType(MEDIASUBTYPE_RGB32, 16, 16, 32, 0, FORMAT_VideoInfo2), props)));
    EXPECT_EQ(h.ConnectInput(VideoType(MEDIASUBTYPE_RGB32, 16, 16, 32), props), S_OK);
}

TEST(Captiva, PixelWritersPackTheColourPerFormat) {
    struct Case {
        GUID subtype;
        std::vector<BYTE> written; // for red 255, green 128, blue 0
    } cases[] = {
        {MEDIASUBTYPE_RGB32, {0x00, 0x80, 0xFF, 0x00}},
        {MEDIASUBTYPE_RGB24, {0x00, 0x80, 0xFF}},
        {MEDIASUBTYPE_RGB565, {0x00, 0xFC}}, // 0xFC00
        {MEDIASUBTYPE_RGB555, {0x00, 0x7E}}, // (31 << 10) + (16 << 5) = 0x7E00
        {MEDIASUBTYPE_RGB8, {10}},
    };
    for (const auto& c : cases) {
        auto writer = CreatePixelWriter(c.subtype);
        ASSERT_TRUE(writer);
        ASSERT_EQ(writer->BytesPerPixel(), int(c.written.size()));
        writer->SetColor(255, 128, 0);
        std::vector<BYTE> px(c.written.size(), 0x5A);
        writer->WritePixel(px.data());
        EXPECT_EQ(px, c.written);
        std::vector<BYTE> inv(c.written.size(), 0x5A);
        writer->InvertPixel(inv.data());
        EXPECT_EQ(inv, std::vector<BYTE>(c.written.size(), 0xA5));
    }
    EXPECT_FALSE(CreatePixelWriter(MEDIASUBTYPE_YUY2));
}

TEST(Captiva, PaintsTheColourInEveryConnectedFormat) {
    struct Case {
        GUID subtype;
        WORD bits;
        std::vector<BYTE> written;
    } cases[] = {
        {MEDIASUBTYPE_RGB32, 32, {0x00, 0x80, 0xFF, 0x00}},
        {MEDIASUBTYPE_RGB24, 24, {0x00, 0x80, 0xFF}},
        {MEDIASUBTYPE_RGB565, 16, {0x00, 0xFC}},
        {MEDIASUBTYPE_RGB555, 16, {0x00, 0x7E}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.bits));
        Overlay o(c.subtype, 37, 24, c.bits); // an odd width: rows are padded
        ASSERT_EQ(o.captiva->SetColor(255, 128, 0), S_OK);
        o.Text(0, "Hi", 3, 2);
        auto in = o.Blank();
        auto out = o.Pass(in);
        auto changed = Changed(o, in, out, true);
        ASSERT_GT(changed.size(), 10u);
        for (auto [x, y] : changed) {
            std::size_t at = std::size_t(o.height - 1 - y) * o.Stride() + std::size_t(x) * o.bytesPerPixel;
            ASSERT_EQ(std::vector<BYTE>(out.begin() + at, out.begin() + at + o.bytesPerPixel), c.written);
            ASSERT_GE(x, 3);
            ASSERT_GE(y, 2);
        }
        // Row padding is never touched.
        for (LONG row = 0; row < o.height; ++row)
            for (LONG b = o.bytesPerPixel * o.width; b < o.Stride(); ++b)
                ASSERT_EQ(out[std::size_t(row) * o.Stride() + b], 0x40);
    }
}

TEST(Captiva, ItemsAreClippedAtThePictureEdges) {
    for (LONG h : {24, -24}) { // bottom-up and top-down pictures
        SCOPED_TRACE(h);
        Overlay o(MEDIASUBTYPE_RGB32, 64, h, 32);
        ASSERT_EQ(o.captiva->SetFont(MonoFont()), S_OK);
        auto in = o.Blank();
        o.Text(0, "MW", 0, 3);
        auto whole = Changed(o, in, o.Pass(in), h > 0);
        ASSERT_FALSE(whole.empty());
        // At x = width − 3 only the item's first three columns appear, shifted.
        ASSERT_EQ(o.captiva->SetTextPosition(0, 61, 3), S_OK);
        auto edge = Changed(o, in, o.Pass(in), h > 0);
        std::set<std::pair<LONG, LONG>> expected;
        for (auto [x, y] : whole)
            if (x < 3)
                expected.insert({x + 61, y});
        EXPECT_FALSE(expected.empty());
        EXPECT_EQ(edge, expected);
        // Near the bottom only the rows that fit; outside the picture nothing.
        ASSERT_EQ(o.captiva->SetTextPosition(0, 0, 20), S_OK);
        auto low = Changed(o, in, o.Pass(in), h > 0);
        std::set<std::pair<LONG, LONG>> fit;
        for (auto [x, y] : whole)
            if (y - 3 + 20 < 24)
                fit.insert({x, y - 3 + 20});
        EXPECT_EQ(low, fit);
        for (auto [x, y] : std::vector<std::pair<int, int>>{{64, 0}, {0, 24}, {-1, 0}, {0, -5}}) {
            ASSERT_EQ(o.captiva->SetTextPosition(0, x, y), S_OK);
            EXPECT_EQ(o.Pass(in), in) << x << "," << y;
        }
    }
}

TEST(Captiva, InvertingTwiceGivesBackThePicture) {
    Overlay o(MEDIASUBTYPE_RGB24, 48, 20, 24);
    ASSERT_EQ(o.captiva->SetDrawMode(0), S_OK);
    int paint = -1;
    ASSERT_EQ(o.captiva->GetDrawMode(&paint), S_OK);
    EXPECT_EQ(paint, 0);
    o.Text(0, "Ab", 1, 1);
    o.Text(1, "xyz", 20, 4); // overlapping items invert each other's pixels back
    auto in = o.Blank();
    for (std::size_t i = 0; i < in.size(); ++i)
        in[i] = BYTE(i * 7);
    auto once = o.Pass(in);
    ASSERT_NE(once, in);
    auto changed = Changed(o, in, once, true);
    for (auto [x, y] : changed) {
        std::size_t at = std::size_t(o.height - 1 - y) * o.Stride() + std::size_t(x) * 3;
        for (int b = 0; b < 3; ++b)
            ASSERT_EQ(once[at + b], BYTE(~in[at + b]));
    }
    EXPECT_EQ(o.Pass(once), in);
}

TEST(Captiva, TimeWindowCountsPictures) {
    struct Case {
        double start, end;
        REFERENCE_TIME avg;      // from the media type; 0 leaves the rate to the samples
        REFERENCE_TIME duration; // of each sample; 0 pushes samples without times
        int first, last;         // 1-based pictures drawn on (last 0: to the end)
    } cases[] = {
        {2.0, 0, 400000, 0, 51, 0},          // 25 fps: from the 51st picture, without end
        {0, 1.0, 400000, 0, 1, 26},          // up to frame 25 inclusive
        {1.0, 2.0, 0, 1000000, 11, 21},      // 10 fps taken from the first sample's times
        {1.0, 0, 0, 0, 26, 0},               // no times anywhere: 25 fps
        {0.29, 0, 10000000 / 100, 0, 30, 0}, // 0.29 s at 100 fps is frame 29 despite binary rounding
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.start);
        Overlay o(MEDIASUBTYPE_RGB32, 32, 20, 32, c.avg);
        o.Text(0, "T", 0, 0);
        ASSERT_EQ(o.captiva->SetTimeRange(c.start, c.end), S_OK);
        double s = 0, e = 0;
        ASSERT_EQ(o.captiva->GetTimeRange(&s, &e), S_OK);
        EXPECT_EQ(s, c.start);
        EXPECT_EQ(e, c.end);
        auto in = o.Blank();
        for (int picture = 1; picture <= 60; ++picture) {
            REFERENCE_TIME start = (picture - 1) * c.duration, stop = picture * c.duration;
            auto out = c.duration ? o.Pass(in, &start, &stop) : o.Pass(in);
            bool shown = picture >= c.first && (c.last == 0 || picture <= c.last);
            ASSERT_EQ(out != in, shown) << "picture " << picture;
        }
    }
}

TEST(Captiva, RefusedIndexChangesNothing) {
    Overlay o(MEDIASUBTYPE_RGB32, 64, 32, 32);
    const char* texts[] = {"zero", "one", "two", "three", "four"};
    for (UINT i = 0; i < 5; ++i)
        o.Text(i, texts[i], int(i) * 10, int(i) * 5);
    auto in = o.Blank();
    auto before = o.Pass(in);

    char five[] = "five";
    EXPECT_EQ(o.captiva->SetText(5, five, 4), E_FAIL);
    EXPECT_EQ(o.captiva->SetTextPosition(5, 1, 1), E_FAIL);
    int xy[2] = {-7, -7};
    EXPECT_EQ(o.captiva->GetTextPosition(5, xy), E_FAIL);
    int size = 99;
    EXPECT_EQ(o.captiva->GetText(5, nullptr, &size), S_OK);
    EXPECT_EQ(size, 0);
    for (UINT i = 0; i < 5; ++i) {
        char buffer[16] = {};
        int n = sizeof(buffer);
        ASSERT_EQ(o.captiva->GetText(i, buffer, &n), S_OK);
        EXPECT_STREQ(buffer, texts[i]);
        ASSERT_EQ(o.captiva->GetTextPosition(i, xy), S_OK);
        EXPECT_EQ(xy[0], int(i) * 10);
        EXPECT_EQ(xy[1], int(i) * 5);
    }
    EXPECT_EQ(o.Pass(in), before);
}

TEST(Captiva, TextItemsReadBackLikeTheirSetters) {
    HRESULT hr = S_OK;
    ComPtr<IBaseFilter> ref(static_cast<IBaseFilter*>(
        static_cast<CFilterCaptiva*>(CFilterCaptiva::CreateInstance(nullptr, &hr))));
    ComPtr<ICaptiva> c;
    ASSERT_EQ(ref->QueryInterface(IID_ICaptiva, reinterpret_cast<void**>(c.GetAddressOf())), S_OK);

    // Length first, then the text; a short buffer gets a cut, terminated copy; length counts characters
    // only up to the string's end.
    char text[] = "Camera 01 entrance";
    ASSERT_EQ(c->SetText(2, text, 9), S_OK);
    int size = 0;
    ASSERT_EQ(c->GetText(2, nullptr, &size), S_OK);
    EXPECT_EQ(size, 10);
    std::vector<char> buffer(size_t(size), 'x');
    ASSERT_EQ(c->GetText(2, buffer.data(), &size), S_OK);
    EXPECT_STREQ(buffer.data(), "Camera 01");
    char small[4] = {'x', 'x', 'x', 'x'};
    size = 4;
    ASSERT_EQ(c->GetText(2, small, &size), S_OK);
    EXPECT_STREQ(small, "Cam");
    EXPECT_EQ(size, 10);
    char shortText[] = "ab";
    ASSERT_EQ(c->SetText(3, shortText, 50), S_OK);
    size = 0;
    c->GetText(3, nullptr, &size);
    EXPECT_EQ(size, 3);
    ASSERT_EQ(c->SetText(3, shortText, 0), S_OK);
    c->GetText(3, nullptr, &size);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(c->SetText(1, nullptr, 3), E_POINTER);

    // Colour, font and type.
    BYTE r = 0, g = 0, b = 0;
    c->GetColor(&r, &g, &b);
    EXPECT_EQ(std::vector<int>({r, g, b}), std::vector<int>({0, 255, 0}));
    c->SetColor(1, 2, 3);
    c->GetColor(&r, &g, &b);
    EXPECT_EQ(std::vector<int>({r, g, b}), std::vector<int>({1, 2, 3}));
    LOGFONTA lf = MonoFont(-32, 20);
    lf.lfEscapement = 900;
    lf.lfOrientation = 900;
    ASSERT_EQ(c->SetFont(lf), S_OK);
    LOGFONTA back{};
    ASSERT_EQ(c->GetFont(&back), S_OK);
    lf.lfEscapement = lf.lfOrientation = 0;
    EXPECT_EQ(std::memcmp(&back, &lf, sizeof lf), 0);
    int type = -1;
    c->GetOverlayType(&type);
    EXPECT_EQ(type, 1);

    CAUUID pages{};
    ISpecifyPropertyPages* spp = nullptr;
    ASSERT_EQ(ref->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void**>(&spp)), S_OK);
    ASSERT_EQ(spp->GetPages(&pages), S_OK);
    ASSERT_EQ(pages.cElems, 1u);
    EXPECT_EQ(pages.pElems[0], CLSID_CaptivaPropertyPage);
    CoTaskMemFree(pages.pElems);
    spp->Release();
}

TEST(Captiva, FontDecidesTheRenderedSize) {
    Overlay o(MEDIASUBTYPE_RGB32, 400, 64, 32);
    o.Text(0, "12:34:56", 0, 0);
    SIZE plain = o.filter->Controller()->ItemSize(0);
    EXPECT_GT(plain.cx, 0);
    ASSERT_EQ(o.captiva->SetFont(MonoFont(-16, 10)), S_OK);
    SIZE small = o.filter->Controller()->ItemSize(0);
    EXPECT_EQ(small.cx, 80);
    ASSERT_EQ(o.captiva->SetFont(MonoFont(-32, 20)), S_OK);
    SIZE large = o.filter->Controller()->ItemSize(0);
    EXPECT_EQ(large.cx, 160);
    EXPECT_GT(large.cy, 32);
    // The drawn glyphs reach across most of the rendered width.
    auto in = o.Blank();
    auto changed = Changed(o, in, o.Pass(in), true);
    LONG right = 0;
    for (auto [x, y] : changed)
        right = std::max(right, x);
    EXPECT_GT(right, 140);
    EXPECT_LT(right, 160);
}

TEST(Captiva, OverlayTypesSwitchControllers) {
    std::vector<std::string> debug;
    auto previous = platform::SetDebugSink([&](const std::string& s) { debug.push_back(s); });
    Overlay o(MEDIASUBTYPE_RGB32, 320, 40, 32);
    o.Text(0, "kept?", 100, 10);
    auto in = o.Blank();

    ASSERT_EQ(o.captiva->SetOverlayType(0), S_OK);
    EXPECT_EQ(o.Pass(in), in);

    // The system time replaces the items; it is drawn at the top-left corner.
    ASSERT_EQ(o.captiva->SetOverlayType(2), S_OK);
    auto changed = Changed(o, in, o.Pass(in), true);
    ASSERT_GT(changed.size(), 20u);
    for (auto [x, y] : changed)
        ASSERT_LT(y, 20);
    SIZE clock = o.filter->Controller()->ItemSize(0);
    EXPECT_GT(clock.cx, 100); // "YYYY-MM-DD(hh:mm:ss)"
    int size = 0;
    o.captiva->GetText(0, nullptr, &size);
    EXPECT_EQ(size, 21);

    // Back to text: a fresh controller, configured for the connection, with empty items.
    ASSERT_EQ(o.captiva->SetOverlayType(1), S_OK);
    o.captiva->GetText(0, nullptr, &size);
    EXPECT_EQ(size, 0);
    EXPECT_TRUE(o.filter->Controller()->Active());
    EXPECT_EQ(o.filter->Controller()->Width(), 320);
    EXPECT_EQ(o.Pass(in), in);
    platform::SetDebugSink(previous);
    EXPECT_EQ(debug, (std::vector<std::string>{"OverlayType:0", "OverlayType:2", "OverlayType:1"}));
}

LONG WidthOf(const CMediaType& mt) {
    VIDEOINFOHEADER vih;
    return GetVideoInfo(mt, &vih) ? vih.bmiHeader.biWidth : -1;
}

TEST(Captiva, SetVideoSizeReconnectsWithTheNewPicture) {
    // Downstream takes any width but 100.
    Overlay o(MEDIASUBTYPE_RGB32, 32, -16, 32, 400000,
              [](const CMediaType& mt) { return WidthOf(mt) == 100 ? VFW_E_TYPE_NOT_ACCEPTED : S_OK; });
    o.Text(0, "Hi", 0, 0);
    int result = 0;
    ASSERT_EQ(o.captiva->SetVideoSize(64, 40, 64 * 40 * 4, &result), S_OK);
    EXPECT_EQ(result, 64 * 40 * 4);
    for (const CMediaType& mt : {o.harness->CaptureType(), o.filter->InputPin()->CurrentMediaType()}) {
        VIDEOINFOHEADER vih;
        ASSERT_TRUE(GetVideoInfo(mt, &vih));
        EXPECT_EQ(vih.bmiHeader.biWidth, 64);
        EXPECT_EQ(vih.bmiHeader.biHeight, -40); // still top-down
        EXPECT_EQ(vih.bmiHeader.biSizeImage, DWORD(64 * 40 * 4));
    }
    auto c = o.filter->Controller();
    EXPECT_EQ(c->Width(), 64);
    EXPECT_EQ(c->Height(), 40);
    EXPECT_EQ(c->Stride(), 256);
    EXPECT_FALSE(c->BottomUp());
    // The new picture size is drawn at the top, within the first item height.
    o.width = 64, o.height = 40;
    auto in = o.Blank();
    auto out = o.Pass(in);
    ASSERT_EQ(out.size(), in.size());
    auto changed = Changed(o, in, out, false);
    ASSERT_FALSE(changed.empty());
    for (auto [x, y] : changed)
        ASSERT_LT(y, 20);

    // Refusals leave every format as it was.
    EXPECT_EQ(o.captiva->SetVideoSize(0, 40, 0, &result), E_INVALIDARG);
    EXPECT_FALSE(SUCCEEDED(o.captiva->SetVideoSize(100, 40, 100 * 40 * 4, &result)));
    EXPECT_EQ(WidthOf(o.filter->InputPin()->CurrentMediaType()), 64);
    EXPECT_EQ(WidthOf(o.harness->CaptureType()), 64);
    EXPECT_EQ(c->Width(), 64);

    // The upstream pin can change the format itself, as a decoder does after a size change.
    IPin* input = o.filter->InputPin();
    CMediaType smaller = VideoType(MEDIASUBTYPE_RGB32, 48, 24, 32);
    EXPECT_EQ(input->ReceiveConnection(o.harness->FeedPin(), &smaller), S_OK);
    EXPECT_EQ(WidthOf(o.harness->CaptureType()), 48);
    EXPECT_TRUE(o.filter->Controller()->BottomUp());
    CMediaType yuv = VideoType(MEDIASUBTYPE_YUY2, 40, 24, 16);
    EXPECT_EQ(input->ReceiveConnection(o.harness->FeedPin(), &yuv), VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(WidthOf(o.filter->InputPin()->CurrentMediaType()), 48);
}

TEST(Captiva, ShortBuffersAndDetachedFiltersAreSafe) {
    Overlay o(MEDIASUBTYPE_RGB32, 64, 32, 32);
    o.Text(0, "Safe", 0, 0);
    // A sample shorter than the picture its type describes gets no text.
    std::vector<BYTE> part(100, 0x11);
    ASSERT_EQ(o.harness->Push(part.data(), LONG(part.size())), S_OK);
    auto received = o.harness->Received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].data, part);

    // Without a connection, settings are kept and SetVideoSize has nothing to change.
    HRESULT hr = S_OK;
    ComPtr<IBaseFilter> ref(static_cast<IBaseFilter*>(
        static_cast<CFilterCaptiva*>(CFilterCaptiva::CreateInstance(nullptr, &hr))));
    ComPtr<ICaptiva> c;
    ASSERT_EQ(ref->QueryInterface(IID_ICaptiva, reinterpret_cast<void**>(c.GetAddressOf())), S_OK);
    int result = 0;
    EXPECT_EQ(c->SetVideoSize(64, 32, 8192, &result), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(c->SetOverlayType(2), S_OK);
    EXPECT_EQ(c->SetOverlayType(1), S_OK);
}

TEST(Captiva, CreatedByClassIdFromTheRegistry) {
    ComPtr<IBaseFilter> filter;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterCaptiva, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void**>(filter.GetAddressOf())),
              S_OK);
    ComPtr<ICaptiva> c;
    ASSERT_EQ(filter->QueryInterface(IID_ICaptiva, reinterpret_cast<void**>(c.GetAddressOf())), S_OK);
    // Unconnected, it still cycles through the states.
    FILTER_STATE state;
    ASSERT_EQ(filter->Pause(), S_OK);
    ASSERT_EQ(filter->Run(0), S_OK);
    EXPECT_EQ(filter->GetState(100, &state), S_OK);
    EXPECT_EQ(state, State_Running);
    ASSERT_EQ(filter->Pause(), S_OK);
    ASSERT_EQ(filter->Stop(), S_OK);
    ComPtr<IPin> in, out;
    EXPECT_EQ(filter->FindPin("Input", in.GetAddressOf()), S_OK);
    EXPECT_EQ(filter->FindPin("Output", out.GetAddressOf()), S_OK);
    auto entry = platform::LookupClass(CLSID_FilterCaptiva);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, "Text Overlay");
    auto pins = media::ParsePinStrings(entry->pins);
    ASSERT_EQ(pins.size(), 2u);
    EXPECT_FALSE(pins[0].output);
    EXPECT_TRUE(pins[1].output);
    EXPECT_EQ(pins[0].types.size(), 4u);
}

// Settings change on one thread while pictures are drawn on another (run under the thread checker).
TEST(Captiva, SettingsChangeWhilePicturesFlow) {
    Overlay o(MEDIASUBTYPE_RGB32, 320, 48, 32);
    std::atomic<bool> stop{false};
    std::atomic<int> pushed{0};
    std::thread streaming([&] {
        auto in = o.Blank();
        while (!stop) {
            EXPECT_EQ(o.harness->Push(in.data(), LONG(in.size())), S_OK);
            if (++pushed % 16 == 0)
                o.harness->ClearReceived();
        }
    });
    char text[] = "Channel 12 - 2026/12/10";
    for (int i = 0; i < 200; ++i) {
        o.captiva->SetText(UINT(i % 5), text, 8 + i % 16);
        o.captiva->SetTextPosition(UINT(i % 5), i % 300, i % 40);
        o.captiva->SetFont(MonoFont(-16 - 8 * (i % 3), 10 + 5 * (i % 3)));
        o.captiva->SetColor(BYTE(i), BYTE(255 - i), 7);
        o.captiva->SetDrawMode(i & 1);
        o.captiva->SetTimeRange(0, i % 2 ? 0 : 100.0);
        if (i % 40 == 39)
            o.captiva->SetOverlayType(i % 80 == 39 ? kOverlaySystemTime : kOverlayStatic);
    }
    // Let some pictures through after the last change, then stop.
    int target = pushed + 5;
    while (pushed < target)
        std::this_thread::yield();
    stop = true;
    streaming.join();
    EXPECT_GT(pushed.load(), 5);
}

} // namespace
