// Replays the AVI splitter's committed fuzz corpus (seeds and every reproducer a fuzzing run found)
// through the harness the fuzz target uses, so each input stays a clean accept-or-refuse without faults.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz/avi/harness.h"
#include "testsupport/files.h"
#include "testsupport/temp.h"

namespace {

TEST(AviFuzzCorpus, EveryInputIsTakenOrRefusedCleanly) {
    const std::filesystem::path dir = SCRYDE_AVI_FUZZ_CORPUS;
    const std::string scratch = testsupport::TempPath("avi_corpus", ".avi");
    int seeds = 0, taken = 0, inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::vector<std::uint8_t> data = testsupport::ReadFileBytes(entry.path().string());
        const bool ok = media::fuzz::RunAviInput(data.data(), data.size(), scratch);
        ++inputs;
        if (entry.path().filename().string().rfind("seed_", 0) == 0) {
            ++seeds;
            EXPECT_TRUE(ok) << entry.path(); // the seeds are sound files
        }
        taken += ok;
    }
    std::remove(scratch.c_str());
    EXPECT_GE(seeds, 3);
    EXPECT_GE(taken, seeds);
    EXPECT_GT(inputs, seeds); // the corpus holds what the fuzzer kept, not only the seeds
}

TEST(AviFuzzCorpus, EmptyAndNonRiffInputsAreRefused) {
    const std::string scratch = testsupport::TempPath("avi_tiny", ".avi");
    const std::uint8_t riffOnly[] = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'A', 'V', 'I', ' '};
    const std::uint8_t wave[] = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'};
    EXPECT_FALSE(media::fuzz::RunAviInput(riffOnly, 0, scratch));
    EXPECT_FALSE(media::fuzz::RunAviInput(riffOnly, sizeof riffOnly, scratch));
    EXPECT_FALSE(media::fuzz::RunAviInput(wave, sizeof wave, scratch));
    std::remove(scratch.c_str());
}

} // namespace
