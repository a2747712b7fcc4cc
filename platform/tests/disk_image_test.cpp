// Forensic image containers read as drives: split raw images and EWF files made by the real acquisition
// tools, through CreateFileA, the drive map and the raw-disk driver.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/bytes.h"
#include "platform/disk_image.h"
#include "platform/drives.h"
#include "platform/fileio.h"
#include "platform/glmdrv.h"
#include "platform/system.h"
#include "testsupport/temp.h"

namespace {

using platform::ImageFormat;

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void Spit(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

int Shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

class DiskImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        // 3000 sectors of noise: every sector differs, so a misplaced part or chunk shows.
        std::mt19937 random(7);
        m_raw.resize(3000 * 512);
        for (char& c : m_raw)
            c = static_cast<char>(random());
        Spit(m_dir + "/drive.img", m_raw);
        ::unsetenv("SCRYDE_DRIVES");
    }
    void TearDown() override { ::unsetenv("SCRYDE_DRIVES"); }

    // The whole container through CreateFileA and ReadFile, as the readers see it.
    std::string ReadThroughFile(const std::string& path, DWORD* error = nullptr) {
        HANDLE h =
            CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (error)
                *error = GetLastError();
            return "";
        }
        std::string all;
        std::string chunk(70000, '\0'); // not a multiple of any part or chunk size
        DWORD got = 0;
        for (;;) {
            if (!ReadFile(h, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
                if (error)
                    *error = GetLastError();
                break;
            }
            if (got == 0)
                break;
            all.append(chunk.data(), got);
        }
        CloseHandle(h);
        return all;
    }

    testsupport::CTempDir m_scratch{"disk_image_test"};
    std::string m_dir = m_scratch.Path(), m_raw;
};

TEST(DiskImageNames, FormatAndKindComeFromTheName) {
    struct {
        const char* path;
        ImageFormat format;
        const char* stripped;
    } cases[] = {
        {"/x/dvr.tav.E01", ImageFormat::Ewf, "/x/dvr.tav"},
        {"dvr.e01", ImageFormat::Ewf, "dvr"},
        {"dvr.img.Ex01", ImageFormat::Ewf, "dvr.img"},
        {"dvr.tav.001", ImageFormat::SplitRaw, "dvr.tav"},
        {"dvr.0001", ImageFormat::SplitRaw, "dvr"},
        {"dvr.img.aa", ImageFormat::SplitRaw, "dvr.img"},
        {"dvr.002", ImageFormat::Plain, "dvr.002"},
        {"dvr.ab", ImageFormat::Plain, "dvr.ab"},
        {"dvr.01", ImageFormat::Plain, "dvr.01"},
        {"/dir.001/dvr", ImageFormat::Plain, "/dir.001/dvr"},
        {"/dev/sdb", ImageFormat::Plain, "/dev/sdb"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::ImageFormatOf(c.path), c.format) << c.path;
        EXPECT_EQ(platform::StripImageSuffix(c.path), c.stripped) << c.path;
    }
}

