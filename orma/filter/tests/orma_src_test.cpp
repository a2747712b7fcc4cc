// The ORMA source filter through its class id and IOrmaSrc: registration, pins and media types, the
// interface table with its results and debugger lines, the open modes, and formatting.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "media/filter.h"
#include "media/types.h"
#include "orma_filter_test_util.h"
#include "orma_src.h"

namespace {

using namespace ormasrc::test;

std::string Line(const char* method) {
    return std::string("COrmaSrc::") + method + "()\n";
}

// What a pin proposes (its only type).
CMediaType PinType(IBaseFilter* filter, int index) {
    auto* src = static_cast<COrmaSrc*>(static_cast<CSource*>(static_cast<CBaseFilter*>(filter)));
    CMediaType mt;
    EXPECT_EQ(src->GetPin(index)->GetMediaType(0, &mt), S_OK);
    return mt;
}

TEST(OrmaSrcRegistration, ClassIsRegisteredWithItsNameMeritAndPins) {
    Filter f;
    ASSERT_EQ(f.created, S_OK);
    auto entry = platform::LookupClass(CLSID_OrmaSrc);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, "Veltrix GLM500 Filter");
    EXPECT_EQ(entry->merit, 0x00200000u);
    auto pins = media::ParsePinStrings(entry->pins);
    ASSERT_EQ(pins.size(), 2u);
    EXPECT_EQ(pins[0].name, "Video Output");
    EXPECT_EQ(pins[1].name, "Audio Output");
    for (const auto& p : pins) {
        EXPECT_TRUE(p.output);
        EXPECT_FALSE(p.rendered);
        EXPECT_FALSE(p.many);
        ASSERT_EQ(p.types.size(), 1u);
    }
    EXPECT_EQ(pins[0].types[0], std::make_pair(MEDIATYPE_Video, MEDIASUBTYPE_MJPG));
    EXPECT_EQ(pins[1].types[0], std::make_pair(MEDIATYPE_Audio, MEDIASUBTYPE_PCM));

    // The interface is answered as IOrmaSrc; its IUnknown is the filter's.
    ComPtr<IUnknown> a, b;
    ASSERT_EQ(f.src->QueryInterface(IID_IUnknown, a.ReleaseAndGetVoidAddress()), S_OK);
    ASSERT_EQ(f.base->QueryInterface(IID_IUnknown, b.ReleaseAndGetVoidAddress()), S_OK);
    EXPECT_EQ(a.Get(), b.Get());
}

