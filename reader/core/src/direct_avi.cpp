#include "reader/direct_avi.h"

#include <algorithm>
#include <cstring>

#include "platform/bytes.h"
#include "tav/layout.h"

namespace reader {
namespace {

// The video object layer a key frame of the families without one of their own is given: bytes 23 … 27
// carry the picture size and the interlace flag.
constexpr BYTE kVolTemplate[28] = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x20, 0x02, 0x48,
                                   0x0d, 0xc0, 0x00, 0x40, 0x00, 0x40, 0x00, 0x40, 0x00, 0x80,
                                   0x00, 0x97, 0x53, 0x0a, 0x2c, 0x08, 0x3c, 0x28};

void FillVolTemplate(BYTE* at, WORD w, WORD h) {
    std::memcpy(at, kVolTemplate, sizeof kVolTemplate);
    const bool interlaced = h > 479;
    at[23] = static_cast<BYTE>((w >> 12) + 10);
    at[24] = static_cast<BYTE>(w >> 4);
    at[25] = static_cast<BYTE>(((h >> 10) & 7) | 8 | (w << 4));
    at[26] = static_cast<BYTE>(h >> 2);
    at[27] = static_cast<BYTE>(h * 64 + (interlaced ? 56 : 40));
}

constexpr DWORD kSampleTag = 0x311F42C1;  // a sample as the TAV source exports it
constexpr DWORD kAviKeyFrame = 0x10;      // AVIIF_KEYFRAME
constexpr DWORD kAvihFlags = 0x110;       // has index, interleaved
constexpr std::size_t kChunkMargin = 240; // room kept free behind every chunk

DWORD Period(const DirectAviFormat& f) {
    return 1000u / std::max<DWORD>(f.fps, 1);
}

// The audio block layout of the wave format the file declares.
struct AudioLayout {
    WORD blockAlign = 0, bitsPerSample = 0;
    DWORD sampleSize = 1; // the stream header's sample size
};
AudioLayout LayoutFor(const DirectAviFormat& f) {
    AudioLayout a;
    const DWORD byteRate = f.bitRate / 8;
    if (f.audioCode == 80) {
        a.blockAlign = 418;
        a.bitsPerSample = 4;
        a.sampleSize = 418;
    } else if (f.audioCode == 2) {
        a.blockAlign = static_cast<WORD>(byteRate);
        a.sampleSize = byteRate;
    } else {
        a.blockAlign = static_cast<WORD>(f.sampleRate ? byteRate / f.sampleRate : 0);
        // PCM counts whole sample frames: one byte per sample would make the stream four times too long.
        a.sampleSize = f.audioCode == 1 ? std::max<WORD>(a.blockAlign, 1) : 1;
    }
    if (f.audioCode != 80)
        a.bitsPerSample = static_cast<WORD>(f.channels ? a.blockAlign * 8 / f.channels : 0);
    return a;
}

} // namespace

DirectAviFormat DirectAviFormatFor(int kind, BYTE audioType, WORD width, WORD height, DWORD fps) {
    DirectAviFormat f;
    f.mode = kind == 8 ? 0 : 2;
    f.width = width;
    f.height = height;
    f.fps = static_cast<BYTE>(std::clamp<DWORD>(fps, 1, 255));
    f.audio = audioType != 0;
    f.audioCode = audioType;
    if (!f.audio)
        return f;
    f.sampleRate = 8000;
    if (kind != 8) {
        f.bitRate = 128000, f.channels = 1;
    } else if (audioType == 1) {
        f.bitRate = 256000, f.channels = 2;
    } else if (audioType == 6 || audioType == 7) {
        f.bitRate = 64000, f.channels = 1;
    }
    return f;
}

CDirectAviWriter::CDirectAviWriter() {
    m_data.reserve(kDataBytes);
}
CDirectAviWriter::~CDirectAviWriter() = default;

void CDirectAviWriter::Put(const void* bytes, std::size_t n) {
    const BYTE* p = static_cast<const BYTE*>(bytes);
    m_data.insert(m_data.end(), p, p + n);
    m_position += n;
}
void CDirectAviWriter::Put32(DWORD v) {
    BYTE b[4];
    platform::WriteLE32(b, v);
    Put(b, 4);
}
void CDirectAviWriter::PutFourCC(const char* id) {
    Put(id, 4);
}

bool CDirectAviWriter::Open(const std::string& path, const std::string& tempPath,
                            const DirectAviFormat& format) {
    m_format = format;
    m_path = path;
    m_tempPath = tempPath;
    m_out.reset(std::fopen(path.c_str(), "wb+"));
    if (!m_out)
        return false;
    m_temp.reset(std::fopen(tempPath.c_str(), "wb+"));
    if (!m_temp) {
        Abandon();
        return false;
    }
    return WriteHeaders() && FlushData();
}

