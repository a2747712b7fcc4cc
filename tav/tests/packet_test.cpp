#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "tav/packet.h"
#include "tav_test_util.h"

namespace {

std::vector<BYTE> Sample(const std::vector<std::uint8_t>& packet, DWORD size) {
    std::vector<BYTE> s(size + 553 + 512, 0);
    std::memcpy(s.data(), packet.data(), std::min<std::size_t>(packet.size(), s.size()));
    return s;
}

TEST(TavAudio, ImaAdpcmMatchesAnIndependentDecoderWithinOne) {
    auto block = tavtest::ReadAll(std::string(TAV_TEST_DATA) + "/ima_tone_block.bin");
    auto ref = tavtest::ReadAll(std::string(TAV_TEST_DATA) + "/ima_tone_ffmpeg_pcm.s16le");
    ASSERT_EQ(block.size(), 8u + 4096u);
    ASSERT_EQ(ref.size(), 4097u * 4u);
    // The recorder's packet: the block's channel headers at 88..95, its groups from 96.
    auto packet = sim_tav::AdpcmPacket(block.data(), 1262304000, 0);
    auto sample = Sample(packet, 4160);
    tav::TavStatusState state;
    tav::SampleFields f;
    f.size = 4160;
    f.type = 0x84;
    tav::RewriteSample(sample.data(), f, &state);
    EXPECT_EQ(platform::ReadLE32(sample.data() + 28), 4128u);
    std::vector<BYTE> pcm(40960);
    DWORD n = tav::ConvertAudio(sample.data(), 4160 + 553, 1, pcm.data(), static_cast<DWORD>(pcm.size()));
    ASSERT_EQ(n, 16384u);
    // The reference starts with the header sample, which the recorder's packets do not emit.
    int worst = 0;
    for (DWORD i = 0; i < 8192; ++i) {
        int ours = static_cast<SHORT>(platform::ReadLE16(pcm.data() + 2 * i));
        int theirs = static_cast<SHORT>(platform::ReadLE16(ref.data() + 4 + 2 * i));
        worst = std::max(worst, std::abs(ours - theirs));
    }
    EXPECT_LE(worst, 1);
    std::printf("ADPCM max difference from reference: %d\n", worst);
}

TEST(TavAudio, G711PassesThroughAndPlaceholderIsDddd) {
    std::vector<std::uint8_t> law(2048);
    for (std::size_t i = 0; i < law.size(); ++i)
        law[i] = static_cast<std::uint8_t>(i * 5);
    auto sample = Sample(sim_tav::G711Packet(law.data(), 7, 1262304000, 0), 2080);
    tav::TavStatusState state;
    tav::SampleFields f;
    f.size = 2080;
    tav::RewriteSample(sample.data(), f, &state);
    std::vector<BYTE> out(40960);
    ASSERT_EQ(tav::ConvertAudio(sample.data(), 2080 + 553, 7, out.data(), 40960), 2048u);
    EXPECT_EQ(0, std::memcmp(out.data(), law.data(), 2048));
    ASSERT_EQ(tav::ConvertAudio(sample.data(), 4, 1, out.data(), 40960), 4u);
    EXPECT_EQ(0, std::memcmp(out.data(), "dddd", 4));
    // A damaged length never reads or writes past the buffers.
    platform::WriteLE32(sample.data() + 28, 0xFFFFFF00u);
    EXPECT_LE(tav::ConvertAudio(sample.data(), 2080 + 553, 6, out.data(), 40960), 2080u + 553u);
    EXPECT_LE(tav::ConvertAudio(sample.data(), 2080 + 553, 1, out.data(), 100), 100u);
}

TEST(TavSample, TimeStampScaling) {
    BYTE p[64] = {};
    struct Case {
        std::uint64_t ts;
        DWORD seconds, micro;
    } cases[] = {{2500000, 27, 0}, {2500001, 27, 10}, {92592, 0, 999993}, {0, 0, 0}, {250000000, 2700, 0}};
    for (const Case& c : cases) {
        sim_tav::WritePts(p, c.ts);
        DWORD ts = tav::PacketTimestamp(p);
        EXPECT_EQ(ts, static_cast<DWORD>(c.ts));
        DWORD s = 0, us = 0;
        tav::TimestampToTime(ts, &s, &us);
        EXPECT_EQ(s, c.seconds) << c.ts;
        EXPECT_EQ(us, c.micro) << c.ts;
    }
    // The 33rd bit is dropped.
    sim_tav::WritePts(p, (1ull << 32) + 5);
    EXPECT_EQ(tav::PacketTimestamp(p), 5u);
}

TEST(TavSample, VideoObjectLayerSizes) {
    struct Case {
        int aspect;
        bool vcp;
    } cases[] = {{1, false}, {15, false}, {15, true}, {2, true}};
    for (const Case& c : cases) {
        auto vol = sim_tav::VideoObjectLayerHeader(720, 576, true, c.aspect, c.vcp);
        vol.resize(64, 0);
        WORD w = 0, h = 0;
        EXPECT_EQ(tav::ParseVideoObjectLayer(vol.data(), vol.size(), &w, &h), 0) << c.aspect;
        EXPECT_EQ(w, 720);
        EXPECT_EQ(h, 576);
    }
    auto vol = sim_tav::VideoObjectLayerHeader(352, 240, false, 1, false);
    vol.resize(64, 0);
    WORD w = 7, h = 9;
    std::vector<BYTE> bad = vol;
    bad[3] = 0xB0; // a visual object sequence start code first
    EXPECT_EQ(tav::ParseVideoObjectLayer(bad.data(), 64, &w, &h), -4);
    bad = vol;
    bad[7] = 0x30;
    EXPECT_EQ(tav::ParseVideoObjectLayer(bad.data(), 64, &w, &h), -1);
    // Shape: bits 22..23 behind the VOL start code.
    bad = vol;
    bad[8 + 2] |= 0x03;
    EXPECT_EQ(tav::ParseVideoObjectLayer(bad.data(), 64, &w, &h), -5);
    bad = vol;
    bad[8 + 5] |= 0x20; // fixed_vop_rate: bit 42
    EXPECT_EQ(tav::ParseVideoObjectLayer(bad.data(), 64, &w, &h), -2);
    EXPECT_EQ(w, 7);
    EXPECT_EQ(h, 9);
}

TEST(TavSample, ChannelTitleTableAndStatusBlocksByKind) {
    std::vector<BYTE> s(2000 + 553, 0);
    const DWORD size = 1000;
    auto frame = [&](BYTE channel, const char* title, BYTE fill) {
        std::fill(s.begin(), s.end(), 0);
        s[18] = channel;
        std::memcpy(s.data() + 20, title, std::strlen(title));
        for (DWORD i = 0; i < 295; ++i)
            s[size + 41 + i] = static_cast<BYTE>(fill + i);
    };
    tav::TavStatusState st;
    tav::SampleFields f;
    f.size = size;
    f.kind = 2;
    frame(2, "GATE", 1);
    tav::RewriteSample(s.data(), f, &st);
    EXPECT_EQ(platform::ReadLE32(s.data()), tav::kTagKlto);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(st.block.data() + 58 + 24)), "GATE");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.data() + 32)), "GATE");
    EXPECT_EQ(st.block[0], 1);
    // The table goes back into the sample behind the live bytes.
    EXPECT_EQ(0, std::memcmp(s.data() + size + 41 + 58, st.block.data() + 58, 80));
    auto table = st.block;
    frame(9, "YARD", 50);
    tav::RewriteSample(s.data(), f, &st);
    EXPECT_EQ(0, std::memcmp(table.data() + 58, st.block.data() + 58, 80 + 157));
    EXPECT_EQ(st.block[0], 50);
    frame(7, "DOCK", 3);
    tav::RewriteSample(s.data(), f, &st);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(st.block.data() + 186)), "DOCK");
    // Kind 8: 20 live bytes into block 34..53, then the block's first 144 bytes into the sample.
    f.kind = 8;
    frame(0, "A", 100);
    tav::RewriteSample(s.data(), f, &st);
    EXPECT_EQ(platform::ReadLE32(s.data()), tav::kTagFabl);
    EXPECT_EQ(st.block[34], 100);
    EXPECT_EQ(0, std::memcmp(s.data() + size + 41, st.block.data(), 144));
    // Kind 1 keeps its 32-byte record.
    f.kind = 1;
    frame(0, "", 9);
    tav::RewriteSample(s.data(), f, &st);
    EXPECT_EQ(st.kind1[0], 9);
    EXPECT_EQ(platform::ReadLE32(s.data()), tav::kTagWeng);
}

