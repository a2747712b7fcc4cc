#include "checker/report.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "checker/structure_check.h"
#include "common/debug.h"
#include "common/sector.h"

namespace checker {

std::time_t DefaultReportTime() {
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
        char* end = nullptr;
        errno = 0;
        long long v = std::strtoll(epoch, &end, 10);
        if (*epoch && !*end && errno == 0 && v >= 0)
            return static_cast<std::time_t>(v);
    }
    return std::time(nullptr);
}

std::string ComposeReport(const std::string& diskInfo, const std::string& deviceInfo, const std::string& log,
                          const std::string& result, std::time_t when) {
    std::tm t{};
    localtime_r(&when, &t);
    std::string r = "--------\nLog Time\n--------\n";
    r += common::Format("Time of this report: %d/%d/%d, %d:%d:%d\n\r\n\r", t.tm_mon + 1, t.tm_mday,
                        t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    r += "----------------\nDisk Information\n----------------\n";
    r += diskInfo;
    r += "\n\r";
    r += "------------------\nDevice Information\n------------------\n";
    r += deviceInfo;
    r += "\n\r";
    r += "----------------\nChecking Details\n----------------\n";
    r += log;
    r += "\n\n";
    r += "--------------\nOverall Result\n--------------\n";
    r += result;
    return r;
}

std::string ComposeReport(const CStructureCheck& check, std::time_t when) {
    return ComposeReport(check.DiskInfo(), check.DeviceInfo(), check.Log(), check.Result(), when);
}

std::string TextModeBytes(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

bool WriteReport(const std::string& path, const CStructureCheck& check, const ReportClock& clock) {
    const std::string bytes = TextModeBytes(ComposeReport(check, clock ? clock() : DefaultReportTime()));
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!f)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f.get()) == bytes.size();
    return std::fclose(f.release()) == 0 && written;
}

void OpenCheckerLog() {
    common::DebugOpen("Chekra", "Chekra.log");
    common::DebugSetLevel(1);
}

} // namespace checker
