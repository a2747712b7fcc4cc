// The drive-structure check of an ORMA drive: the list of candidate drives, the disk and device texts,
// and the walk over every cluster's D32M record and, at block level, every block's Disk01M header,
// with its running log, error count and verdict. Reads only; the drive is opened read-only.
//
// Qt-free: the Chekra window and `scryde check` both drive this class and show what it says.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "common/sector.h"
#include "platform/fileio.h"

namespace checker {

constexpr int kMaxErrors = 30;                // the run stops once this many errors are counted
constexpr int kHighestDrive = 15;             // drives 0..15 are searched
constexpr double kListMinMegabytes = 20000.0; // only drives above 20 GB (1 GB = 1000 MB) are listed
constexpr std::size_t kInfoTextBuffer = 512;  // the caller's buffer for each information text

// The checker's texts, exactly as the window and the report show them.
namespace text {
constexpr const char* kNoDrive = "No valid HD available";
constexpr const char* kSearching = "Searching...";
constexpr const char* kDriverNotLoadedList = "driver not loaded";
constexpr const char* kFailedToOpenDisk = "Failed to open the disk.";
constexpr const char* kNotValidHd = "Not a valid HD.";
constexpr const char* kCeiling = "Has reached the maximum error number. Checking exits.\n";
constexpr const char* kUserAborted = "User Aborted.\r\n";
constexpr const char* kNoError = "No error found. This HD looks OK.\r\n";
constexpr const char* kFewErrors =
    "Total %d errors found in the HD structure.\r\nThis HD should be reformatted before next usage.\r\n";
constexpr const char* kManyErrors = "Total %d errors found in the HD structure.\r\nThis HD should be "
                                    "performed with the physical surface check.\r\n";
constexpr const char* kFailedReportFile = "Failed to open the file for report.";
} // namespace text

// One drive of the list: its number and the entry "HDD%02d %.1fGB".
struct DriveEntry {
    int drive;
    std::string label;
};

// One line of the log that counted as an error (warnings included), for `scryde check --json`.
struct Finding {
    DWORD cluster;
    int block;        // -1 for a finding in the cluster's D32M record
    std::string text; // exactly as appended to the log
};

// The disk information text of a geometry record.
std::string DiskInfoText(const DISK_GEOMETRY& g);
// The device information text of a marker sector as read from the drive, found at cluster number `n`.
std::string DeviceInfoText(const BYTE* marker, DWORD n);
// The overall result text for an error count.
std::string ResultText(int errors);

class CStructureCheck {
public:
    enum class OpenResult { Opened, NotValid, DriveZero, NoDriver, CannotOpen, NoMarker };

    // Callbacks into the window: the progress range once per run, then before each cluster its number
    // (1-based), the count and the status line. The window may call Abort() from inside them.
    struct Callbacks {
        std::function<void(DWORD clusters)> range;
        std::function<void(DWORD cluster, DWORD clusters, const std::string& status)> progress;
    };

    CStructureCheck();
    ~CStructureCheck();
    CStructureCheck(const CStructureCheck&) = delete;
    CStructureCheck& operator=(const CStructureCheck&) = delete;

    // The Windows major version picks the access: driver mode on 5 only, file mode otherwise; the
    // drive search runs on 4 and 5 only. Read from GetVersionExA at construction.
    void SetWindowsMajor(DWORD major) { m_windowsMajor = major; }
    DWORD WindowsMajor() const { return m_windowsMajor; }

    // Drives 0..15 that carry the ORMA marker and hold more than 20,000 MB. `step` hears each drive
    // number before it is probed. In driver mode a driver that cannot be opened shows "driver not
    // loaded" once and lists nothing.
    std::vector<DriveEntry> FindDrives(const std::function<void(int drive)>& step = {});

    // Selects drive `drive`: opens it, fills the two texts. Drive 0 is never opened; the drive already
    // open keeps its handle. Messages: "Not a valid HD." for a number outside 0..15, "GLM driver not
    // loaded" (driver mode) or "Failed to open the disk." (file mode) when it cannot be opened.
    OpenResult SelectDrive(int drive);
    // A file read as a whole drive, in file mode (no message boxes; the caller says what failed).
    OpenResult OpenFile(const std::string& path);
    void Close();
    bool IsOpen() const { return m_handle != nullptr; }
    int Drive() const { return m_drive; }

    DWORD ClusterSize() const { return m_clusterSize; }
    DWORD ClusterCount() const { return m_clusterCount; }
    const std::string& DiskInfo() const { return m_diskInfo; }
    const std::string& DeviceInfo() const { return m_deviceInfo; }

    void SetCallbacks(Callbacks callbacks) { m_callbacks = std::move(callbacks); }
    // Checks every cluster (and every block when `blocks`). Needs an open drive.
    void Run(bool blocks);
    // Clears the running flag: the run stops before its next cluster (or block). Safe from any thread.
    void Abort() { m_abort = true; }
    bool Running() const { return m_running; }

    int ErrorCount() const { return m_errors; }
    bool Aborted() const { return m_aborted; }
    const std::string& Log() const { return m_log; }
    // The overall result text; empty until a run has been made on the open drive.
    std::string Result() const { return m_ran ? ResultText(m_errors) : std::string(); }
    bool HasRun() const { return m_ran; }
    const std::vector<Finding>& Findings() const { return m_findings; }
    // Checking time so far as the status line shows it.
    int ElapsedHours() const { return m_hours; }
    int ElapsedMinutes() const { return m_minutes; }
    int ElapsedMilliseconds() const { return m_milliseconds; }

private:
    OpenResult OpenHandle(HANDLE handle, bool driverMode, int drive);
    int Read(void* buffer, DWORD sector, int count);
    void CheckCluster(DWORD i, bool blocks);
    bool CheckBlock(DWORD i, DWORD k); // true when the block passed
    void Count(DWORD cluster, int block, std::string line);
    void AddElapsed(std::chrono::steady_clock::duration d);

    DWORD m_windowsMajor = 0;
    HANDLE m_handle = nullptr;
    bool m_driverMode = false;
    int m_drive = -1;
    DWORD m_clusterSize = 0;
    DWORD m_clusterCount = 0;
    std::string m_diskInfo;
    std::string m_deviceInfo;

    Callbacks m_callbacks;
    std::atomic<bool> m_abort{false};
    bool m_running = false;
    bool m_aborted = false;
    bool m_ran = false;
    int m_errors = 0;
    std::string m_log;
    std::vector<Finding> m_findings;
    int m_hours = 0, m_minutes = 0, m_milliseconds = 0;
    std::chrono::steady_clock::duration m_elapsedRemainder{};
};

} // namespace checker
