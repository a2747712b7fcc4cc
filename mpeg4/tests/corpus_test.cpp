// Replays the committed fuzz corpus (and crash reproducers) through the fuzz target's body.
#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz/mpeg4/frame_feeder.h"
#include "test_streams.h"

namespace mpeg4 {
namespace {

TEST(Mpeg4FuzzCorpus, EveryInputDecodesWithoutFault) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(MPEG4_FUZZ_CORPUS)) {
        std::vector<uint8_t> input = test::ReadFile(entry.path().string());
        EXPECT_EQ(fuzz::FeedFrames(input.data(), input.size()), 0) << entry.path();
        ++count;
    }
    EXPECT_GT(count, 5);
}

} // namespace
} // namespace mpeg4
