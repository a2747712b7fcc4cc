// CVTSource: the current packet as a video or audio sample, and as a status text line.
#include <algorithm>
#include <cstring>

#include "tav/status_text.h"
#include "tav/vt_source.h"

namespace tav {

LONG CVTSource::GetFrame(BYTE* dest, DWORD capacity, int channel) {
    CAutoLock pos(&m_posLock);
    channel &= 15;
    bool audio = m_pkt.type == kTypeAudio;
    if (!audio && (m_displayCounter[channel] == 0 || !m_channelOn[channel])) {
        if (capacity < 20)
            return 0;
        WritePlaceholder(dest, m_code, static_cast<BYTE>(channel));
        return 4;
    }
    return ReadSample(dest, capacity);
}

LONG CVTSource::ReadSample(BYTE* dest, DWORD capacity) {
    CAutoLock pos(&m_posLock);
    if (m_pkt.size == 0 || m_pkt.size >= kMaxPacketSize)
        return 0;
    CAutoLock disk(&m_diskLock);
    DWORD got = ReadPacket(&m_readBuf);
    DWORD length = m_pkt.size + kPacketTail;
    // The sample must hold the whole packet with its trailer area.
    if (capacity < length || got < length || m_readBuf.size() < length)
        return 0;
    SampleFields f;
    f.kind = m_recorderKind;
    f.displayOption = m_displayOption;
    f.code = m_pkt.code;
    f.type = m_pkt.type;
    f.size = m_pkt.size;
    RewriteSample(m_readBuf.data(), f, &m_status);
    std::memcpy(dest, m_readBuf.data(), length);
    return static_cast<LONG>(length);
}

void CVTSource::CloseTextFile() {
    if (m_textFile && m_textFile != INVALID_HANDLE_VALUE)
        CloseHandle(m_textFile);
    m_textFile = nullptr;
    m_textExport = false;
}

void CVTSource::SetTextExport(HANDLE file, bool on) {
    CAutoLock pos(&m_posLock);
    if (m_textFile && m_textFile != file)
        CloseTextFile();
    m_textFile = file;
    m_textExport = on && file && file != INVALID_HANDLE_VALUE;
}

bool CVTSource::TextExportOn() {
    CAutoLock pos(&m_posLock);
    return m_textExport;
}

TavStatusState CVTSource::StatusCopy() {
    CAutoLock pos(&m_posLock);
    return m_status;
}

LONG CVTSource::GetFrameText(BYTE* dest, DWORD capacity, int channel) {
    CAutoLock pos(&m_posLock);
    // The sample itself carries no picture: a placeholder, so that nothing downstream decodes stale bytes.
    if (dest && capacity >= 20)
        WritePlaceholder(dest, m_code, static_cast<BYTE>(channel & 15));
    if (!m_textExport || m_pkt.size == 0 || m_pkt.size >= kMaxPacketSize)
        return 4;
    CAutoLock disk(&m_diskLock);
    DWORD got = ReadPacket(&m_readBuf);
    if (got < m_pkt.size + kPacketTail || m_readBuf.size() < m_pkt.size + kPacketTail)
        return 4;
    const BYTE* record = m_readBuf.data() + m_pkt.size + 41;
    if (m_recorderKind >= 2 && m_recorderKind <= 4)
        std::memcpy(m_status.block.data(), record, 58);
    else if (m_recorderKind == 1)
        std::memcpy(m_status.kind1.data(), record, kKind1RecordBytes);
    std::string line = FrameTextLine(m_pkt.time, m_recorderKind, m_status, channel & 15);
    DWORD written = 0;
    WriteFile(m_textFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return 4;
}

} // namespace tav