bool CDirectAviWriter::WriteHeaders() {
    const DirectAviFormat& f = m_format;
    auto put16 = [&](WORD v) {
        BYTE b[2];
        platform::WriteLE16(b, v);
        Put(b, 2);
    };
    PutFourCC("RIFF");
    Put32(0); // patched at Close
    PutFourCC("AVI ");
    PutFourCC("LIST");
    m_atHdrlSize = m_position;
    Put32(0);
    PutFourCC("hdrl");
    PutFourCC("avih");
    Put32(56);
    Put32(static_cast<DWORD>(1000000.0 / std::max<BYTE>(f.fps, 1) + 0.99));
    Put32(0); // max bytes per second
    Put32(0); // padding granularity
    Put32(kAvihFlags);
    m_atTotalFrames = m_position;
    Put32(0);
    Put32(0); // initial frames
    Put32(f.audio ? 2 : 1);
    Put32(0); // suggested buffer size
    Put32(f.width);
    Put32(f.height);
    for (int i = 0; i < 4; ++i)
        Put32(0);

    // Video stream: MPEG-4 Visual as the recorder stored it.
    PutFourCC("LIST");
    Put32(4 + 8 + 56 + 8 + 40);
    PutFourCC("strl");
    PutFourCC("strh");
    Put32(56);
    PutFourCC("vids");
    PutFourCC("DIVX");
    Put32(0); // flags
    Put32(0); // priority, language
    Put32(0); // initial frames
    Put32(1); // scale
    Put32(f.fps);
    Put32(0); // start
    m_atVideoLength = m_position;
    Put32(0);
    Put32(0); // suggested buffer size
    Put32(0); // quality
    Put32(0); // sample size
    put16(0), put16(0), put16(f.width), put16(f.height);
    PutFourCC("strf");
    Put32(40);
    Put32(40);
    Put32(f.width);
    Put32(f.height);
    put16(1);
    put16(24);
    PutFourCC("DIVX");
    Put32(static_cast<DWORD>(f.width) * f.height * 3);
    for (int i = 0; i < 4; ++i)
        Put32(0);

    if (f.audio) {
        const AudioLayout a = LayoutFor(f);
        const DWORD formatBytes = f.audioCode == 6 ? 20 : 18;
        PutFourCC("LIST");
        Put32(4 + 8 + 56 + 8 + formatBytes);
        PutFourCC("strl");
        PutFourCC("strh");
        Put32(56);
        PutFourCC("auds");
        if (f.audioCode == 80)
            PutFourCC("MP2A");
        else
            Put32(0);
        Put32(0);
        Put32(0);
        Put32(0);
        Put32(1); // scale
        Put32(f.sampleRate);
        Put32(0);
        m_atAudioLength = m_position;
        Put32(0);
        Put32(0);
        Put32(0);
        Put32(a.sampleSize);
        put16(0), put16(0), put16(0), put16(0);
        PutFourCC("strf");
        Put32(formatBytes);
        put16(f.audioCode);
        put16(f.channels);
        Put32(f.sampleRate);
        Put32(f.bitRate / 8);
        put16(a.blockAlign);
        put16(a.bitsPerSample);
        put16(f.audioCode == 6 ? 2 : 0);
        if (f.audioCode == 6)
            put16(505);
    }
    // The header list ends here; the movie list follows.
    platform::WriteLE32(m_data.data() + m_atHdrlSize, static_cast<DWORD>(m_position - m_atHdrlSize - 4));
    PutFourCC("LIST");
    m_atMoviSize = m_position;
    Put32(0);
    m_moviStart = m_position;
    PutFourCC("movi");
    return true;
}

bool CDirectAviWriter::FlushData() {
    if (!m_out)
        return false;
    const bool ok =
        m_data.empty() || std::fwrite(m_data.data(), 1, m_data.size(), m_out.get()) == m_data.size();
    m_data.clear();
    return ok;
}

bool CDirectAviWriter::SpillIndex() {
    if (!m_temp)
        return false;
    const bool ok =
        m_index.empty() || std::fwrite(m_index.data(), 1, m_index.size(), m_temp.get()) == m_index.size();
    m_index.clear();
    return ok;
}

void CDirectAviWriter::AddIndex(const char* id, DWORD flags, DWORD offset, DWORD size) {
    const std::size_t at = m_index.size();
    m_index.resize(at + kIndexEntryBytes);
    std::memcpy(&m_index[at], id, 4);
    platform::WriteLE32(&m_index[at + 4], flags);
    platform::WriteLE32(&m_index[at + 8], offset);
    platform::WriteLE32(&m_index[at + 12], size);
    m_indexBytes += kIndexEntryBytes;
}

