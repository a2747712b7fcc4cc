#include "orma/pins.h"

namespace orma {

COrmaSlotBank::COrmaSlotBank(bool headless) : m_headless(headless) {
    for (int ch = 0; ch < kChannels; ++ch) {
        auto i = static_cast<std::size_t>(ch);
        m_buffers[i].assign(kSlotBytes, 0);
        m_slots[i].picture = m_buffers[i].data();
        m_slots[i].capacity = kSlotBytes;
        m_ready[i] = std::make_unique<CAMEvent>(FALSE, FALSE);
        m_wanted[i] = std::make_unique<CAMEvent>(FALSE, FALSE);
    }
}

void COrmaSlotBank::SetFrameReady(int channel) {
    ++m_readyCount[static_cast<std::size_t>(channel)];
    m_ready[static_cast<std::size_t>(channel)]->Set();
}

bool COrmaSlotBank::WaitFrameWanted(int channel, DWORD ms) {
    if (m_headless)
        return true;
    return m_wanted[static_cast<std::size_t>(channel)]->Wait(ms);
}

} // namespace orma
