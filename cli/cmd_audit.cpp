// scryde audit: the audit log of evidence opened and files written, oldest first.
#include <cstdio>

#include "cli/audit.h"
#include "cli/command.h"
#include "cli/source_kinds.h"

namespace cli {
namespace {

// The value of `key` in one of the log's flat objects, as text ("" for null or absent). The log is
// written by AppendAudit alone, so its lines hold only strings, numbers and nulls.
std::string Field(const std::string& line, const std::string& key) {
    const std::string marker = "\"" + key + "\": ";
    std::size_t at = line.find(marker);
    if (at == std::string::npos)
        return "";
    at += marker.size();
    if (line.compare(at, 4, "null") == 0)
        return "";
    if (line[at] != '"') {
        std::size_t end = line.find_first_of(",}", at);
        return line.substr(at, end - at);
    }
    std::string value;
    for (std::size_t i = at + 1; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            char c = line[++i];
            if (c == 'u' && i + 4 < line.size()) {
                value += '?'; // control characters in paths are shown as such
                i += 4;
            } else {
                value += c == 'n' ? '\n' : c == 't' ? '\t' : c;
            }
        } else {
            value += line[i];
        }
    }
    return value;
}

int RunAudit(const std::vector<std::string>& input) {
    std::vector<std::string> args = input;
    const bool json = TakeFlag(args, "--json");
    if (!args.empty())
        return Fail(kUsage, "audit: unexpected \"" + args.front() + "\"");
    std::string problem;
    std::vector<std::string> lines = ReadAuditLines(&problem);
    if (!problem.empty())
        return Fail(kFailure, "audit: " + problem);
    if (json) {
        std::string out = "[";
        for (std::size_t i = 0; i < lines.size(); ++i)
            out += (i ? ", " : "") + lines[i];
        std::printf("%s]\n", out.c_str());
        return kSuccess;
    }
    if (lines.empty()) {
        std::printf("(the audit log %s is empty)\n", AuditLogPath().c_str());
        return kSuccess;
    }
    for (const std::string& line : lines) {
        std::printf("%s  %-6s %s  %s", Field(line, "time").c_str(), Field(line, "action").c_str(),
                    Field(line, "user").c_str(), Field(line, "program").c_str());
        std::printf("  %s", Field(line, "source").c_str());
        std::string from = Field(line, "from"), to = Field(line, "to");
        if (!from.empty())
            std::printf(" [%s - %s]", from.c_str(), to.c_str());
        std::string output = Field(line, "output");
        if (!output.empty())
            std::printf(" -> %s (%s bytes)", output.c_str(), Field(line, "output_bytes").c_str());
        std::string sha = Field(line, "sha256");
        if (!sha.empty())
            std::printf("  SHA256 %s", sha.c_str());
        std::printf("  %s\n", Field(line, "result").c_str());
    }
    return kSuccess;
}

const CommandRegistrar
    reg({"audit", "list the audit log: evidence opened and files written",
         "Usage: scryde audit [--json]\n"
         "\n"
         "Lists $SCRYDE_HOME/audit.jsonl, oldest first: every drive or image a command opened\n"
         "and every file a command wrote from one (time, program, user, source and its size,\n"
         "the time range and sectors read, the output, its size and SHA-256, and the result).\n"
         "--json prints the entries as one JSON array, each as it stands in the log.\n",
         RunAudit});

} // namespace
} // namespace cli
