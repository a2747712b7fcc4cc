// scryde sim orma, info and frames on a synthetic image and drive, end to end.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "testsupport/temp.h"

namespace {

struct Outcome {
    int status;
    std::string out;
};

Outcome Scryde(const std::string& args, const std::string& env = "") {
    const std::string command = env + " " + SCRYDE_PROGRAM + " " + args + " 2>/dev/null";
    Outcome r{-1, ""};
    FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string Temp(const char* name) {
    return testsupport::TempPath("orma_cli", name);
}

TEST(OrmaCli, ImageInfoAndFrames) {
    const std::string image = Temp(".orm");
    ASSERT_EQ(
        Scryde("sim orma " + image + " --image --segments 2 --alarms 2 --frames-per-block 2 --json").status,
        0);
    Outcome info = Scryde("info " + image + " --json");
    ASSERT_EQ(info.status, 0);
    for (const char* field :
         {"\"kind\": \"orma\"", "\"cluster_size\": 65536", "\"cluster_count\": 4",
          "\"system_area_start\": 262144", "\"sector_base\": 0", "\"write_cluster\": 0",
          "\"segment_count\": 2", "\"alarm_total\": 8", "\"start_time\": \"2009/03/01 08:00:00\"",
          "\"end_time\": \"2009/03/01 08:10:00\"", "\"first_cluster\": 2", "\"last_cluster\": 3",
          "\"value\": 257", "\"capacity_mb\": 128", "\"used_mb\": 134"})
        EXPECT_NE(info.out.find(field), std::string::npos) << field << "\n" << info.out;

    Outcome frames = Scryde("frames " + image + " --from \"2009/03/01 09:15:00\" --count 3 --json");
    ASSERT_EQ(frames.status, 0);
    EXPECT_EQ(frames.out.rfind("[{\"time\": \"2009/03/01 09:15:", 0), 0u) << frames.out;
    EXPECT_NE(frames.out.find("\"channel\": 1"), std::string::npos);
    EXPECT_NE(frames.out.find("\"audio_bytes\": 294"), std::string::npos);

    EXPECT_EQ(Scryde("frames " + image + " --segment 5").status, 1);
    EXPECT_EQ(Scryde("frames " + image + " --from yesterday").status, 2);
    std::remove(image.c_str());
}

TEST(OrmaCli, DriveIsDetectedAndReadThroughTheDriveMap) {
    const std::string drive = Temp(".img");
    ASSERT_EQ(Scryde("sim orma " + drive + " --size 200M --wrap --pal --frames-per-block 1").status, 0);
    const std::string env = "SCRYDE_DRIVES=1=" + drive;
    Outcome drives = Scryde("drives --json", env);
    EXPECT_NE(drives.out.find("\"kind\": \"orma\""), std::string::npos) << drives.out;
    Outcome info = Scryde("info --drive 1 --json", env);
    ASSERT_EQ(info.status, 0);
    EXPECT_NE(info.out.find("\"cluster_count\": 6"), std::string::npos) << info.out;
    // The wrapped recording: the oldest segment lost its first cluster to the newest one.
    EXPECT_NE(info.out.find("\"first_cluster\": 1"), std::string::npos) << info.out;
    Outcome asDrive = Scryde("info " + drive + " --as-drive --json", "SCRYDE_WINVER=4.0");
    EXPECT_EQ(asDrive.status, 0);
    EXPECT_NE(asDrive.out.find("\"cluster_count\": 6"), std::string::npos);
    Outcome frames = Scryde("frames --drive 1 --segment 1 --count 2", env);
    EXPECT_EQ(frames.status, 0);
    EXPECT_NE(frames.out.find("ch  1"), std::string::npos) << frames.out;
    std::remove(drive.c_str());
}

TEST(OrmaCli, DamagedImageIsAOneLineFailure) {
    const std::string image = Temp("_bad.orm");
    ASSERT_EQ(Scryde("sim orma " + image + " --image --damage marker --frames-per-block 1").status, 0);
    EXPECT_EQ(Scryde("info " + image).status, 1);
    EXPECT_EQ(Scryde("sim orma " + image + " --damage nonsense").status, 2);
    std::remove(image.c_str());
}

} // namespace
