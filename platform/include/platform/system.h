// Process-level stand-ins: the Windows version, message boxes, debugger output, time, and the
// locations that Windows paths map onto.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/hresult.h"

// ---- Windows version ------------------------------------------------------------------------------
struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
};
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

// Reports the version named by $SCRYDE_WINVER ("major.minor", default 5.1). A malformed value fails
// with ERROR_INVALID_PARAMETER; platform::WinVerProblem() says what is wrong with it.
BOOL GetVersionExA(OSVERSIONINFOA* info);

// ---- Message boxes --------------------------------------------------------------------------------
constexpr UINT MB_OK = 0x0;
constexpr UINT MB_OKCANCEL = 0x1;
constexpr UINT MB_ABORTRETRYIGNORE = 0x2;
constexpr UINT MB_YESNOCANCEL = 0x3;
constexpr UINT MB_YESNO = 0x4;
constexpr UINT MB_RETRYCANCEL = 0x5;
constexpr UINT MB_ICONHAND = 0x10;
constexpr UINT MB_ICONERROR = 0x10;
constexpr UINT MB_ICONQUESTION = 0x20;
constexpr UINT MB_ICONEXCLAMATION = 0x30;
constexpr UINT MB_ICONWARNING = 0x30;
constexpr UINT MB_ICONINFORMATION = 0x40;
constexpr UINT MB_DEFBUTTON2 = 0x100;
constexpr UINT MB_DEFBUTTON3 = 0x200;
constexpr UINT MB_TASKMODAL = 0x2000;
constexpr UINT MB_TOPMOST = 0x40000;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// ---- Debugger output ------------------------------------------------------------------------------
void OutputDebugStringA(LPCSTR text);

// ---- Time -----------------------------------------------------------------------------------------
void Sleep(DWORD milliseconds);
DWORD timeGetTime();
DWORD GetTickCount();
UINT timeBeginPeriod(UINT period);
UINT timeEndPeriod(UINT period);

namespace platform {

// What a message box shows; handlers return the button pressed (IDOK, IDYES, ...).
struct MessageBoxRequest {
    std::string text;
    std::string caption;
    UINT type;
};
using MessageBoxHandler = std::function<int(const MessageBoxRequest&)>;
// Installs the process's message-box handler and returns the previous one. The default writes
// "Caption: text" on standard error and answers with the box's default button.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);
// The button a box answers with when nobody is asked: its default button.
int DefaultButton(UINT type);

// Debugger output goes to the sink; the default writes to standard error when $SCRYDE_DEBUG=1.
using DebugSink = std::function<void(const std::string&)>;
DebugSink SetDebugSink(DebugSink sink);

// Reasons a platform environment variable cannot be used, or nothing when it is fine.
std::optional<std::string> WinVerProblem();

// ---- Locations ------------------------------------------------------------------------------------
// "C:\Program Files\Scryde" on this system: $SCRYDE_HOME, else $XDG_STATE_HOME/Scryde, else
// ~/.local/state/Scryde; created on first use. No trailing '/'.
std::string ScrydeHome();
// The user's documents folder: $XDG_DOCUMENTS_DIR, else ~/Documents.
std::string DocumentsDirectory();
// Folders searched for data files the programs read by bare name, after the current directory.
std::string InstalledDataDirectory();
// Finds a data file by bare name: the current directory first, then the installed data folder.
std::optional<std::string> FindDataFile(const std::string& name);
// Turns a Windows path into the Linux path it stands for: the program folder maps onto ScrydeHome(),
// "\\.\PHYSICALDRIVEn" onto the drive map, other paths get '/' for '\'. Paths that already look like
// Linux paths are returned unchanged.
std::string MapWindowsPath(const std::string& path);

} // namespace platform
