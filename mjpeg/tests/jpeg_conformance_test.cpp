// Conformance: small JPEG files made with a common encoder, each with the reference decode that
// libjpeg-turbo's djpeg (-dct int -nosmooth) gave for it. Our colour tables are centred on 127.5 and our
// IDCT is the fast 16-bit one, so pictures differ slightly from the reference by design; they must stay
// within 40 dB PSNR. Our own output is pinned by checksum, on the SIMD path and on the portable path
// (jpeg_kernels::scalar), which must agree.
#include <gtest/gtest.h>

#include <cinttypes>

#include "mjpeg/tests/jpeg_test_util.h"
#include "testsupport/checksum.h"

namespace mjpeg::test {
namespace {

struct Conformance {
    const char* name;
    int width, height, components;
    std::uint64_t checksum; // FNV-1a of our RGB (or grey) output
};

const Conformance kFiles[] = {
    {"ycc444", 45, 37, 3, 0x4e5aba029c7efce7},
    {"ycc422", 45, 37, 3, 0xbf07648d7d4d86eb},
    {"ycc440", 45, 37, 3, 0xcd6036853a548320},
    {"ycc420", 45, 37, 3, 0x9f9a80da45abb9d4},
    {"grey", 45, 37, 1, 0x1e7615c5c1acc588},
    {"progressive420", 45, 37, 3, 0x9f9a80da45abb9d4},
    {"progressive_grey", 45, 37, 1, 0x1e7615c5c1acc588},
    {"restart422", 45, 37, 3, 0xbf07648d7d4d86eb},
    {"restart_progressive420", 45, 37, 3, 0x9f9a80da45abb9d4},
    {"optimized422", 45, 37, 3, 0xbf07648d7d4d86eb},
    {"extended422", 45, 37, 3, 0x9b2f090d284d393f},
    {"separate_scans420", 45, 37, 3, 0x9f9a80da45abb9d4},
};

TEST(JpegConformance, FilesDecodeCloseToTheReference) {
    for (const Conformance& c : kFiles) {
        SCOPED_TRACE(c.name);
        Bytes jpeg = ReadFile(DataPath(std::string(c.name) + ".jpg"));
        ASSERT_FALSE(jpeg.empty());
        Decoded fast = DecodeAll(jpeg, jpeg_kernels::fast);
        Decoded scalar = DecodeAll(jpeg, jpeg_kernels::scalar);
        ASSERT_EQ(fast.begin, 0);
        EXPECT_EQ(fast.error, 0);
        EXPECT_EQ(fast.last, 1);
        EXPECT_EQ(fast.width, c.width);
        EXPECT_EQ(fast.height, c.height);
        EXPECT_EQ(fast.components, c.components);
        EXPECT_EQ(fast.lines, c.height);
        EXPECT_TRUE(fast.pixels == scalar.pixels) << "SIMD and portable paths differ";
        std::uint64_t scalar_sum = testsupport::Fnv1a64(scalar.pixels);
        EXPECT_EQ(scalar_sum, c.checksum) << "portable path checksum 0x" << std::hex << scalar_sum;

        int w = 0, h = 0;
        Bytes ref = PnmPixels(ReadFile(DataPath(std::string(c.name) + ".ref.pnm")), &w, &h);
        ASSERT_EQ(w, c.width);
        ASSERT_EQ(h, c.height);
        ASSERT_EQ(ref.size(), fast.pixels.size());
        int max_error = 0;
        double psnr = Psnr(fast.pixels, ref, &max_error);
        EXPECT_GE(psnr, 40.0);
        EXPECT_LE(max_error, 8);
        std::uint64_t sum = testsupport::Fnv1a64(fast.pixels);
        EXPECT_EQ(sum, c.checksum) << "checksum 0x" << std::hex << sum;
        RecordProperty(c.name, std::to_string(psnr));
    }
}

} // namespace
} // namespace mjpeg::test
