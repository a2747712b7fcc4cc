// CFileSource: open and probe, the record scan, every position operation and the packet read.
#include "tav/file_source.h"

#include <algorithm>
#include <cstring>

#include "common/sector.h"
#include "platform/bytes.h"
#include "platform/fileio.h"

namespace tav {
namespace {

// A record a pin can take: a key frame, predicted frame or audio block of channel 0..15 whose packet
// fits a sample. Other records are stepped over by the scan but not listed.
bool Playable(const TavStreamRecord& r) {
    bool known = r.type == kTypeKey || r.type == kTypePredicted || r.type == kTypeAudio;
    return known && r.channel < kChannels && r.size != 0 && r.size < kMaxPacketSize;
}

// Walks the records of a file from offset 0 through a read window, so a scan costs one file read per
// window rather than two per record.
class RecordScanner {
public:
    explicit RecordScanner(CFileSource* source) : m_source(source), m_window(kWindowBytes) {}

    ULONGLONG Offset() const { return m_next; }

    // The record at the current offset; false when no whole record header lies there.
    bool Next(TavStreamRecord* r) {
        BYTE head[kStreamRecordHeaderBytes];
        if (Read(m_next, head, sizeof head) < sizeof head)
            return false;
        r->offset = m_next;
        r->time = platform::ReadLE32(head + 4);
        r->size = platform::ReadLE32(head + 8);
        r->channel = head[18];
        r->type = ReduceType(head[19]);
        // The trailer behind the packet data: tag, length L, kind byte and L bytes of status record.
        ULONGLONG end = m_next + kStreamRecordHeaderBytes + r->size;
        BYTE tail[8];
        ULONGLONG trailer = 0;
        if (Read(end, tail, sizeof tail) == sizeof tail) {
            DWORD tag = platform::ReadLE32(tail);
            if (tag == kFrameTrailerTagA || tag == kFrameTrailerTagB || tag == kTagRail)
                trailer = ULONGLONG(platform::ReadLE32(tail + 4)) + kStreamTrailerHeadBytes;
        }
        m_next = end + trailer;
        return true;
    }

private:
    static constexpr DWORD kWindowBytes = 64 * 1024;

    DWORD Read(ULONGLONG offset, BYTE* out, DWORD bytes) {
        if (offset < m_base || offset + bytes > m_base + m_have) {
            ULONGLONG size = m_source->FileSize();
            m_base = offset;
            m_have =
                offset < size
                    ? m_source->ReadAt(offset, m_window.data(),
                                       static_cast<DWORD>(std::min<ULONGLONG>(kWindowBytes, size - offset)))
                    : 0;
        }
        ULONGLONG avail = m_base + m_have - offset;
        DWORD n = static_cast<DWORD>(std::min<ULONGLONG>(avail, bytes));
        std::memcpy(out, m_window.data() + (offset - m_base), n);
        return n;
    }

