#include "platform/system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/drives.h"

namespace platform {

// ---- Last error ---------------------------------------------------------------------------------------
namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

void SetLastError(DWORD error) {
    t_lastError = error;
}
DWORD GetLastError() {
    return t_lastError;
}

DWORD Win32ErrorFromErrno(int err) {
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENXIO:
    case ENODEV:
        return ERROR_DEVICE_NOT_CONNECTED;
    case ENOMEDIUM:
        return ERROR_NOT_READY;
    case EIO:
        return ERROR_CRC; // an unreadable sector, as Windows reports it
    case ESPIPE:
        return ERROR_SEEK;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOSPC:
        return ERROR_DISK_FULL;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EBUSY:
        return ERROR_BUSY;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case EFAULT:
        return ERROR_NOACCESS;
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case ETIMEDOUT:
        return ERROR_TIMEOUT;
    case EOPNOTSUPP:
        return ERROR_NOT_SUPPORTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// ---- Windows version ------------------------------------------------------------------------------------
namespace {

struct WinVer {
    DWORD major = 5, minor = 1;
    std::optional<std::string> problem;
};

WinVer ReadWinVer() {
    WinVer v;
    const char* env = std::getenv("SCRYDE_WINVER");
    if (!env)
        return v;
    std::string text = env;
    unsigned long major = 0, minor = 0;
    const char* p = text.c_str();
    char* end = nullptr;
    bool ok = !text.empty() && *p >= '0' && *p <= '9';
    if (ok) {
        major = std::strtoul(p, &end, 10);
        if (*end == '.') {
            const char* q = end + 1;
            ok = *q >= '0' && *q <= '9';
            if (ok)
                minor = std::strtoul(q, &end, 10);
        }
        ok = ok && *end == '\0' && major < 100 && minor < 100;
    }
    if (!ok) {
        v.problem = "SCRYDE_WINVER: \"" + text + "\" is not a Windows version such as 5.1";
        return v;
    }
    v.major = static_cast<DWORD>(major);
    v.minor = static_cast<DWORD>(minor);
    return v;
}

} // namespace

std::optional<std::string> WinVerProblem() {
    return ReadWinVer().problem;
}

// ---- Message boxes and debugger output
// ---------------------------------------------------------------------
namespace {

std::mutex g_sinkLock;

MessageBoxHandler& BoxHandler() {
    static MessageBoxHandler h;
    return h;
}
DebugSink& Sink() {
    static DebugSink s;
    return s;
}

} // namespace

int DefaultButton(UINT type) {
    int buttons[3] = {IDOK, 0, 0};
    switch (type & 0xF) {
    case MB_OKCANCEL:
        buttons[0] = IDOK, buttons[1] = IDCANCEL;
        break;
    case MB_ABORTRETRYIGNORE:
        buttons[0] = IDABORT, buttons[1] = IDRETRY, buttons[2] = IDIGNORE;
        break;
    case MB_YESNOCANCEL:
        buttons[0] = IDYES, buttons[1] = IDNO, buttons[2] = IDCANCEL;
        break;
    case MB_YESNO:
        buttons[0] = IDYES, buttons[1] = IDNO;
        break;
    case MB_RETRYCANCEL:
        buttons[0] = IDRETRY, buttons[1] = IDCANCEL;
        break;
    default:
        break;
    }
    int index = (type & MB_DEFBUTTON3) ? 2 : (type & MB_DEFBUTTON2) ? 1 : 0;
    return buttons[index] ? buttons[index] : buttons[0];
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard guard(g_sinkLock);
    return std::exchange(BoxHandler(), std::move(handler));
}

DebugSink SetDebugSink(DebugSink sink) {
    std::lock_guard guard(g_sinkLock);
    return std::exchange(Sink(), std::move(sink));
}

// ---- Locations
// ---------------------------------------------------------------------------------------------
namespace {

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    return home && *home ? home : "/tmp";
}

void MakeDirectories(const std::string& path) {
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            std::string part = path.substr(0, i);
            ::mkdir(part.c_str(), 0755);
        }
    }
}

