#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "common/sector.h"
#include "platform/glmdrv.h"
#include "platform/system.h"
#include "testsupport/temp.h"

namespace {

using namespace common;

// A drive image whose sector n is filled with the byte (n & 0xFF), attached as drive 3.
class SectorTest : public ::testing::Test {
protected:
    static constexpr int kDrive = 3;
    static constexpr DWORD kSectors = 64;

    void SetUp() override {
        m_path = testsupport::TempPath("sector_test", ".img");
        std::ofstream out(m_path, std::ios::binary | std::ios::trunc);
        for (DWORD s = 0; s < kSectors; ++s)
            out << std::string(512, static_cast<char>(s & 0xFF));
        out.close();
        ::chmod(m_path.c_str(), 0444);
        ::setenv("SCRYDE_DRIVES", ("3=" + m_path).c_str(), 1);
        m_oldBox = platform::SetMessageBoxHandler([this](const platform::MessageBoxRequest& r) {
            m_boxes.push_back(r);
            return IDOK;
        });
        m_oldSink = platform::SetDebugSink([this](const std::string& s) { m_debug.push_back(s); });
        SetSectorVariant(kOrmaSourceVariant);
    }
    void TearDown() override {
        platform::SetDriverFaultHook(nullptr);
        platform::SetMessageBoxHandler(m_oldBox);
        platform::SetDebugSink(m_oldSink);
        SetSectorVariant(kOrmaSourceVariant);
        ::unsetenv("SCRYDE_DRIVES");
        ::chmod(m_path.c_str(), 0644);
        ::unlink(m_path.c_str());
    }

    HANDLE OpenFile() {
        return CreateFileA(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    HANDLE OpenDriver() {
        return CreateFileA(kGlmDriverPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    }

    std::string m_path;
    std::vector<platform::MessageBoxRequest> m_boxes;
    std::vector<std::string> m_debug;
    platform::MessageBoxHandler m_oldBox;
    platform::DebugSink m_oldSink;
};

TEST_F(SectorTest, OffsetHalvesOfAStartSector) {
    struct Case {
        DWORD sector, high, low;
    } cases[] = {{0, 0, 0},
                 {1, 0, 512},
                 {0x007FFFFF, 0, 0xFFFFFE00},
                 {0x00800000, 1, 0},
                 {0xFFFFFFFF, 0x1FF, 0xFFFFFE00}};
    for (const Case& c : cases) {
        SectorOffset off = SplitSectorOffset(c.sector);
        EXPECT_EQ(off.high, c.high) << c.sector;
        EXPECT_EQ(off.low, c.low) << c.sector;
    }
}

TEST_F(SectorTest, FileAndDriverModeReadTheSameSectorsFromAReadOnlyImage) {
    HANDLE file = OpenFile();
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    HANDLE drv = OpenDriver();
    ASSERT_NE(drv, INVALID_HANDLE_VALUE);
    std::vector<BYTE> a(3 * 512), b(3 * 512);
    ASSERT_TRUE(ReadSector(file, a.data(), 10, 3));
    ASSERT_TRUE(ReadSector(drv, kDrive, b.data(), 10, 3));
    EXPECT_EQ(a, b);
    EXPECT_EQ(a[0], 10);
    EXPECT_EQ(a[2 * 512 + 511], 12);
    std::vector<BYTE> one(512);
    ASSERT_TRUE(ReadSectorWait(drv, kDrive, one.data(), 7, 1));
    EXPECT_EQ(one[100], 7);

    // Every descriptor the reads opened on the image is read-only.
    int seen = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    ASSERT_NE(dir, nullptr);
    while (dirent* e = ::readdir(dir)) {
        char target[4096] = {};
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (::readlink(link.c_str(), target, sizeof target - 1) <= 0 || m_path != target)
            continue;
        std::ifstream info(std::string("/proc/self/fdinfo/") + e->d_name);
        std::string key, flags;
        while (info >> key >> flags && key != "flags:") {
        }
        EXPECT_EQ(std::strtol(flags.c_str(), nullptr, 8) & O_ACCMODE, O_RDONLY) << link;
        ++seen;
    }
    ::closedir(dir);
    EXPECT_GE(seen, 2);
    EXPECT_TRUE(m_boxes.empty());
    CloseHandle(file);
    CloseHandle(drv);
}

TEST_F(SectorTest, DriverRequestCarriesTheOffsetHalves) {
    std::vector<platform::DriverRequest> seen;
    platform::SetDriverFaultHook([&](const platform::DriverRequest& r) {
        seen.push_back(r);
        return platform::DriverFault{};
    });
    HANDLE drv = OpenDriver();
    std::vector<BYTE> buf(512);
    // Beyond the end of the small image: the driver fails, but the request shows the offset.
    EXPECT_FALSE(ReadSector(drv, kDrive, buf.data(), 0x00800000, 1));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].code, GLM_IOCTL_READ);
    EXPECT_EQ(seen[0].drive, kDrive);
    EXPECT_EQ(seen[0].byteOffset, 1ull << 32);
    EXPECT_EQ(seen[0].sectorCount, 1u);
    CloseHandle(drv);
}

TEST_F(SectorTest, ShortFileReadIsAFailureWithDebuggerText) {
    HANDLE file = OpenFile();
    std::vector<BYTE> buf(4 * 512);
    // Sectors 62..65 of a 64-sector image: ReadFile succeeds with 1024 bytes.
    EXPECT_FALSE(ReadSector(file, buf.data(), kSectors - 2, 4));
    ASSERT_EQ(m_debug.size(), 1u);
    EXPECT_EQ(m_debug[0], "ReadSector(): ReadFile failed!\nErrno=0 dwBytes=1024\nstart_sector=62 [00000000 "
                          "00007C00] num_sector=4\n");
    EXPECT_TRUE(m_boxes.empty());
    CloseHandle(file);
}

TEST_F(SectorTest, PendingDriverReadIsCancelledWithTheExactBox) {
    platform::SetDriverFaultHook([](const platform::DriverRequest&) {
        platform::DriverFault f;
        f.kind = platform::DriverFault::Pending;
        f.delayMs = 5000;
        return f;
    });
    HANDLE drv = OpenDriver();
    std::vector<BYTE> buf(2 * 512, 0xEE);
    EXPECT_FALSE(ReadSector(drv, kDrive, buf.data(), 0x00800000, 2));
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0].caption, "Error");
    EXPECT_EQ(m_boxes[0].type, MB_OK);
    EXPECT_EQ(m_boxes[0].text, "ReadSector(): DeviceIoControl failed!\nErrno=996 "
                               "dwBytes=0\nstart_sector=8388608 [00000001 00000000] nSectors=2\n");
    // The cancelled request never wrote into the buffer.
    EXPECT_EQ(buf[0], 0xEE);

