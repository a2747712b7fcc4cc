// The double-height filter between test pins: doubled rows, the media types it offers, the text lines
// and the record texts it draws, upright in the picture a viewer sees, and never past a buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "media/harness.h"
#include "media/videowindow.h"
#include "platform/bytes.h"
#include "platform/registry.h"
#include "tallen_filter.h"

namespace {

CMediaType Rgb32(LONG width, LONG height, ULONG sampleSize) {
    CMediaType mt;
    mt.SetType(&MEDIATYPE_Video);
    mt.SetSubtype(&MEDIASUBTYPE_RGB32);
    mt.SetFormatType(&FORMAT_VideoInfo);
    mt.SetSampleSize(sampleSize);
    VIDEOINFOHEADER vih;
    vih.bmiHeader.biSize = BITMAPINFOHEADER::kSize;
    vih.bmiHeader.biWidth = width;
    vih.bmiHeader.biHeight = height;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 32;
    SetVideoInfo(mt, vih);
    return mt;
}

// A field whose row r holds the value r + 1 in every byte but the fourth, so doubled rows show.
std::vector<BYTE> Field(LONG width, LONG height, std::size_t tail = 0) {
    std::vector<BYTE> p(static_cast<std::size_t>(width) * height * 4 + tail, 0);
    for (LONG r = 0; r < height; ++r)
        for (LONG x = 0; x < width; ++x)
            std::memset(&p[(static_cast<std::size_t>(r) * width + x) * 4], static_cast<int>(r % 250 + 1), 3);
    return p;
}

struct Filter {
    ComPtr<IBaseFilter> base;
    CTallen* f = nullptr;
    ITallen* t = nullptr;
    Filter() {
        HRESULT hr = S_OK;
        f = static_cast<CTallen*>(CTallen::CreateInstance(nullptr, &hr));
        base = static_cast<IBaseFilter*>(f);
        t = f;
    }
};

// Ink of colour `pixel` in the cell of character `index` of a line in a top-down frame: rows
// [top, top + 20), columns [left + 13 × index, + 13). Returns the count per third of the cell's height.
std::array<int, 3> InkByThird(const media::VideoFrame& frame, int left, int top, int index,
                              std::uint32_t pixel) {
    std::array<int, 3> thirds{};
    for (int r = 0; r < tallen::kGlyphHeight; ++r)
        for (int j = 0; j < tallen::kGlyphWidth; ++j) {
            const BYTE* p =
                &frame.pixels[(static_cast<std::size_t>(top + r) * frame.width + left + 13 * index + j) * 4];
            if ((platform::ReadLE32(p) & 0xFFFFFF) == pixel)
                ++thirds[static_cast<std::size_t>(r * 3 / tallen::kGlyphHeight)];
        }
    return thirds;
}

TEST(Tallen, FieldIsDoubledAndItsTextReadsUprightInTheSavedPicture) {
    Filter t;
    media::CFilterHarness h(t.base.Get());
    const ULONG field = 720 * 288 * 4;
    ASSERT_EQ(h.ConnectInput(Rgb32(720, 288, field), ALLOCATOR_PROPERTIES{1, static_cast<LONG>(field), 1, 0}),
              S_OK);
    char text[] = "T_T";
    ASSERT_EQ(t.t->SetTextLine(0, text, 30, 20, 0x000000FF, 0), S_OK); // red, given as 0x00BBGGRR
    CMediaType offered;
    ASSERT_EQ(t.f->GetMediaType(0, &offered), S_OK);
    VIDEOINFOHEADER vih;
    ASSERT_TRUE(GetVideoInfo(offered, &vih));
    EXPECT_EQ(vih.bmiHeader.biHeight, 576);
    EXPECT_EQ(vih.bmiHeader.biSizeImage, 0u);
    EXPECT_EQ(offered.GetSampleSize(), 2 * field);
    ASSERT_EQ(h.ConnectOutput(), S_OK);
    EXPECT_EQ(h.CaptureAllocator().cbBuffer, static_cast<LONG>(4 * field));
    ASSERT_EQ(h.Run(), S_OK);
    auto in = Field(720, 288);
    ASSERT_EQ(h.Push(in.data(), static_cast<LONG>(in.size())), S_OK);
    auto got = h.Received();
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].data.size(), 2u * field);
    // Rows 2r and 2r + 1 equal input row r, away from the text.
    for (int r : {0, 5, 100, 287}) {
        const BYTE* a = &got[0].data[2 * static_cast<std::size_t>(r) * 720 * 4];
        EXPECT_EQ(std::memcmp(a, &in[static_cast<std::size_t>(r) * 720 * 4], 720 * 4), 0) << r;
        EXPECT_EQ(std::memcmp(a, a + 720 * 4, 720 * 4), 0) << r;
    }
    // The picture as it is seen: bottom-up rows turned top-down. Buffer rows 20 … 39 are rows
    // 536 … 555 from the top; the bar of 'T' is at the top of its cell, the stroke of '_' at the bottom.
    media::VideoFrame seen;
    ASSERT_TRUE(media::ConvertToFrame(MEDIASUBTYPE_RGB32, vih.bmiHeader, got[0].data.data(),
                                      static_cast<LONG>(got[0].data.size()), &seen));
    media::WritePng(::testing::TempDir() + "tallen_upright.png", seen);
    const auto tee = InkByThird(seen, 30, 576 - 40, 0, 0xFF0000);
    const auto low = InkByThird(seen, 30, 576 - 40, 1, 0xFF0000);
    EXPECT_GT(tee[0], tee[2]) << "'T' upside down";
    EXPECT_GT(low[2], low[0]) << "'_' upside down";
    EXPECT_EQ(InkByThird(seen, 30, 576 - 40, 2, 0xFF0000), tee);
    EXPECT_EQ(h.Stop(), S_OK);
}

