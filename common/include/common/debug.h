// The plain-text log every deliverable keeps: one line per message, the level, a separator and the
// text, flushed line by line.
#pragma once

namespace common {

// How this module's log looks and behaves when it cannot be opened.
struct DebugStyle {
    const char* lineFormat; // "%d|%s\n", or "%d || %s\n" in the double-height filter
    bool stderrFallback;    // an unopenable log falls back to standard error (else logging is off)
    bool requireName;       // an empty or missing program name leaves logging off
};
extern const DebugStyle kDefaultDebugStyle;
extern const DebugStyle kDoubleHeightDebugStyle;
extern const DebugStyle kTextOverlayDebugStyle;

void DebugSetStyle(const DebugStyle& style);

// Opens (creates or truncates) the log at `logPath` (a Windows path under the program folder is
// mapped onto the Scryde home). The program name keeps what follows its last '/', at most 80
// characters; it reads "None Yet" before the first call.
void DebugOpen(const char* programName, const char* logPath);
void DebugClose();
// Writes "<level>|<message>\n". Before any DebugOpen lines go to standard error.
void DebugPrint(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The module-wide level threshold: 0 at load, set by each deliverable after DebugOpen.
void DebugSetLevel(int level);
int DebugLevel();
const char* DebugProgramName();

} // namespace common