TEST(OrmaSrcPins, AudioPinFirstThenSixteenVideoPinsWithTheirTypes) {
    Filter f;
    ASSERT_EQ(f.created, S_OK);
    auto* src = static_cast<COrmaSrc*>(static_cast<CSource*>(static_cast<CBaseFilter*>(f.base.Get())));
    ASSERT_EQ(src->GetPinCount(), 17);
    EXPECT_EQ(src->GetPin(0)->Name(), "Audio Out");
    for (int ch = 0; ch < 16; ++ch) {
        char name[24];
        std::snprintf(name, sizeof name, "Video%02d", ch);
        EXPECT_EQ(src->GetPin(ch + 1)->Name(), name);
        CMediaType mt = PinType(f.base.Get(), ch + 1);
        EXPECT_EQ(mt.majortype, MEDIATYPE_Video);
        EXPECT_EQ(mt.subtype, MEDIASUBTYPE_MJPG);
        EXPECT_EQ(mt.formattype, FORMAT_VideoInfo);
        EXPECT_FALSE(mt.bFixedSizeSamples);
        EXPECT_FALSE(mt.bTemporalCompression);
        ASSERT_EQ(mt.cbFormat, 1128u);
        VIDEOINFOHEADER vih;
        ASSERT_TRUE(GetVideoInfo(mt, &vih));
        EXPECT_EQ(vih.dwBitRate, static_cast<DWORD>(ch)); // the channel rides in the bit rate
        EXPECT_EQ(vih.AvgTimePerFrame, 0);
        EXPECT_EQ(vih.rcSource.right, 0);
        EXPECT_EQ(vih.bmiHeader.biSize, 40u);
        EXPECT_EQ(vih.bmiHeader.biWidth, 720);
        EXPECT_EQ(vih.bmiHeader.biHeight, 288);
        EXPECT_EQ(vih.bmiHeader.biPlanes, 1);
        EXPECT_EQ(vih.bmiHeader.biBitCount, 24);
        EXPECT_EQ(vih.bmiHeader.biCompression, MAKEFOURCC('M', 'J', 'P', 'G'));
        EXPECT_EQ(vih.bmiHeader.biSizeImage, 1036800u);
        for (ULONG i = VIDEOINFOHEADER::kSize; i < mt.cbFormat; ++i)
            ASSERT_EQ(mt.pbFormat[i], 0) << i;
    }
    CMediaType audio = PinType(f.base.Get(), 0);
    EXPECT_EQ(audio.majortype, MEDIATYPE_Audio);
    EXPECT_EQ(audio.subtype, MEDIASUBTYPE_PCM);
    EXPECT_EQ(audio.formattype, FORMAT_WaveFormatEx);
    ASSERT_EQ(audio.cbFormat, 18u);
    WAVEFORMATEX wfx;
    ASSERT_TRUE(GetWaveFormat(audio, &wfx));
    EXPECT_EQ(wfx.wFormatTag, 1);
    EXPECT_EQ(wfx.nChannels, 2);
    EXPECT_EQ(wfx.nSamplesPerSec, 8820u);
    EXPECT_EQ(wfx.nAvgBytesPerSec, 17640u);
    EXPECT_EQ(wfx.nBlockAlign, 2);
    EXPECT_EQ(wfx.wBitsPerSample, 8);
    EXPECT_EQ(wfx.cbSize, 0);
}

// Every method that needs a drive answers E_FAIL without one; the others work; each writes its
// debugger line or none as the table says.
TEST(OrmaSrcInterface, WithoutADriveAndTheirDebuggerLines) {
    Filter f;
    ASSERT_EQ(f.created, S_OK);
    IOrmaSrc* s = f.src.Get();
    Capture cap;
    UINT count = 0, permille = 0;
    int i1 = 0, i2 = 0, segment = 0;
    BYTE year = 0;
    DWORD time = 0;
    WORD info[112];

    struct Row {
        const char* name;
        bool line;
        HRESULT expected;
        std::function<HRESULT()> call;
    };
    const Row rows[] = {
        {"ArchiveDataFile", true, S_OK, [&] { return s->ArchiveDataFile(nullptr, 1); }},
        {"ArchiveOrmaFile", true, E_FAIL, [&] { return s->ArchiveOrmaFile(nullptr, 0, 0, 0, 0, &i1); }},
        {"GetAlarmList", true, E_FAIL, [&] { return s->GetAlarmList(nullptr, &count); }},
        {"GetCurrentFrame", true, E_FAIL, [&] { return s->GetCurrentFrame(0, nullptr, &count); }},
        {"GetCurrentSegment", true, S_OK, [&] { return s->GetCurrentSegment(&segment); }},
        {"GetDiskInfo", true, S_OK, [&] { return s->GetDiskInfo(&i1, &i2); }},
        {"GetPointerPosition", false, E_FAIL, [&] { return s->GetPointerPosition(&i1, &year, &time); }},
        {"GetSegmentList", true, E_FAIL, [&] { return s->GetSegmentList(nullptr, &count); }},
        {"GetScanProgress", false, S_OK, [&] { return s->GetScanProgress(&permille, 0); }},
        {"OpenDisk", true, E_INVALIDARG, [&] { return s->OpenDisk(-1, "x"); }},
        {"SetDvrModel", true, S_OK, [&] { return s->SetDvrModel(101); }},
        {"SetPlaybackSpeed", true, E_FAIL, [&] { return s->SetPlaybackSpeed(1000); }},
        {"SetPointerPosition", true, E_FAIL, [&] { return s->SetPointerPosition(500); }},
        {"SetPointerSegment", false, E_FAIL, [&] { return s->SetPointerSegment(0, 0); }},
        {"SetPointerTime", true, E_FAIL, [&] { return s->SetPointerTime(9, 0); }},
        {"SetVideo", true, S_OK, [&] { return s->SetVideo(1); }},
        {"SetVideoTimestamp", true, S_OK, [&] { return s->SetVideoTimestamp(0); }},
        {"GetFrameInfo", false, S_OK, [&] { return s->GetFrameInfo(info, 112); }},
        {"FormatDisk", false, E_FAIL, [&] { return s->FormatDisk(); }},
    };
    for (const Row& r : rows) {
        cap.Clear();
        EXPECT_EQ(r.call(), r.expected) << r.name;
        EXPECT_EQ(cap.Count(Line(r.name)), r.line ? 1 : 0) << r.name;
    }
    EXPECT_EQ(segment, -1); // no segment is current
    EXPECT_EQ(permille, 0u);
    // The export without a drive says so in a box.
    cap.Clear();
    EXPECT_EQ(s->ArchiveOrmaFile(nullptr, 0, 0, 0, 0, nullptr), E_FAIL);
    EXPECT_EQ(cap.Boxes(), std::vector<std::string>{"Error: ArchiveOrmaFile(): Device not opened yet!"});
    EXPECT_EQ(s->OpenDisk(0, nullptr), E_INVALIDARG);
}