TEST(Tallen, RecordModeStripsTheRecordAndDrawsItsTexts) {
    Filter t;
    media::CFilterHarness h(t.base.Get());
    const ULONG field = 720 * 240 * 4;
    ASSERT_EQ(
        h.ConnectInput(Rgb32(720, 240, 0), ALLOCATOR_PROPERTIES{1, static_cast<LONG>(field + 553), 1, 0}),
        S_OK);
    char status[] = "STATUS";
    ASSERT_EQ(t.t->SetRecordText(0, 1, 1, 1, status, 0x00FFFFFF, 0x00FFFFFF, 0x00FFFFFF, 0), S_OK);
    CMediaType offered;
    ASSERT_EQ(t.f->GetMediaType(0, &offered), S_OK);
    VIDEOINFOHEADER vih;
    ASSERT_TRUE(GetVideoInfo(offered, &vih));
    EXPECT_EQ(vih.bmiHeader.biHeight, 240); // not doubled without the flag
    ASSERT_EQ(h.ConnectOutput(), S_OK);
    // Samples of varying size: at least 100,000 bytes, and never less than the picture put out.
    EXPECT_EQ(h.CaptureAllocator().cbBuffer, static_cast<LONG>(field));
    ASSERT_EQ(h.Run(), S_OK);
    auto in = Field(720, 240, 553);
    BYTE* record = &in[field];
    platform::WriteLE32(record, 0x311F42C1);
    platform::WriteLE32(record + 4, 1262304000); // 2010/01/01 00:00:00
    std::memcpy(record + 20, "CAM01", 5);
    ASSERT_EQ(h.Push(in.data(), static_cast<LONG>(in.size())), S_OK);
    auto got = h.Received();
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].data.size(), field); // the picture alone, its height kept
    // Time line at buffer row 20, status at 40, title at 240 - 30; all white, x = 30.
    auto inked = [&](int row) {
        int n = 0;
        for (int r = row; r < row + 20; ++r)
            for (int x = 30; x < 30 + 13 * 6; ++x)
                n += (platform::ReadLE32(&got[0].data[(static_cast<std::size_t>(r) * 720 + x) * 4]) &
                      0xFFFFFF) == 0xFFFFFF;
        return n;
    };
    EXPECT_GT(inked(20), 50);
    EXPECT_GT(inked(40), 50);
    EXPECT_GT(inked(210), 30);
    EXPECT_EQ(inked(60), 0); // no speed text in this record
    EXPECT_EQ(h.Stop(), S_OK);
}

