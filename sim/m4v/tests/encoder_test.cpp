// Our streams decoded by the MPEG-4 core: the tag and the picture come back, skipped P-VOPs repeat
// the picture, and the layer header reads as the recorders' layer header.
#include <gtest/gtest.h>

#include "decode_helpers.h"
#include "sim_m4v/m4v_encoder.h"

namespace simm4v {
namespace {

using test::CDecoder;
using test::Concat;

struct RoundTripCase {
    int width, height, quant;
    bool interlaced;
};

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

// A key frame (layer header + I-VOP), then a coded P-VOP with every macroblock skipped, then a
// VOP that is not coded at all: each decodes, the tag reads back from the luma plane and the YUY2 and
// bottom-up RGB32 outputs, the luma is close to the source and the two repeats equal the key frame.
TEST_P(RoundTrip, KeyFrameThenRepeats) {
    const RoundTripCase c = GetParam();
    const int channel = (c.width + c.quant) % 16;
    const uint32_t value = 0x80000000u + static_cast<uint32_t>(c.width * 1000 + c.quant);
    simdraw::YuvImage picture = TaggedPicture(c.width, c.height, channel, value, "CAM 07 2026/12/10");

    CDecoder decoder(c.width, c.height);
    ASSERT_EQ(decoder.CreateResult(), mpeg4::kOk);
    std::vector<uint8_t> key = EncodeKeyFrame(picture, c.quant, c.interlaced, {0, 1001});
    ASSERT_EQ(decoder.Decode(key), mpeg4::kOk);
    std::vector<uint8_t> luma = decoder.Luma();
    const std::vector<uint8_t> keyOutput = decoder.output;

    int gotChannel = -1;
    uint32_t gotValue = 0;
    EXPECT_TRUE(ReadTag(luma.data(), c.width, c.height, c.width, &gotChannel, &gotValue));
    EXPECT_EQ(gotChannel, channel);
    EXPECT_EQ(gotValue, value);
    EXPECT_GT(test::Psnr(luma, picture.y), c.quant <= 12 ? 30.0 : 25.0);

    ASSERT_EQ(decoder.Decode(EncodePredictedVop(c.width, c.height, c.quant, c.interlaced, {0, 2002})),
              mpeg4::kOk);
    EXPECT_EQ(decoder.output, keyOutput);
    ASSERT_EQ(decoder.Decode(EncodeNotCodedVop({1, 3003})), mpeg4::kOk);
    EXPECT_EQ(decoder.output, keyOutput);

    gotChannel = -1;
    EXPECT_TRUE(ReadTagPacked(keyOutput.data(), c.width, c.height, c.width * 2, PackedFormat::kYuy2, false,
                              &gotChannel, &gotValue));
    EXPECT_EQ(gotChannel, channel);

    // Bottom-up RGB32 as the decoder filter asks for it, de-interlaced when the layer is interlaced.
    ASSERT_EQ(decoder.Decode(EncodePredictedVop(c.width, c.height, c.quant, c.interlaced),
                             mpeg4::kRgb32BottomUp,
                             c.interlaced ? mpeg4::kDeinterlaceBlend : mpeg4::kDeinterlaceNone),
              mpeg4::kOk);
    gotChannel = -1;
    EXPECT_TRUE(ReadTagPacked(decoder.output.data(), c.width, c.height, c.width * 4, PackedFormat::kBgrx,
                              true, &gotChannel, &gotValue));
    EXPECT_EQ(gotChannel, channel);
    EXPECT_EQ(gotValue, value);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RoundTrip,
                         ::testing::Values(RoundTripCase{352, 240, 4, false},
                                           RoundTripCase{704, 480, 6, true},
                                           RoundTripCase{720, 240, 2, false},
                                           RoundTripCase{704, 240, 8, false},
                                           RoundTripCase{720, 576, 5, true}, RoundTripCase{144, 96, 1, false},
                                           RoundTripCase{176, 144, 31, true}));

// Flat and saturated content: large DC differences between neighbours, full-scale AC levels at the
// smallest quantiser (escape codes), and a coarse quantiser. The decode must stay close to the source.
TEST(Encoder, ExtremeContentDecodesClosely) {
    const int w = 64, h = 48;
    simdraw::YuvImage checker(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            checker.y[size_t(y) * w + x] = ((x + y) & 1) ? 255 : 0; // the highest frequency at full scale
    for (size_t i = 0; i < checker.u.size(); ++i) {
        checker.u[i] = (i % 7) < 3 ? 0 : 255;
        checker.v[i] = 255 - checker.u[i];
    }
    for (int quant : {1, 2, 12}) {
        CDecoder decoder(w, h);
        std::vector<uint8_t> frame = Concat(EncodeVol(w, h, false), EncodeIntraVop(checker, quant, false));
        ASSERT_EQ(decoder.Decode(frame), mpeg4::kOk) << "quant " << quant;
        EXPECT_GT(test::Psnr(decoder.Luma(), checker.y), quant == 12 ? 20.0 : 30.0) << "quant " << quant;
    }
}

// The layer header is the recorders' header: the core's probe and a bare decode read its size, and
// the optional aspect-ratio and control-parameter fields keep the fields behind them in place.
TEST(Encoder, LayerHeaderVariants) {
    for (int aspect : {1, 15})
        for (bool vcp : {false, true}) {
            std::vector<uint8_t> vol = EncodeVol(720, 576, true, aspect, vcp);
            EXPECT_EQ(mpeg4::ProbeSize(vol.data(), int(vol.size())), 720u * 4096 + 576) << aspect << vcp;
            EXPECT_EQ(vol.back() & 1, 1); // next_start_code stuffing ends in a 1 bit
            CDecoder decoder(720, 576);
            simdraw::YuvImage grey(720, 576);
            std::fill(grey.y.begin(), grey.y.end(), 100);
            std::fill(grey.u.begin(), grey.u.end(), 128);
            std::fill(grey.v.begin(), grey.v.end(), 128);
            EXPECT_EQ(decoder.Decode(Concat(vol, EncodeIntraVop(grey, 10, true))), mpeg4::kOk)
                << aspect << vcp;
        }
    // A layer of another size is refused by an instance of this size: the size fields are where the
    // decoder reads them.
    CDecoder decoder(352, 240);
    simdraw::YuvImage small(352, 288);
    EXPECT_EQ(decoder.Decode(Concat(EncodeVol(352, 288, false), EncodeIntraVop(small, 4, false))),
              mpeg4::kSizeMismatch);
}

// A byte budget raises the quantiser until the VOP fits, and reports when nothing fits.
TEST(Encoder, IntraVopWithinBudget) {
    simdraw::YuvImage picture = TaggedPicture(704, 480, 5, 42, "CAM 06");
    const size_t fine = EncodeIntraVop(picture, 2, true).size();
    int quant = -1;
    std::vector<uint8_t> vop = EncodeIntraVopWithin(picture, 2, fine, true, {}, &quant);
    EXPECT_EQ(quant, 2);
    EXPECT_EQ(vop.size(), fine);

    vop = EncodeIntraVopWithin(picture, 2, fine / 3, true, {}, &quant);
    EXPECT_GT(quant, 2);
    EXPECT_LE(vop.size(), fine / 3);
    EXPECT_GT(EncodeIntraVop(picture, quant - 1, true).size(), fine / 3); // no finer step skipped
    CDecoder decoder(704, 480);
    ASSERT_EQ(decoder.Decode(Concat(EncodeVol(704, 480, true), vop)), mpeg4::kOk);
    int channel = -1;
    uint32_t value = 0;
    EXPECT_TRUE(ReadTag(decoder.Luma().data(), 704, 480, 704, &channel, &value));
    EXPECT_EQ(channel, 5);
    EXPECT_EQ(value, 42u);

    EXPECT_TRUE(EncodeIntraVopWithin(picture, 2, 1000, true, {}, &quant).empty());
    EXPECT_EQ(quant, 0);
}

TEST(Encoder, RefusesSizesNotMultiplesOf16) {
    EXPECT_THROW(EncodeVol(350, 240, false), std::invalid_argument);
    EXPECT_THROW(EncodePredictedVop(352, 250, 4, false), std::invalid_argument);
    simdraw::YuvImage odd(360, 242);
    EXPECT_THROW(EncodeIntraVop(odd, 4, false), std::invalid_argument);
    simdraw::YuvImage truncated(32, 32);
    truncated.y.resize(100);
    EXPECT_THROW(EncodeIntraVop(truncated, 4, false), std::invalid_argument);
}

} // namespace
} // namespace simm4v