void CDirectAviWriter::WriteChunk(const char* id, const BYTE* payload, DWORD length, DWORD flags) {
    AddIndex(id, flags, static_cast<DWORD>(m_position - m_moviStart), length);
    PutFourCC(id);
    Put32(length);
    if (length)
        Put(payload, length);
    // Chunks start on even offsets.
    if (length % 2)
        Put("", 1);
}

DWORD CDirectAviWriter::FillsNeeded(std::int64_t* recorded, std::int64_t* written) const {
    const std::int64_t period = Period(m_format);
    std::int64_t r = *recorded, v = *written;
    if (r - v > 3000)
        r = v + 3000;
    else if (v - r > period)
        v -= period;
    DWORD fills = 0;
    while (v < r - 1) {
        ++fills;
        v += period;
    }
    *recorded = r;
    *written = v;
    return fills;
}

int CDirectAviWriter::WritePacket(const BYTE* packet, DWORD capacity) {
    namespace p = avipkt;
    if (!m_out || !packet || capacity < p::kHeaderBytes)
        return kError;
    const DWORD tag = platform::ReadLE32(packet + p::kTag);
    const BYTE type = packet[p::kType];
    const bool video = type == p::kKeyFrame || type == p::kFrame;
    const bool key = type == p::kKeyFrame;
    if (!video && type != p::kAudio)
        return kSkipped;
    // Packets before the first key frame cannot be decoded: the archive starts with one.
    if (!m_started && !key)
        return kSkipped;
    if (!video && !m_format.audio)
        return kSkipped;
    const DWORD length = platform::ReadLE32(packet + p::kLength);
    if (length > capacity - p::kHeaderBytes)
        return kSkipped; // a length past the packet buffer is never read

    // Where the payload lies.
    const BYTE* data = packet + p::kHeaderBytes;
    DWORD size = length;
    std::vector<BYTE> keyFrame;
    if (m_format.mode == 0) {
        // A stream header (00 00 01 Cx audio, Ex video) leads a recorder packet; the TAV source's own
        // samples carry the channel title there instead, behind their sample tag. Either way the frame or
        // the sound follows 32 bytes on.
        const bool streamHeader = length >= 32 && !data[0] && !data[1] && data[2] == 1 &&
                                  ((data[3] & 0xF0) == 0xC0 || (data[3] & 0xF0) == 0xE0);
        if (length < 32 || (!streamHeader && tag != kSampleTag))
            return kSkipped;
        data += 32;
        size = length - 32;
        if (video)
            while (size && data[size - 1] == 0)
                --size;
    } else if (video && tag == p::kTagZube) {
        if (key) {
            // Bytes 66 … hold the frame once the layer header is put in front of it at 66.
            if (length < 34 || capacity < 66 + 28 || length - 34 > capacity - 66)
                return kSkipped;
            keyFrame.assign(packet + 66, packet + 66 + (length - 34));
            FillVolTemplate(keyFrame.data(), m_format.width, m_format.height);
            data = keyFrame.data(), size = length - 34;
        } else {
            if (length < 64)
                return kSkipped;
            data = packet + 96, size = length - 64;
        }
    } else if (video && tag == p::kTagQrva) {
        if (key) {
            if (capacity < 34 + 28 || length + 30 > capacity - 34)
                return kSkipped;
            keyFrame.assign(packet + 34, packet + 34 + length + 30);
            FillVolTemplate(keyFrame.data(), m_format.width, m_format.height);
            data = keyFrame.data(), size = length + 30;
        } else {
            if (capacity < 64 || length > capacity - 64)
                return kSkipped;
            data = packet + 64;
        }
    }

    // The clocks after this packet, then the room it takes with its empty fill chunks.
    std::int64_t recorded = m_recorded, written = m_written;
    const DWORD seconds = platform::ReadLE32(packet + p::kSeconds),
                micros = platform::ReadLE32(packet + p::kMicros);
    DWORD fills = 0;
    if (video) {
        if (!m_haveStamp)
            recorded = key ? 2 : 0;
        else
            recorded += (std::int64_t(seconds) - m_lastSeconds) * 1000 + micros / 1000 - m_lastMicros / 1000;
        // The timeline starts with the first key frame: empty chunks only ever follow a picture.
        if (m_haveStamp)
            fills = FillsNeeded(&recorded, &written);
    }
    const std::size_t dataNeed = (8 + size + 1) + 8 * std::size_t(fills) + kChunkMargin;
    const std::size_t indexNeed = (fills + 1) * kIndexEntryBytes;
    if (!m_data.empty() && m_data.size() + dataNeed > kDataBytes)
        return kDataFull;
    if (!m_index.empty() && m_index.size() + indexNeed > kIndexEntries * kIndexEntryBytes)
        return kIndexFull;

    m_started = true;
    if (!video) {
        WriteChunk("01wb", data, size, kAviKeyFrame);
        ++m_audioChunks;
        m_audioBytes += size;
        return kDone;
    }
    m_haveStamp = true;
    m_lastSeconds = seconds;
    m_lastMicros = micros;
    const std::int64_t period = Period(m_format);
    for (DWORD i = 0; i < fills; ++i) {
        WriteChunk("00dc", nullptr, 0, 0);
        ++m_videoFrames;
        ++m_emptyFrames;
        written += period;
    }
    WriteChunk("00dc", data, size, key ? kAviKeyFrame : 0);
    ++m_videoFrames;
    m_recorded = recorded;
    m_written = written + period;
    return kDone;
}

