// The decoder's behaviour on crafted and edited inputs: every error code a stream can provoke, where it is
// reported, and the input rules (junk before SOI, truncation, restart markers, progressive images).
#include <gtest/gtest.h>

#include "mjpeg/tests/jpeg_test_util.h"

namespace mjpeg::test {
namespace {

using jpeg_error::corrupt_data;

// Canonical codes of the test tables: DC "0" -> 0; AC "00" -> EOB, "01" -> 0xF1 (15 zeros, size 1),
// "100" -> 0x02 (size 2).
const std::vector<std::pair<int, std::uint8_t>> kDcCodes = {{1, 0x00}};
const std::vector<std::pair<int, std::uint8_t>> kAcCodes = {{2, 0x00}, {2, 0xF1}, {3, 0x02}};

JpegWriter Tables(JpegWriter w = JpegWriter().Marker(0xD8)) {
    return w.Segment(0xDB, DqtPayload(0, 16))
        .Segment(0xC4, DhtPayload(0, 0, kDcCodes))
        .Segment(0xC4, DhtPayload(1, 0, kAcCodes));
}

// A greyscale image whose every block is DC 0 followed by EOB ("0" "00"), unless other bits are given.
Bytes Grey(int width = 8, int height = 8, const std::string& bits = "", int sof = 0xC0) {
    JpegWriter w = Tables();
    w.Segment(sof, SofPayload(width, height, {{1, 0x11, 0}}));
    w.Segment(0xDA, SosPayload({{1, 0x00}}));
    std::string b = bits;
    if (b.empty())
        for (int i = 0; i < ((width + 7) / 8) * ((height + 7) / 8); ++i)
            b += "000";
    return w.Raw(PackBits(b)).Marker(0xD9).out;
}

// Header segments ahead of a valid greyscale frame.
Bytes WithHeader(const std::function<void(JpegWriter&)>& extra) {
    JpegWriter w = Tables();
    extra(w);
    w.Segment(0xC0, SofPayload(8, 8, {{1, 0x11, 0}}));
    w.Segment(0xDA, SosPayload({{1, 0x00}}));
    return w.Raw(PackBits("000")).Marker(0xD9).out;
}

Bytes WithFrame(const Bytes& sof_payload, int sof = 0xC0, const Bytes& sos = SosPayload({{1, 0x00}})) {
    JpegWriter w = Tables();
    w.Segment(sof, sof_payload);
    w.Segment(0xDA, sos);
    return w.Raw(PackBits("000")).Marker(0xD9).out;
}

// A progressive greyscale image: one DC scan, then the given scan header and its bits.
Bytes Progressive(const Bytes& second_sos, const std::string& second_bits) {
    JpegWriter w = Tables();
    w.Segment(0xC2, SofPayload(8, 8, {{1, 0x11, 0}}));
    w.Segment(0xDA, SosPayload({{1, 0x00}}, 0, 0, 0)).Raw(PackBits("0"));
    w.Segment(0xDA, second_sos).Raw(PackBits(second_bits));
    return w.Marker(0xD9).out;
}

Bytes File(const char* name) {
    return ReadFile(DataPath(name));
}

Bytes EditSof(const char* name, const std::function<void(Bytes&)>& edit) {
    JpegSegments s = JpegSegments::Parse(File(name));
    Bytes* sof = s.Find(0xC0);
    edit(*sof);
    return s.Build();
}

Bytes Junk(std::size_t n, const Bytes& image) {
    Bytes b;
    for (std::size_t i = 0; i < n; ++i)
        b.push_back(static_cast<std::uint8_t>(0x20 + i % 64));
    b.insert(b.end(), image.begin(), image.end());
    return b;
}

// Renumbers the restart markers of a file so that RST1 follows the first RST7.
Bytes Rst7ThenRst1(const Bytes& f) {
    Bytes b = f;
    bool seen7 = false;
    for (std::size_t i = 0; i + 1 < b.size(); ++i) {
        if (b[i] == 0xFF && b[i + 1] >= 0xD0 && b[i + 1] <= 0xD7) {
            if (seen7) {
                b[i + 1] = 0xD1;
                break;
            }
            seen7 = b[i + 1] == 0xD7;
        }
    }
    return b;
}

struct Case {
    const char* name;
    Bytes data;
    int begin; // begin_decoding() result
    int error; // error code at the end
    int last;  // decode() result that ends the line loop (when begin is 0)
};

TEST(JpegDecoder, CraftedInputsGiveTheirCodes) {
    const Bytes dht_oversized = [] {
        Bytes p{0x00};
        p.insert(p.end(), 16, 16);
        return p;
    }();
    const Bytes dht_short = [] {
        Bytes p{0x00, 0, 10};
        p.insert(p.end(), 14, 0);
        p.push_back(1);
        p.push_back(2);
        return p;
    }();
    const Bytes dqt_short = [] {
        Bytes p{0x00};
        p.insert(p.end(), 30, 1);
        return p;
    }();
    const Bytes grey_sof = SofPayload(8, 8, {{1, 0x11, 0}});
    const Bytes c420 = File("ycc420.jpg");
    JpegSegments no_dht = JpegSegments::Parse(c420);
    no_dht.Remove(0xC4);
    const Bytes with_dri = WithHeader([](JpegWriter& w) { w.Segment(0xDD, {0, 1}); });

    const Case cases[] = {
        {"valid greyscale", Grey(), 0, 0, 1},
        {"300 bytes of junk before SOI", Junk(300, c420), 0, 0, 1},
        {"600 bytes of junk before SOI", Junk(600, c420), -1, jpeg_error::no_start_of_image, 0},
        {"no data at all (a null pointer)", {}, -1, jpeg_error::stream_read, 0},
        {"nothing but end padding", Bytes{0x00}, -1, jpeg_error::no_start_of_image, 0},
        {"SOI found by search without a marker behind it", Junk(10, Bytes{0xFF, 0xD8, 0x00, 0xFF, 0xD9}), -1,
         jpeg_error::no_start_of_image, 0},
        {"DHT counts above 255", WithHeader([&](JpegWriter& w) { w.Segment(0xC4, dht_oversized); }), -1,
         jpeg_error::dht_counts, 0},
        {"DHT slot 8", WithHeader([&](JpegWriter& w) { w.Segment(0xC4, DhtPayload(1, 4, kAcCodes)); }), -1,
         jpeg_error::dht_slot, 0},
        {"DHT length 1", WithHeader([](JpegWriter& w) { w.SegmentWithLength(0xC4, 1, {}); }), -1,
         jpeg_error::dht_length, 0},
        {"DHT shorter than its table", WithHeader([&](JpegWriter& w) { w.Segment(0xC4, dht_short); }), -1,
         jpeg_error::dht_length, 0},
        {"DQT length 1", WithHeader([](JpegWriter& w) { w.SegmentWithLength(0xDB, 1, {}); }), -1,
         jpeg_error::dqt_length, 0},
        {"DQT table 4", WithHeader([](JpegWriter& w) { w.Segment(0xDB, DqtPayload(4, 1)); }), -1,
         jpeg_error::dqt_table, 0},
        {"DQT shorter than its table", WithHeader([&](JpegWriter& w) { w.Segment(0xDB, dqt_short); }), -1,
         jpeg_error::dqt_short, 0},
        {"12-bit precision", WithFrame(SofPayload(8, 8, {{1, 0x11, 0}}, 12), 0xC1), -1,
         jpeg_error::frame_precision, 0},
        {"height 0", WithFrame(SofPayload(8, 0, {{1, 0x11, 0}})), -1, jpeg_error::frame_height, 0},
        {"height 8193", WithFrame(SofPayload(8, 8193, {{1, 0x11, 0}})), -1, jpeg_error::frame_height, 0},
        {"width 0", WithFrame(SofPayload(0, 8, {{1, 0x11, 0}})), -1, jpeg_error::frame_width, 0},
        {"width 8193", WithFrame(SofPayload(8193, 8, {{1, 0x11, 0}})), -1, jpeg_error::frame_width, 0},
        {"5 components", WithFrame(SofPayload(8, 8, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}, {4, 0x11, 0}, {5, 0x11, 0}})),
         -1, jpeg_error::frame_components, 0},
        {"frame header length", Tables().SegmentWithLength(0xC0, 12, grey_sof).Raw({0}).out, -1,
         jpeg_error::frame_length, 0},
        {"APP0 length 1", WithHeader([](JpegWriter& w) { w.SegmentWithLength(0xE0, 1, {}); }), -1,
         jpeg_error::segment_length, 0},
        {"DRI length 5", WithHeader([](JpegWriter& w) { w.Segment(0xDD, {0, 1, 0}); }), -1, jpeg_error::dri_length, 0},
        {"scan of 0 components", WithFrame(grey_sof, 0xC0, SosPayload({})), -1, jpeg_error::scan_length, 0},
        {"scan header length", Tables().Segment(0xC0, grey_sof).SegmentWithLength(0xDA, 9, SosPayload({{1, 0}})).out,
         -1, jpeg_error::scan_length, 0},
        {"scan names component 9", WithFrame(grey_sof, 0xC0, SosPayload({{9, 0x00}})), -1,
         jpeg_error::scan_component, 0},
        {"DAC marker", WithHeader([](JpegWriter& w) { w.Segment(0xCC, {0x00, 0x10}); }), -1,
         jpeg_error::arithmetic_coding, 0},
        {"SOF9", WithFrame(grey_sof, 0xC9), -1, jpeg_error::arithmetic_coding, 0},
        {"RST0 among the headers", WithHeader([](JpegWriter& w) { w.Marker(0xD0); }), -1,
         jpeg_error::unexpected_marker, 0},
        {"TEM among the headers", WithHeader([](JpegWriter& w) { w.Marker(0x01); }), -1,
         jpeg_error::unexpected_marker, 0},
        {"EOI where the scan must start", Tables().Segment(0xC0, grey_sof).Marker(0xD9).out, -1,
         jpeg_error::unexpected_marker, 0},
        {"SOF3 (lossless)", WithFrame(grey_sof, 0xC3), -1, jpeg_error::unsupported_frame, 0},
        {"quantisation table 3 never defined", WithFrame(SofPayload(8, 8, {{1, 0x11, 3}})), -1,
         jpeg_error::undefined_quant_table, 0},
        {"no DHT", no_dht.Build(), -1, jpeg_error::undefined_huffman_table, 0},
        {"AC table 1 never defined", WithFrame(grey_sof, 0xC0, SosPayload({{1, 0x01}})), -1,
         jpeg_error::undefined_huffman_table, 0},
        {"2 components", WithFrame(SofPayload(8, 8, {{1, 0x11, 0}, {2, 0x11, 0}})), -1,
         jpeg_error::unsupported_components, 0},
        {"CMYK", WithFrame(SofPayload(8, 8, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}, {4, 0x11, 0}})), -1,
         jpeg_error::unsupported_components, 0},
        {"4:1:1", EditSof("ycc420.jpg", [](Bytes& sof) { sof[7] = 0x41; }), -1, jpeg_error::unsupported_sampling, 0},
        {"Cb sampled 2x1", EditSof("ycc420.jpg", [](Bytes& sof) { sof[10] = 0x21; }), -1,
         jpeg_error::unsupported_sampling, 0},
        {"progressive DC scan with Se 5", Progressive(SosPayload({{1, 0x00}}, 0, 5, 0x00), "0"), -1,
         jpeg_error::spectral_range, 0},
        {"progressive AC scan with Ss above Se", Progressive(SosPayload({{1, 0x00}}, 9, 3, 0x00), "0"), -1,
         jpeg_error::spectral_range, 0},
        {"progressive Ah 2 with Al 0", Progressive(SosPayload({{1, 0x00}}, 1, 63, 0x20), "0"), -1,
         jpeg_error::successive_approximation, 0},
        {"AC refinement with a coefficient of size 2", Progressive(SosPayload({{1, 0x00}}, 1, 63, 0x10), "10011"),
         -1, corrupt_data, 0},
        {"coefficient index beyond 63", Grey(8, 8, "0" "011" "011" "011" "011"), 0, corrupt_data, corrupt_data},
        {"restart marker missing", [&] {
             JpegWriter w = Tables();
             w.Segment(0xDD, {0, 1}).Segment(0xC0, SofPayload(16, 8, {{1, 0x11, 0}})).Segment(0xDA, SosPayload({{1, 0}}));
             return w.Raw(PackBits("000")).Marker(0xD9).out;
         }(), 0, jpeg_error::restart_marker, corrupt_data},
        {"RST7 followed by RST1", Rst7ThenRst1(File("restart422.jpg")), 0, jpeg_error::restart_marker, corrupt_data},
        {"restart interval with markers in sequence", File("restart422.jpg"), 0, 0, 1},
        {"DRI on a greyscale image that needs no restart", with_dri, 0, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (jpeg_kernels k : {jpeg_kernels::fast, jpeg_kernels::scalar}) {
            Decoded d = DecodeAll(c.data, k);
            EXPECT_EQ(d.begin, c.begin);
            EXPECT_EQ(d.error, c.error);
            if (c.begin == 0) {
                EXPECT_EQ(d.last, c.last);
            }
        }
    }
}

