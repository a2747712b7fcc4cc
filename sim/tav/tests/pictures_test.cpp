#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>

#include "mpeg4/mpeg4_core.h"
#include "sim_m4v/m4v_encoder.h"
#include "sim_tav/tav_recorder.h"
#include "tav/disk_source.h"
#include "tav/file_source.h"
#include "testsupport/temp.h"

namespace {

using ScratchDir = testsupport::CTempDir;

struct Decoder {
    explicit Decoder(int w, int h) : width(w), height(h), picture(std::size_t(w) * h * 4) {
        EXPECT_EQ(mpeg4::Create(w, h, &codec), mpeg4::kOk);
    }
    ~Decoder() { mpeg4::Destroy(codec); }
    int Decode(const BYTE* es, int length) {
        mpeg4::DecodeParams p;
        p.width = width;
        p.height = height;
        p.data = es;
        p.length = length;
        p.output = picture.data();
        p.format = mpeg4::kRgb32;
        p.stride = width;
        return mpeg4::DecodeFrame(codec, p);
    }
    int width, height;
    std::vector<BYTE> picture;
    mpeg4::CMp4Codec* codec = nullptr;
};

// Walks a source, decodes every video sample with one decoder per channel, and checks that each
// picture carries its channel and the time of its key frame (predicted frames repeat it).
void CheckPictures(tav::CVTSource& src, int width, int height, int channels, std::size_t* pictures) {
    for (int c = 0; c < 16; ++c)
        src.SetDisplayCounter(c, 1);
    std::map<int, std::unique_ptr<Decoder>> decoders;
    std::map<int, DWORD> keyTime;
    std::vector<BYTE> sample(tav::kMaxPacketReadBytes);
    while (src.NextEntry()) {
        tav::TavPacket p = src.CurrentPacket();
        if (p.type == tav::kTypeAudio)
            continue;
        LONG n = src.GetFrame(sample.data(), static_cast<DWORD>(sample.size()), p.channel);
        ASSERT_EQ(n, static_cast<LONG>(p.size + 553));
        auto& dec = decoders[p.channel];
        if (!dec)
            dec = std::make_unique<Decoder>(width, height);
        if (p.type == tav::kTypeKey)
            keyTime[p.channel] = p.time;
        ASSERT_TRUE(keyTime.count(p.channel)) << "a channel starts with a key frame";
        ASSERT_EQ(dec->Decode(sample.data() + 64, static_cast<int>(p.size - 32)), mpeg4::kOk);
        int channel = -1;
        std::uint32_t value = 0;
        ASSERT_TRUE(simm4v::ReadTagPacked(dec->picture.data(), width, height, width * 4,
                                          simm4v::PackedFormat::kBgrx, false, &channel, &value));
        EXPECT_EQ(channel, p.channel);
        EXPECT_EQ(value, keyTime[p.channel]);
        ++*pictures;
    }
    EXPECT_EQ(static_cast<int>(decoders.size()), channels);
}

TEST(SimTavPictures, StreamFilesAndDrivesCarryDecodableTaggedPictures) {
    ScratchDir dir;
    for (bool stream : {true, false}) {
        SCOPED_TRACE(stream ? "stream file" : "drive");
        sim_tav::RecorderOptions o;
        o.realPictures = true;
        o.channels = 3;
        o.width = 176;
        o.height = 144;
        o.recorderKind = 3;
        o.audioFormat = 6;
        std::size_t pictures = 0;
        if (stream) {
            o.streamPackets = 40;
            sim_tav::WriteTavStream(dir.File("p.arv"), o);
            tav::CFileSource src(5);
            ASSERT_EQ(src.Open(tav::kOpenStreamFile, 0, dir.File("p.arv").c_str()), 1);
            EXPECT_EQ(src.Width(), 176);
            EXPECT_EQ(src.Height(), 144);
            ASSERT_EQ(src.LoadIndex(), S_OK);
            CheckPictures(src, 176, 144, 3, &pictures);
        } else {
            // Blocks that fill up: the packet that does not fit opens the next block.
            o.gib = 1;
            o.segments = 1;
            o.width = 352;
            o.height = 240;
            o.packetsPerBlock = 600;
            o.pictureBudget = 40000;
            sim_tav::Recording rec = sim_tav::WriteTavDrive(dir.File("p.img"), o);
            ASSERT_LT(rec.packets.size(), 2u * 600u);
            // Every channel keeps its key-frame rhythm: nothing was lost at a block's end.
            std::map<int, int> frame;
            for (const auto& p : rec.packets) {
                if (p.type != 0x84) {
                    EXPECT_EQ(p.type == 0x81, frame[p.channel]++ % o.keyInterval == 0);
                }
            }
            tav::CTavDiskSource src(4);
            ASSERT_GE(src.Open(tav::kOpenDrive, 0, dir.File("p.img").c_str()), 0);
            ASSERT_EQ(src.LoadIndex(), S_OK);
            CheckPictures(src, 352, 240, 3, &pictures);
        }
        EXPECT_GE(pictures, 30u);
    }
}

TEST(SimTavPictures, SizesThePicturesCannotTakeAreRefused) {
    ScratchDir dir;
    sim_tav::RecorderOptions o;
    o.realPictures = true;
    o.width = 100;
    o.height = 96;
    EXPECT_THROW(sim_tav::WriteTavStream(dir.File("x.arv"), o), std::runtime_error);
}

} // namespace
