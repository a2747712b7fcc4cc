// Formatting a video drive: the sectors a direct format zeroes on image copies of several sizes, the
// questions and their answers, and the erase by the open recording's own source.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "common/sector.h"
#include "platform/glmdrv.h"
#include "reader/format.h"
#include "reader_test_util.h"

namespace {

using readertest::Boxes;
using readertest::Scratch;
using namespace reader;

constexpr BYTE kErased = 0xA5;    // what the format must zero
constexpr BYTE kNeighbour = 0x5A; // what it must leave alone

// Answers every box with `answer` and records it.
class Answering {
public:
    explicit Answering(int answer) {
        m_previous = platform::SetMessageBoxHandler([this, answer](const platform::MessageBoxRequest& r) {
            seen.push_back(r);
            return answer;
        });
    }
    ~Answering() { platform::SetMessageBoxHandler(m_previous); }
    std::vector<platform::MessageBoxRequest> seen;

private:
    platform::MessageBoxHandler m_previous;
};

void Fill(int fd, ULONGLONG sector, BYTE value) {
    std::vector<BYTE> b(512, value);
    ASSERT_EQ(::pwrite(fd, b.data(), 512, static_cast<off_t>(sector * 512)), 512);
}

BYTE FirstByte(int fd, ULONGLONG sector, bool* uniform) {
    BYTE b[512];
    EXPECT_EQ(::pread(fd, b, 512, static_cast<off_t>(sector * 512)), 512);
    *uniform = std::all_of(b, b + 512, [&](BYTE x) { return x == b[0]; });
    return b[0];
}

// The data extents of a sparse file: any write, even of zeros, into a hole shows up here.
std::vector<std::pair<off_t, off_t>> Extents(int fd) {
    std::vector<std::pair<off_t, off_t>> out;
    off_t end = ::lseek(fd, 0, SEEK_END), at = 0;
    while (at < end) {
        off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0)
            break;
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        out.emplace_back(data, hole);
        at = hole;
    }
    return out;
}

// A checksum of a sparse image that reads only its data: each extent's place and bytes. Any write,
// even of zeros into a hole, changes it.
std::string SparseDigest(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    std::vector<BYTE> all;
    for (const auto& [from, to] : Extents(fd)) {
        for (off_t at : {from, to})
            for (int i = 0; i < 8; ++i)
                all.push_back(static_cast<BYTE>(static_cast<unsigned long long>(at) >> (8 * i)));
        const std::size_t start = all.size();
        all.resize(start + static_cast<std::size_t>(to - from));
        EXPECT_EQ(::pread(fd, all.data() + start, static_cast<std::size_t>(to - from), from), to - from);
    }
    ::close(fd);
    return common::Sha256Hex(all.data(), all.size());
}

DriveEntry Drive(int number) {
    DriveEntry e;
    e.drive = static_cast<BYTE>(number);
    e.kind = kKindTav;
    return e;
}

