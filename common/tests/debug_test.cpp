#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "common/debug.h"
#include "testsupport/temp.h"

namespace {

using namespace common;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class DebugTest : public ::testing::Test {
protected:
    void TearDown() override {
        DebugClose();
        DebugSetStyle(kDefaultDebugStyle);
        DebugSetLevel(0);
    }
    std::string TempLog(const char* name) { return testsupport::TempPath(name, ".log"); }
};

TEST_F(DebugTest, LinesCarryTheLevelAndAreFlushedAtOnce) {
    std::string path = TempLog("debug_lines");
    DebugOpen("ORMA source", path.c_str());
    DebugPrint(4, "opened %s with %d clusters", "disk", 12);
    DebugPrint(0, "plain");
    // Read while the log is still open: each line is already on disk.
    EXPECT_EQ(ReadAll(path), "4|opened disk with 12 clusters\n0|plain\n");
    DebugClose();
    ::unlink(path.c_str());
}

TEST_F(DebugTest, ProgramNameLosesItsPathAndIsCutAt80) {
    std::string path = TempLog("debug_name");
    DebugOpen("/usr/lib/scryde/Chekra", path.c_str());
    EXPECT_STREQ(DebugProgramName(), "Chekra");
    std::string longName(100, 'x');
    DebugOpen(("dir/" + longName).c_str(), path.c_str());
    EXPECT_EQ(std::string(DebugProgramName()), std::string(80, 'x'));
    ::unlink(path.c_str());
}

TEST_F(DebugTest, UnopenableLogFallsBackToStandardErrorWithOneMessage) {
    const char* missing = "/nonexistent-dir-scryde/ORMA.log";
    ::testing::internal::CaptureStderr();
    DebugOpen("ORMA source", missing);
    DebugPrint(2, "after %d", 1);
    DebugPrint(2, "again");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(
        err,
        "Can not open log file /nonexistent-dir-scryde/ORMA.log. stderr will be used\n2|after 1\n2|again\n");
}

TEST_F(DebugTest, DoubleHeightStyleSeparatorAndNoFallback) {
    std::string path = TempLog("debug_tallen");
    DebugSetStyle(kDoubleHeightDebugStyle);
    DebugOpen("Tallen", path.c_str());
    DebugPrint(1, "field %d", 2);
    EXPECT_EQ(ReadAll(path), "1 || field 2\n");
    DebugClose();
    ::unlink(path.c_str());

    // Without a log file, and without a program name, these styles stay silent.
    ::testing::internal::CaptureStderr();
    DebugOpen("Tallen", "/nonexistent-dir-scryde/Tallen.log");
    DebugPrint(1, "lost");
    DebugSetStyle(kTextOverlayDebugStyle);
    DebugOpen("", path.c_str());
    DebugPrint(1, "lost too");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// "3|" + at most 508 bytes of the caller's format + "\n" stays within 512 bytes. The cut falls between
// whole pieces: a conversion or a "%%" that does not fit is left out, one that fits is kept.
TEST_F(DebugTest, LongFormatIsCutWithoutHalfAConversion) {
    struct Case {
        std::string format, line;
    } cases[] = {
        {std::string(505, 'a') + "%d tail", std::string(505, 'a') + "7 "},
        {std::string(500, 'a') + "%d%s" + std::string(10, 'b'),
         std::string(500, 'a') + "7S" + std::string(4, 'b')},
        {std::string(506, 'a') + "%%%d", std::string(506, 'a') + "%"},
        {std::string(507, 'a') + "%%x", std::string(507, 'a')},
        {std::string(504, 'a') + "%5.2lf", std::string(504, 'a')},
    };
    std::string path = TempLog("debug_long");
    for (const Case& c : cases) {
        DebugOpen("ORMA source", path.c_str());
        DebugPrint(3, c.format.c_str(), 7, "S");
        EXPECT_EQ(ReadAll(path), "3|" + c.line + "\n") << c.format.substr(490);
        DebugClose();
    }
    ::unlink(path.c_str());
}

} // namespace
