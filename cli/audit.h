// The audit log: one JSON line in $SCRYDE_HOME/audit.jsonl for every piece of evidence opened and every
// file written from it, so what was read and what came out of it can be shown later.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

struct AuditEntry {
    std::string action;  // "open", "write" or "verify"
    std::string command; // the scryde command ("export"); the program name is added
    std::string source;  // the drive or image read
    std::optional<std::uint64_t> sourceBytes;
    std::optional<std::string> from, to; // the time range read, when there was one
    std::optional<std::uint64_t> firstSector, lastSector;
    std::optional<std::string> output; // the file written
    std::optional<std::uint64_t> outputBytes;
    std::optional<std::string> sha256; // of the output, or of the source for "verify"
    std::string result = "ok";
};

std::string AuditLogPath();
// Appends one line, with the time and user. Failing to log is reported on standard error (and false
// returned) but never touches what was written.
bool AppendAudit(const AuditEntry& entry);
// Logs a file the command wrote: its size and SHA-256 are taken from the file itself. Returns the
// digest it logged (nothing when the file cannot be read back).
std::optional<std::string> AuditWrittenFile(AuditEntry entry, const std::string& output);
// The entries of the log, each line as written (lines that are not JSON objects are skipped).
std::vector<std::string> ReadAuditLines(std::string* problem);

} // namespace cli