// Every zeroed run filled with a pattern and its neighbours with another, on a sparse image of
// `sectors` sectors attached as drive 1; after "Format HD" every run is zero, every neighbour kept,
// the size the same and no block written outside the pattern (the allocation is unchanged).
TEST(FormatDrive, ZeroesExactlyTheIndexAreasOfImagesOfEverySize) {
    struct Case {
        const char* name;
        ULONGLONG sectors;
        std::size_t
            expectedRuns; // 52 at the start, the marker, the TAV header when the drive has one, n - 1 indexes
        ULONGLONG marker, header; // 0 header: the drive has no place for it
    } cases[] = {
        // Below 1 GiB the header's place would wrap round to sector 0xFFFF0000, past the end.
        {"small drive", 6 * 65536 + 5000, 52 + 1 + 31, 6 * 65536, 0},
        {"just above 1 GiB", 0x200000 + 70000, 52 + 1 + 1 + 31, 0x200000 + 65536, 0x200000 - 32 * 2048},
        // 1 TB: c = 9 × 65536, n = 512 (d = 310); offsets far above 4 GiB.
        {"1 TB", 1953525168ull, 52 + 1 + 1 + 511, 3312ull * 9 * 65536, 931ull * 0x200000 - 512 * 2048},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch scratch;
        const std::string path = scratch.File("drive.img");
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(c.sectors * 512)), 0);

        const std::vector<SectorRun> runs = FormatRuns(c.sectors);
        EXPECT_EQ(runs.size(), c.expectedRuns);
        std::set<ULONGLONG> erased, kept;
        for (const SectorRun& r : runs)
            for (int i = 0; i < r.count; ++i)
                erased.insert(r.first + i);
        EXPECT_TRUE(erased.count(c.marker));
        if (c.header) {
            EXPECT_TRUE(erased.count(c.header));
        }
        for (const SectorRun& r : runs)
            for (ULONGLONG n : {r.first - 1, r.first + r.count})
                if (r.first > 0 && !erased.count(n))
                    kept.insert(n);
        kept.insert(c.sectors - 1);
        for (ULONGLONG n : erased)
            Fill(fd, n, kErased);
        for (ULONGLONG n : kept)
            Fill(fd, n, kNeighbour);
        ::fsync(fd);
        const auto before = Extents(fd);
        struct stat st0 {};
        ::fstat(fd, &st0);

        ::setenv("SCRYDE_DRIVES", ("1=" + path).c_str(), 1);
        Answering ok(IDOK);
        CPlayerCore player;
        const DriveEntry entry = Drive(1);
        FormatSelectedDrive(&entry, player);
        ASSERT_EQ(ok.seen.size(), 2u);
        EXPECT_EQ(ok.seen[0].text, msg::kEraseWarning);
        EXPECT_EQ(ok.seen[1].text, msg::kFormatted);
        EXPECT_EQ(ok.seen[1].caption, "WARNING");
        EXPECT_EQ(ok.seen[1].type & 0xF, MB_OKCANCEL);

        ::fsync(fd);
        struct stat st1 {};
        ::fstat(fd, &st1);
        EXPECT_EQ(st1.st_size, st0.st_size);
        EXPECT_EQ(st1.st_blocks, st0.st_blocks);
        EXPECT_EQ(Extents(fd), before);
        bool uniform = false;
        int wrong = 0;
        for (ULONGLONG n : erased)
            wrong += FirstByte(fd, n, &uniform) != 0 || !uniform;
        EXPECT_EQ(wrong, 0) << "sectors not zeroed";
        for (ULONGLONG n : kept)
            EXPECT_TRUE(FirstByte(fd, n, &uniform) == kNeighbour && uniform)
                << "sector " << n << " was written";
        ::close(fd);
    }
}

TEST(FormatDrive, RecorderDrivesAreNoLongerListedAfterAFormat) {
    Scratch scratch;
    sim_tav::RecorderOptions tav = readertest::TavOptions(1);
    tav.realPictures = false;
    sim_tav::WriteTavDrive(scratch.File("tav.img"), tav);
    simorma::Options orma;
    orma.segments = {{1, 2, simorma::SecondsOf(2009, 3, 1, 8, 0, 0), 60, 1, 0}};
    orma.driveSectors = 6 * 65536 + 5000;
    orma.framesPerBlock = 1;
    orma.width = 96, orma.height = 64;
    ASSERT_EQ(simorma::Write(scratch.File("orma.img"), orma).error, "");
    ::setenv("SCRYDE_DRIVES", ("1=" + scratch.File("tav.img") + ",2=" + scratch.File("orma.img")).c_str(), 1);

    std::vector<DriveEntry> drives = ScanDrives(1, 5);
    ASSERT_EQ(drives.size(), 2u);
    const auto tavSize = std::filesystem::file_size(scratch.File("tav.img"));
    const auto ormaSize = std::filesystem::file_size(scratch.File("orma.img"));
    Answering ok(IDOK);
    CPlayerCore player;
    for (const DriveEntry& d : drives)
        FormatSelectedDrive(&d, player);
    EXPECT_TRUE(ScanDrives(1, 5).empty());
    EXPECT_EQ(std::filesystem::file_size(scratch.File("tav.img")), tavSize);
    EXPECT_EQ(std::filesystem::file_size(scratch.File("orma.img")), ormaSize);
}

TEST(FormatDrive, LocalFileRowAndCancelWriteNothing) {
    Scratch scratch;
    sim_tav::RecorderOptions tav = readertest::TavOptions(1);
    tav.realPictures = false;
    sim_tav::WriteTavDrive(scratch.File("tav.img"), tav);
    ::setenv("SCRYDE_DRIVES", ("1=" + scratch.File("tav.img")).c_str(), 1);
    const std::string sum = SparseDigest(scratch.File("tav.img"));
    CPlayerCore player;
    const DriveEntry entry = Drive(1);
    {
        Answering ok(IDOK);
        FormatSelectedDrive(nullptr, player); // row 0, "Local File..."
        ASSERT_EQ(ok.seen.size(), 1u);
        EXPECT_EQ(ok.seen[0].text,
                  "The playing media is not an Veltrix video drive \nand cannot be formatted.");
        EXPECT_EQ(ok.seen[0].caption, "WARNING");
    }
    {
        Answering cancel(IDCANCEL);
        FormatSelectedDrive(&entry, player);
        ASSERT_EQ(cancel.seen.size(), 1u);
        EXPECT_EQ(cancel.seen[0].text, "This will erase the entire video content on the hard drive! \nAre "
                                       "you sure you want to proceed?");
    }
    EXPECT_EQ(SparseDigest(scratch.File("tav.img")), sum);
    ASSERT_EQ(ScanDrives(1, 5).size(), 1u);
}

