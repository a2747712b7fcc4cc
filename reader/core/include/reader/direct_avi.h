// The direct AVI writer: wraps the compressed MPEG-4 frames and the audio blocks a TAV-family source
// hands out for one channel into a RIFF AVI file, without decoding anything. The video timeline runs at
// a constant rate; empty video chunks keep it in step with the recorded time stamps. The "idx1" index
// is gathered in a small buffer and spilled to a temporary file beside the output when it fills.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"

namespace reader {

// What the writer needs to know of the recording.
struct DirectAviFormat {
    int mode = 0; // 0: recorder packets that start with a stream header (TAV); 2: bare payloads
    WORD width = 0, height = 0;
    BYTE fps = 15;
    bool audio = false;
    BYTE audioCode = 0; // wave format tag
    DWORD sampleRate = 0, bitRate = 0;
    WORD channels = 0;
};

// The format for recorder kind `kind` (8 TAV, 16 and 24 the other families), the source's audio type
// code (0 without sound), picture size and frame rate.
DirectAviFormat DirectAviFormatFor(int kind, BYTE audioType, WORD width, WORD height, DWORD fps);

// One field of a source packet as ExportNextPacket lays it out.
namespace avipkt {
constexpr DWORD kTag = 0, kTime = 4, kWidth = 12, kHeight = 14, kType = 19, kSeconds = 20, kMicros = 24,
                kLength = 28, kHeaderBytes = 32;
constexpr DWORD kTagZube = 0x5A554245, kTagQrva = 0x51525641;
constexpr BYTE kKeyFrame = 0x81, kFrame = 0x82, kAudio = 0x84;
} // namespace avipkt

class CDirectAviWriter {
public:
    // Results of WritePacket.
    enum : int { kDone = 0, kSkipped = 3, kOpenFailed = 6, kDataFull = 9, kIndexFull = 10, kError = -2 };
    static constexpr std::size_t kDataBytes = 0x100000; // the data buffer
    static constexpr std::size_t kIndexEntries = 300;   // entries the index buffer holds
    static constexpr std::size_t kIndexEntryBytes = 16;

    CDirectAviWriter();
    ~CDirectAviWriter();
    CDirectAviWriter(const CDirectAviWriter&) = delete;
    CDirectAviWriter& operator=(const CDirectAviWriter&) = delete;

    // Creates `path` with its headers and `tempPath` for spilled index entries; false when either fails.
    bool Open(const std::string& path, const std::string& tempPath, const DirectAviFormat& format);
    // One source packet (`packet` as ExportNextPacket fills it, `capacity` bytes long). Packets before
    // the first video key frame are skipped. kDataFull / kIndexFull: flush or spill, then call again.
    int WritePacket(const BYTE* packet, DWORD capacity);
    // Writes the data buffer to the output / appends the index buffer to the temporary file.
    bool FlushData();
    bool SpillIndex();
    // Writes "idx1" (spilled entries first, in order), patches the counts and sizes and closes both
    // files, deleting the temporary one. False on a write failure.
    bool Close();
    // Closes both files and deletes them: an archive that failed leaves nothing behind.
    void Abandon();

    DWORD VideoFrames() const { return m_videoFrames; }
    DWORD EmptyFrames() const { return m_emptyFrames; }
    DWORD AudioChunks() const { return m_audioChunks; }

private:
    struct FileCloser {
        void operator()(std::FILE* f) const {
            if (f)
                std::fclose(f);
        }
    };
    using File = std::unique_ptr<std::FILE, FileCloser>;

    void Put(const void* bytes, std::size_t n);
    void Put32(DWORD v);
    void PutFourCC(const char* id);
    void AddIndex(const char* id, DWORD flags, DWORD offset, DWORD size);
    void WriteChunk(const char* id, const BYTE* payload, DWORD length, DWORD flags);
    // The number of empty video chunks the next video packet needs, with the clocks it leaves.
    DWORD FillsNeeded(std::int64_t* recorded, std::int64_t* written) const;
    bool WriteHeaders();

    DirectAviFormat m_format;
    std::string m_path, m_tempPath;
    File m_out, m_temp;
    std::vector<BYTE> m_data; // buffered output
    std::vector<BYTE> m_index;
    std::uint64_t m_position = 0; // bytes emitted, buffered ones included
    std::uint64_t m_indexBytes = 0;
    std::uint64_t m_moviStart = 0; // offset of the "movi" fourcc
    std::uint64_t m_audioBytes = 0;
    bool m_started = false; // the first key frame has come
    bool m_haveStamp = false;
    DWORD m_lastSeconds = 0, m_lastMicros = 0;
    std::int64_t m_recorded = 0, m_written = 0; // R and V, ms
    DWORD m_videoFrames = 0, m_emptyFrames = 0, m_audioChunks = 0;
    // Where the header fields to patch are.
    std::uint64_t m_atTotalFrames = 0, m_atVideoLength = 0, m_atAudioLength = 0, m_atHdrlSize = 0,
                  m_atMoviSize = 0;
};

// A whole archive run over a packet source: `next` fills the buffer with the next packet (false when
// there is none); `progress` hears each packet's recording time. Returns "" or what failed; on failure
// nothing is left at `path`.
std::string WriteDirectAvi(const std::string& path, const DirectAviFormat& format,
                           const std::function<bool(BYTE* buffer, DWORD capacity)>& next,
                           const std::function<void(DWORD time)>& progress);

} // namespace reader
