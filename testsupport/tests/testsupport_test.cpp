// The shared checksums against published FNV-1a 64 values, the data-extent walk on a sparse file, the
// scratch folder's removal and the whole-file readers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testsupport/checksum.h"
#include "testsupport/files.h"
#include "testsupport/temp.h"

using namespace testsupport;

TEST(TestSupport, Fnv1a64KnownValuesAndContinuation) {
    struct Case {
        std::string text;
        std::uint64_t fnv;
    };
    const Case cases[] = {
        {"", 0xcbf29ce484222325ull},
        {"a", 0xaf63dc4c8601ec8cull},
        {"foobar", 0x85944171f73967e8ull},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Fnv1a64(c.text.data(), c.text.size()), c.fnv) << c.text;
        const std::vector<std::uint8_t> bytes(c.text.begin(), c.text.end());
        EXPECT_EQ(Fnv1a64(bytes), c.fnv) << c.text;
    }
    // Continuing from a checksum is the checksum of the concatenation.
    EXPECT_EQ(Fnv1a64("bar", 3, Fnv1a64("foo", 3)), 0x85944171f73967e8ull);
}

TEST(TestSupport, TempDirRemovesItselfAndFileReadersReadWholeFiles) {
    std::string kept;
    {
        CTempDir dir("testsupport");
        kept = dir.Path();
        ASSERT_TRUE(std::filesystem::is_directory(kept));
        EXPECT_EQ(dir.File("a"), kept + "/a");
        std::filesystem::create_directories(dir.File("sub"));
        std::ofstream(dir.File("sub/foobar")) << "foobar";
        EXPECT_EQ(FileFnv1a64(dir.File("sub/foobar")), 0x85944171f73967e8ull);
        EXPECT_EQ(FileFnv1a64(dir.File("missing")), 0u);
        // Bytes past a NUL and a CR LF come back as written.
        const std::string binary("a\0b\r\n\xff", 6);
        std::ofstream(dir.File("binary"), std::ios::binary) << binary;
        EXPECT_EQ(ReadFileText(dir.File("binary")), binary);
        EXPECT_EQ(ReadFileBytes(dir.File("binary")), std::vector<std::uint8_t>(binary.begin(), binary.end()));
        EXPECT_TRUE(ReadFileBytes(dir.File("missing")).empty());
        EXPECT_TRUE(ReadFileText(dir.File("missing")).empty());
        CTempDir other("testsupport");
        EXPECT_NE(other.Path(), kept);
    }
    EXPECT_FALSE(std::filesystem::exists(kept));
    EXPECT_NE(TempPath("x", ".img").find("/x_" + std::to_string(::getpid()) + ".img"), std::string::npos);
}

TEST(TestSupport, DataPiecesSkipHoles) {
    CTempDir dir("testsupport");
    const std::string path = dir.File("sparse");
    // 8 MiB with data at 0 (3 bytes) and at 5 MiB (2 MiB + 1 byte, so in three pieces).
    const off_t far = 5 << 20;
    {
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "abc", 3, 0), 3);
        const std::vector<char> big((2 << 20) + 1, 'x');
        ASSERT_EQ(::pwrite(fd, big.data(), big.size(), far), static_cast<ssize_t>(big.size()));
        ASSERT_EQ(::ftruncate(fd, 8 << 20), 0);
        ::close(fd);
    }
    std::uint64_t bytes = 0;
    std::vector<off_t> extents;
    const off_t size =
        ForEachDataPiece(path, [&](off_t extent, off_t at, const std::uint8_t* data, std::size_t n) {
            if (extent == at)
                extents.push_back(extent);
            EXPECT_LE(n, std::size_t(1) << 20);
            EXPECT_EQ(data[0], at < far ? 'a' : 'x');
            bytes += n;
        });
    EXPECT_EQ(size, 8 << 20);
    // The file system stores whole blocks: the first extent reads as a block with "abc" and zeros.
    ASSERT_EQ(extents.size(), 2u);
    EXPECT_EQ(extents[0], 0);
    EXPECT_EQ(extents[1], far);
    EXPECT_LT(bytes, std::uint64_t(3) << 20);
    EXPECT_EQ(ForEachDataPiece(dir.File("missing"), [](off_t, off_t, const std::uint8_t*, std::size_t) {}),
              -1);
}
