// CTavDiskSource: the frame rates, measured by walking the entries ahead of the position.
#include "tav/disk_source.h"

namespace tav {

void CTavDiskSource::MeasureFrameRates() {
    CAutoLock pos(&m_posLock);
    if (m_sectionsInUse == 0)
        return;
    Position saved = SavePosition();
    MeasureDurations([this](BYTE* type, BYTE* channel, DWORD* time) {
        if (!NextEntry())
            return false;
        *type = m_pkt.type, *channel = m_pkt.channel, *time = m_pkt.time;
        return true;
    });
    RestorePosition(saved);
}

} // namespace tav
