// Replays every file of the fuzz corpus (and every crash reproducer) through the fuzz entry point, built
// here without libFuzzer: each must come back cleanly.
#include <gtest/gtest.h>

#include <filesystem>

#include "mjpeg/tests/jpeg_test_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace mjpeg::test {
namespace {

TEST(JpegFuzzReplay, CorpusRunsCleanly) {
    int files = 0;
    for (const char* dir : {MJPEG_FUZZ_CORPUS, MJPEG_FUZZ_REGRESSIONS}) {
        ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (!entry.is_regular_file() || entry.path().extension() == ".md")
                continue;
            Bytes data = ReadFile(entry.path().string());
            SCOPED_TRACE(entry.path().string());
            EXPECT_EQ(LLVMFuzzerTestOneInput(data.data(), data.size()), 0);
            ++files;
        }
    }
    EXPECT_GT(files, 10);
}

} // namespace
} // namespace mjpeg::test