class OrmaSrcOpen : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_image = std::make_unique<Recording>("open.img", FourChannelImage());
        ASSERT_EQ(s_image->result.error, "");
    }
    static void TearDownTestSuite() { s_image.reset(); }
    static std::unique_ptr<Recording> s_image;
};
std::unique_ptr<Recording> OrmaSrcOpen::s_image;

TEST_F(OrmaSrcOpen, ListsWithNullAndShortBuffers) {
    const auto before = Checksum(s_image->path);
    {
        Filter f;
        IOrmaSrc* s = f.src.Get();
        ASSERT_EQ(s->OpenDisk(0, s_image->path.c_str()), S_OK);

        UINT count = 0;
        EXPECT_EQ(s->GetSegmentList(nullptr, nullptr), E_POINTER);
        EXPECT_EQ(s->GetSegmentList(nullptr, &count), E_OUTOFMEMORY);
        ASSERT_EQ(count, 2u);
        count = 1;
        EXPECT_EQ(s->GetSegmentList(nullptr, &count), E_OUTOFMEMORY);
        EXPECT_EQ(count, 2u);
        std::vector<BYTE> seg(count * kOrmaSegmentRecordBytes);
        EXPECT_EQ(s->GetSegmentList(seg.data(), &count), S_OK);
        EXPECT_EQ(platform::ReadLE16(seg.data() + 24), 7);
        EXPECT_EQ(platform::ReadLE16(seg.data() + 28 + 24), 8);
        EXPECT_EQ(seg[26], 9); // 2009

        UINT alarms = 0;
        EXPECT_EQ(s->GetAlarmList(nullptr, nullptr), E_POINTER);
        EXPECT_EQ(s->GetAlarmList(nullptr, &alarms), E_OUTOFMEMORY);
        EXPECT_EQ(alarms, 2u); // one entry in each cluster of the first segment
        std::vector<BYTE> rec(alarms * kOrmaAlarmRecordBytes);
        EXPECT_EQ(s->GetAlarmList(rec.data(), &alarms), S_OK);
        UINT plenty = 100;
        EXPECT_EQ(s->GetAlarmList(nullptr, &plenty), S_OK);
        EXPECT_EQ(plenty, 2u);

        int capacity = 0, used = 0;
        EXPECT_EQ(s->GetDiskInfo(&capacity, nullptr), S_OK);
        EXPECT_EQ(s->GetDiskInfo(nullptr, &used), S_OK);
        EXPECT_EQ(used, static_cast<int>(3ull * 65536 / 1953));
        EXPECT_GT(capacity, 0);
        int segment = -1;
        EXPECT_EQ(s->GetCurrentSegment(&segment), S_OK);
        EXPECT_EQ(segment, 0);
        UINT permille = 0;
        EXPECT_EQ(s->GetScanProgress(&permille, 0), S_OK);
        EXPECT_EQ(permille, 666u); // the last cluster read: 2 of 3

        // Nothing has been delivered yet: the slots hold no picture.
        UINT length = 0;
        EXPECT_EQ(s->GetCurrentFrame(0, nullptr, nullptr), E_POINTER);
        EXPECT_EQ(s->GetCurrentFrame(16, nullptr, &length), E_INVALIDARG);
        EXPECT_EQ(s->GetCurrentFrame(0, nullptr, &length), S_OK);
        EXPECT_EQ(length, 0u);
    }
    EXPECT_EQ(Checksum(s_image->path), before);
}

