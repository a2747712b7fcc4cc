// The reader's drive probe on drives the synthetic recorders wrote and on hand-made sectors, through
// the raw-disk driver and on a drive opened directly.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "platform/bytes.h"
#include "reader/drive_probe.h"
#include "sim_orma/orma_sim.h"
#include "sim_tav/tav_recorder.h"
#include "testsupport/temp.h"

namespace {

using reader::DetectFileKind;

std::string Temp(const std::string& name) {
    return testsupport::TempPath("probe", "_" + name);
}

// A sparse file of `sectors` sectors with the given 32-bit words written into it.
std::string Sectors(const std::string& name, unsigned long long sectors,
                    const std::vector<std::pair<unsigned long long, std::uint32_t>>& words) {
    const std::string path = Temp(name);
    std::ofstream(path, std::ios::binary | std::ios::trunc).close();
    ::truncate(path.c_str(), static_cast<off_t>(sectors * 512));
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    for (const auto& [byte, value] : words) {
        BYTE b[4];
        platform::WriteLE32(b, value);
        f.seekp(static_cast<std::streamoff>(byte));
        f.write(reinterpret_cast<const char*>(b), 4);
    }
    return path;
}

TEST(DriveProbe, DerivedSizesFollowTheDriveSize) {
    const auto small = reader::DeriveSizes(6 * 65536 + 5000);
    EXPECT_EQ(small.cluster, 65536u);
    EXPECT_EQ(small.lastCluster, 6u * 65536);
    EXPECT_EQ(reader::DeriveSizes(6 * 65536).lastCluster, 5u * 65536); // exact: one cluster before the end
    EXPECT_EQ(small.segmentMiB, 32u);
    EXPECT_EQ(reader::DeriveSizes(0x0A000000ull * 3).cluster, 4u * 65536);
    EXPECT_EQ(reader::DeriveSizes(250ull << 21).segmentMiB, 128u); // 250 GiB: 128 MiB segments
}

TEST(DriveProbe, KindsThroughTheDriverAndDirectly) {
    simorma::Options orma;
    orma.segments = {{1, 2, simorma::SecondsOf(2009, 3, 1, 8, 0, 0), 60, 1, 0}};
    orma.driveSectors = 6 * 65536 + 5000;
    orma.framesPerBlock = 1;
    orma.width = 96, orma.height = 64;
    const std::string ormaDrive = Temp("orma.img");
    ASSERT_EQ(simorma::Write(ormaDrive, orma).error, "");

    sim_tav::RecorderOptions tav;
    tav.segments = 2, tav.blocksPerSegment = 1, tav.packetsPerBlock = 4, tav.channels = 1;
    const std::string tavDrive = Temp("tav.img");
    sim_tav::WriteTavDrive(tavDrive, tav);
    // Sector 2008 broken: the drive header and the index behind the protected partition still tell.
    sim_tav::RecorderOptions hidden = tav;
    hidden.letterTags = true;
    hidden.protectedSegments = 2;
    hidden.damage = {{sim_tav::Damage::Sector2008, 0, 0, 0, 0}};
    const std::string hiddenDrive = Temp("tav-protected.img");
    sim_tav::WriteTavDrive(hiddenDrive, hidden);

    const unsigned long long small = 6 * 65536 + 5000;
    struct Case {
        std::string name, path;
        std::string driver, direct; // the kind found each way
    } cases[] = {
        {"ORMA drive", ormaDrive, "orma", "orma"},
        {"TAV drive", tavDrive, "tav", "tav"},
        {"TAV drive, sector 2008 broken", hiddenDrive, "tav", "tav"},
        {"GLM", Sectors("glm.img", small, {{508, 0x5A554245}}), "glm", "glm"},
        {"Corvel", Sectors("corvel.img", small, {{512, 0x56745664}}), "corvel", "corvel"},
        {"Corvel, halves swapped", Sectors("corvel2.img", small, {{512, 0x64567456}}), "corvel", "corvel"},
        // An ORMA marker without the first frame's magic at sector 0 counts only on a direct open.
        {"ORMA marker alone", Sectors("marker.img", small, {{6ull * 65536 * 512, 0xAA995599}}), "", "orma"},
        // A TAV block index without segment 0's trailer counts only on a direct open.
        {"TAV index alone", Sectors("index.img", small, {{2008 * 512, 0xAA5555AA}}), "", "tav"},
        {"nothing", Sectors("zero.img", small, {}), "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(reader::KindName(DetectFileKind(c.path, true)), c.driver) << c.name;
        EXPECT_EQ(reader::KindName(DetectFileKind(c.path, false)), c.direct) << c.name;
        std::remove(c.path.c_str());
    }
}

} // namespace

namespace {

// The start-up probe of a drive of the drive map: through the driver (Windows 5) and as a physical
// drive (Windows 4), its size from the geometry; a drive that is not there is no drive.
TEST(DriveProbe, DriveOfTheDriveMapInBothAccessModes) {
    sim_tav::RecorderOptions tav;
    tav.segments = 2, tav.blocksPerSegment = 1, tav.packetsPerBlock = 4, tav.channels = 1;
    const std::string path = Temp("mapped.img");
    sim_tav::WriteTavDrive(path, tav);
    ::setenv("SCRYDE_DRIVES", ("1=" + path).c_str(), 1);
    for (DWORD major : {4u, 5u}) {
        auto probe = reader::ProbeDrive(1, major);
        ASSERT_TRUE(probe) << major;
        EXPECT_EQ(probe->kind, reader::kKindTav) << major;
        EXPECT_EQ(probe->sectors, 3ull << 21) << major;
        EXPECT_FALSE(reader::ProbeDrive(2, major)) << major;
    }
    EXPECT_FALSE(reader::ProbeDrive(1, 7)); // no access on other Windows versions
    ::unsetenv("SCRYDE_DRIVES");
    std::remove(path.c_str());
}

} // namespace