TEST(JpegDecoder, Frame704x480At420GivesFullLines) {
    // The picture data of a small image behind a 704 x 480 frame header: the missing data reads as
    // 1-bits up to the fabricated end-of-image, and every line is still returned.
    Bytes f = EditSof("ycc420.jpg", [](Bytes& sof) {
        sof[1] = 480 >> 8;
        sof[2] = 480 & 0xFF;
        sof[3] = 704 >> 8;
        sof[4] = 704 & 0xFF;
    });
    Decoded d = DecodeAll(f);
    EXPECT_EQ(d.begin, 0);
    EXPECT_EQ(d.error, 0);
    EXPECT_EQ(d.last, 1);
    ASSERT_EQ(d.lines, 480);
    for (std::uint32_t bytes : d.line_bytes)
        ASSERT_EQ(bytes, 2816u);
}

TEST(JpegDecoder, TruncatedImageReturnsEveryLine) {
    Bytes full = File("ycc420.jpg");
    Decoded whole = DecodeAll(full);
    for (std::size_t cut : {full.size() - 2, full.size() - 150, full.size() - 300}) {
        SCOPED_TRACE(cut);
        Bytes part(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut));
        Decoded d = DecodeAll(part);
        EXPECT_EQ(d.begin, 0);
        EXPECT_EQ(d.error, 0);
        EXPECT_EQ(d.last, 1);
        EXPECT_EQ(d.lines, whole.lines);
        // The top MCU row lies well before every cut and decodes as in the whole file.
        std::size_t top = static_cast<std::size_t>(whole.width) * 3 * 16;
        EXPECT_TRUE(std::equal(d.pixels.begin(), d.pixels.begin() + static_cast<std::ptrdiff_t>(top),
                               whole.pixels.begin()));
    }
}

