// `scryde format` and `scryde clear` on drive images attached as drives: nothing is written without
// --yes when nobody can be asked, nor on a drive that is not a recorder's; with --yes the drive is
// no longer a recorder drive.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/digest.h"
#include "platform/types.h"
#include "run_scryde.h"
#include "sim_tav/tav_recorder.h"
#include "testsupport/temp.h"

namespace {

using clitest::RunScryde;

// A checksum of a sparse image that reads only its data extents (their places and bytes): any write,
// even of zeros into a hole, changes it.
std::string SparseDigest(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    std::vector<BYTE> all;
    const off_t end = ::lseek(fd, 0, SEEK_END);
    for (off_t at = 0; at < end;) {
        const off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0)
            break;
        const off_t hole = ::lseek(fd, data, SEEK_HOLE);
        for (off_t v : {data, hole})
            for (int i = 0; i < 8; ++i)
                all.push_back(static_cast<BYTE>(static_cast<unsigned long long>(v) >> (8 * i)));
        const std::size_t start = all.size();
        all.resize(start + static_cast<std::size_t>(hole - data));
        EXPECT_EQ(::pread(fd, all.data() + start, static_cast<std::size_t>(hole - data), data), hole - data);
        at = hole;
    }
    ::close(fd);
    return common::Sha256Hex(all.data(), all.size());
}

struct Drives {
    testsupport::CTempDir scratch{"format-cli"};
    std::string dir = scratch.Path(), tav, plain;
    std::vector<std::string> env;
    Drives() {
        tav = dir + "/tav.img";
        plain = dir + "/plain.img";
        sim_tav::RecorderOptions o;
        o.segments = 2, o.blocksPerSegment = 1, o.packetsPerBlock = 4, o.channels = 1;
        sim_tav::WriteTavDrive(tav, o);
        std::ofstream(plain).close();
        std::filesystem::resize_file(plain, 64 << 20);
        env = {"SCRYDE_DRIVES=1=" + tav + ",2=" + plain, "SCRYDE_HOME=" + dir, "SCRYDE_WINVER=5.1"};
        // Nobody at a terminal: the children inherit this.
        std::freopen("/dev/null", "r", stdin);
    }
    std::string KindOf(int drive) {
        auto r = RunScryde({"drives", "--json"}, env);
        const std::string key = "\"drive\": " + std::to_string(drive) + ",";
        const std::size_t at = r.out.find(key);
        if (at == std::string::npos)
            return "missing";
        const std::size_t kind = r.out.find("\"kind\": ", at);
        return r.out.substr(kind + 8, r.out.find('}', kind) - kind - 8);
    }
};

TEST(ScrydeFormat, WritesOnlyAfterConfirmationAndOnlyOnRecorderDrives) {
    Drives d;
    const std::string tavSum = SparseDigest(d.tav), plainSum = SparseDigest(d.plain);
    ASSERT_EQ(d.KindOf(1), "\"tav\"");
    for (const char* command : {"format", "clear"}) {
        SCOPED_TRACE(command);
        auto unasked = RunScryde({command, "--drive", "1"}, d.env);
        EXPECT_EQ(unasked.status, 1);
        EXPECT_NE(unasked.err.find("nothing written"), std::string::npos) << unasked.err;
        auto notRecorder = RunScryde({command, "--drive", "2", "--yes"}, d.env);
        EXPECT_EQ(notRecorder.status, 1);
        EXPECT_NE(notRecorder.err.find("nothing written"), std::string::npos) << notRecorder.err;
        EXPECT_EQ(RunScryde({command}, d.env).status, 2);
    }
    EXPECT_EQ(SparseDigest(d.tav), tavSum);
    EXPECT_EQ(SparseDigest(d.plain), plainSum);

    const auto size = std::filesystem::file_size(d.tav);
    auto formatted = RunScryde({"format", "--drive", "1", "--yes"}, d.env);
    EXPECT_EQ(formatted.status, 0) << formatted.err;
    EXPECT_NE(formatted.err.find("WARNING: The video drive has been successfully formatted!"),
              std::string::npos);
    EXPECT_EQ(d.KindOf(1), "null");
    EXPECT_EQ(std::filesystem::file_size(d.tav), size);
}

TEST(ScrydeClear, ClearsATavDriveThroughItsSource) {
    Drives d;
    const auto size = std::filesystem::file_size(d.tav);
    auto cleared = RunScryde({"clear", "--drive", "1", "--yes"}, d.env);
    EXPECT_EQ(cleared.status, 0) << cleared.err;
    EXPECT_EQ(d.KindOf(1), "null");
    EXPECT_EQ(std::filesystem::file_size(d.tav), size);
}

} // namespace
