#include "cli/audit.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

#include "cli/json.h"
#include "common/digest.h"
#include "platform/system.h"

namespace cli {

namespace {

std::string UserName() {
    if (const passwd* pw = ::getpwuid(::getuid()))
        return pw->pw_name;
    const char* user = std::getenv("USER");
    return user ? user : std::to_string(::getuid());
}

std::string UtcNow() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

void OptionalString(JsonWriter& out, const char* key, const std::optional<std::string>& value) {
    out.Key(key);
    value ? out.String(*value) : out.Null();
}

void OptionalNumber(JsonWriter& out, const char* key, const std::optional<std::uint64_t>& value) {
    out.Key(key);
    value ? out.UInt(*value) : out.Null();
}

} // namespace

std::string AuditLogPath() {
    return platform::ScrydeHome() + "/audit.jsonl";
}

bool AppendAudit(const AuditEntry& e) {
    JsonWriter out;
    out.BeginObject();
    out.Key("time").String(UtcNow());
    out.Key("program").String("scryde " + e.command);
    out.Key("user").String(UserName());
    out.Key("action").String(e.action);
    out.Key("source").String(e.source);
    OptionalNumber(out, "source_bytes", e.sourceBytes);
    OptionalString(out, "from", e.from);
    OptionalString(out, "to", e.to);
    OptionalNumber(out, "first_sector", e.firstSector);
    OptionalNumber(out, "last_sector", e.lastSector);
    OptionalString(out, "output", e.output);
    OptionalNumber(out, "output_bytes", e.outputBytes);
    OptionalString(out, "sha256", e.sha256);
    out.Key("result").String(e.result);
    out.EndObject();
    const std::string line = out.Text() + "\n";

    const std::string path = AuditLogPath();
    // One write of the whole line to a file opened for appending, so concurrent programs never interleave.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    ssize_t written = fd < 0 ? -1 : ::write(fd, line.data(), line.size());
    int saved = errno;
    if (fd >= 0 && ::close(fd) != 0 && written >= 0) {
        written = -1;
        saved = errno;
    }
    if (written != static_cast<ssize_t>(line.size())) {
        std::fprintf(stderr,
                     "scryde: warning: the audit log %s cannot be written (%s); this %s is not logged\n",
                     path.c_str(), written < 0 ? std::strerror(saved) : "short write", e.action.c_str());
        return false;
    }
    return true;
}

std::optional<std::string> AuditWrittenFile(AuditEntry entry, const std::string& output) {
    entry.action = "write";
    entry.output = output;
    struct stat st {};
    if (::stat(output.c_str(), &st) == 0)
        entry.outputBytes = static_cast<std::uint64_t>(st.st_size);
    auto digest = common::Sha256OfFile(output);
    entry.sha256 = digest;
    if (!digest)
        entry.result = "written, but cannot be read back";
    AppendAudit(entry);
    return digest;
}

std::vector<std::string> ReadAuditLines(std::string* problem) {
    std::vector<std::string> lines;
    std::ifstream in(AuditLogPath());
    if (!in) {
        if (errno != ENOENT)
            *problem = AuditLogPath() + ": " + std::strerror(errno);
        return lines;
    }
    std::string line;
    while (std::getline(in, line))
        if (line.size() >= 2 && line.front() == '{' && line.back() == '}')
            lines.push_back(line);
    return lines;
}

} // namespace cli