// A stream over memory that can be made to fail, and that counts the decoder's calls.
class ProbeStream : public jpeg_decoder_stream {
public:
    explicit ProbeStream(Bytes data)
        : m_data(std::move(data)), m_mem(m_data.data(), static_cast<std::int32_t>(m_data.size())) {}
    int read(std::uint8_t* buffer, int max_bytes, std::uint8_t* eof_flag) override {
        ++reads;
        return failing ? -1 : m_mem.read(buffer, max_bytes, eof_flag);
    }
    void on_open() override { ++opens; }
    void on_close() override { ++closes; }
    bool failing = false;
    int reads = 0, opens = 0, closes = 0;

private:
    Bytes m_data;
    jpeg_decoder_memory_stream m_mem;
};

// An image bigger than the decoder's 4096-byte input buffer: a large comment segment between the scans.
Bytes WithComment(const char* name, std::size_t comment_bytes) {
    Bytes f = File(name);
    // Put it in front of the last scan header.
    std::size_t last_sos = 0;
    for (std::size_t i = 0; i + 1 < f.size(); ++i)
        if (f[i] == 0xFF && f[i + 1] == 0xDA)
            last_sos = i;
    JpegWriter w;
    w.Raw(Bytes(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(last_sos)));
    w.Segment(0xFE, Bytes(comment_bytes, 'c'));
    w.Raw(Bytes(f.begin() + static_cast<std::ptrdiff_t>(last_sos), f.end()));
    return w.out;
}

