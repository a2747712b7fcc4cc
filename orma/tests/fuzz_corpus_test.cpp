// Replays the committed fuzz corpus (seeds and every reproducer a fuzzing run found) through the same
// harness the fuzz target uses, so each stays a clean open-or-fail without faults.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz/orma/harness.h"

namespace orma {
namespace {

TEST(OrmaFuzzCorpus, EveryInputOpensOrFailsCleanly) {
    const std::filesystem::path dir = SCRYDE_ORMA_FUZZ_CORPUS;
    const std::string scratch = std::string(::testing::TempDir()) + "orma_corpus_" + std::to_string(::getpid()) + ".img";
    int seeds = 0, opened = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const bool open = fuzz::RunImageInput(data.data(), data.size(), scratch);
        if (entry.path().filename().string().rfind("seed_", 0) == 0) {
            ++seeds;
            EXPECT_TRUE(open) << entry.path();  // the seeds are sound recordings
        }
        opened += open;
    }
    std::remove(scratch.c_str());
    EXPECT_GE(seeds, 3);
    EXPECT_GE(opened, seeds);
}

TEST(OrmaFuzzCorpus, EmptyAndTinyInputsFail) {
    const std::string scratch = std::string(::testing::TempDir()) + "orma_tiny_" + std::to_string(::getpid()) + ".img";
    const std::uint8_t one[] = {0};
    EXPECT_FALSE(fuzz::RunImageInput(one, 0, scratch));
    EXPECT_FALSE(fuzz::RunImageInput(one, 1, scratch));
    std::remove(scratch.c_str());
}

}  // namespace
}  // namespace orma
