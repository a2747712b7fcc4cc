// The audio statistics log: a thread that writes the audio renderer's statistics to AUDIOSTATS.TXT
// every 100 ms while playback with sound runs.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "media/interfaces.h"

namespace reader {

class CAudioStatsLog {
public:
    CAudioStatsLog() = default;
    ~CAudioStatsLog() { Stop(); }
    CAudioStatsLog(const CAudioStatsLog&) = delete;
    CAudioStatsLog& operator=(const CAudioStatsLog&) = delete;

    // Opens `path` (truncated) and starts the thread; false when the file cannot be opened.
    bool Start(IAMAudioRendererStats* stats, const std::string& path);
    // Tells the thread to stop and waits for it; the interface is released and the file closed.
    void Stop();
    bool Running() const { return m_thread.joinable(); }

private:
    void Run();

    ComPtr<IAMAudioRendererStats> m_stats;
    std::FILE* m_file = nullptr;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_run = false;
};

} // namespace reader