class TavFrames : public ::testing::Test {
protected:
    tavtest::ScratchDir dir;
    tavtest::BoxRecorder boxes;
};

TEST_F(TavFrames, RecorderKindsAreRecognised) {
    for (int kind : {0, 1, 2, 3, 4, 8, 32}) {
        sim_tav::RecorderOptions o;
        o.recorderKind = kind;
        o.segments = 1;
        o.audioFormat = 6;
        std::string path = dir.File("kind.img");
        sim_tav::WriteTavDrive(path, o);
        tav::CTavDiskSource src(4);
        EXPECT_EQ(src.Open(tav::kOpenDrive, 0, path.c_str()), 1);
        EXPECT_EQ(src.RecorderKind(), kind);
        EXPECT_EQ(src.AudioFormat(), 6);
    }
}

TEST_F(TavFrames, PacketsPastTheDataAreaContinueInTheNextBlock) {
    sim_tav::RecorderOptions o;
    o.crossBlockEnd = true;
    o.blocksPerSegment = 3;
    o.segments = 1;
    o.packetsPerBlock = 10;
    std::string path = dir.File("cross.img");
    auto rec = sim_tav::WriteTavDrive(path, o);
    auto src = tavtest::OpenDrive(path);
    int crossings = 0;
    src->GoToStart();
    for (int c = 0; c < 16; ++c)
        src->SetDisplayCounter(c, 1);
    std::vector<BYTE> sample(tav::kMaxPacketReadBytes);
    int fd = ::open(path.c_str(), O_RDONLY);
    while (src->NextEntry()) {
        auto p = src->CurrentPacket();
        LONG n = src->GetFrame(sample.data(), static_cast<DWORD>(sample.size()), p.channel);
        ASSERT_EQ(n, static_cast<LONG>(p.size + 553));
        if (!p.wraps)
            continue;
        ++crossings;
        // Payload bytes as stored: up to the data-area end in this block, then from the next block.
        DWORD dataBytes = p.dataSectors * 512;
        std::vector<BYTE> stored(p.size + 32);
        DWORD inBlock = std::min<DWORD>(dataBytes - p.offset, static_cast<DWORD>(stored.size()));
        ASSERT_EQ(::pread(fd, stored.data(), inBlock, off_t(p.blockSector) * 512 + p.offset),
                  ssize_t(inBlock));
        ASSERT_EQ(
            ::pread(fd, stored.data() + inBlock, stored.size() - inBlock, off_t(p.blockSector + 2048) * 512),
            ssize_t(stored.size() - inBlock));
        EXPECT_EQ(0, std::memcmp(sample.data() + 64, stored.data() + 64, p.size - 32)) << p.block;
        EXPECT_EQ(platform::ReadLE32(sample.data() + 28), p.size - 32);
    }
    ::close(fd);
    EXPECT_EQ(crossings, 2);
}

