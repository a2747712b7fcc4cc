// The direct AVI writer on packets laid out as the TAV source exports them: what it skips, the empty
// chunks that keep the timeline in step, the index in chunk order across spills, and a failed run
// leaving nothing behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>

#include "platform/bytes.h"
#include "reader/direct_avi.h"
#include "tav/layout.h"
#include "testsupport/files.h"
#include "testsupport/temp.h"

namespace {

using reader::CDirectAviWriter;

struct Packet {
    BYTE type;
    double time; // seconds
    DWORD bytes = 300;
};

// A recorder packet: record header, stream header 00 00 01 E0 (C0 audio), elementary stream with
// trailing zeros that the writer trims.
void Fill(std::vector<BYTE>& b, const Packet& p) {
    std::fill(b.begin(), b.end(), 0);
    platform::WriteLE32(b.data(), 0x311F42C1);
    b[19] = p.type;
    const auto micros = static_cast<std::uint64_t>(p.time * 1000000.0 + 0.5);
    platform::WriteLE32(b.data() + 20, static_cast<DWORD>(micros / 1000000));
    platform::WriteLE32(b.data() + 24, static_cast<DWORD>(micros % 1000000));
    platform::WriteLE32(b.data() + 28, 32 + p.bytes + 7);
    b[34] = 1;
    b[35] = p.type == 0x84 ? 0xC0 : 0xE0;
    for (DWORD i = 0; i < p.bytes; ++i)
        b[64 + i] = static_cast<BYTE>(1 + i % 200);
}

std::vector<BYTE> Slurp(const std::string& path) {
    return testsupport::ReadFileBytes(path);
}

struct Parsed {
    std::size_t movi = 0; // offset of the "movi" fourcc
    struct Entry {
        std::string id;
        DWORD flags, offset, size;
    };
    std::vector<Entry> index;
};

Parsed Parse(const std::vector<BYTE>& f) {
    Parsed out;
    auto at = [&](std::size_t i) { return std::string(reinterpret_cast<const char*>(&f[i]), 4); };
    EXPECT_EQ(at(0), "RIFF");
    EXPECT_EQ(platform::ReadLE32(&f[4]), f.size() - 8);
    for (std::size_t i = 12; i + 8 <= f.size();) {
        const std::string id = at(i);
        const DWORD size = platform::ReadLE32(&f[i + 4]);
        if (id == "LIST" && at(i + 8) == "movi") {
            out.movi = i + 8;
        } else if (id == "idx1") {
            for (std::size_t e = i + 8; e + 16 <= i + 8 + size; e += 16)
                out.index.push_back({at(e), platform::ReadLE32(&f[e + 4]), platform::ReadLE32(&f[e + 8]),
                                     platform::ReadLE32(&f[e + 12])});
        }
        i += 8 + size + (size % 2);
    }
    return out;
}

class DirectAvi : public ::testing::Test {
protected:
    std::string Path(const char* name) { return testsupport::TempPath(name, ".avi"); }
    std::string Write(const char* name, const std::vector<Packet>& packets, bool audio) {
        std::string path = Path(name);
        std::size_t i = 0;
        const auto format = reader::DirectAviFormatFor(8, audio ? 1 : 0, 352, 240, 15);
        std::string error = reader::WriteDirectAvi(path, format,
                                                   [&](BYTE* b, DWORD capacity) {
                                                       if (i == packets.size())
                                                           return false;
                                                       std::vector<BYTE> v(capacity);
                                                       Fill(v, packets[i++]);
                                                       std::copy(v.begin(), v.end(), b);
                                                       return true;
                                                   },
                                                   {});
        EXPECT_EQ(error, "");
        return path;
    }
};

TEST_F(DirectAvi, StartsAtAKeyFrameAndFillsAGapOfThreeSecondsAtMost) {
    std::vector<Packet> packets = {{0x82, 0.0}, {0x84, 0.0, 4096}, {0x81, 0.1}, {0x84, 0.1, 4096}};
    for (int k = 1; k <= 10; ++k)
        packets.push_back({0x82, 0.1 + k / 15.0});
    packets.push_back({0x81, 0.1 + 10 / 15.0 + 5.0}); // a 5 s gap
    packets.push_back({0x82, 0.1 + 11 / 15.0 + 5.0});
    const std::string path = Write("gap", packets, true);
    const auto file = Slurp(path);
    const Parsed p = Parse(file);
    ASSERT_GT(p.movi, 0u);
    ASSERT_FALSE(p.index.empty());
    // The first chunk is the key frame: the predicted frame and the audio before it are gone.
    EXPECT_EQ(p.index[0].id, "00dc");
    EXPECT_EQ(p.index[0].flags, 0x10u);
    EXPECT_EQ(p.index[0].size, 300u); // trailing zeros trimmed
    std::map<std::string, int> chunks;
    int empty = 0;
    for (const auto& e : p.index) {
        ++chunks[e.id];
        empty += e.id == "00dc" && e.size == 0;
        // Every entry points at its chunk, counted from the "movi" fourcc.
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(&file[p.movi + e.offset]), 4), e.id);
        ASSERT_EQ(platform::ReadLE32(&file[p.movi + e.offset + 4]), e.size);
    }
    EXPECT_EQ(chunks["01wb"], 1);
    // 5 s of missing pictures at 66 ms a picture: the timeline catches up 3 s of it (and a picture or
    // two that the whole-millisecond frame period loses).
    EXPECT_GE(empty, 3000 / 66 - 1);
    EXPECT_LE(empty, 3000 / 66 + 3);
    EXPECT_EQ(chunks["00dc"], 13 + empty);
    // The header counts what the movie list holds.
    EXPECT_EQ(platform::ReadLE32(&file[48]), static_cast<DWORD>(13 + empty));
    std::remove(path.c_str());
}