bool CDirectAviWriter::Close() {
    if (!m_out)
        return false;
    const std::uint64_t moviEnd = m_position;
    PutFourCC("idx1");
    Put32(static_cast<DWORD>(m_indexBytes));
    bool ok = FlushData();
    // Spilled entries first, then those still in memory: the index keeps the order of the chunks.
    if (m_temp) {
        std::fflush(m_temp.get());
        std::rewind(m_temp.get());
        char block[8192];
        std::size_t n = 0;
        while ((n = std::fread(block, 1, sizeof block, m_temp.get())) > 0)
            ok = ok && std::fwrite(block, 1, n, m_out.get()) == n;
    }
    ok = ok &&
         (m_index.empty() || std::fwrite(m_index.data(), 1, m_index.size(), m_out.get()) == m_index.size());
    const std::uint64_t fileSize = moviEnd + 8 + m_indexBytes;
    auto patch = [&](std::uint64_t at, std::uint64_t value) {
        BYTE b[4];
        platform::WriteLE32(b, static_cast<DWORD>(value));
        ok = ok && std::fseek(m_out.get(), static_cast<long>(at), SEEK_SET) == 0 &&
             std::fwrite(b, 1, 4, m_out.get()) == 4;
    };
    patch(m_atTotalFrames, m_videoFrames);
    patch(m_atVideoLength, m_videoFrames);
    if (m_format.audio)
        patch(m_atAudioLength, m_audioBytes / std::max<DWORD>(LayoutFor(m_format).sampleSize, 1));
    patch(m_atMoviSize, moviEnd - m_moviStart);
    patch(4, fileSize - 8);
    ok = std::fflush(m_out.get()) == 0 && ok;
    m_out.reset();
    m_temp.reset();
    std::remove(m_tempPath.c_str());
    if (!ok)
        std::remove(m_path.c_str());
    return ok;
}

void CDirectAviWriter::Abandon() {
    m_out.reset();
    m_temp.reset();
    std::remove(m_path.c_str());
    std::remove(m_tempPath.c_str());
}

std::string WriteDirectAvi(const std::string& path, const DirectAviFormat& format,
                           const std::function<bool(BYTE* buffer, DWORD capacity)>& next,
                           const std::function<void(DWORD time)>& progress) {
    // Room for the largest packet an index entry may describe, with its tail.
    std::vector<BYTE> buffer(tav::kMaxSampleBytes);
    CDirectAviWriter writer;
    if (!writer.Open(path, path + ".tmp", format))
        return "cannot create archive file " + path;
    while (next(buffer.data(), static_cast<DWORD>(buffer.size()))) {
        if (progress)
            progress(platform::ReadLE32(buffer.data() + avipkt::kTime));
        int r = writer.WritePacket(buffer.data(), static_cast<DWORD>(buffer.size()));
        for (int tries = 0;
             (r == CDirectAviWriter::kDataFull || r == CDirectAviWriter::kIndexFull) && tries < 4; ++tries) {
            const bool ok = r == CDirectAviWriter::kDataFull ? writer.FlushData() : writer.SpillIndex();
            r = ok ? writer.WritePacket(buffer.data(), static_cast<DWORD>(buffer.size()))
                   : CDirectAviWriter::kError;
        }
        if (r != CDirectAviWriter::kDone && r != CDirectAviWriter::kSkipped) {
            writer.Abandon();
            return "cannot write archive file " + path;
        }
    }
    if (!writer.Close())
        return "cannot write archive file " + path;
    return "";
}

} // namespace reader
