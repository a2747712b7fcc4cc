#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/drives.h"
#include "platform/fileio.h"
#include "platform/settings.h"
#include "platform/system.h"
#include "testsupport/temp.h"

namespace {

std::string TempPath(const char* name) {
    return testsupport::TempPath(name);
}

TEST(FileIo, SetFilePointerTakesTheHighHalfAndReadsPastFourGiB) {
    std::string path = TempPath("sparse_");
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // 5 GiB + 512: high half 1, low half 0x40000200.
    LONG high = 1;
    EXPECT_EQ(SetFilePointer(h, 0x40000200, &high, FILE_BEGIN), 0x40000200u);
    EXPECT_EQ(high, 1);
    const char data[4] = {'S', 'C', 'R', 'Y'};
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, data, 4, &n, nullptr));
    EXPECT_EQ(n, 4u);
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 0x140000204LL);
    high = 1;
    SetFilePointer(h, 0x40000200, &high, FILE_BEGIN);
    char back[8] = {};
    ASSERT_TRUE(ReadFile(h, back, 8, &n, nullptr));
    EXPECT_EQ(n, 4u); // a read at the end of a file is short but succeeds
    EXPECT_EQ(std::string(back, 4), "SCRY");
    BYTE geometry[24];
    DWORD got = 0;
    ASSERT_TRUE(DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, geometry, 24, &got, nullptr));
    DISK_GEOMETRY g = platform::ParseDiskGeometry(geometry);
    EXPECT_EQ(g.Cylinders, 0x140000204LL / 512);
    EXPECT_EQ(g.MediaType, static_cast<DWORD>(FixedMedia));
    EXPECT_EQ(g.BytesPerSector, 512u);
    CloseHandle(h);
    ::unlink(path.c_str());
}

// The sector library reads and writes at an offset given in an OVERLAPPED on a synchronous handle; the
// transfer happens there and leaves the file pointer behind it, as SetFilePointer then ReadFile would.
TEST(FileIo, OverlappedOffsetOnASynchronousHandleMovesThePointerPastTheTransfer) {
    std::string path = TempPath("positioned_");
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const char data[] = "0123456789abcdef";
    DWORD n = 0;
    OVERLAPPED at{};
    at.Offset = 4;
    ASSERT_TRUE(WriteFile(h, data, 16, &n, &at));
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 20u);
    char back[4] = {};
    at.Offset = 8;
    ASSERT_TRUE(ReadFile(h, back, 4, &n, &at));
    EXPECT_EQ(std::string(back, 4), "4567");
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 12u);
    // The next plain read goes on from there.
    ASSERT_TRUE(ReadFile(h, back, 4, &n, nullptr));
    EXPECT_EQ(std::string(back, 4), "89ab");
    CloseHandle(h);
    ::unlink(path.c_str());
}