TEST_F(DirectAvi, IndexSpilledPastThreeHundredEntriesKeepsChunkOrder) {
    std::vector<Packet> packets;
    for (int k = 0; k < 700; ++k)
        packets.push_back(
            {static_cast<BYTE>(k % 15 == 0 ? 0x81 : 0x82), k / 15.0, static_cast<DWORD>(2000 + k)});
    const std::string path = Write("spill", packets, false);
    const Parsed p = Parse(Slurp(path));
    // The pictures in order, among the few empty chunks the whole-millisecond frame period adds.
    DWORD next = 2000;
    for (std::size_t i = 0; i < p.index.size(); ++i) {
        if (i > 0) {
            ASSERT_GT(p.index[i].offset, p.index[i - 1].offset) << i;
        }
        if (p.index[i].size) {
            ASSERT_EQ(p.index[i].size, next++) << i;
        }
    }
    EXPECT_EQ(next, 2700u);
    EXPECT_LT(p.index.size(), 720u);
    EXPECT_FALSE(std::ifstream(path + ".tmp").good()); // the spill file is gone
    std::remove(path.c_str());
}

TEST_F(DirectAvi, LargestPacketFitsAndAFailedRunLeavesNothing) {
    // A packet of the largest valid size, whole.
    const DWORD largest = tav::kMaxPacketSize - 1 - 32 - 7;
    const std::string path = Write("large", {{0x81, 0.0, largest}, {0x82, 0.07}}, false);
    const Parsed p = Parse(Slurp(path));
    ASSERT_GE(p.index.size(), 2u);
    EXPECT_EQ(p.index[0].size, largest);
    EXPECT_EQ(p.index.back().size, 300u);
    std::remove(path.c_str());

    const std::string nowhere = "/nonexistent-folder/x.avi";
    const auto format = reader::DirectAviFormatFor(8, 0, 352, 240, 15);
    EXPECT_NE(reader::WriteDirectAvi(nowhere, format, [](BYTE*, DWORD) { return false; }, {}), "");
    // A write failure part-way deletes the output.
    CDirectAviWriter w;
    const std::string partial = Path("partial");
    ASSERT_TRUE(w.Open(partial, partial + ".tmp", format));
    w.Abandon();
    EXPECT_FALSE(std::ifstream(partial).good());
    EXPECT_FALSE(std::ifstream(partial + ".tmp").good());
}

} // namespace