    // The reader cancels the same request without a box.
    SetSectorVariant(kReaderVariant);
    EXPECT_FALSE(ReadSector(drv, kDrive, buf.data(), 1, 1));
    EXPECT_EQ(m_boxes.size(), 1u);
    CloseHandle(drv);
}

TEST_F(SectorTest, PendingDriverWriteShowsTheWriteBox) {
    platform::SetDriverFaultHook([](const platform::DriverRequest&) {
        platform::DriverFault f;
        f.kind = platform::DriverFault::Pending;
        f.delayMs = 5000;
        return f;
    });
    HANDLE drv = OpenDriver();
    std::vector<BYTE> buf(512);
    EXPECT_FALSE(WriteSector(true, drv, kDrive, buf.data(), 5, 1));
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0].text, "WriteSector(): DeviceIoControl failed!\nErrno=996 dwBytes=0\nstart_sector=5 "
                               "[00000000 00000A00] nSectors=1\n");
    CloseHandle(drv);
}

TEST_F(SectorTest, ShortAndFailingDriverReadsFail) {
    HANDLE drv = OpenDriver();
    std::vector<BYTE> buf(2 * 512);
    platform::SetDriverFaultHook([](const platform::DriverRequest&) {
        platform::DriverFault f;
        f.kind = platform::DriverFault::Short;
        f.bytes = 512;
        return f;
    });
    EXPECT_FALSE(ReadSector(drv, kDrive, buf.data(), 0, 2));
    platform::SetDriverFaultHook(platform::FailingSectorHook(20));
    EXPECT_FALSE(ReadSector(drv, kDrive, buf.data(), 19, 2));
    EXPECT_TRUE(ReadSector(drv, kDrive, buf.data(), 21, 2));
    EXPECT_TRUE(m_boxes.empty());
    CloseHandle(drv);
}

TEST_F(SectorTest, WriteWithCountZeroTouchesNothing) {
    // Neither handle is valid: success can only come from doing nothing.
    EXPECT_TRUE(WriteSector(false, nullptr, 0, nullptr, 123, 0));
    EXPECT_TRUE(WriteSector(true, nullptr, kDrive, nullptr, 123, 0));
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_TRUE(m_debug.empty());
}

