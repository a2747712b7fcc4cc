// Time stamps of one pin: placeholders carry none, consecutive packets continue by their time
// difference scaled by the speed factor, and the first packet or a jump of more than 2 s restarts
// from the clock.
#include <gtest/gtest.h>

#include <vector>

#include "platform/bytes.h"
#include "tav/vt_source.h"

namespace {

std::vector<BYTE> Sample(DWORD seconds, DWORD micros) {
    std::vector<BYTE> s(64, 0);
    platform::WriteLE32(s.data() + 20, seconds);
    platform::WriteLE32(s.data() + 24, micros);
    return s;
}

TEST(StampSample, ContinuesByPacketTimeAndRestartsAfterAJump) {
    constexpr REFERENCE_TIME kRef = 1000000;
    struct Step {
        DWORD seconds, micros;
        bool placeholder;
        double factor;
        REFERENCE_TIME clock;
        REFERENCE_TIME start, stop;
    } steps[] = {
        // First sample: from the clock, no duration known yet.
        {100, 0, false, 1.0, kRef + 50000, 50000, 50000},
        // 0.5 s later: continues from the previous stop by 5,000,000 units.
        {100, 500000, false, 1.0, 0, 50000, 5050000},
        // A placeholder: no times, state kept.
        {0, 0, true, 1.0, 0, 0, 0},
        // Another 0.5 s at double speed (factor 0.5): half the duration.
        {101, 0, false, 0.5, 0, 0, 2500000},
        // 3 s later: more than 2 s, so from the clock again with the last known difference.
        {104, 0, false, 1.0, kRef + 90000000, 90000000, 95000000},
        // Exactly 2 s later: still continuous.
        {106, 0, false, 1.0, 0, 95000000, 115000000},
    };
    tav::VTStampState st;
    for (const Step& s : steps) {
        std::vector<BYTE> data = Sample(s.seconds, s.micros);
        if (s.placeholder)
            platform::WriteLE32(data.data(), tav::kPlaceholderWord);
        tav::StampSample(&st, data.data(), s.placeholder ? 4 : 64, s.factor, s.clock, kRef);
        EXPECT_EQ(st.start, s.start) << s.seconds << "." << s.micros;
        EXPECT_EQ(st.stop, s.stop) << s.seconds << "." << s.micros;
    }
}

} // namespace