TEST_F(DiskImageTest, SplitImagesJoinInOrderAndAreNeverWritten) {
    // Numbered parts and lettered parts, cut at sizes that fall inside sectors.
    ASSERT_EQ(Shell("cd " + m_dir +
                    " && split -b 400000 --numeric-suffixes=1 -a 3 drive.img num.img. && "
                    "split -b 333333 -a 2 drive.img let.img."),
              0);
    for (const std::string name : {"num.img.001", "let.img.aa"}) {
        const std::string path = m_dir + "/" + name;
        EXPECT_EQ(platform::DeviceSize(path), m_raw.size()) << name;
        EXPECT_TRUE(ReadThroughFile(path) == m_raw) << name;
        HANDLE h =
            CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_WRITE_PROTECT);
    }

    // Through the drive map and the raw-disk driver, across the boundary of parts 1 and 2.
    ::setenv("SCRYDE_DRIVES", ("3=" + m_dir + "/num.img.001").c_str(), 1);
    auto info = platform::DescribeDrive(3, m_dir + "/num.img.001");
    EXPECT_EQ(info.sectors, 3000u);
    HANDLE drv =
        CreateFileA(kGlmDriverPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(drv, INVALID_HANDLE_VALUE);
    BYTE in[16];
    platform::WriteLE32(in, 3);
    platform::WriteLE32(in + 4, 0);
    platform::WriteLE32(in + 8, 780 * 512);
    platform::WriteLE32(in + 12, 4);
    std::string out(4 * 512, '\0');
    DWORD got = 0;
    ASSERT_TRUE(DeviceIoControl(drv, GLM_IOCTL_READ, in, 16, out.data(), 4 * 512, &got, nullptr));
    EXPECT_EQ(got, 4u * 512);
    EXPECT_TRUE(out == m_raw.substr(780 * 512, 4 * 512));
    EXPECT_FALSE(DeviceIoControl(drv, GLM_IOCTL_WRITE, in, 16, out.data(), 4 * 512, &got, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_PROTECT);
    // Past the end of the joined image: sector not found, as on a disk.
    platform::WriteLE32(in + 8, 2999 * 512);
    EXPECT_FALSE(DeviceIoControl(drv, GLM_IOCTL_READ, in, 16, out.data(), 4 * 512, &got, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SECTOR_NOT_FOUND);
    CloseHandle(drv);
    EXPECT_TRUE(Slurp(m_dir + "/num.img.002") == m_raw.substr(400000, 400000));
}

TEST_F(DiskImageTest, AMissingOrShortPartIsNamed) {
    ASSERT_EQ(Shell("cd " + m_dir +
                    " && split -b 400000 --numeric-suffixes=1 -a 3 drive.img gap.img. && "
                    "split -b 400000 --numeric-suffixes=1 -a 3 drive.img short.img. && "
                    "rm gap.img.002 && truncate -s 1000 short.img.002"),
              0);
    struct {
        std::string path;
        std::string problem;
    } cases[] = {
        {m_dir + "/gap.img.001", "split image " + m_dir + "/gap.img.001: part " + m_dir +
                                     "/gap.img.002 is missing (" + m_dir + "/gap.img.003 comes after it)"},
        {m_dir + "/short.img.001",
         "split image " + m_dir + "/short.img.001: part " + m_dir +
             "/short.img.002 holds 1000 bytes where the parts before the last hold 400000 "
             "(truncated or damaged)"},
        {m_dir + "/none.img.001", m_dir + "/none.img.001: No such file or directory"},
    };
    for (const auto& c : cases) {
        std::string problem;
        DWORD error = 0;
        EXPECT_EQ(platform::OpenDiskImage(c.path, &problem, &error), nullptr);
        EXPECT_EQ(problem, c.problem);
        EXPECT_NE(error, 0u);
        EXPECT_EQ(platform::DeviceSize(c.path), std::nullopt);
        DWORD openError = 0;
        EXPECT_EQ(ReadThroughFile(c.path, &openError), "");
        EXPECT_NE(openError, 0u);
    }
}

class EwfImageTest : public DiskImageTest {
protected:
    void SetUp() override {
        DiskImageTest::SetUp();
        m_e01 = m_dir + "/drive.img.E01";
        // Uncompressed chunks, so a changed byte in the file lands in a chunk's data.
        ASSERT_EQ(Shell("ewfacquire -u -t " + m_dir +
                        "/drive.img -c none -C CASE-18 -e 'A. Examiner' -E EV-1 -D rec -N "
                        "none -d sha1 " +
                        m_dir + "/drive.img"),
                  0)
            << "ewfacquire (Debian ewf-tools, installed by scripts/deps) is needed";
        m_before = Slurp(m_e01);
    }
    void TearDown() override {
        EXPECT_TRUE(Slurp(m_e01) == m_before || m_changed) << "the EWF file was written";
        DiskImageTest::TearDown();
    }
    std::string m_e01, m_before;
    bool m_changed = false;
};

TEST_F(EwfImageTest, ReadsTheMediaAndItsAcquisitionFacts) {
    EXPECT_TRUE(ReadThroughFile(m_e01) == m_raw);
    std::string problem;
    DWORD error = 0;
    auto image = platform::OpenDiskImage(m_e01, &problem, &error);
    ASSERT_NE(image, nullptr) << problem;
    const auto& facts = image->Facts();
    EXPECT_EQ(facts.size, m_raw.size());
    EXPECT_EQ(facts.parts, std::vector<std::string>{m_e01});
    auto value = [&](const std::string& key) {
        for (const auto& [k, v] : facts.metadata)
            if (k == key)
                return v;
        return std::string("(absent)");
    };
    EXPECT_EQ(value("case_number"), "CASE-18");
    EXPECT_EQ(value("examiner_name"), "A. Examiner");
    EXPECT_EQ(value("evidence_number"), "EV-1");
    EXPECT_EQ(facts.storedMd5.size(), 32u);
    EXPECT_EQ(facts.storedSha1.size(), 40u);

    ::setenv("SCRYDE_DRIVES", ("1=" + m_e01).c_str(), 1);
    HANDLE h = CreateFileA("\\\\.\\PHYSICALDRIVE1", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    BYTE geometry[kDiskGeometrySize];
    DWORD got = 0;
    ASSERT_TRUE(DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, geometry, sizeof geometry, &got,
                                nullptr));
    EXPECT_EQ(platform::ParseDiskGeometry(geometry).Cylinders, 3000);
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(h, geometry, 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_PROTECT);
    CloseHandle(h);
}

TEST_F(EwfImageTest, ADamagedChunkReadsAsAFailureNeverAsZeros) {
    // Change one byte of media data inside the file: the chunk's checksum no longer holds.
    std::string damaged = m_before;
    const std::size_t at = damaged.find(m_raw.substr(1500 * 512, 64));
    ASSERT_NE(at, std::string::npos);
    damaged[at + 10] ^= 0x55;
    const std::string path = m_dir + "/damaged.E01";
    Spit(path, damaged);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::string buffer(8 * 512, '\0');
    OVERLAPPED ov{};
    DWORD got = 0;
    // Sectors well before the damage read fine.
    ov.Offset = 100 * 512;
    EXPECT_TRUE(ReadFile(h, buffer.data(), 8 * 512, &got, &ov));
    EXPECT_TRUE(buffer == m_raw.substr(100 * 512, 8 * 512));
    // The damaged chunk fails, whatever part of it is asked for.
    ov.Offset = 1498 * 512;
    EXPECT_FALSE(ReadFile(h, buffer.data(), 8 * 512, &got, &ov));
    EXPECT_EQ(GetLastError(), ERROR_CRC);
    EXPECT_LT(got, 8u * 512);
    ov.Offset = 1500 * 512;
    EXPECT_FALSE(ReadFile(h, buffer.data(), 512, &got, &ov));
    EXPECT_EQ(got, 0u);
    CloseHandle(h);
}

// A set of several segment files reads whole; a missing one is named, whether in the middle or at the end.
TEST_F(DiskImageTest, AnEwfSetOfSegmentsAndItsMissingMembers) {
    ASSERT_EQ(Shell("ewfacquire -u -q -c none -S 1MiB -t " + m_dir + "/set " + m_dir + "/drive.img"), 0);
    ASSERT_EQ(Shell("test -f " + m_dir + "/set.E02 && ! test -f " + m_dir + "/set.E03"), 0) << "two segments";
    EXPECT_TRUE(ReadThroughFile(m_dir + "/set.E01") == m_raw);
    Shell("cat " + m_dir + "/drive.img " + m_dir + "/drive.img > " + m_dir +
          "/two.img && ewfacquire -u -q -c none "
          "-S 1MiB -t " +
          m_dir + "/three " + m_dir + "/two.img");
    ASSERT_EQ(Shell("test -f " + m_dir + "/three.E03"), 0) << "three segments";
    Shell("rm " + m_dir + "/three.E02 " + m_dir + "/set.E02");
    struct {
        std::string path, problem;
    } cases[] = {
        {m_dir + "/three.E01", "EWF image " + m_dir + "/three.E01: segment " + m_dir +
                                   "/three.E02 is missing (" + m_dir + "/three.E03 is there)"},
        {m_dir + "/set.E01", "EWF image " + m_dir + "/set.E01: the set ends damaged at " + m_dir +
                                 "/set.E01 (truncated, or " + m_dir + "/set.E02 is missing)"},
    };
    for (const auto& c : cases) {
        std::string problem;
        DWORD error = 0;
        EXPECT_EQ(platform::OpenDiskImage(c.path, &problem, &error), nullptr);
        EXPECT_EQ(problem, c.problem);
    }
}

TEST_F(EwfImageTest, ATruncatedSegmentIsAClearError) {
    const std::string path = m_dir + "/cut.E01";
    Spit(path, m_before.substr(0, m_before.size() / 2));
    std::string problem;
    DWORD error = 0;
    EXPECT_EQ(platform::OpenDiskImage(path, &problem, &error), nullptr);
    EXPECT_NE(problem.find(path), std::string::npos) << problem;
    EXPECT_NE(problem.find("damaged"), std::string::npos) << problem;
    EXPECT_EQ(platform::DeviceSize(path), std::nullopt);
}

} // namespace