    CFileSource* m_source;
    std::vector<BYTE> m_window;
    ULONGLONG m_base = 0;
    DWORD m_have = 0;
    ULONGLONG m_next = 0;
};

} // namespace

CFileSource::CFileSource(DWORD windowsMajor) : CVTSource(windowsMajor) {}

CFileSource::~CFileSource() {
    Close();
}

DWORD CFileSource::ReadAt(ULONGLONG offset, BYTE* buffer, DWORD bytes) {
    CAutoLock disk(&m_diskLock);
    DWORD got = 0;
    if (m_handle && offset < m_fileSize) {
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(offset);
        if (SetFilePointerEx(m_handle, at, nullptr, FILE_BEGIN)) {
            while (got < bytes) {
                DWORD n = 0;
                if (!ReadFile(m_handle, buffer + got, bytes - got, &n, nullptr) || n == 0)
                    break;
                got += n;
            }
        }
    }
    std::memset(buffer + got, 0, bytes - got);
    return got;
}

DWORD CFileSource::ReadPacket(std::vector<BYTE>* out) {
    CAutoLock pos(&m_posLock);
    CAutoLock disk(&m_diskLock);
    if (m_number < 1 || m_number > RecordCount()) {
        out->clear();
        return 0;
    }
    const TavStreamRecord& r = m_records[m_number];
    DWORD length = r.size + kPacketTail;
    out->resize(length);
    ReadAt(r.offset, out->data(), length);
    return length;
}

// ---- open and probe ----------------------------------------------------------------------------------

void CFileSource::ResetProbe() {
    m_width = m_height = 0;
    m_recorderKind = 0;
    m_audioFormat = 1;
    m_audioPresent = false;
    m_code = 0;
    m_measureChannel = 0;
}

HRESULT CFileSource::Open(int kind, int drive, const char* path) {
    (void)drive;
    {
        CAutoLock pos(&m_posLock);
        if (!path)
            return E_INVALIDARG;
        if (kind != kOpenStreamFile)
            return E_FAIL;
        CloseDevice();
        ResetProbe();
        m_records.assign(1, TavStreamRecord{});
        m_cursor = m_number = 0;
        m_pkt = TavPacket{};
        m_path = path;
        m_handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (m_handle == INVALID_HANDLE_VALUE || !m_handle) {
            m_handle = nullptr;
            common::ErrorBox(common::Format(common::msg::kCreateFileFilenameFailed, path,
                                            static_cast<int>(GetLastError())));
            return E_FAIL;
        }
        LARGE_INTEGER size{};
        GetFileSizeEx(m_handle, &size);
        m_fileSize = size.QuadPart > 0 ? static_cast<ULONGLONG>(size.QuadPart) : 0;
        // One section, selected, until LoadIndex gives it its times.
        m_sections.assign(1, TavSection{});
        m_sectionsInUse = 1;
        m_section = 0;
        Probe();
    }
    // The pins learn the probe results outside the position lock.
    if (m_audioPresent && m_audio)
        m_audio->OnAudioFormat(m_audioFormat);
    ResetPinFormats();
    return m_audioPresent ? 1 : 0;
}

// The first key frame tells the picture size, the measuring channel and the recorder kind; the first
// audio block tells the audio format. Only records starting in the first 4 MiB are looked at.
void CFileSource::Probe() {
    RecordScanner scan(this);
    bool audio = false, video = false;
    std::vector<BYTE> packet;
    TavStreamRecord r;
    while (!(audio && video) && scan.Offset() < kStreamProbeBytes && scan.Next(&r)) {
        if (!Playable(r))
            continue;
        if (!audio && r.type == kTypeAudio) {
            audio = true;
            if (r.size == kAdpcmAudioPacketBytes) {
                m_audioFormat = 1;
            } else if (r.size == kG711AudioPacketBytes) {
                BYTE format = 0;
                ReadAt(r.offset + 60, &format, 1);
                m_audioFormat = format;
            }
        } else if (!video && r.type == kTypeKey) {
            packet.resize(r.size + kPacketTail);
            ReadAt(r.offset, packet.data(), static_cast<DWORD>(packet.size()));
            WORD w = m_width, h = m_height;
            ParseVideoObjectLayer(packet.data() + 64, 64, &w, &h);
            DetectRecorderKind(packet.data(), r.size, &m_recorderKind);
            m_width = w;
            m_height = h;
            if (w && h) {
                m_measureChannel = r.channel;
                video = true;
            }
        }
    }
    m_audioPresent = audio;
}

// ---- record list ---------------------------------------------------------------------------------

HRESULT CFileSource::LoadIndex() {
    {
        CAutoLock pos(&m_posLock);
        if (!m_handle)
            return E_FAIL;
        m_progress = 0;
        m_cancel = 0;
        m_records.assign(1, TavStreamRecord{});
        RecordScanner scan(this);
        TavStreamRecord r;
        while (m_records.size() <= kMaxStreamRecords && !m_cancel && scan.Next(&r)) {
            if (Playable(r))
                m_records.push_back(r);
            if (m_fileSize)
                m_progress =
                    static_cast<LONG>(std::min<ULONGLONG>(scan.Offset(), m_fileSize) * 1000 / m_fileSize);
        }
        if (m_cancel)
            m_records.assign(1, TavStreamRecord{});
        m_progress = 1000;
        m_sections.assign(1, TavSection{});
        m_section = 0;
        m_cursor = m_number = 0;
        m_pkt = TavPacket{};
        if (RecordCount() == 0) {
            m_sectionsInUse = 0;
            return E_FAIL;
        }
        m_sections[0].start = m_records[1].time;
        m_sections[0].end = m_records.back().time;
        m_sectionsInUse = 1;
    }
    // The initialise command puts the position at the start of the section.
    return StartReaderThread();
}

TavStreamRecord CFileSource::Record(LONG number) {
    CAutoLock pos(&m_posLock);
    if (number < 1 || number > RecordCount())
        return TavStreamRecord{};
    return m_records[number];
}

LONG CFileSource::CurrentRecord() {
    CAutoLock pos(&m_posLock);
    return m_number;
}

// ---- position --------------------------------------------------------------------------------------

void CFileSource::Load(LONG n) {
    const TavStreamRecord& r = m_records[n];
    m_number = n;
    m_pkt = TavPacket{};
    m_pkt.entry = static_cast<int>(n);
    m_pkt.offset = static_cast<DWORD>(r.offset);
    m_pkt.size = r.size;
    m_pkt.time = r.time;
    m_pkt.channel = r.channel;
    m_pkt.type = r.type;
    m_pkt.code = 0;
    m_curTime = r.time;
}

void CFileSource::Place(LONG n) {
    Load(n);
    // A ring of count + 1 nodes: a step forward from the head reaches record 1, a step backward from
    // the head the last record.
    LONG ring = RecordCount() + 1;
    m_cursor = ((n - m_dir) % ring + ring) % ring;
}

int CFileSource::NextEntry() {
    CAutoLock pos(&m_posLock);
    LONG count = RecordCount();
    if (count == 0)
        return 0;
    LONG next = m_dir > 0 ? (m_cursor == count ? 0 : m_cursor + 1) : (m_cursor == 0 ? count : m_cursor - 1);
    if (next == 0)
        return 0;
    m_cursor = next;
    Load(next);
    return 1;
}

HRESULT CFileSource::GoToStart() {
    CAutoLock pos(&m_posLock);
    if (RecordCount() == 0)
        return E_FAIL;
    Place(1);
    return S_OK;
}

HRESULT CFileSource::GoToEnd() {
    CAutoLock pos(&m_posLock);
    if (RecordCount() == 0)
        return E_FAIL;
    Place(RecordCount());
    return S_OK;
}

HRESULT CFileSource::InitSection() {
    CAutoLock pos(&m_posLock);
    return m_dir > 0 ? GoToStart() : GoToEnd();
}

HRESULT CFileSource::GetPosition(LONG* perMille, DWORD* time) {
    CAutoLock pos(&m_posLock);
    if (perMille) {
        LONG count = RecordCount();
        LONG n = std::max<LONG>(m_number, 1);
        *perMille = count > 1 ? static_cast<LONG>(LONGLONG(n - 1) * 1000 / (count - 1)) : 0;
    }
    if (time) {
        if (m_sectionChanged) {
            *time = 0; // the section number
            m_sectionChanged = false;
        } else {
            *time = m_curTime;
        }
    }
    return S_OK;
}

HRESULT CFileSource::SeekToFraction(LONG num, LONG den) {
    CAutoLock pos(&m_posLock);
    LONG count = RecordCount();
    if (count == 0)
        return E_FAIL;
    if (den == 0)
        return E_INVALIDARG;
    // Node k of the ring (0 the head) is the position; the next record played is k + 1.
    LONGLONG k = LONGLONG(count - 1) * num / den;
    k = std::clamp<LONGLONG>(k, 0, count - 1);
    Place(static_cast<LONG>(k + 1));
    ClearDisplayCounters();
    return S_OK;
}

HRESULT CFileSource::SeekToSectionTime(DWORD t) {
    CAutoLock pos(&m_posLock);
    if (m_sectionsInUse == 0 || t < m_sections[0].start || t > m_sections[0].end)
        return E_FAIL;
    return SeekToTime(t);
}

HRESULT CFileSource::SeekToTime(DWORD t) {
    CAutoLock pos(&m_posLock);
    LONG count = RecordCount();
    if (count == 0)
        return E_FAIL;
    LONG n = std::max<LONG>(m_number, 1);
    if (m_records[n].time < t) {
        while (n < count && m_records[n].time < t)
            ++n;
    } else {
        while (n > 1 && !(m_records[n - 1].time < t))
            --n;
    }
    // The record found is the next one played.
    Place(n);
    ClearDisplayCounters();
    return S_OK;
}

HRESULT CFileSource::Mark(TavMark* mark, DWORD* time) {
    CAutoLock pos(&m_posLock);
    *mark = TavMark{};
    mark->running = std::max<LONG>(m_number, RecordCount() ? 1 : 0);
    mark->entry = static_cast<int>(mark->running);
    mark->time = mark->running ? m_records[mark->running].time : 0;
    if (time)
        *time = mark->time;
    return S_OK;
}

HRESULT CFileSource::GoToMark(const TavMark& mark) {
    CAutoLock pos(&m_posLock);
    if (mark.running < 1 || mark.running > RecordCount())
        return E_FAIL;
    Place(mark.running);
    return S_OK;
}

// The video and audio sample durations from up to 512 records ahead of the position.
void CFileSource::MeasureFrameRates() {
    CAutoLock pos(&m_posLock);
    const LONG count = RecordCount();
    LONG n = m_cursor;
    MeasureDurations([&](BYTE* type, BYTE* channel, DWORD* time) {
        n += m_dir;
        if (n < 1 || n > count)
            return false;
        const TavStreamRecord& r = m_records[n];
        *type = r.type, *channel = r.channel, *time = r.time;
        return true;
    });
}

} // namespace tav
