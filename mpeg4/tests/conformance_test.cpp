// Conformance against ffmpeg's decode of streams made by its mpeg4 encoder (see data/README.md):
// luma PSNR measured through the YUY2 output, plus the refusals and header cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "codec.h"
#include "mpeg4/m4v_split.h"
#include "mpeg4/mpeg4_core.h"
#include "test_streams.h"
#include "testsupport/checksum.h"

namespace mpeg4 {
namespace {

using test::DataPath;
using test::ReadFile;

struct CodecDeleter {
    void operator()(CMp4Codec* c) const { Destroy(c); }
};
using CodecPtr = std::unique_ptr<CMp4Codec, CodecDeleter>;

CodecPtr MakeCodec(int w, int h) {
    CMp4Codec* c = nullptr;
    EXPECT_EQ(Create(w, h, &c), kOk);
    return CodecPtr(c);
}

int DecodeInto(CMp4Codec* codec, const uint8_t* data, size_t len, std::vector<uint8_t>& out, int w, int h,
               int32_t format = kYuy2) {
    out.resize(static_cast<size_t>(w) * h * 4);
    DecodeParams p;
    p.width = w;
    p.height = h;
    p.data = data;
    p.length = static_cast<int32_t>(len);
    p.output = out.data();
    p.format = format;
    p.stride = w;
    return DecodeFrame(codec, p);
}

struct StreamCase {
    const char* name;
    double minAverage;
    double minWorst;          // 0: not checked
    uint64_t yuy2Checksum;    // FNV-1a 64 over every frame's YUY2 output, in order
    uint64_t blendedChecksum; // the same over RGB32 output through the blend de-interlacer
    int exactFrames;          // frames whose luma equals the reference decode bit for bit
};

// One whole stream decoded in one output format: the running checksum of the output and the luma
// plane of every frame.
struct StreamDecode {
    uint64_t checksum = testsupport::kFnv1a64Offset;
    std::vector<std::vector<uint8_t>> luma;
};

StreamDecode DecodeStream(const StreamCase& sc, const test::Reference& ref, int32_t format,
                          int32_t deinterlace, bool scalar = false) {
    StreamDecode result;
    std::vector<uint8_t> stream = ReadFile(DataPath(std::string(sc.name) + ".m4v"));
    std::vector<FrameSpan> frames = SplitElementaryStream(stream.data(), stream.size());
    EXPECT_EQ(static_cast<int>(frames.size()), ref.frames);
    CodecPtr codec = MakeCodec(ref.width, ref.height);
    if (!codec)
        return result;
    codec->ForceScalarKernels(scalar);
    const size_t pixels = static_cast<size_t>(ref.width) * ref.height;
    const size_t bytes = pixels * static_cast<size_t>(BytesPerPixel(format));
    std::vector<uint8_t> out(pixels * 4);
    for (size_t f = 0; f < frames.size(); ++f) {
        DecodeParams p;
        p.width = ref.width;
        p.height = ref.height;
        p.data = stream.data() + frames[f].offset;
        p.length = static_cast<int32_t>(frames[f].length);
        p.output = out.data();
        p.format = format;
        p.stride = ref.width;
        p.deinterlace = deinterlace;
        EXPECT_EQ(DecodeFrame(codec.get(), p), kOk) << "frame " << f;
        result.checksum = testsupport::Fnv1a64(out.data(), bytes, result.checksum);
        if (format == kYuy2) {
            std::vector<uint8_t> luma(pixels);
            for (size_t i = 0; i < pixels; ++i)
                luma[i] = out[2 * i];
            result.luma.push_back(std::move(luma));
        }
    }
    return result;
}

class Conformance : public ::testing::TestWithParam<StreamCase> {};

// Luma PSNR against the reference decode, and our own output pinned by checksum: any change to
// the bytes the decoder produces (on the YUY2 path, or RGB32 through the de-interlacer) shows here.
TEST_P(Conformance, LumaPsnrAgainstReference) {
    const StreamCase& sc = GetParam();
    test::Reference ref;
    ASSERT_TRUE(ref.Load(sc.name));
    StreamDecode yuy2 = DecodeStream(sc, ref, kYuy2, kDeinterlaceNone);
    ASSERT_EQ(static_cast<int>(yuy2.luma.size()), ref.frames);

    double sumPsnr = 0, worst = 1e9;
    int measured = 0, exact = 0;
    for (int f = 0; f < ref.frames; ++f) {
        const std::vector<uint8_t>& luma = yuy2.luma[static_cast<size_t>(f)];
        if (testsupport::Fnv1a64(luma.data(), luma.size()) == ref.lumaChecksum[f])
            ++exact;
        if (f % ref.step != 0)
            continue;
        const uint8_t* samples = ref.lumaSamples.data() + static_cast<size_t>(f / ref.step) * ref.samples;
        double se = 0;
        for (int i = 0; i < ref.samples; ++i) {
            double d = static_cast<double>(luma[ref.Position(i)]) - samples[i];
            se += d * d;
        }
        double mse = se / ref.samples;
        double psnr = mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
        sumPsnr += psnr;
        worst = std::min(worst, psnr);
        ++measured;
    }
    double average = sumPsnr / measured;
    std::printf("%s: %d frames, luma PSNR average %.2f dB, worst %.2f dB, %d frames bit-exact\n", sc.name,
                ref.frames, average, worst, exact);
    RecordProperty("psnr_average", std::to_string(average));
    RecordProperty("psnr_worst", std::to_string(worst));
    EXPECT_GE(average, sc.minAverage);
    if (sc.minWorst > 0) {
        EXPECT_GE(worst, sc.minWorst);
    }
    EXPECT_EQ(exact, sc.exactFrames);
    EXPECT_EQ(yuy2.checksum, sc.yuy2Checksum) << "YUY2 checksum 0x" << std::hex << yuy2.checksum;
    uint64_t blended = DecodeStream(sc, ref, kRgb32, kDeinterlaceBlend).checksum;
    EXPECT_EQ(blended, sc.blendedChecksum) << "blended RGB32 checksum 0x" << std::hex << blended;
}

// The portable kernels alone give the same bytes as the SIMD ones on whole streams.
TEST_P(Conformance, ScalarKernelsGiveThePinnedChecksums) {
    const StreamCase& sc = GetParam();
    test::Reference ref;
    ASSERT_TRUE(ref.Load(sc.name));
    uint64_t yuy2 = DecodeStream(sc, ref, kYuy2, kDeinterlaceNone, true).checksum;
    EXPECT_EQ(yuy2, sc.yuy2Checksum) << "YUY2 checksum 0x" << std::hex << yuy2;
    uint64_t blended = DecodeStream(sc, ref, kRgb32, kDeinterlaceBlend, true).checksum;
    EXPECT_EQ(blended, sc.blendedChecksum) << "blended RGB32 checksum 0x" << std::hex << blended;
}

// The checksums are of this decoder's own output as it stands; no frame matches the reference decode
// bit for bit (the IDCTs round differently), so the count of exact frames is pinned at what it is.
const StreamCase kStreams[] = {
    {"simple_352x240", 50, 44, 0xb8133d2ae23e9b94, 0x3a720276291466f2, 0},
    {"mv4_352x240", 50, 44, 0x1c1caefd82351fce, 0x17a18ebd4f3c5e2c, 0},
    {"qpel_352x240", 50, 44, 0xecad1f6f186a5564, 0x2c157fa490d9d193, 0},
    {"mpegquant_352x240", 50, 44, 0x871be01a12e7b300, 0x0229c3464bf242cf, 0},
    {"interlaced_704x480", 50, 44, 0x6f1342536db2fcf0, 0x117196a3550bab5c, 0},
    {"interlaced_720x576", 50, 44, 0x38d3432915bebbb3, 0x6b32ae34017f113c, 0},
    {"longgop_352x240", 46, 0, 0x1f5d0e56c2164c1d, 0x9ce63882f08034e4, 0},
    {"bare_704x480", 50, 44, 0xcbd7c6d54aa1249d, 0x0aea25ccecdadaf9, 0},
    {"bare_352x240", 50, 44, 0x3984325cea49dd97, 0xf161ab65de340932, 0},
};

INSTANTIATE_TEST_SUITE_P(Streams, Conformance, ::testing::ValuesIn(kStreams),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace mpeg4

namespace mpeg4 {
namespace {

// Output buffer pre-filled with a pattern, to show that a refused frame writes nothing.
struct Sentinel {
    std::vector<uint8_t> bytes;
    explicit Sentinel(size_t n) : bytes(n, 0xA5) {}
    bool Untouched() const {
        return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xA5; });
    }
};

int DecodeToSentinel(CMp4Codec* codec, const uint8_t* data, size_t len, Sentinel& s, int w, int h) {
    DecodeParams p;
    p.width = w;
    p.height = h;
    p.data = data;
    p.length = static_cast<int32_t>(len);
    p.output = s.bytes.data();
    p.format = kRgb32;
    p.stride = w;
    return DecodeFrame(codec, p);
}

TEST(Mpeg4Headers, BVopsAreRefusedWithoutWriting) {
    std::vector<uint8_t> stream = ReadFile(DataPath("bvop_352x240.m4v"));
    std::vector<FrameSpan> frames = SplitElementaryStream(stream.data(), stream.size());
    ASSERT_GE(frames.size(), 3u);
    CodecPtr codec = MakeCodec(352, 240);
    int decoded = 0, refused = 0;
    for (const FrameSpan& f : frames) {
        Sentinel out(352 * 240 * 4);
        int r = DecodeToSentinel(codec.get(), stream.data() + f.offset, f.length, out, 352, 240);
        if (r == kUnsupportedVop) {
            EXPECT_TRUE(out.Untouched());
            ++refused;
        } else {
            EXPECT_EQ(r, kOk);
            ++decoded;
        }
    }
    EXPECT_GE(decoded, 2); // the I- and P-VOPs around the B-VOPs still decode
    EXPECT_GE(refused, 1);
}

struct LayerCase {
    const char* file;
    int width, height;
    int expected;
};

class LayerRefusal : public ::testing::TestWithParam<LayerCase> {};

TEST_P(LayerRefusal, FirstFrameGivesCodeAndLeavesOutput) {
    const LayerCase& c = GetParam();
    std::vector<uint8_t> stream = ReadFile(DataPath(c.file));
    std::vector<FrameSpan> frames = SplitElementaryStream(stream.data(), stream.size());
    ASSERT_FALSE(frames.empty());
    CodecPtr codec = MakeCodec(c.width, c.height);
    Sentinel out(static_cast<size_t>(c.width) * c.height * 4);
    EXPECT_EQ(DecodeToSentinel(codec.get(), stream.data() + frames[0].offset, frames[0].length, out, c.width,
                               c.height),
              c.expected);
    EXPECT_TRUE(out.Untouched());
}

INSTANTIATE_TEST_SUITE_P(Cases, LayerRefusal,
                         ::testing::Values(LayerCase{"cif_352x288.m4v", 704, 576, kSizeMismatch},
                                           LayerCase{"partitioned_176x144.m4v", 176, 144, kDataPartitioned}));

TEST(Mpeg4Headers, ProbeFindsLayerSizeInFirstBytes) {
    std::vector<uint8_t> simple = ReadFile(DataPath("simple_352x240.m4v"));
    EXPECT_EQ(ProbeSize(simple.data(), 64), 352u * 4096 + 240);
    std::vector<uint8_t> bare = ReadFile(DataPath("bare_352x240.m4v"));
    EXPECT_EQ(ProbeSize(bare.data(), 64), 0u);
    EXPECT_EQ(ProbeSize(nullptr, 0), 0u);
}

TEST(Mpeg4Headers, FramesWithoutAVopGiveCodes) {
    CodecPtr codec = MakeCodec(352, 240);
    Sentinel out(352 * 240 * 4);
    const uint8_t noStartCode[] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(DecodeToSentinel(codec.get(), noStartCode, sizeof noStartCode, out, 352, 240),
              kNoSequenceStartCode);
    const uint8_t groupOnly[] = {0, 0, 1, 0xB3, 0, 0, 0, 0};
    EXPECT_EQ(DecodeToSentinel(codec.get(), groupOnly, sizeof groupOnly, out, 352, 240), kNoVopStartCode);
    // A visual object that is not video.
    const uint8_t stillTexture[] = {0, 0, 1, 0xB5, 0x02 << 3, 0, 0};
    EXPECT_EQ(DecodeToSentinel(codec.get(), stillTexture, sizeof stillTexture, out, 352, 240),
              kNotVideoObject);
    // Parameters for another size than the instance's are refused before anything is written.
    std::vector<uint8_t> bare = ReadFile(DataPath("bare_352x240.m4v"));
    EXPECT_EQ(DecodeToSentinel(codec.get(), bare.data(), bare.size(), out, 176, 144), kBadParameters);
    EXPECT_TRUE(out.Untouched());
}

// A P-VOP with vop_coded = 0 repeats the reference picture.
TEST(Mpeg4Headers, NotCodedVopRepeatsReference) {
    std::vector<uint8_t> stream = ReadFile(DataPath("bare_352x240.m4v"));
    std::vector<FrameSpan> frames = SplitElementaryStream(stream.data(), stream.size());
    CodecPtr codec = MakeCodec(352, 240);
    std::vector<uint8_t> first, repeat;
    ASSERT_EQ(DecodeInto(codec.get(), stream.data() + frames[0].offset, frames[0].length, first, 352, 240),
              kOk);
    // 00 00 01 B6, then: type 01, modulo 0, marker 1, 15-bit increment 0, marker 1, coded 0.
    // Bits: 01 0 1 000000000000000 1 0 -> 0101 0000 0000 0000 0001 0(pad 1111)
    const uint8_t notCoded[] = {0, 0, 1, 0xB6, 0x50, 0x00, 0x01, 0x0F};
    ASSERT_EQ(DecodeInto(codec.get(), notCoded, sizeof notCoded, repeat, 352, 240), kOk);
    EXPECT_EQ(first, repeat);
}

// Damaged macroblock data ends the frame with 1 and keeps the reference; the stream goes on.
TEST(Mpeg4Robustness, CorruptedFramesFailCleanly) {
    std::vector<uint8_t> stream = ReadFile(DataPath("mv4_352x240.m4v"));
    std::vector<FrameSpan> frames = SplitElementaryStream(stream.data(), stream.size());
    CodecPtr codec = MakeCodec(352, 240);
    std::vector<uint8_t> out;
    uint32_t seed = 12345;
    int failures = 0;
    for (size_t f = 0; f < frames.size(); ++f) {
        std::vector<uint8_t> frame(stream.begin() + static_cast<ptrdiff_t>(frames[f].offset),
                                   stream.begin() +
                                       static_cast<ptrdiff_t>(frames[f].offset + frames[f].length));
        if (f > 0) {
            for (int k = 0; k < 4; ++k) {
                seed = seed * 1103515245u + 12345u;
                size_t pos = 8 + (seed >> 8) % (frame.size() - 8);
                frame[pos] ^= static_cast<uint8_t>(1u << ((seed >> 4) & 7));
            }
        }
        int r = DecodeInto(codec.get(), frame.data(), frame.size(), out, 352, 240);
        EXPECT_TRUE(r == kOk || r == kCorruptMacroblocks) << "frame " << f << " gave " << r;
        failures += r != kOk;
        // Truncated frames end early.
        r = DecodeInto(codec.get(), frame.data(), frame.size() / 2, out, 352, 240);
        EXPECT_TRUE(r == kOk || r == kCorruptMacroblocks);
    }
    EXPECT_GT(failures, 0);
}

} // namespace
} // namespace mpeg4