bool StartsWithNoCase(const std::string& s, const char* prefix) {
    return strncasecmp(s.c_str(), prefix, std::strlen(prefix)) == 0;
}

} // namespace

std::string ScrydeHome() {
    std::string home;
    if (const char* env = std::getenv("SCRYDE_HOME"); env && *env)
        home = env;
    else if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
        home = std::string(state) + "/Scryde";
    else
        home = HomeDirectory() + "/.local/state/Scryde";
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    MakeDirectories(home);
    return home;
}

std::string DocumentsDirectory() {
    if (const char* env = std::getenv("XDG_DOCUMENTS_DIR"); env && *env)
        return env;
    return HomeDirectory() + "/Documents";
}

std::string InstalledDataDirectory() {
    if (const char* env = std::getenv("SCRYDE_DATA"); env && *env)
        return env;
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string dir = n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string("./x");
    dir = dir.substr(0, dir.find_last_of('/'));
    // Built tree: data/ beside the programs; installed tree: ../share/scryde.
    struct stat st {};
    std::string built = dir + "/data";
    if (::stat(built.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return built;
    return dir + "/../share/scryde";
}

std::optional<std::string> FindDataFile(const std::string& name) {
    struct stat st {};
    if (::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        return name;
    std::string installed = InstalledDataDirectory() + "/" + name;
    if (::stat(installed.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        return installed;
    return std::nullopt;
}

std::string MapWindowsPath(const std::string& path) {
    static const char programFolder[] = "C:\\Program Files\\Scryde";
    if (StartsWithNoCase(path, programFolder)) {
        std::string rest = path.substr(sizeof programFolder - 1);
        for (char& c : rest)
            if (c == '\\')
                c = '/';
        return ScrydeHome() + rest;
    }
    if (StartsWithNoCase(path, "\\\\.\\PHYSICALDRIVE")) {
        int n = std::atoi(path.c_str() + 17);
        auto p = DriveMap::Load().PathOf(n);
        return p ? *p : path;
    }
    // Other drive-letter paths and relative paths with backslashes: folder separators only.
    if (path.find('\\') != std::string::npos && path.find('/') == std::string::npos) {
        std::string out = path;
        std::size_t from = 0;
        if (out.size() >= 2 && out[1] == ':')
            from = 2;
        out = out.substr(from);
        for (char& c : out)
            if (c == '\\')
                c = '/';
        return out;
    }
    return path;
}

} // namespace platform

using namespace platform;

BOOL GetVersionExA(OSVERSIONINFOA* info) {
    if (!info) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    WinVer v = ReadWinVer();
    if (v.problem) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    info->dwMajorVersion = v.major;
    info->dwMinorVersion = v.minor;
    info->dwBuildNumber = 2600;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    info->szCSDVersion[0] = '\0';
    return TRUE;
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
    MessageBoxRequest req{text ? text : "", caption ? caption : "Error", type};
    MessageBoxHandler handler;
    {
        std::lock_guard guard(g_sinkLock);
        handler = BoxHandler();
    }
    if (handler)
        return handler(req);
    // No window system: one line on standard error, answered with the default button.
    std::string line = req.text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    std::fprintf(stderr, "%s: %s\n", req.caption.c_str(), line.c_str());
    return DefaultButton(type);
}

void OutputDebugStringA(LPCSTR text) {
    if (!text)
        return;
    DebugSink sink;
    {
        std::lock_guard guard(g_sinkLock);
        sink = Sink();
    }
    if (sink) {
        sink(text);
        return;
    }
    static const bool toStderr = [] {
        const char* env = std::getenv("SCRYDE_DEBUG");
        return env && std::strcmp(env, "0") != 0 && *env;
    }();
    if (toStderr)
        std::fputs(text, stderr);
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD timeGetTime() {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<DWORD>(static_cast<ULONGLONG>(ms));
}

DWORD GetTickCount() {
    return timeGetTime();
}
UINT timeBeginPeriod(UINT) {
    return 0;
}
UINT timeEndPeriod(UINT) {
    return 0;
}
