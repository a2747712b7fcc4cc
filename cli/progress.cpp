#include "cli/progress.h"

#include <cstdio>
#include <future>
#include <thread>

namespace cli {

void CProgressLine::Show(int percent) {
    if (percent < 0 || percent == m_shown)
        return;
    std::fprintf(stderr, "\r%s%d%%", m_prefix.c_str(), percent);
    m_shown = percent;
}

void CProgressLine::Finish(const char* done) {
    if (done)
        std::fprintf(stderr, "\r%s%s\n", m_prefix.c_str(), done);
    else if (Shown())
        std::fprintf(stderr, "\n");
}

void WaitShowingProgress(const std::function<bool()>& finished, const std::function<int()>& percent,
                         CProgressLine& line, std::chrono::milliseconds interval) {
    // The work can only be asked: there is no event that says it has ended. It is asked first after one
    // interval, when it has surely begun.
    bool done = false;
    do {
        std::this_thread::sleep_for(interval);
        done = finished();
        line.Show(percent());
    } while (!done);
}

HRESULT RunShowingProgress(const std::function<HRESULT()>& work, const std::function<int()>& percent,
                           CProgressLine& line, std::chrono::milliseconds interval) {
    std::future<HRESULT> result = std::async(std::launch::async, work);
    while (result.wait_for(interval) != std::future_status::ready)
        line.Show(percent());
    return result.get();
}

} // namespace cli
