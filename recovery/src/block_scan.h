// Sequential reading for the carvers: the source's bytes in large requests of whole 1 MiB blocks, with
// the next request already being read while the current one is scanned. A request the device refuses
// is read again sector by sector; sectors that still fail come back as zeros and are listed.
#pragma once

#include <cstdint>
#include <future>
#include <vector>

#include "recovery/byte_source.h"
#include "recovery/carver.h"

namespace recovery {

constexpr std::uint64_t kSectorBytes = 512;
constexpr std::uint64_t kBlockBytes = 2048 * kSectorBytes;

class CBlockScan {
public:
    // Scans [firstByte, endByte), both multiples of kBlockBytes.
    CBlockScan(IByteSource& source, std::uint64_t firstByte, std::uint64_t endByte, std::size_t chunkBytes);
    ~CBlockScan();
    CBlockScan(const CBlockScan&) = delete;
    CBlockScan& operator=(const CBlockScan&) = delete;

    // The next request's bytes, valid until the next call; false once everything was handed out.
    bool Next(std::uint64_t* offset, const std::uint8_t** data, std::size_t* bytes);
    const std::vector<UnreadableRange>& Unreadable() const { return m_unreadable; }

private:
    struct Chunk {
        std::uint64_t offset = 0;
        std::vector<std::uint8_t> bytes;
        std::vector<UnreadableRange> unreadable;
    };
    static Chunk ReadChunk(IByteSource* source, std::uint64_t offset, std::size_t bytes,
                           std::vector<std::uint8_t> buffer);
    void StartRead(std::vector<std::uint8_t> buffer);

    IByteSource& m_source;
    std::uint64_t m_next, m_end;
    std::size_t m_chunkBytes;
    std::future<Chunk> m_pending;
    Chunk m_current;
    std::vector<UnreadableRange> m_unreadable;
};

// Reads `bytes` at `offset` outside the sequential requests (a frame's continuation behind a block
// header, an index record). Unreadable sectors come back as zeros; false when any failed.
bool ReadSectors(IByteSource& source, std::uint64_t offset, std::uint8_t* out, std::size_t bytes);

} // namespace recovery
