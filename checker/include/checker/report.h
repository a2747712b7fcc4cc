// The checker's report file: the log time, the two information texts, the running log and the overall
// result, written as a Windows text-mode file writes them (every "\n" becomes "\r\n").
#pragma once

#include <ctime>
#include <functional>
#include <string>

namespace checker {

class CStructureCheck;

// The time stamped into a report. The default is now, or $SOURCE_DATE_EPOCH when it is set, so that a
// report can be made again byte for byte.
using ReportClock = std::function<std::time_t()>;
std::time_t DefaultReportTime();

// The report as the program composes it, before the text-mode line ends; `when` is shown in local time
// as "month/day/year, hour:minute:second", unpadded.
std::string ComposeReport(const std::string& diskInfo, const std::string& deviceInfo, const std::string& log,
                          const std::string& result, std::time_t when);
std::string ComposeReport(const CStructureCheck& check, std::time_t when);
// Text-mode output: each "\n" written as "\r\n" (so "\r\n" becomes "\r\r\n").
std::string TextModeBytes(const std::string& text);
// Creates or truncates `path` and writes the report's text-mode bytes. False when the file cannot be
// created or written.
bool WriteReport(const std::string& path, const CStructureCheck& check,
                 const ReportClock& clock = DefaultReportTime);

// Opens the checker's log through the debug module: program name "Chekra", "Chekra.log" in the
// current folder, level threshold 1.
void OpenCheckerLog();

} // namespace checker
