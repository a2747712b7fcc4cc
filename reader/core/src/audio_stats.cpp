#include "reader/audio_stats.h"

#include <chrono>
#include <ctime>

namespace reader {

namespace {

DWORD Stat(IAMAudioRendererStats* stats, DWORD param, DWORD* second = nullptr) {
    DWORD a = 0, b = 0;
    if (!stats || FAILED(stats->GetStatParam(param, &a, &b)))
        a = b = 0;
    if (second)
        *second = b;
    return a;
}

} // namespace

bool CAudioStatsLog::Start(IAMAudioRendererStats* stats, const std::string& path) {
    Stop();
    m_file = std::fopen(path.c_str(), "w");
    if (!m_file)
        return false;
    m_stats = stats;
    m_run = true;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void CAudioStatsLog::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_run = false;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void CAudioStatsLog::Run() {
    IAMAudioRendererStats* s = m_stats.Get();
    std::fprintf(m_file, "Audio render rate match mode = %5lu\n",
                 static_cast<unsigned long>(Stat(s, AM_AUDREND_STAT_PARAM_SLAVE_MODE)));
    std::fprintf(m_file, "Audio render matching rate = %5lu\n\n",
                 static_cast<unsigned long>(Stat(s, AM_AUDREND_STAT_PARAM_SLAVE_RATE)));
    std::fflush(m_file);
    const auto period = std::chrono::milliseconds(s ? 100 : 250);
    std::unique_lock lock(m_mutex);
    while (m_run) {
        lock.unlock();
        char when[32];
        std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        std::strftime(when, sizeof when, "%Y/%m/%d %H:%M:%S", &local);
        DWORD low = 0;
        const DWORD high = Stat(s, AM_AUDREND_STAT_PARAM_SLAVE_LASTHIGHLOWERROR, &low);
        std::fprintf(m_file,
                     "%s - Audio Breaks = %5lu, Total Silence Inserted = %6lumS, Buffer Pct = %2lu%%, Clock "
                     "diff = %5lu\n",
                     when, static_cast<unsigned long>(Stat(s, AM_AUDREND_STAT_PARAM_BREAK_COUNT)),
                     static_cast<unsigned long>(Stat(s, AM_AUDREND_STAT_PARAM_SILENCE_DUR)),
                     static_cast<unsigned long>(Stat(s, AM_AUDREND_STAT_PARAM_BUFFERFULLNESS)),
                     static_cast<unsigned long>(Stat(s, AM_AUDREND_STAT_PARAM_SLAVE_ACCUMERROR)));
        std::fprintf(m_file,
                     "Last buffer = %3lums, Dropped data = %3lums, high error = %3lu, low error = %3lu\n\n",
                     static_cast<unsigned long>(Stat(s, AM_AUDREND_STAT_PARAM_LAST_BUFFER_DUR)),
                     static_cast<unsigned long>(Stat(s, AM_AUDREND_STAT_PARAM_SLAVE_DROPWRITE_DUR)),
                     static_cast<unsigned long>(high), static_cast<unsigned long>(low));
        std::fflush(m_file);
        lock.lock();
        m_wake.wait_for(lock, period, [this] { return !m_run; });
    }
    lock.unlock();
    m_stats = nullptr;
    std::fclose(m_file);
    m_file = nullptr;
}

} // namespace reader