TEST(JpegDecoder, ProgressiveImageIsDecodedBeforeTheFirstLine) {
    Bytes f = WithComment("progressive420.jpg", 9000);
    Decoded reference = DecodeAll(File("progressive420.jpg"));

    ProbeStream stream(f);
    jpeg_decoder dec(&stream);
    ASSERT_EQ(dec.begin_decoding(), 0);
    int reads_at_begin = stream.reads;
    EXPECT_GE(reads_at_begin, 3) << "the whole file was read while beginning";
    stream.failing = true; // any further read would now fail the decode
    Bytes pixels;
    const void* line;
    std::uint32_t bytes;
    int r;
    while ((r = dec.decode(&line, &bytes)) == 0)
        for (std::uint32_t x = 0; x < bytes; x += 4)
            pixels.insert(pixels.end(), static_cast<const std::uint8_t*>(line) + x,
                          static_cast<const std::uint8_t*>(line) + x + 3);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(stream.reads, reads_at_begin);
    EXPECT_EQ(pixels, reference.pixels);
}

TEST(JpegDecoder, SequentialImageReadsAsItGoesAndReportsAFailingStream) {
    // A comment up front puts the scan header just before the end of the first 4096 bytes read, so the
    // entropy-coded data is mostly read while lines are asked for.
    Bytes original = File("ycc420.jpg");
    JpegSegments s = JpegSegments::Parse(original);
    std::size_t headers = original.size() - s.scan_and_rest.size();
    s.segments.insert(s.segments.begin(), {0xFE, Bytes(4050 - headers - 4, 'c')});
    ProbeStream stream(s.Build());
    jpeg_decoder dec(&stream);
    ASSERT_EQ(dec.begin_decoding(), 0);
    stream.failing = true;
    const void* line;
    std::uint32_t bytes;
    int r = 0;
    int lines = 0;
    while ((r = dec.decode(&line, &bytes)) == 0)
        ++lines;
    EXPECT_EQ(r, corrupt_data);
    EXPECT_EQ(dec.get_error_code(), jpeg_error::stream_read);
    EXPECT_EQ(stream.closes, 1) << "the stream is closed at the failure";
    EXPECT_EQ(dec.decode(&line, &bytes), -1);
    EXPECT_EQ(dec.begin_decoding(), -1);
}

