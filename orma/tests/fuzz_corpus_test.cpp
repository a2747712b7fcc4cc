// Replays the committed fuzz corpus (seeds and every reproducer a fuzzing run found) through the same
// harness the fuzz target uses, so each stays a clean open-or-fail without faults.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz/orma/harness.h"
#include "fuzz/orma/mutator.h"
#include "testsupport/files.h"
#include "testsupport/temp.h"

namespace orma {
namespace {

TEST(OrmaFuzzCorpus, EveryInputOpensOrFailsCleanly) {
    const std::filesystem::path dir = SCRYDE_ORMA_FUZZ_CORPUS;
    const std::string scratch = testsupport::TempPath("orma_corpus", ".img");
    int seeds = 0, opened = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::vector<std::uint8_t> data = testsupport::ReadFileBytes(entry.path().string());
        const bool open = fuzz::RunImageInput(data.data(), data.size(), scratch);
        if (entry.path().filename().string().rfind("seed_", 0) == 0) {
            ++seeds;
            EXPECT_TRUE(open) << entry.path(); // the seeds are sound recordings
        }
        opened += open;
    }
    std::remove(scratch.c_str());
    EXPECT_GE(seeds, 3);
    EXPECT_GE(opened, seeds);
}

TEST(OrmaFuzzCorpus, EmptyAndTinyInputsFail) {
    const std::string scratch = testsupport::TempPath("orma_tiny", ".img");
    const std::uint8_t one[] = {0};
    EXPECT_FALSE(fuzz::RunImageInput(one, 0, scratch));
    EXPECT_FALSE(fuzz::RunImageInput(one, 1, scratch));
    std::remove(scratch.c_str());
}

std::vector<std::uint8_t> ReadInput(const std::string& name) {
    return testsupport::ReadFileBytes((std::filesystem::path(SCRYDE_ORMA_FUZZ_CORPUS) / name).string());
}

// The structure-aware mutator reads an input back as the patches it was written from, and its mutants
// of a sound image mostly still open: what it changes is a field, a copy or a loss of a structure, not
// the bytes that the first checks look at.
TEST(OrmaFuzzMutator, ReadsInputsBackAndKeepsMostMutantsOpenable) {
    const std::vector<std::uint8_t> seed = ReadInput("seed_one_cluster");
    ASSERT_FALSE(seed.empty());
    std::uint8_t selector = 0;
    std::vector<fuzz::Patch> patches;
    ASSERT_TRUE(fuzz::DecodeInput(seed.data(), seed.size(), &selector, &patches));
    EXPECT_EQ(fuzz::EncodeInput(selector, patches), seed);

    const std::string scratch = testsupport::TempPath("orma_mutant", ".img");
    auto keep = [](std::uint8_t*, std::size_t size, std::size_t) { return size; }; // no byte-level changes
    constexpr int kMutants = 60;
    int opened = 0, changed = 0;
    for (int i = 0; i < kMutants; ++i) {
        std::vector<std::uint8_t> m = seed;
        m.resize(seed.size() + 16384);
        m.resize(
            fuzz::MutateStructured(m.data(), seed.size(), m.size(), 1000u + static_cast<unsigned>(i), keep));
        changed += m != seed;
        opened += fuzz::RunImageInput(m.data(), m.size(), scratch);
    }
    std::remove(scratch.c_str());
    std::printf("%d of %d mutants changed, %d open\n", changed, kMutants, opened);
    EXPECT_GE(changed, kMutants * 3 / 4);
    EXPECT_GE(opened, kMutants / 2);
}

} // namespace
} // namespace orma