TEST(FileIo, ErrorsMapOntoWin32Numbers) {
    EXPECT_EQ(CreateFileA("/nonexistent-scryde/x", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(),
              ERROR_PATH_NOT_FOUND == GetLastError() ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileA("/", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    DWORD n = 0;
    char b[4];
    EXPECT_FALSE(ReadFile(reinterpret_cast<HANDLE>(0x7777), b, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(platform::Win32ErrorFromErrno(EIO), ERROR_CRC);
    EXPECT_EQ(platform::Win32ErrorFromErrno(ENOSPC), ERROR_DISK_FULL);
    // Opening for reading never creates.
    std::string path = TempPath("nocreate_");
    EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

TEST(DriveMap, ParsesTheEnvironmentFormAndNamesWhatIsWrong) {
    auto ok = platform::DriveMap::Parse("1=/dev/sdb, 2=/srv/images/dvr.img");
    EXPECT_TRUE(ok.Problem().empty());
    EXPECT_EQ(ok.PathOf(1), "/dev/sdb");
    EXPECT_EQ(ok.PathOf(2), "/srv/images/dvr.img");
    EXPECT_FALSE(ok.PathOf(0));
    struct Case {
        const char* text;
        const char* problem;
    } bad[] = {
        {"/dev/sdb", "\"/dev/sdb\" is not of the form NUMBER=PATH"},
        {"x=/dev/sdb", "\"x\" is not a drive number from 0 to 255"},
        {"-1=/dev/sdb", "\"-1\" is not a drive number"},
        {"1=", "drive 1 has no path"},
        {"1=/a,1=/b", "drive 1 is named twice"},
        {"999=/a", "\"999\" is not a drive number"},
    };
    for (const Case& c : bad) {
        auto map = platform::DriveMap::Parse(c.text);
        EXPECT_NE(map.Problem().find(c.problem), std::string::npos) << c.text << " -> " << map.Problem();
        EXPECT_TRUE(map.Entries().empty());
    }
}

TEST(Environment, WindowsVersionFromScrydeWinver) {
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
    struct Case {
        const char* value;
        bool ok;
        DWORD major, minor;
    } cases[] = {{"5.1", true, 5, 1},   {"4", true, 4, 0},   {"6.0", true, 6, 0}, {"7", true, 7, 0},
                 {"five", false, 0, 0}, {"5.", false, 0, 0}, {"", false, 0, 0},   {"5.1x", false, 0, 0}};
    for (const Case& c : cases) {
        ::setenv("SCRYDE_WINVER", c.value, 1);
        EXPECT_EQ(GetVersionExA(&v) != FALSE, c.ok) << c.value;
        EXPECT_EQ(!platform::WinVerProblem(), c.ok) << c.value;
        if (c.ok) {
            EXPECT_EQ(v.dwMajorVersion, c.major);
            EXPECT_EQ(v.dwMinorVersion, c.minor);
        }
    }
    ::unsetenv("SCRYDE_WINVER");
    ASSERT_TRUE(GetVersionExA(&v));
    EXPECT_EQ(v.dwMajorVersion, 5u);
    EXPECT_EQ(v.dwMinorVersion, 1u);
}

TEST(Environment, ProgramFolderAndDrivesMapOntoLinuxPaths) {
    std::string home = TempPath("home_");
    ::setenv("SCRYDE_HOME", home.c_str(), 1);
    ::setenv("SCRYDE_DRIVES", "2=/srv/dvr.img", 1);
    EXPECT_EQ(platform::MapWindowsPath("C:\\Program Files\\Scryde\\ORMA.log"), home + "/ORMA.log");
    EXPECT_EQ(platform::MapWindowsPath("\\\\.\\PHYSICALDRIVE2"), "/srv/dvr.img");
    EXPECT_EQ(platform::MapWindowsPath("/already/linux"), "/already/linux");
    EXPECT_EQ(platform::ScrydeHome(), home);
    EXPECT_EQ(::access(home.c_str(), F_OK), 0); // created on first use
    ::unsetenv("SCRYDE_HOME");
    ::unsetenv("SCRYDE_DRIVES");
    ::rmdir(home.c_str());
}

TEST(Environment, MessageBoxWithoutHandlerWritesOneLineAndTakesTheDefault) {
    auto old = platform::SetMessageBoxHandler(nullptr);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxA(nullptr, "ReadSector(): failed!\nErrno=5\n", "Error", MB_OK), IDOK);
    EXPECT_EQ(MessageBoxA(nullptr, "Format?", "Warning", MB_YESNO | MB_DEFBUTTON2), IDNO);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Error: ReadSector(): failed! Errno=5\nWarning: Format?\n");
    platform::SetMessageBoxHandler(old);
}

TEST(Settings, DwordValuesRoundTripThroughTheRegistryCalls) {
    std::string cfg = TempPath("config_");
    ::setenv("XDG_CONFIG_HOME", cfg.c_str(), 1);
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, "software\\Veltrix\\GLM500", 0, KEY_READ, &key), 0);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "software\\Veltrix\\GLM500", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              0);
    DWORD v = 3;
    ASSERT_EQ(RegSetValueExA(key, "Layout", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), 0);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "software\\Veltrix\\GLM500", 0, KEY_READ, &key), 0);
    DWORD out = 0, size = 4, type = 0;
    ASSERT_EQ(RegQueryValueExA(key, "Layout", nullptr, &type, reinterpret_cast<BYTE*>(&out), &size), 0);
    EXPECT_EQ(out, 3u);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_NE(RegQueryValueExA(key, "Missing", nullptr, &type, reinterpret_cast<BYTE*>(&out), &size), 0);
    RegCloseKey(key);
    std::ifstream in(cfg + "/Veltrix/GLM500.conf");
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "Layout=3");
    ::unsetenv("XDG_CONFIG_HOME");
    std::system(("rm -rf " + cfg).c_str());
}

} // namespace