TEST(Tallen, RecordTextsByRecorderKind) {
    struct Case {
        const char* name;
        std::function<void(BYTE*)> fill;
        int line;
        const char* want;
    } cases[] = {
        {"sample header: time",
         [](BYTE* r) { platform::WriteLE32(r, 0x311F42C1), platform::WriteLE32(r + 4, 86399); }, 0,
         "1970/01/01 23:59:59"},
        {"'ZUBE': four bytes of title",
         [](BYTE* r) { platform::WriteLE32(r, 0x5A554245), std::memcpy(r + 20, "ABCDEFGH", 8); }, 4, "ABCD"},
        {"'KLTO': LT and STP, no GPS",
         [](BYTE* r) { platform::WriteLE32(r + 22, 0x4B4C544F), r[0] = 0x03, r[2] = 1, r[3] = 23; }, 2,
         "LT STP            123MPH"},
        {"'KLTO': volts and time",
         [](BYTE* r) {
             platform::WriteLE32(r + 22, 0x4B4C544F), r[4] = 12, r[5] = 4, platform::WriteLE32(r + 26, 60);
         },
         0, "12.4V  1970/01/01 00:01:00"},
        {"'KLTO': GPS",
         [](BYTE* r) {
             platform::WriteLE32(r + 22, 0x4B4C544F);
             r[6] = 45, r[7] = 30, r[8] = 15, r[9] = 'N', r[10] = 0, r[11] = 122, r[12] = 10, r[13] = 5,
             r[14] = 'W';
             r[15] = 0, r[16] = 55;
         },
         3, "LAT 45d30'15\"N LONG 122d10'5\"W"},
        {"'KLTO': title of channel 7",
         [](BYTE* r) { platform::WriteLE32(r + 22, 0x4B4C544F), std::memcpy(r + 186, "REAR", 4); }, 4,
         "REAR"},
        {"'FABL': title and time",
         [](BYTE* r) { platform::WriteLE32(r + 22, 0x4641424C), std::memcpy(r + 186, "DOOR", 4); }, 0,
         "DOOR 1970/01/01 00:00:00"},
        {"'WENG': 5 knots and 3 hundredths",
         [](BYTE* r) {
             platform::WriteLE32(r + 44, 0x57454E47), platform::WriteLE16(r + 11, 5),
                 platform::WriteLE16(r + 13, 3);
         },
         2, "9.31KPH  DIR 0d0'"},
        {"'WENG': flag letter before the time",
         [](BYTE* r) { platform::WriteLE32(r + 44, 0x57454E47), r[0] = 'A'; }, 0, "A 1970/01/01 00:00:00"},
    };
    for (const Case& c : cases) {
        BYTE record[553] = {};
        c.fill(record);
        const tallen::RecordTexts texts = tallen::ParseRecord(record, 7);
        EXPECT_TRUE(texts.has[static_cast<std::size_t>(c.line)]) << c.name;
        EXPECT_EQ(texts.text[static_cast<std::size_t>(c.line)], c.want) << c.name;
    }
    BYTE none[553] = {};
    const tallen::RecordTexts nothing = tallen::ParseRecord(none, 0);
    for (bool has : nothing.has)
        EXPECT_FALSE(has);
}

TEST(Tallen, LinesAreClippedToThePicture) {
    // A 40 × 30 picture between guard bytes: a 255-character line running off the right edge, and an
    // interlaced line on the last row (its odd rows swap to the row past the end).
    const int width = 40, rows = 30;
    std::vector<BYTE> buffer(64 + width * rows * 4 + 64, 0xAB);
    tallen::Picture p{buffer.data() + 64, width * 4, rows, false};
    std::fill(p.data, p.data + width * rows * 4, 0);
    tallen::TextLine wide{std::string(255, 'M'), 30, 5, 0x123456, false};
    tallen::TextLine last{"MMMM", -6, rows - 1, 0x123456, true};
    tallen::TextLine before{"M", -20, -30, 0x123456, true};
    for (const auto& line : {wide, last, before})
        tallen::DrawLine(p, line);
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(buffer[static_cast<std::size_t>(i)], 0xAB) << i;
        ASSERT_EQ(buffer[buffer.size() - 1 - static_cast<std::size_t>(i)], 0xAB) << i;
    }
    int inked = 0;
    for (int i = 0; i < width * rows; ++i)
        inked += platform::ReadLE32(p.data + 4 * i) == 0x123456;
    EXPECT_GT(inked, 0);
}

TEST(Tallen, InterfaceRulesAndRegistration) {
    Filter t;
    char text[] = "X";
    EXPECT_EQ(t.t->SetTextLine(5, text, 0, 0, 0, 0), E_INVALIDARG);
    auto entry = platform::LookupClass(CLSID_Tallen);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, "Veltrix Double Height Filter");
    ComPtr<IBaseFilter> filter;
    ASSERT_EQ(CoCreateInstance(CLSID_Tallen, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               filter.ReleaseAndGetVoidAddress()),
              S_OK);
    ComPtr<ITallen> tallen;
    EXPECT_EQ(filter.As(IID_ITallen, tallen), S_OK);
    // Compressed and non-RGB inputs are refused.
    CMediaType mjpg = Rgb32(720, 288, 0);
    mjpg.SetSubtype(&MEDIASUBTYPE_MJPG);
    EXPECT_EQ(t.f->CheckInputType(&mjpg), VFW_E_TYPE_NOT_ACCEPTED);
    CMediaType rgb = Rgb32(720, 288, 0);
    EXPECT_EQ(t.f->CheckInputType(&rgb), S_OK);
    EXPECT_EQ(t.f->CheckTransform(&rgb, &mjpg), VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(t.f->CheckTransform(&rgb, &rgb), S_OK);
}

} // namespace
