// Random transport actions on recordings of both families, faster than a user could press them:
// play, pause, stop, speed, direction, step, Begin/End, slider, time search, segment and layout
// changes, and closing and reopening. Each action must come back within a bound; nothing may hang.
#include <chrono>
#include <random>

#include "reader_test_util.h"

namespace {

using namespace reader;
using readertest::Boxes;
using readertest::Scratch;

void Stress(const OpenTarget& target, unsigned seed, int actions) {
    Boxes boxes; // a search time off the recording answers its box at once
    CPlayerCore core;
    ASSERT_TRUE(core.Open(target));
    std::mt19937 rng(seed);
    for (int i = 0; i < actions; ++i) {
        const int action = static_cast<int>(rng() % 18);
        const auto start = std::chrono::steady_clock::now();
        switch (action) {
        case 0:
            core.PlayPause();
            break;
        case 1:
            core.Pause();
            break;
        case 2:
            core.Stop();
            break;
        case 3:
            core.SpeedUp();
            break;
        case 4:
            core.SpeedDown();
            break;
        case 5:
            core.Forward();
            break;
        case 6:
            core.Backward();
            break;
        case 7:
            core.StepForward();
            break;
        case 8:
            core.StepBackward();
            break;
        case 9:
            core.Begin();
            break;
        case 10:
            core.End();
            break;
        case 11:
            core.SeekSlider(static_cast<int>(rng() % 1001));
            break;
        case 12:
            core.ApplyDisplayMode(static_cast<int>(rng() % 4));
            break;
        case 13:
            core.SelectSegmentRow(
                static_cast<int>(rng() % std::max<std::size_t>(1, core.SegmentRows().size())));
            break;
        case 14:
            core.Tick();
            break;
        case 15:
            core.SetChannel(static_cast<int>(rng() % kBoxCount), static_cast<int>(rng() % kChannels));
            break;
        case 16:
            core.SearchTime(target.kind == kKindOrma
                                ? SearchFields{2009, 3, 1, 8, 0, static_cast<int>(rng() % 60)}
                                : SearchFields{2010, 1, 1, 0, 0, static_cast<int>(rng() % 30)});
            break;
        case 17:
            if (rng() % 4 == 0) {
                core.Close();
                ASSERT_TRUE(core.Open(target));
            }
            break;
        }
        const auto took = std::chrono::steady_clock::now() - start;
        ASSERT_LT(took, std::chrono::seconds(10)) << "action " << action << " at step " << i;
        if (rng() % 8 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 30));
    }
    core.Close();
}

TEST(ReaderStress, RandomTransportOnBothFamilies) {
    Scratch scratch;
    const std::string orm = scratch.File("rec.orm");
    ASSERT_EQ(simorma::Write(orm, readertest::OrmaOptions()).error, "");
    sim_tav::RecorderOptions o = readertest::TavOptions(4);
    o.streamPackets = 300;
    const std::string arv = scratch.File("clip.arv");
    sim_tav::WriteTavStream(arv, o);
    Stress(FileTarget(orm), 7, 80);
    Stress(FileTarget(arv), 11, 120);
}

} // namespace