TEST(JpegDecoder, StreamIsOpenedOnceAndClosedOnce) {
    {
        ProbeStream stream(File("grey.jpg"));
        {
            jpeg_decoder dec(&stream);
            EXPECT_EQ(stream.opens, 1);
            EXPECT_EQ(dec.begin_decoding(), 0);
            EXPECT_EQ(stream.closes, 0);
        }
        EXPECT_EQ(stream.closes, 1);
    }
    {
        ProbeStream stream(Bytes(700, 0x55));
        jpeg_decoder dec(&stream);
        EXPECT_EQ(dec.get_error_code(), jpeg_error::no_start_of_image) << "construction keeps its failure";
        EXPECT_EQ(stream.closes, 1);
        EXPECT_EQ(dec.begin_decoding(), -1);
    }
    {
        ProbeStream stream(File("grey.jpg"));
        stream.failing = true;
        jpeg_decoder dec(&stream);
        EXPECT_EQ(dec.get_error_code(), jpeg_error::stream_read);
        EXPECT_EQ(dec.begin_decoding(), -1);
        EXPECT_EQ(stream.closes, 1);
    }
}

TEST(JpegDecoder, DecodeBeforeBeginAndBeginTwice) {
    Bytes f = File("ycc422.jpg");
    jpeg_decoder_memory_stream stream(f.data(), static_cast<std::int32_t>(f.size()));
    jpeg_decoder dec(&stream);
    const void* line = nullptr;
    std::uint32_t bytes = 0;
    EXPECT_EQ(dec.decode(&line, &bytes), -1);
    EXPECT_EQ(dec.begin_decoding(), 0);
    EXPECT_EQ(dec.begin_decoding(), 0);
    EXPECT_EQ(dec.get_bytes_per_pixel(), 4);
    EXPECT_EQ(dec.get_bytes_per_scan_line(), 45 * 4);
    EXPECT_EQ(dec.decode(&line, &bytes), 0);
    EXPECT_EQ(bytes, 45u * 4);
    // The fourth byte of each pixel is never written.
    for (std::uint32_t x = 3; x < bytes; x += 4)
        EXPECT_EQ(static_cast<const std::uint8_t*>(line)[x], 0);
}

