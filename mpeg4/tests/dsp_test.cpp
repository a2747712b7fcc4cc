// Every SSE2 kernel against its scalar twin on random inputs, byte for byte (the pairs and their
// inputs are in dsp_twins.h), and the IDCT's DC-only shortcut against the full transform.
#include <gtest/gtest.h>

#include <cstring>

#include "dsp.h"
#include "mpeg4/tests/dsp_twins.h"

namespace mpeg4 {
namespace {

class SimdTwin : public ::testing::TestWithParam<simdtwin::Entry> {};

TEST_P(SimdTwin, MatchesScalarByteForByte) {
    if (!GetParam().hasSimd)
        GTEST_SKIP() << "no SIMD kernels in this build";
    EXPECT_EQ(GetParam().compare(simdtwin::kSeed), "");
}

INSTANTIATE_TEST_SUITE_P(Dsp, SimdTwin, ::testing::ValuesIn(test::DspTwins()),
                         [](const auto& info) { return info.param.name; });

TEST(IdctShortcut, DcOnlyMatchesFullTransform) {
    for (int dc = -2048; dc <= 2047; ++dc) {
        int16_t full[64] = {}, flat[64] = {};
        full[0] = flat[0] = static_cast<int16_t>(dc);
        ScalarDsp().idct(full);
        IdctDcOnly(flat);
        ASSERT_EQ(std::memcmp(full, flat, sizeof full), 0) << dc;
    }
}

} // namespace
} // namespace mpeg4