// While pictures of two lengths are published in turn, every S_OK answer is one whole picture with its
// own length, and a buffer sized for the shorter one is told the longer one's length.
TEST_F(OrmaSrcOpen, CurrentFrameIsNeverCutByAPictureArrivingBetweenLengthAndCopy) {
    Filter f;
    ASSERT_EQ(f.src->OpenDisk(0, s_image->path.c_str()), S_OK);
    COrmaSrcSlots& slots = static_cast<COrmaSrc*>(f.src.Get())->Slots();
    std::atomic<bool> done{false};
    std::thread publisher([&] {
        for (int i = 0; !done; ++i) {
            orma::COrmaSlot& slot = slots.Slot(3);
            const bool longer = i % 2 != 0;
            slot.length = longer ? 3000 : 1000;
            std::memset(slot.picture, longer ? 0xBB : 0xAA, static_cast<std::size_t>(slot.length));
            slot.stamp = static_cast<DWORD>(i + 1);
            slots.SetFrameReady(3);
        }
    });
    struct Joiner {
        std::atomic<bool>& done;
        std::thread& thread;
        ~Joiner() {
            done = true;
            thread.join();
        }
    } joiner{done, publisher};
    std::vector<BYTE> buffer(3000);
    int whole = 0, tooSmall = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int i = 0; whole < 500 && std::chrono::steady_clock::now() < until; ++i) {
        UINT length = 0;
        if (f.src->GetCurrentFrame(3, nullptr, &length) != E_OUTOFMEMORY || length == 0)
            continue;
        std::fill(buffer.begin(), buffer.end(), 0);
        HRESULT hr = f.src->GetCurrentFrame(3, buffer.data(), &length);
        if (hr == E_OUTOFMEMORY) {
            EXPECT_EQ(length, 3000u);
            ++tooSmall;
            continue;
        }
        ASSERT_EQ(hr, S_OK);
        ASSERT_TRUE(length == 1000u || length == 3000u) << length;
        const BYTE want = length == 1000u ? 0xAA : 0xBB;
        ASSERT_EQ(std::count(buffer.begin(), buffer.begin() + length, want),
                  static_cast<std::ptrdiff_t>(length))
            << i;
        ++whole;
    }
    EXPECT_GT(whole, 0);
}

