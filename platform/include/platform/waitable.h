// Objects a wait function can wait on (events, threads, overlapped requests). Internal to platform/
// and to code that builds its own waitable kernel objects.
#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/sync.h"

namespace platform {

std::mutex& WaitLock();

class Waitable : public KernelObject {
public:
    Waitable(bool manualReset, bool initial) : m_manualReset(manualReset), m_signalled(initial) {}
    void Signal();
    void Unsignal();
    // Callers hold WaitLock().
    void SignalLocked();
    bool IsSignalledLocked() const { return m_signalled; }
    bool TryAcquireLocked();

    std::vector<std::condition_variable*> m_waiters; // guarded by WaitLock()

private:
    bool m_manualReset;
    bool m_signalled;
};

} // namespace platform