TEST(JpegDecoder, MemoryStreamReads) {
    const std::uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    jpeg_decoder_memory_stream s(data, 10);
    std::uint8_t buf[8];
    std::uint8_t eof = 0;
    EXPECT_EQ(s.read(buf, 6, &eof), 6);
    EXPECT_EQ(eof, 0);
    EXPECT_EQ(s.read(buf, 6, &eof), 4);
    EXPECT_EQ(eof, 1);
    EXPECT_EQ(buf[3], 9);
    EXPECT_EQ(s.read(nullptr, 6, &eof), -1);
    jpeg_decoder_memory_stream empty;
    EXPECT_EQ(empty.read(buf, 6, &eof), -1);
}

TEST(JpegDecoder, ErrorTextsCoverEveryCode) {
    for (int code = -233; code <= -200; ++code) {
        bool unused = code == -214 || code == -220 || code == -224;
        EXPECT_EQ(std::string(jpeg_error_text(code)) == "unknown error", unused) << code;
    }
}

} // namespace
} // namespace mjpeg::test

namespace mjpeg::test {
namespace {

// The DC difference v as T.81 codes it: its size category's code, then s bits (F.1.2.1).
std::string DcBits(int v) {
    int s = 0;
    while ((std::abs(v) >> s) != 0)
        ++s;
    std::string code = s == 0 ? "0" : s == 8 ? "100" : s == 10 ? "101" : "110";
    int bits = v >= 0 ? v : v + (1 << s) - 1;
    for (int i = s - 1; i >= 0; --i)
        code += ((bits >> i) & 1) ? '1' : '0';
    return code;
}

TEST(JpegDecoder, FlatColourBlocksComeOutWithTheFixedColours) {
    // One 8x8 4:4:4 block per component, DC only, quantiser 1: Y = 128 + dc / 8, Cb = Cr = 128.
    struct Case {
        int y_dc;
        std::uint8_t r, g, b;
    } cases[] = {{-224, 101, 99, 101}, {-1024, 1, 0, 1}, {1016, 255, 254, 255}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.y_dc);
        JpegWriter w;
        w.Marker(0xD8).Segment(0xDB, DqtPayload(0, 1));
        w.Segment(0xC4, DhtPayload(0, 0, {{1, 0x00}, {3, 0x08}, {3, 0x0A}, {3, 0x0B}}));
        w.Segment(0xC4, DhtPayload(1, 0, kAcCodes));
        w.Segment(0xC0, SofPayload(8, 8, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}}));
        w.Segment(0xDA, SosPayload({{1, 0x00}, {2, 0x00}, {3, 0x00}}));
        w.Raw(PackBits(DcBits(c.y_dc) + "00" +
                       "0"
                       "00" +
                       "0"
                       "00"))
            .Marker(0xD9);
        for (jpeg_kernels k : {jpeg_kernels::fast, jpeg_kernels::scalar}) {
            Decoded d = DecodeAll(w.out, k);
            ASSERT_EQ(d.error, 0);
            ASSERT_EQ(d.pixels.size(), 8u * 8 * 3);
            for (std::size_t i = 0; i < d.pixels.size(); i += 3) {
                ASSERT_EQ(d.pixels[i], c.r);
                ASSERT_EQ(d.pixels[i + 1], c.g);
                ASSERT_EQ(d.pixels[i + 2], c.b);
            }
        }
    }
}

} // namespace
} // namespace mjpeg::test
