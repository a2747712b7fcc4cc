#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "orma/orma_disk.h"
#include "sim_orma/orma_sim.h"

namespace orma {
namespace {

TEST(OrmaLayout, ClusterSizeFollowsTheDriveSize) {
    struct Case {
        ULONGLONG sectors;
        DWORD k;
    } cases[] = {
        {0x00100000, 1}, {0x09FFFFFF, 1}, {0x0A000000, 2}, {0x13FFFFFF, 2}, {0x14000000, 3},
        {0x1DFFFFFF, 3}, {0x1E000000, 4}, {0x27FFFFFF, 4}, {0x28000000, 5}, {0x32000000, 6},
        {0x3C000000, 7}, {0x46000000, 8}, {0x50000000, 9}, {0xFFFFFFFF, 9},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ClusterSizeForDrive(c.sectors), c.k * 65536) << std::hex << c.sectors;
}

// A drive made of sectors in a map: only the marker sector (and what a test adds) is present.
struct FakeDrive {
    std::map<DWORD, DWORD> magic; // sector → first 32-bit word
    std::vector<DWORD> reads;
    ULONGLONG readable = ~0ull; // sectors from here on fail to read (the drive's true end)
    static int Read(void* ctx, DWORD sector, BYTE* out) {
        auto* d = static_cast<FakeDrive*>(ctx);
        d->reads.push_back(sector);
        if (sector >= d->readable)
            return 0;
        std::fill(out, out + 512, 0);
        auto it = d->magic.find(sector);
        if (it != d->magic.end())
            platform::WriteLE32(out, it->second);
        return 1;
    }
};

TEST(OrmaLayout, MarkerSearchTriesTwoPlaces) {
    struct Case {
        const char* name;
        ULONGLONG sectors;
        DWORD markerAt; // 0 = none
        bool found;
        DWORD clusterCount;
        std::vector<DWORD> reads;
        ULONGLONG readable = ~0ull; // a drive that holds more than its geometry says, unless given
    } cases[] = {
        {"first try", 5 * 65536 + 100, 5 * 65536, true, 5, {5 * 65536}},
        {"exact multiple: one cluster before the end", 5 * 65536, 4 * 65536, true, 4, {4 * 65536}},
        {"second try gives n + 1", 5 * 65536 + 100, 6 * 65536, true, 6, {5 * 65536, 6 * 65536}},
        {"64 MiB clusters",
         0x0A000000,
         0x0A000000 - 2 * 65536,
         true,
         0x0A000000 / (2 * 65536) - 1,
         {0x0A000000 - 2 * 65536}},
        {"no marker", 5 * 65536 + 100, 0, false, 6, {5 * 65536, 6 * 65536}},
        {"no marker, the second try past the end",
         5 * 65536 + 100,
         0,
         false,
         5,
         {5 * 65536, 6 * 65536},
         5 * 65536 + 100},
    };
    for (const Case& c : cases) {
        FakeDrive d;
        d.readable = c.readable;
        if (c.markerAt)
            d.magic[c.markerAt] = kMarkerMagic;
        DriveGeometry g;
        EXPECT_EQ(FindMarker(c.sectors, &FakeDrive::Read, &d, &g), c.found) << c.name;
        EXPECT_EQ(g.clusterCount, c.clusterCount) << c.name;
        EXPECT_EQ(g.systemStart, g.clusterCount * g.clusterSize) << c.name;
        EXPECT_EQ(d.reads, c.reads) << c.name;
    }
}

TEST(OrmaLayout, MarkerSearchNeverReadsPastThe32BitSectorRange) {
    FakeDrive d;
    DriveGeometry g;
    // 9 × 65536-sector clusters; n + 1 would lie past sector 2^32 − 1.
    EXPECT_FALSE(FindMarker(0xFFFFFFFFull + 1, &FakeDrive::Read, &d, &g));
    for (DWORD s : d.reads)
        EXPECT_LE(ULONGLONG(s) + 1, 0x100000000ull);
}

TEST(OrmaLayout, TimesCompareYearFirstAndIgnoreTheLowBits) {
    const DWORD dec31 = PackTime(12, 31, 23, 59, 59);
    const DWORD jan1 = PackTime(1, 1, 0, 0, 0);
    EXPECT_GT(CompareTime(9, jan1, 8, dec31), 0); // 2009-01-01 after 2008-12-31
    EXPECT_LT(CompareTime(8, dec31, 9, jan1), 0);
    EXPECT_EQ(CompareTime(8, dec31, 8, dec31 | 31), 0); // bits 4..0 do not count
    EXPECT_LT(CompareTime(8, dec31, 8, dec31 | 32), 0);
    EXPECT_EQ(CompareTime(200, 0, 10, 0), 190); // year bytes as unsigned
    EXPECT_EQ(FormatTime(9, PackTime(3, 1, 8, 5, 7)), "2009/03/01 08:05:07");
    BYTE y = 0;
    DWORD t = 0;
    ASSERT_TRUE(ParseTime("2009/03/01 08:05:07", &y, &t));
    EXPECT_EQ(y, 9);
    EXPECT_EQ(t, PackTime(3, 1, 8, 5, 7));
    EXPECT_FALSE(ParseTime("2009/13/01 08:05:07", &y, &t));
    EXPECT_FALSE(ParseTime("yesterday", &y, &t));
}

// The 644 bytes of a channel-code area in host word order, as GetFrame hands them to the decoder.
std::vector<BYTE> HostOrderArea(int model, int channel) {
    std::vector<BYTE> area(644);
    simorma::EncodeChannelCode(model, channel, area.data());
    for (std::size_t i = 0; i < area.size(); i += 2)
        std::swap(area[i], area[i + 1]);
    return area;
}

TEST(OrmaLayout, EveryChannelDecoderReadsWhatTheRecorderWrote) {
    for (int model = 1; model <= 16; ++model) {
        for (int ch = 0; ch < 16; ++ch) {
            int expected = ch;
            if (model == 8)
                expected = ch >= 1 && ch <= 3 ? ch : 0; // model 8 names channels 1..3 only
            EXPECT_EQ(DecodeChannel(model, HostOrderArea(model, ch).data()), expected)
                << "model " << model << " ch " << ch;
        }
    }
}

// Bit p of the area: bit 7 − (p mod 8) of byte p / 8.
void SetBit(std::vector<BYTE>& a, int p) {
    a[static_cast<std::size_t>(p / 8)] |= static_cast<BYTE>(0x80 >> (p % 8));
}

TEST(OrmaLayout, ChannelDecodersByHand) {
    struct Case {
        const char* name;
        int model;
        std::vector<int> bits;
        int channel;
    } cases[] = {
        {"no sync row gives 0", 2, {129, 137}, 0},
        {"model 4: value 0001 → NOT 1110 → reversed 0111", 4, {23, 36 + 18}, 7},
        {"model 4: value 0000 → 1111", 4, {23}, 15},
        {"model 5: sync is the fifth bit, NOT of the first four", 5, {135, 27}, 7},
        {"model 8: 171 gives 1", 8, {18, 18 + 18, 18 + 36, 18 + 54, 18 + 63}, 1}, // 10101011
        {"model 8: 174 gives 0", 8, {18, 18 + 18, 18 + 36, 18 + 45, 18 + 54}, 0}, // 10101110
        {"model 9 needs the sync bit in two rows", 9, {9, 465}, 0},
        {"model 9: NOT value", 9, {9, 184 + 9, 465}, 7},
        {"model 11: least significant bit first", 11, {7, 11, 21}, 9},
        {"model 16 ignores rows before 10", 16, {184 * 2 + 5, 184 * 2 + 113}, 0},
        {"model 16 row 10", 16, {184 * 10 + 5, 184 * 10 + 125}, 1},
        {"the first sync row wins", 2, {184 + 14, 184 + 129, 184 * 3 + 14, 184 * 3 + 153}, 8},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> area(644);
        for (int p : c.bits)
            SetBit(area, p);
        EXPECT_EQ(DecodeChannel(c.model, area.data()), c.channel) << c.name;
    }
}

TEST(OrmaLayout, SegmentRecordIs28BytesInTheListOrder) {
    OrmaSegment s{0x11223344, 0x1000, 2, 0x55667788, 0x2000, 3, 0x0102, 8, 9};
    BYTE out[28];
    s.Write(out);
    EXPECT_EQ(platform::ReadLE32(out), 0x11223344u);
    EXPECT_EQ(platform::ReadLE32(out + 8), 2u);
    EXPECT_EQ(platform::ReadLE32(out + 20), 3u);
    EXPECT_EQ(platform::ReadLE16(out + 24), 0x0102);
    EXPECT_EQ(out[26], 8);
    EXPECT_EQ(out[27], 9);
    EXPECT_EQ(sizeof(OrmaSegment), 28u);
}

} // namespace
} // namespace orma