TEST_F(TavFrames, SampleHeaderAndPlaceholder) {
    sim_tav::RecorderOptions o;
    o.segments = 1;
    o.recorderKind = 3;
    std::string path = dir.File("frames.img");
    auto rec = sim_tav::WriteTavDrive(path, o);
    auto src = tavtest::OpenDrive(path);
    src->GoToStart();
    ASSERT_TRUE(src->NextEntry());
    auto p = src->CurrentPacket();
    ASSERT_EQ(p.type, 0x81);
    std::vector<BYTE> sample(tav::kMaxPacketReadBytes);
    // Nothing has asked for this channel yet: a placeholder.
    EXPECT_EQ(src->GetFrame(sample.data(), static_cast<DWORD>(sample.size()), p.channel), 4);
    EXPECT_EQ(platform::ReadLE32(sample.data()), 0x12345678u);
    EXPECT_EQ(sample[17], 0x12);
    EXPECT_EQ(sample[18], p.channel);
    EXPECT_EQ(sample[19], 0x82);
    src->SetDisplayCounter(p.channel, 2);
    src->SetDisplayOption(5);
    ASSERT_EQ(src->GetFrame(sample.data(), static_cast<DWORD>(sample.size()), p.channel), LONG(p.size + 553));
    EXPECT_EQ(platform::ReadLE32(sample.data()), tav::kTagKlto);
    EXPECT_EQ(platform::ReadLE32(sample.data() + 8), p.size - 32);
    EXPECT_EQ(sample[16], 5);
    EXPECT_EQ(sample[17], 0x12);
    EXPECT_EQ(sample[19], 0x81);
    DWORD seconds = 0, micro = 0;
    tav::TimestampToTime(rec.packets[0].timestamp, &seconds, &micro);
    EXPECT_EQ(platform::ReadLE32(sample.data() + 20), seconds);
    EXPECT_EQ(platform::ReadLE32(sample.data() + 24), micro);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sample.data() + 32)), "CAM01");
    // A sample buffer too small for the packet gets nothing rather than an overrun.
    EXPECT_EQ(src->GetFrame(sample.data(), p.size, p.channel), 0);
    // Switched off: a placeholder again.
    src->SetChannelMask(0xFFFE);
    EXPECT_EQ(src->GetFrame(sample.data(), static_cast<DWORD>(sample.size()), 0), 4);
}

} // namespace