// The raw-disk driver writes whole requests inside the drive or nothing: a run reaching past the
// last sector is refused before a byte is written, so an image never grows.
TEST(FormatDrive, DriverRefusesWritesPastTheDrivesEnd) {
    Scratch scratch;
    const std::string path = scratch.File("small.img");
    const ULONGLONG sectors = 4096;
    {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, sectors * 512), 0);
        Fill(fd, sectors - 1, kNeighbour);
        ::close(fd);
    }
    ::setenv("SCRYDE_DRIVES", ("1=" + path).c_str(), 1);
    Boxes boxes;
    HANDLE h = CreateFileA(kGlmDriverPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    BYTE zeros[2 * 512] = {};
    const auto& v = common::kReaderVariant;
    EXPECT_EQ(common::WriteSector(true, h, 1, zeros, static_cast<DWORD>(sectors - 1), 2, v), 0);
    EXPECT_EQ(common::WriteSector(true, h, 1, zeros, static_cast<DWORD>(sectors), 1, v), 0);
    EXPECT_EQ(common::WriteSector(true, h, 1, zeros, 0xFFFF0000u, 1, v), 0);
    EXPECT_NE(common::WriteSector(true, h, 1, zeros, static_cast<DWORD>(sectors - 2), 1, v), 0);
    CloseHandle(h);
    EXPECT_EQ(std::filesystem::file_size(path), sectors * 512);
    int fd = ::open(path.c_str(), O_RDONLY);
    bool uniform = false;
    EXPECT_EQ(FirstByte(fd, sectors - 1, &uniform), kNeighbour);
    ::close(fd);
}

// With the selected drive's recording open, its own source erases the drive (FormatDisk, ClearDrive)
// and the recording is closed; a failed erase says nothing and leaves the recording open.
TEST(FormatDrive, TheOpenRecordingsSourceErasesItsDrive) {
    Scratch scratch;
    Boxes quiet;
    sim_tav::RecorderOptions tav = readertest::TavOptions(1);
    tav.realPictures = false;
    sim_tav::WriteTavDrive(scratch.File("tav.img"), tav);
    simorma::Options orma;
    orma.segments = {{1, 2, simorma::SecondsOf(2009, 3, 1, 8, 0, 0), 60, 1, 0}};
    orma.driveSectors = 6 * 65536 + 5000;
    orma.framesPerBlock = 1;
    orma.width = 96, orma.height = 64;
    ASSERT_EQ(simorma::Write(scratch.File("orma.img"), orma).error, "");
    ::setenv("SCRYDE_DRIVES", ("1=" + scratch.File("tav.img") + ",2=" + scratch.File("orma.img")).c_str(), 1);
    std::vector<DriveEntry> drives = ScanDrives(1, 5);
    ASSERT_EQ(drives.size(), 2u);

    for (const DriveEntry& d : drives) {
        SCOPED_TRACE(d.row);
        CPlayerCore player;
        OpenTarget t;
        t.kind = d.kind, t.drive = d.drive, t.path = d.path, t.gigabytes = d.gigabytes;
        ASSERT_TRUE(player.Open(t)) << (quiet.Seen().empty() ? "" : quiet.Seen()[0].text);
        const std::string file = scratch.File(d.kind == kKindTav ? "tav.img" : "orma.img");
        const std::string sum = SparseDigest(file);
        if (d.kind == kKindOrma) {
            // Every write of the drive fails, so FormatDisk fails: no message, the recording stays open.
            platform::SetDriverFaultHook([](const platform::DriverRequest& r) {
                platform::DriverFault f;
                if (r.code == GLM_IOCTL_WRITE)
                    f.kind = platform::DriverFault::Fail;
                return f;
            });
            Answering ok(IDOK);
            FormatSelectedDrive(&d, player);
            platform::SetDriverFaultHook({});
            EXPECT_EQ(ok.seen.size(), 1u);
            EXPECT_TRUE(player.IsOpen());
            EXPECT_EQ(SparseDigest(file), sum);
        }
        Answering ok(IDOK);
        FormatSelectedDrive(&d, player);
        ASSERT_EQ(ok.seen.size(), 2u);
        EXPECT_EQ(ok.seen[1].text, msg::kFormatted);
        EXPECT_FALSE(player.IsOpen());
        EXPECT_NE(SparseDigest(file), sum);
        EXPECT_EQ(DetectFileKind(file, true), kKindUnknown);
    }
}

} // namespace
