// CVTSource: the playback and export loops of the reader thread, the export preparation and the
// export by pull. Each loop hands one packet at a time to the pin of its channel and waits until the
// pin has read it (Hand); a stop or a pending command ends the loop.
#include <algorithm>
#include <cstring>
#include <tuple>

#include "platform/bytes.h"
#include "tav/vt_source.h"

namespace tav {

namespace {

// Entries walked between two looks at the stop event and the command queue while nothing is accepted.
constexpr unsigned kScanCheckEvery = 256;
// The pause after a packet type the loop does not know, or a section change that found nothing.
constexpr DWORD kIdleMs = 100;
// Entries PrepareExport walks looking for the first audio block and key frame.
constexpr int kExportProbeEntries = 512;

bool IsFrame(BYTE type) {
    return type == kTypeKey || type == kTypePredicted || type == kTypeNone;
}

} // namespace

bool CVTSource::NextSection() {
    CAutoLock pos(&m_posLock);
    if (m_sectionsInUse <= 0)
        return false;
    const int n = m_sectionsInUse;
    int s = std::clamp(m_section, 0, n - 1);
    for (int k = 0; k < n; ++k) {
        s = ((s + m_dir) % n + n) % n;
        if (m_sections[s].start && m_sections[s].end) {
            m_section = s;
            InitSection();
            m_sectionChanged = true;
            return true;
        }
    }
    return false;
}

int CVTSource::SelectPlaybackPacket() {
    for (unsigned scanned = 1;; ++scanned) {
        if (scanned % kScanCheckEvery == 0 && Interrupted())
            return -1;
        if (!NextEntry())
            return 0;
        CAutoLock pos(&m_posLock);
        const TavPacket& p = m_pkt;
        const int n = m_n;
        const int dir = m_dir;
        if (n <= 2) {
            if (p.type == kTypeKey)
                return p.type;
            if (p.type == kTypePredicted && dir > 0)
                return p.type;
            if (p.type == kTypeAudio && p.channel == m_audioChannel && dir > 0 && n == 1 &&
                m_stepCount == 0 && m_timestamps &&
                ((m_audioFormat == 1 && p.size == kAdpcmAudioPacketBytes) ||
                 (m_audioFormat != 1 && p.size == kG711AudioPacketBytes)))
                return p.type;
            continue;
        }
        if (p.type != kTypeKey)
            continue;
        // Fast play: every (n / 4)-th key frame of each channel. A counter loaded with 0 (n < 4) lets
        // every key frame through instead of wrapping round to 255.
        BYTE& counter = m_fastCounter[p.channel & 15];
        if (counter > 0)
            --counter;
        if (counter == 0) {
            counter = static_cast<BYTE>(n / 4);
            return p.type;
        }
    }
}

void CVTSource::PlaybackLoop() {
    m_reference = ClockNow();
    m_audioEnabled = m_audioPresent && m_audio && m_audio->Connected();
    ClearDisplayCounters();
    MeasureFrameRates();
    // Prime: every video pin gets a placeholder, and the audio pin one sample, so all start flowing.
    {
        CAutoLock pos(&m_posLock);
        m_pkt.type = kTypeNone;
    }
    for (int c = 0; c < kChannels; ++c)
        if (!HandVideo(c))
            return;
    if (m_audioEnabled && !Hand(m_audio))
        return;

    bool lastWasSectionEnd = false;
    for (;;) {
        if (Interrupted())
            return;
        LONG steps = m_stepCount;
        if (steps == 1) {
            HANDLE h[3] = {m_step.Handle(), m_stop.Handle(), GetRequestHandle()};
            if (WaitForMultipleObjects(3, h, FALSE, INFINITE) != WAIT_OBJECT_0)
                return;
        } else if (steps > 1) {
            m_stepCount.compare_exchange_strong(steps, steps - 1);
        }
        int type = SelectPlaybackPacket();
        if (type < 0)
            return;
        if (type == 0) {
            // Two section ends in a row (empty sections, or none that qualifies): rest instead of spinning.
            if ((!NextSection() || lastWasSectionEnd) && WaitInterrupt(kIdleMs))
                return;
            lastWasSectionEnd = true;
            continue;
        }
        lastWasSectionEnd = false;
        TavPacket p = CurrentPacket();
        const int c = p.channel & 15;
        if (type == kTypeKey) {
            // The channel with the key frame stays live for a while; channels without a recent key
            // frame get placeholders; the skip counter counts the live channels passed over.
            {
                CAutoLock pos(&m_posLock);
                m_displayCounter[c] = static_cast<WORD>(m_skipCounter * 32 + 2);
                m_skipCounter = 0;
            }
            for (int i = 0; i < kChannels; ++i) {
                bool give;
                {
                    CAutoLock pos(&m_posLock);
                    give = m_displayCounter[i] == 0;
                    if (!give) {
                        --m_displayCounter[i];
                        ++m_skipCounter;
                    }
                }
                if (give && !HandVideo(i))
                    return;
            }
            if (!HandVideo(c))
                return;
        } else if (type == kTypePredicted || type == kTypeNone) {
            if (!HandVideo(c))
                return;
        } else if (type == kTypeAudio) {
            if (m_audioEnabled && !Hand(m_audio))
                return;
        } else if (WaitInterrupt(kIdleMs)) {
            return;
        }
    }
}

bool CVTSource::BeyondEndMark() const {
    const TavMark& m = m_markEnd;
    auto here = std::make_tuple(m_section, m_pkt.segment, m_pkt.block, m_pkt.entry);
    return here > std::make_tuple(m.section, m.segment, m.block, m.entry);
}

int CVTSource::SelectExportPacket(bool keyOnly, bool interruptible) {
    const int channel = m_exportChannel;
    for (unsigned scanned = 1;; ++scanned) {
        if (interruptible && scanned % kScanCheckEvery == 0 && Interrupted())
            return -1;
        if (!NextEntry()) {
            CAutoLock pos(&m_posLock);
            // The range runs forwards through the sections in time order; past the last one it has
            // ended (going round to the first would repeat the recording).
            if (m_section + 1 >= m_sectionsInUse) {
                m_curTime = m_markEnd.time + 1;
                return 0;
            }
            ++m_section;
            InitSection();
            m_sectionChanged = true;
            keyOnly = true;
            continue;
        }
        CAutoLock pos(&m_posLock);
        const TavPacket& p = m_pkt;
        bool frame = IsFrame(p.type) && p.channel == channel;
        bool audio = p.type == kTypeAudio && p.channel == m_audioChannel;
        if (BeyondEndMark() || (frame && p.code != m_exportCode)) {
            m_curTime = m_markEnd.time + 1;
            return 0;
        }
        if (keyOnly ? (frame && p.type == kTypeKey) : (frame || audio))
            return p.type;
    }
}

void CVTSource::ExportLoop() {
    m_reference = ClockNow();
    {
        CAutoLock pos(&m_posLock);
        m_displayCounter[m_exportChannel & 15] = 1;
    }
    m_audioEnabled = m_audioPresent && m_audio && m_audio->Connected();
    int type = SelectExportPacket(true, true);
    while (type > 0) {
        {
            CAutoLock pos(&m_posLock);
            if (m_curTime >= m_markEnd.time)
                break;
        }
        bool handed = type == kTypeAudio ? (!m_audioEnabled || Hand(m_audio)) : HandVideo(m_exportChannel);
        if (!handed)
            return;
        type = SelectExportPacket(false, true);
    }
    if (type < 0)
        return;
    {
        CAutoLock pos(&m_posLock);
        m_code = m_exportCode;
    }
    // The range is done: the export pin and the audio pin end their streams, so the writer downstream
    // can finish its file.
    if (CVTPinLink* link = m_video[m_exportChannel & 15])
        link->m_stop.Set();
    if (m_audio)
        m_audio->m_stop.Set();
}

HRESULT CVTSource::PrepareExport(int* audioFormat, int channel) {
    bool audio = false, video = false;
    int format = m_audioFormat;
    {
        CAutoLock pos(&m_posLock);
        m_exportMode = true;
        m_exportChannel = channel & 15;
        m_exportCode = m_code;
        if (m_markStart.time > m_markEnd.time)
            std::swap(m_markStart, m_markEnd);
        if (m_sectionsInUse > 0) {
            m_section = std::clamp(m_markStart.section, 0, m_sectionsInUse - 1);
            InitSection();
        }
        GoToMark(m_markStart);
        std::vector<BYTE> packet;
        for (int i = 0; i < kExportProbeEntries && !(audio && video); ++i) {
            if (!NextEntry())
                break;
            const TavPacket& p = m_pkt;
            if (!audio && p.type == kTypeAudio) {
                if (p.size == kAdpcmAudioPacketBytes) {
                    format = 1;
                } else if (p.size == kG711AudioPacketBytes) {
                    CAutoLock disk(&m_diskLock);
                    if (ReadPacket(&packet) > 60)
                        format = packet[60];
                }
                audio = true;
            } else if (!video && p.type == kTypeKey) {
                CAutoLock disk(&m_diskLock);
                WORD w = m_width, h = m_height;
                if (ReadPacket(&packet) >= 128 &&
                    ParseVideoObjectLayer(packet.data() + 64, 64, &w, &h) == 0 && w && h) {
                    m_width = w;
                    m_height = h;
                    video = true;
                }
            }
        }
        m_audioPresent = audio;
        if (audio)
            m_audioFormat = format;
    }
    if (audio && m_audio)
        m_audio->OnAudioFormat(format);
    if (audioFormat)
        *audioFormat = audio ? format : 0;
    ResetPinFormats();
    CAutoLock pos(&m_posLock);
    GoToMark(m_markStart);
    MeasureFrameRates();
    m_curTime = m_markStart.time;
    return S_OK;
}

bool CVTSource::ExportNextPacket(BYTE* buffer, DWORD capacity) {
    if (!buffer || capacity < 64)
        return false;
    CAutoLock pos(&m_posLock);
    if (m_curTime > m_markEnd.time)
        return false;
    if (SelectExportPacket(false, false) <= 0)
        return false;
    LONG length = ReadSample(buffer, capacity);
    if (length < 64)
        return false;
    platform::WriteLE32(buffer, kTagKind0);
    platform::WriteLE32(buffer + 28, m_pkt.size - 32);
    if (m_pkt.type == kTypeAudio) {
        std::vector<BYTE> pcm(kAudioSampleBytes);
        DWORD n =
            ConvertAudio(buffer, static_cast<DWORD>(length), m_audioFormat, pcm.data(), kAudioSampleBytes);
        n = std::min(n, capacity - 64);
        std::memcpy(buffer + 64, pcm.data(), n);
        platform::WriteLE32(buffer + 28, n);
    }
    platform::WriteLE32(buffer + 28, platform::ReadLE32(buffer + 28) + 32);
    return true;
}

} // namespace tav
