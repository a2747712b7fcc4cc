#include <gtest/gtest.h>

#include "tav/layout.h"

namespace {

TEST(TavGeometry, FollowsTheDriveSize) {
    struct Case {
        DWORD gib, P, N, K;
    } cases[] = {{40, 32, 1280, 32},  {80, 32, 2560, 32},  {120, 64, 1920, 16}, {160, 64, 2560, 16},
                 {250, 128, 2000, 8}, {320, 128, 2560, 8}, {500, 256, 2000, 4}, {1000, 512, 2000, 2}};
    for (const Case& c : cases) {
        // A tail of odd sectors behind the whole GiB is ignored.
        tav::TavGeometry g = tav::ComputeGeometry((c.gib << 21) + 12345);
        EXPECT_EQ(g.G, c.gib);
        EXPECT_EQ(g.P, c.P) << c.gib;
        EXPECT_EQ(g.N, c.N) << c.gib;
        EXPECT_EQ(g.K, c.K) << c.gib;
        EXPECT_EQ(g.S, c.P * 2048);
        EXPECT_EQ(g.B, c.P);
        EXPECT_EQ(g.Tprime, c.gib << 21);
    }
}

TEST(TavGeometry, DriveHeaderIsTheFirstSectorOfTheSystemSegment) {
    tav::TavGeometry g = tav::ComputeGeometry(40u << 21);
    EXPECT_EQ(g.HeaderSector(), 83820544u);
    EXPECT_EQ(g.HeaderSector(), (g.N - 1) * g.S);
    EXPECT_EQ(g.SystemLogSector(), 83820544u + 2048u);
    // The largest drive a 32-bit sector number reaches: 2047 GiB in 1 GiB segments.
    tav::TavGeometry big = tav::ComputeGeometry(0xFFFFFFFFu);
    EXPECT_EQ(big.G, 2047u);
    EXPECT_EQ(big.P, 1024u);
    EXPECT_EQ(big.N, 2047u);
    EXPECT_EQ(big.K, 1u);
}

TEST(TavGeometry, ImageFieldsMustDescribeARealDrive) {
    tav::TavGeometry g;
    EXPECT_TRUE(tav::GeometryFromImage(65536, 1280, 40u << 21, &g));
    EXPECT_EQ(g.K, 32u);
    EXPECT_FALSE(tav::GeometryFromImage(65536, 1281, 40u << 21, &g));
    EXPECT_FALSE(tav::GeometryFromImage(0, 0, 0, &g));
    EXPECT_FALSE(tav::GeometryFromImage(12345, 1280, 40u << 21, &g));
}

TEST(TavIndexEntry, ValidityRules) {
    BYTE raw[30] = {};
    auto entry = [&](DWORD tag, DWORD time, BYTE channel, BYTE type, DWORD size, DWORD offset = 100) {
        platform::WriteLE32(raw, tag);
        platform::WriteLE32(raw + 4, offset);
        platform::WriteLE32(raw + 8, time);
        platform::WriteLE32(raw + 12, size);
        raw[20] = channel;
        raw[21] = type;
        return tav::IsValidEntry(tav::ReadIndexEntry(raw), 2008 * 512);
    };
    EXPECT_TRUE(entry(0xAA55AA55, 978516997, 0, 0x81, 1000));
    EXPECT_FALSE(entry(0xAA55AA55, 978516996, 0, 0x81, 1000));
    EXPECT_TRUE(entry(0x4D484430, 978516997, 15, 0x82, 204799));
    EXPECT_FALSE(entry(0x4D484430, 978516997, 16, 0x82, 1000));
    EXPECT_FALSE(entry(0x12345678, 978516997, 0, 0x81, 1000));
    EXPECT_FALSE(entry(0xAA55AA55, 978516997, 0, 0x81, 0));
    EXPECT_FALSE(entry(0xAA55AA55, 978516997, 0, 0x81, 204800));
    // 0x91, 0x92, 0x94 are the same as 0x81, 0x82, 0x84; 0x83 is no packet.
    for (BYTE t : {0x81, 0x82, 0x84, 0x91, 0x92, 0x94})
        EXPECT_TRUE(entry(0xAA55AA55, 978516997, 1, t, 1000)) << int(t);
    for (BYTE t : {0x83, 0x93, 0x80, 0x85, 0x00})
        EXPECT_FALSE(entry(0xAA55AA55, 978516997, 1, t, 1000)) << int(t);
    entry(0xAA55AA55, 978516997, 1, 0x94, 1000);
    EXPECT_EQ(tav::ReadIndexEntry(raw).type, 0x84);
    // A packet must start inside its block's data area.
    EXPECT_FALSE(entry(0xAA55AA55, 978516997, 0, 0x81, 1000, 2008 * 512));
}

TEST(TavTime, FormatsAndParsesUtc) {
    EXPECT_EQ(tav::FormatTime(978516997), "2001/01/03 10:16:37");
    DWORD t = 0;
    ASSERT_TRUE(tav::ParseTime("2001/01/03 10:16:37", &t));
    EXPECT_EQ(t, 978516997u);
    EXPECT_FALSE(tav::ParseTime("2001/13/03 10:16:37", &t));
}

TEST(TavClear, UnitGrowsWithEvery80GiB) {
    EXPECT_EQ(tav::ClearUnitSectors(40u << 21), 65536u);
    EXPECT_EQ(tav::ClearUnitSectors(100u << 21), 131072u);
    EXPECT_EQ(tav::ClearUnitSectors(0x14000000), 196608u);
    EXPECT_EQ(tav::ClearUnitSectors(0xFFFFFFFFu), 9u * 65536u);
}

} // namespace
