// Progress of long work on standard error, and the two ways scryde waits for such work: work that runs
// on a thread of its own and can only be asked how far it is, and work scryde runs on a worker thread.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/hresult.h"

namespace cli {

// One progress line: "\r<prefix>N%" each time the figure changes.
class CProgressLine {
public:
    explicit CProgressLine(std::string prefix) : m_prefix(std::move(prefix)) {}
    // Shows `percent`; a negative figure (not known yet) shows nothing.
    void Show(int percent);
    bool Shown() const { return m_shown >= 0; }
    // Ends the line: "\r<prefix><done>\n" when `done` is given, else a newline when anything was shown.
    void Finish(const char* done = nullptr);

private:
    std::string m_prefix;
    int m_shown = -1;
};

// Waits until `finished()` holds, asking it and `percent()` every `interval` from one interval on: for work
// on a thread of its own (a source's export thread) that says how far it is only when asked.
void WaitShowingProgress(const std::function<bool()>& finished, const std::function<int()>& percent,
                         CProgressLine& line, std::chrono::milliseconds interval);

// Runs `work` on a worker thread and shows `percent()` every `interval` until it returns; the wait ends as
// soon as the work does. Returns what `work` returned.
HRESULT RunShowingProgress(const std::function<HRESULT()>& work, const std::function<int()>& percent,
                           CProgressLine& line, std::chrono::milliseconds interval);

} // namespace cli