TEST_F(SectorTest, FileWriteOnAReadOnlyHandleFailsWithTheWriteBox) {
    HANDLE file = OpenFile();
    std::vector<BYTE> buf(512);
    EXPECT_FALSE(WriteSector(false, file, 0, buf.data(), 1, 1));
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0].text, "WriteSector(): WriteFile failed!\nErrno=5 dwBytes=0\nstart_sector=1 "
                               "[00000000 00000200] nSectors=1\n");
    ASSERT_EQ(m_debug.size(), 1u);
    EXPECT_EQ(m_debug[0], m_boxes[0].text);
    CloseHandle(file);
}

TEST_F(SectorTest, VariantsDiffer) {
    std::vector<BYTE> buf(4 * 512);
    HANDLE file = OpenFile();

    // TAV source and reader: null handle or count 0 is a quiet success; the ORMA source fails.
    SetSectorVariant(kTavSourceVariant);
    EXPECT_TRUE(ReadSector(false, nullptr, 0, buf.data(), 0, 1));
    EXPECT_TRUE(ReadSector(true, nullptr, 0, buf.data(), 0, 1));
    SetSectorVariant(kReaderVariant);
    EXPECT_TRUE(ReadSector(nullptr, buf.data(), 0, 1));
    SetSectorVariant(kOrmaSourceVariant);
    EXPECT_FALSE(ReadSector(nullptr, 0, buf.data(), 0, 1));
    m_debug.clear();

    // TAV source: a failed file read also shows a box, worded with nSectors.
    SetSectorVariant(kTavSourceVariant);
    EXPECT_FALSE(ReadSector(false, file, 0, buf.data(), kSectors - 1, 2));
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0].text, "ReadSector(): ReadFile failed!\nErrno=0 dwBytes=512\nstart_sector=63 "
                               "[00000000 00007E00] nSectors=2\n");
    EXPECT_EQ(m_debug.size(), 1u);

    // Checker: a failed file read says nothing at all.
    SetSectorVariant(kCheckerVariant);
    m_boxes.clear();
    m_debug.clear();
    EXPECT_FALSE(ReadSector(file, buf.data(), kSectors - 1, 2));
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_TRUE(m_debug.empty());

    // Checker: the waited driver read moves exactly one sector whatever is asked.
    std::vector<platform::DriverRequest> seen;
    platform::SetDriverFaultHook([&](const platform::DriverRequest& r) {
        seen.push_back(r);
        return platform::DriverFault{};
    });
    HANDLE drv = OpenDriver();
    EXPECT_TRUE(ReadSectorWait(drv, kDrive, buf.data(), 4, 3));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].code, GLM_IOCTL_READ_WAIT);
    EXPECT_EQ(seen[0].sectorCount, 1u);
    SetSectorVariant(kOrmaSourceVariant);
    EXPECT_TRUE(ReadSectorWait(drv, kDrive, buf.data(), 4, 3));
    EXPECT_EQ(seen.back().sectorCount, 3u);
    EXPECT_EQ(buf[3 * 512 - 1], 6);
    EXPECT_FALSE(ReadSectorWait(nullptr, kDrive, buf.data(), 4, 1));
    CloseHandle(drv);
    CloseHandle(file);
}

TEST(AccessMode, ChosenFromTheWindowsMajorVersion) {
    struct Case {
        DWORD major;
        AccessMode common, checker;
    } cases[] = {
        {4, AccessMode::File, AccessMode::File},   {5, AccessMode::Driver, AccessMode::Driver},
        {6, AccessMode::Driver, AccessMode::File}, {7, AccessMode::None, AccessMode::File},
        {3, AccessMode::None, AccessMode::File},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ChooseAccessMode(c.major, kOrmaSourceVariant), c.common) << c.major;
        EXPECT_EQ(ChooseAccessMode(c.major, kReaderVariant), c.common) << c.major;
        EXPECT_EQ(ChooseAccessMode(c.major, kCheckerVariant), c.checker) << c.major;
    }
}

TEST_F(SectorTest, GeometryGivesTheExactSectorCount) {
    HANDLE file = OpenFile();
    HANDLE drv = OpenDriver();
    DriveGeometry g;
    ASSERT_TRUE(QueryGeometry(file, &g));
    EXPECT_EQ(g.sectors, kSectors);
    EXPECT_EQ(g.mediaType, static_cast<DWORD>(FixedMedia));
    DriveGeometry d;
    ASSERT_TRUE(QueryGeometry(drv, kDrive, &d));
    EXPECT_EQ(d.sectors, kSectors);
    EXPECT_FALSE(QueryGeometry(drv, 9, &d)); // not in the drive map
    CloseHandle(file);
    CloseHandle(drv);
}

} // namespace