TEST_F(OrmaSrcOpen, SpeedSettingsAndTheAudioRate) {
    Filter f;
    IOrmaSrc* s = f.src.Get();
    ASSERT_EQ(s->OpenDisk(0, s_image->path.c_str()), S_OK);
    auto* src = static_cast<COrmaSrc*>(s);
    auto rate = [&] {
        WAVEFORMATEX wfx;
        EXPECT_TRUE(GetWaveFormat(PinType(f.base.Get(), 0), &wfx));
        return std::make_pair(wfx.nSamplesPerSec, wfx.nAvgBytesPerSec);
    };
    EXPECT_EQ(s->SetPlaybackSpeed(-2000), S_OK);
    EXPECT_EQ(src->Direction(), -1);
    EXPECT_EQ(src->FrameSkip(), 1);
    EXPECT_EQ(src->SpeedFactor(), 1.0);
    EXPECT_EQ(rate(), std::make_pair(8820u, 17640u));
    EXPECT_EQ(s->SetPlaybackSpeed(300), S_OK);
    EXPECT_EQ(src->Direction(), 1);
    EXPECT_EQ(src->SpeedFactor(), 3.0);
    EXPECT_EQ(src->FrameSkip(), 1); // unchanged below normal speed
    EXPECT_EQ(rate(), std::make_pair(2940u, 5880u));
    EXPECT_EQ(s->SetPlaybackSpeed(700), S_OK); // 1000 / 700 = 1
    EXPECT_EQ(rate(), std::make_pair(8820u, 17640u));
    EXPECT_EQ(s->SetPlaybackSpeed(0), E_INVALIDARG);

    EXPECT_EQ(s->SetDvrModel(103), E_INVALIDARG);
    EXPECT_EQ(s->SetDvrModel(0), S_OK);
    EXPECT_EQ(s->SetDvrModel(102), S_OK);

    EXPECT_EQ(s->SetVideo(1), S_OK);
    EXPECT_EQ(src->FrameDuration(), 200000);
    EXPECT_EQ(s->SetVideo(2), S_OK);
    EXPECT_EQ(src->FrameDuration(), 200000);
    EXPECT_EQ(src->AudioChunk(), 352u);
    EXPECT_EQ(s->SetVideo(0), S_OK);
    EXPECT_EQ(s->SetVideo(-1), S_OK);
    EXPECT_EQ(src->FrameDuration(), 166666);
    EXPECT_EQ(src->AudioChunk(), 294u);

    WORD info[112];
    EXPECT_EQ(s->GetFrameInfo(info, 111), E_INVALIDARG);
    EXPECT_EQ(s->GetFrameInfo(info, 112), S_OK);
}

TEST_F(OrmaSrcOpen, PositioningThroughTheInterface) {
    Filter f;
    IOrmaSrc* s = f.src.Get();
    ASSERT_EQ(s->OpenDisk(0, s_image->path.c_str()), S_OK);
    int permille = -1, segment = -1;
    BYTE year = 0;
    DWORD time = 0;
    EXPECT_EQ(s->SetPointerSegment(1, 0), S_OK);
    EXPECT_EQ(s->GetCurrentSegment(&segment), S_OK);
    EXPECT_EQ(segment, 1);
    EXPECT_EQ(s->SetPointerSegment(static_cast<UINT>(-1), 1), S_OK); // the end of the current one
    EXPECT_EQ(s->GetCurrentSegment(&segment), S_OK);
    EXPECT_EQ(segment, 1);
    EXPECT_EQ(s->SetPointerPosition(1001), E_INVALIDARG);
    EXPECT_EQ(s->SetPointerSegment(0, 0), S_OK);
    EXPECT_EQ(s->SetPointerPosition(500), S_OK);
    EXPECT_EQ(s->GetPointerPosition(&permille, &year, &time), E_PENDING); // no frame read since the move
    EXPECT_NEAR(permille, 500, 20);                                       // whole blocks of the segment
    const auto t = simorma::StampAt(simorma::SecondsOf(2009, 3, 1, 9, 2, 0));
    EXPECT_EQ(s->SetPointerTime(t.year, t.packed), S_OK);
    EXPECT_EQ(s->GetCurrentSegment(&segment), S_OK);
    EXPECT_EQ(segment, 1);
}

