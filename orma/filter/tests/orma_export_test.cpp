// The drive-image export: the clusters of a time range copied whole with a marker sector after them,
// on the export's own thread, with progress, cancel and the refusal of a wrapped range.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "orma/orma_disk.h"
#include "orma_filter_test_util.h"
#include "orma_src.h"

namespace {

using namespace ormasrc::test;

constexpr unsigned long long C = 65536;

unsigned long long FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<unsigned long long>(st.st_size) : 0;
}

HANDLE CreateOutput(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

// Polls like the reader's timer until the export says it has ended.
void WaitForEnd(IOrmaSrc* s) {
    int progress = 0;
    for (int i = 0; i < 60000; ++i) {
        ASSERT_EQ(s->ArchiveOrmaFile(nullptr, 0, 0, 0, 0, &progress), S_OK);
        if (progress < 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    FAIL() << "export did not end";
}

// (time, picture length, channel) of the frames from the start of `cluster` on, `count` of them.
std::vector<std::tuple<BYTE, DWORD, LONG, int>> Frames(const std::string& path, DWORD cluster, int count) {
    orma::COrmaSlotBank bank;
    orma::COrmaDisk disk(&bank);
    std::vector<std::tuple<BYTE, DWORD, LONG, int>> out;
    if (disk.OpenDisk(0, path.c_str()) != S_OK)
        return out;
    disk.SetPointer(cluster, 0, 0);
    std::vector<BYTE> audio(51040);
    for (int i = 0; i < count; ++i) {
        LONG length = static_cast<LONG>(audio.size());
        BYTE channel = 0;
        if (disk.GetFrame(audio.data(), &length, &channel) != S_OK)
            break;
        out.emplace_back(disk.LastFrameYear(), disk.LastFrameTime(), disk.LastPictureLength(), channel);
    }
    return out;
}

class OrmaSrcExport : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        UseTempHome();
        s_image = std::make_unique<Recording>("export.img", FourChannelImage());
        ASSERT_EQ(s_image->result.error, "");
        s_sum = Checksum(s_image->path);
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(Checksum(s_image->path), s_sum); // exporting never writes the evidence
        s_image.reset();
    }
    // The time of the k-th recorded frame.
    static simorma::Stamp TimeOf(std::size_t k) { return s_image->result.frames.at(k).time; }
    static std::size_t FirstFrameOfCluster(std::uint32_t cluster) {
        const auto& frames = s_image->result.frames;
        for (std::size_t k = 0; k < frames.size(); ++k)
            if (frames[k].cluster == cluster)
                return k;
        return 0;
    }

    static std::unique_ptr<Recording> s_image;
    static unsigned long long s_sum;
};
std::unique_ptr<Recording> OrmaSrcExport::s_image;
unsigned long long OrmaSrcExport::s_sum = 0;

TEST_F(OrmaSrcExport, OneClusterImageReopensWithTheSameFrames) {
    Filter f;
    IOrmaSrc* s = f.src.Get();
    ASSERT_EQ(s->OpenDisk(0, s_image->path.c_str()), S_OK);
    int progress = 7;
    EXPECT_EQ(s->ArchiveOrmaFile(nullptr, 0, 0, 0, 0, &progress), S_OK); // a poll starts nothing
    EXPECT_EQ(progress, -1);

    const std::string out = TempPath("one.orm");
    const auto from = TimeOf(FirstFrameOfCluster(1) + 10), to = TimeOf(FirstFrameOfCluster(1) + 100);
    Capture cap;
    ASSERT_EQ(s->ArchiveOrmaFile(CreateOutput(out), from.year, from.packed, to.year, to.packed, nullptr),
              S_OK);
    WaitForEnd(s);
    EXPECT_GE(cap.Count("COrmaSrc::ArchiveOrmaFile()\n"), 2); // the start and every poll
    EXPECT_TRUE(cap.Boxes().empty());
    ASSERT_EQ(FileSize(out), C * 512 + 512);

    // The marker after the cluster: n × C, C, n, and zeros where the write position was.
    orma::COrmaSlotBank bank;
    orma::COrmaDisk reopened(&bank);
    ASSERT_EQ(reopened.OpenDisk(0, out.c_str()), S_OK);
    EXPECT_EQ(platform::ReadLE32(reopened.Marker() + 4), C);
    EXPECT_EQ(platform::ReadLE32(reopened.Marker() + 8), C);
    EXPECT_EQ(platform::ReadLE32(reopened.Marker() + 12), 1u);
    EXPECT_EQ(platform::ReadLE32(reopened.Marker() + 16), 0u);
    EXPECT_EQ(reopened.ClusterCount(), 1u);
    auto original = Frames(s_image->path, 1, 192);
    auto copied = Frames(out, 0, 192);
    ASSERT_EQ(original.size(), 192u);
    EXPECT_EQ(copied, original);
    std::remove(out.c_str());
}

// A cancel ends the image with the clusters completed; its marker says how many.
TEST_F(OrmaSrcExport, CancelKeepsTheCompletedClusters) {
    Filter f;
    IOrmaSrc* s = f.src.Get();
    ASSERT_EQ(s->OpenDisk(0, s_image->path.c_str()), S_OK);
    auto* src = static_cast<COrmaSrc*>(s);
    const std::string out = TempPath("cancel.orm");
    const auto from = TimeOf(0), to = TimeOf(s_image->result.frames.size() - 1);
    ASSERT_EQ(s->ArchiveOrmaFile(CreateOutput(out), from.year, from.packed, to.year, to.packed, nullptr),
              S_OK);
    // Hold the export in its second cluster (progress 34 … 60 of the three), cancel, then let it go.
    int progress = 0;
    bool held = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!held && std::chrono::steady_clock::now() < deadline) {
        s->ArchiveOrmaFile(nullptr, 0, 0, 0, 0, &progress);
        if (progress >= 34 && progress <= 60) {
            src->DiskLock()->Lock();
            held = true;
        } else if (progress < 0 || progress > 60) {
            break;
        } else {
            std::this_thread::yield();
        }
    }
    ASSERT_TRUE(held) << "progress " << progress;
    std::thread cancel(
        [s] { EXPECT_EQ(s->ArchiveOrmaFile(INVALID_HANDLE_VALUE, 0, 0, 0, 0, nullptr), S_OK); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    src->DiskLock()->Unlock();
    cancel.join();
    WaitForEnd(s);
    EXPECT_EQ(FileSize(out), C * 512 + 512);
    orma::COrmaSlotBank bank;
    orma::COrmaDisk reopened(&bank);
    ASSERT_EQ(reopened.OpenDisk(0, out.c_str()), S_OK);
    EXPECT_EQ(platform::ReadLE32(reopened.Marker() + 12), 1u);
    EXPECT_EQ(Frames(out, 0, 50), Frames(s_image->path, 0, 50));
    std::remove(out.c_str());
}

// On a drive whose recording runs over the end of the recording area, a range from the last cluster
// to the first is refused; nothing is started.
TEST(OrmaSrcExportWrapped, RangeEndingInALowerClusterIsRefused) {
    simorma::Options o = FourChannelImage();
    o.image = false;
    o.driveSectors = 6 * C + 4096;
    o.firstCluster = 4;
    o.segments = {{5, 4, simorma::SecondsOf(2010, 5, 1, 10, 0, 0), 600, 0, 0}};
    Recording drive("wrapped.bin", o);
    ASSERT_EQ(drive.result.error, "");
    ASSERT_EQ(drive.result.clusterCount, 6u);
    ::setenv("SCRYDE_WINVER", "4.0", 1);
    Filter f;
    ::setenv("SCRYDE_WINVER", "5.1", 1);
    IOrmaSrc* s = f.src.Get();
    ASSERT_EQ(s->OpenDisk(1, drive.path.c_str()), S_OK);
    std::size_t inFour = 0, inOne = 0;
    for (std::size_t k = 0; k < drive.result.frames.size(); ++k) {
        if (drive.result.frames[k].cluster == 4 && !inFour)
            inFour = k;
        if (drive.result.frames[k].cluster == 1)
            inOne = k;
    }
    ASSERT_GT(inOne, inFour);
    const auto from = drive.result.frames[inFour].time, to = drive.result.frames[inOne].time;
    const std::string out = TempPath("wrapped.orm");
    HANDLE h = CreateOutput(out);
    Capture cap;
    EXPECT_EQ(s->ArchiveOrmaFile(h, from.year, from.packed, to.year, to.packed, nullptr), E_INVALIDARG);
    EXPECT_EQ(cap.Boxes(), std::vector<std::string>{"Error: ArchiveOrmaFile(): Invalid parameter(s)!"});
    int progress = 0;
    EXPECT_EQ(s->ArchiveOrmaFile(nullptr, 0, 0, 0, 0, &progress), S_OK);
    EXPECT_EQ(progress, -1);
    CloseHandle(h); // a refused export leaves the file with the caller
    EXPECT_EQ(FileSize(out), 0u);
    std::remove(out.c_str());
}

} // namespace
