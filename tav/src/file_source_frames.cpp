// CFileSource: the current record as a video or audio sample, and as a status text line.
#include <cstring>

#include "tav/file_source.h"
#include "tav/status_text.h"

namespace tav {

LONG CFileSource::GetFrame(BYTE* dest, DWORD capacity, int channel) {
    CAutoLock pos(&m_posLock);
    channel &= 15;
    bool audio = m_pkt.type == kTypeAudio;
    if (!audio && (m_displayCounter[channel] == 0 || !m_channelOn[channel])) {
        if (capacity < 20)
            return 0;
        WritePlaceholder(dest, 0, static_cast<BYTE>(channel));
        return 4;
    }
    if (m_pkt.number == 0 || m_pkt.size == 0 || m_pkt.size >= kMaxPacketSize)
        return 0;
    // The record header, the packet data and what lies behind it: trailer and status record.
    DWORD length = m_pkt.size + kPacketTail;
    if (capacity < length)
        return 0;
    CAutoLock disk(&m_diskLock);
    ReadAt(m_pkt.offset, dest, length);
    SampleFields f;
    f.kind = m_recorderKind;
    f.displayOption = m_displayOption;
    f.code = 0;
    f.type = m_pkt.type;
    f.size = m_pkt.size;
    RewriteSample(dest, f, &m_status);
    return static_cast<LONG>(length);
}

void CFileSource::SetTextExport(std::FILE* file, bool on) {
    CAutoLock pos(&m_posLock);
    m_textFile = file;
    m_textExport = on && file;
}

LONG CFileSource::GetFrameText(BYTE* dest, DWORD capacity, int channel) {
    (void)dest;
    (void)capacity;
    CAutoLock pos(&m_posLock);
    if (!m_textExport || m_pkt.number == 0 || m_pkt.size == 0 || m_pkt.size >= kMaxPacketSize)
        return 4;
    CAutoLock disk(&m_diskLock);
    std::vector<BYTE> packet(m_pkt.size + kPacketTail);
    ReadAt(m_pkt.offset, packet.data(), static_cast<DWORD>(packet.size()));
    const BYTE* record = packet.data() + m_pkt.size + 41;
    if (m_recorderKind >= 2 && m_recorderKind <= 4)
        std::memcpy(m_status.block.data(), record, 58);
    else if (m_recorderKind == 1)
        std::memcpy(m_status.kind1.data(), record, kKind1RecordBytes);
    std::string line = FrameTextLine(m_pkt.time, m_recorderKind, m_status, channel & 15);
    std::fwrite(line.data(), 1, line.size(), m_textFile);
    return 4;
}

}  // namespace tav