// The three ways to a drive: the image (drive 0), a physical drive in file mode (Windows major 4) and
// in driver mode (5 and 6) through the raw-disk driver; other versions open nothing.
TEST(OrmaSrcOpenModes, ImageFileAndDriverMode) {
    simorma::Options o = FourChannelImage();
    o.image = false;
    o.firstCluster = 1;
    Recording drive("drive.bin", o);
    ASSERT_EQ(drive.result.error, "");
    Recording image("image.img", FourChannelImage());
    const auto driveSum = Checksum(drive.path), imageSum = Checksum(image.path);
    ::setenv("SCRYDE_DRIVES", ("1=" + drive.path).c_str(), 1);

    struct Case {
        const char* winver;
        int drive;
        std::string path;
        HRESULT expected;
    } cases[] = {
        {"5.1", 0, image.path, S_OK},
        {"4.0", 1, "\\\\.\\PHYSICALDRIVE1", S_OK},
        {"4.0", 1, drive.path, S_OK},
        {"5.1", 1, "\\\\.\\PHYSICALDRIVE1", S_OK},
        {"6.0", 1, "ignored in driver mode", S_OK},
        {"7.0", 1, "\\\\.\\PHYSICALDRIVE1", E_FAIL},
        {"7.0", 0, image.path, E_FAIL},
        {"5.1", 2, "\\\\.\\PHYSICALDRIVE2", E_FAIL}, // not in the drive map
    };
    for (const Case& c : cases) {
        ::setenv("SCRYDE_WINVER", c.winver, 1);
        Filter f;
        Capture cap;
        EXPECT_EQ(f.src->OpenDisk(c.drive, c.path.c_str()), c.expected)
            << c.winver << " " << c.drive << " " << c.path;
        UINT count = 0;
        if (c.expected == S_OK) {
            EXPECT_EQ(f.src->GetSegmentList(nullptr, &count), E_OUTOFMEMORY);
            EXPECT_EQ(count, 2u);
        }
        EXPECT_EQ(cap.Count(Line("OpenDisk")), 1);
    }
    ::setenv("SCRYDE_WINVER", "5.1", 1);
    ::unsetenv("SCRYDE_DRIVES");
    EXPECT_EQ(Checksum(drive.path), driveSum);
    EXPECT_EQ(Checksum(image.path), imageSum);
}

bool SectorIsZero(const std::string& path, unsigned long long sector) {
    int fd = ::open(path.c_str(), O_RDONLY);
    unsigned char s[512];
    bool zero = ::pread(fd, s, 512, static_cast<off_t>(sector * 512)) == 512;
    for (unsigned char b : s)
        zero = zero && b == 0;
    ::close(fd);
    return zero;
}

// Formatting zeroes the index of a drive (a throw-away copy here), which then no longer opens; an
// image is never written.
TEST(OrmaSrcFormat, ErasesADriveAndRefusesAnImage) {
    Recording image("format.img", FourChannelImage());
    const auto imageSum = Checksum(image.path);
    {
        Filter f;
        ASSERT_EQ(f.src->OpenDisk(0, image.path.c_str()), S_OK);
        EXPECT_EQ(f.src->FormatDisk(), E_FAIL);
    }
    EXPECT_EQ(Checksum(image.path), imageSum);

    simorma::Options o = FourChannelImage();
    o.image = false;
    for (const char* winver : {"4.0", "5.1"}) {
        Recording drive(std::string("format-") + winver + ".bin", o);
        ASSERT_EQ(drive.result.error, "");
        ::setenv("SCRYDE_DRIVES", ("1=" + drive.path).c_str(), 1);
        ::setenv("SCRYDE_WINVER", winver, 1);
        const unsigned long long C = drive.result.clusterSectors, N = drive.result.clusterCount;
        {
            Filter f;
            ASSERT_EQ(f.src->OpenDisk(1, "\\\\.\\PHYSICALDRIVE1"), S_OK) << winver;
            EXPECT_FALSE(SectorIsZero(drive.path, C - 1));
            EXPECT_EQ(f.src->FormatDisk(), S_OK) << winver;
        }
        for (unsigned long long i = 1; i <= N; ++i)
            EXPECT_TRUE(SectorIsZero(drive.path, i * C - 1)) << winver << " cluster " << i - 1;
        EXPECT_TRUE(SectorIsZero(drive.path, drive.result.systemStart));
        EXPECT_TRUE(SectorIsZero(drive.path, 2079));
        Filter again;
        Capture cap;
        EXPECT_EQ(again.src->OpenDisk(1, "\\\\.\\PHYSICALDRIVE1"), E_FAIL) << winver;
    }
    ::setenv("SCRYDE_WINVER", "5.1", 1);
    ::unsetenv("SCRYDE_DRIVES");
}

} // namespace
