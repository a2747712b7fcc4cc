#include "common/debug.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/system.h"

namespace common {

const DebugStyle kDefaultDebugStyle = {"%d|%s\n", true, false};
const DebugStyle kDoubleHeightDebugStyle = {"%d || %s\n", false, true};
const DebugStyle kTextOverlayDebugStyle = {"%d|%s\n", false, true};

namespace {

// The composed line format (level prefix, caller's format, newline) is limited to this many bytes.
constexpr std::size_t kMaxFormat = 512;
constexpr std::size_t kMaxProgramName = 80;
constexpr const char* kIdentification = "$Id: debug.cpp,v 1.4 scryde $";

std::mutex g_lock;
const DebugStyle* g_style = &kDefaultDebugStyle;
FILE* g_log = nullptr; // nullptr: standard error (before DebugOpen, or after a fallback)
bool g_off = false;    // logging switched off (styles without the standard-error fallback)
int g_level = 0;
char g_programName[kMaxProgramName + 1] = "None Yet";

FILE* Stream() {
    return g_log ? g_log : stderr;
}

// Splits the style's line format around its "%s" so the caller's format can be put in between.
void SplitLineFormat(const char* lineFormat, std::string* head, std::string* tail) {
    const char* s = std::strstr(lineFormat, "%s");
    *head = s ? std::string(lineFormat, s) : std::string(lineFormat);
    *tail = s ? std::string(s + 2) : std::string();
}

// Bytes of the conversion that starts at f[i] ('%'): "%%", or flags, width, precision and length
// modifier up to the conversion letter (to the end of the format when it has none).
std::size_t ConversionLength(const std::string& f, std::size_t i) {
    std::size_t j = i + 1;
    if (j < f.size() && f[j] == '%')
        return 2;
    while (j < f.size() && std::strchr("-+ #0'", f[j]))
        ++j;
    while (j < f.size() && (std::isdigit(static_cast<unsigned char>(f[j])) || f[j] == '*' || f[j] == '.'))
        ++j;
    while (j < f.size() && std::strchr("hlLqjzt", f[j]))
        ++j;
    return (j < f.size() ? j + 1 : j) - i;
}

// Cuts a format to at most `limit` bytes at a boundary between whole pieces: a conversion (or "%%")
// is kept whole or left out, never cut in half.
std::string CutFormat(const char* format, std::size_t limit) {
    std::string f = format;
    if (f.size() <= limit)
        return f;
    std::size_t end = 0;
    for (std::size_t i = 0; i < f.size();) {
        const std::size_t n = f[i] == '%' ? ConversionLength(f, i) : 1;
        if (i + n > limit)
            break;
        i += n;
        end = i;
    }
    f.resize(end);
    return f;
}

} // namespace

void DebugSetStyle(const DebugStyle& style) {
    std::lock_guard guard(g_lock);
    g_style = &style;
}

void DebugOpen(const char* programName, const char* logPath) {
    {
        std::lock_guard guard(g_lock);
        if (g_style->requireName && (!programName || !*programName)) {
            g_off = true;
            return;
        }
        const char* name = programName ? programName : "";
        if (const char* slash = std::strrchr(name, '/'))
            name = slash + 1;
        std::snprintf(g_programName, sizeof g_programName, "%.*s", static_cast<int>(kMaxProgramName), name);

        if (g_log) {
            std::fclose(g_log);
            g_log = nullptr;
        }
        g_off = false;
        std::string path = logPath ? platform::MapWindowsPath(logPath) : std::string();
        g_log = path.empty() ? nullptr : std::fopen(path.c_str(), "wt");
        if (!g_log) {
            if (g_style->stderrFallback)
                std::fprintf(stderr, "Can not open log file %s. stderr will be used\n",
                             logPath ? logPath : "(null)");
            else
                g_off = true;
        }
    }
    if (DebugLevel() > 8)
        DebugPrint(9, "%s", kIdentification);
}

void DebugClose() {
    std::lock_guard guard(g_lock);
    if (g_log)
        std::fclose(g_log);
    g_log = nullptr;
}

void DebugPrint(int level, const char* format, ...) {
    if (!format)
        return;
    std::lock_guard guard(g_lock);
    if (g_off)
        return;
    std::string head, tail;
    SplitLineFormat(g_style->lineFormat, &head, &tail);
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, head.c_str(), level);
    std::size_t room = kMaxFormat > std::strlen(prefix) + tail.size() + 1
                           ? kMaxFormat - std::strlen(prefix) - tail.size() - 1
                           : 0;
    std::string body = CutFormat(format, room);
    va_list args;
    va_start(args, format);
    FILE* out = Stream();
    std::fputs(prefix, out);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::vfprintf(out, body.c_str(), args);
#pragma GCC diagnostic pop
    std::fputs(tail.c_str(), out);
    std::fflush(out);
    va_end(args);
}

void DebugSetLevel(int level) {
    std::lock_guard guard(g_lock);
    g_level = level;
}

int DebugLevel() {
    std::lock_guard guard(g_lock);
    return g_level;
}

const char* DebugProgramName() {
    return g_programName;
}

} // namespace common
