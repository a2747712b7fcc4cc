#include "block_scan.h"

#include <algorithm>
#include <cstring>

namespace recovery {

CBlockScan::CBlockScan(IByteSource& source, std::uint64_t firstByte, std::uint64_t endByte,
                       std::size_t chunkBytes)
    : m_source(source), m_next(firstByte), m_end(endByte),
      m_chunkBytes(std::max<std::size_t>(kBlockBytes, chunkBytes / kBlockBytes * kBlockBytes)) {
    StartRead({});
}

CBlockScan::~CBlockScan() {
    if (m_pending.valid())
        m_pending.wait();
}

CBlockScan::Chunk CBlockScan::ReadChunk(IByteSource* source, std::uint64_t offset, std::size_t bytes,
                                        std::vector<std::uint8_t> buffer) {
    Chunk c;
    c.offset = offset;
    c.bytes = std::move(buffer);
    c.bytes.resize(bytes);
    if (source->Read(offset, c.bytes.data(), bytes))
        return c;
    // Step past the damage: one sector at a time, zeros for what cannot be read.
    for (std::size_t at = 0; at < bytes; at += kSectorBytes) {
        if (source->Read(offset + at, c.bytes.data() + at, kSectorBytes))
            continue;
        std::memset(c.bytes.data() + at, 0, kSectorBytes);
        const std::uint64_t sector = (offset + at) / kSectorBytes;
        if (!c.unreadable.empty() && c.unreadable.back().firstSector + c.unreadable.back().sectors == sector)
            ++c.unreadable.back().sectors;
        else
            c.unreadable.push_back({sector, 1});
    }
    return c;
}

void CBlockScan::StartRead(std::vector<std::uint8_t> buffer) {
    if (m_next >= m_end)
        return;
    const std::size_t bytes = static_cast<std::size_t>(std::min<std::uint64_t>(m_chunkBytes, m_end - m_next));
    // The buffer handed out last time is reused once the caller has moved on from it.
    m_pending = std::async(std::launch::async, ReadChunk, &m_source, m_next, bytes, std::move(buffer));
    m_next += bytes;
}

bool CBlockScan::Next(std::uint64_t* offset, const std::uint8_t** data, std::size_t* bytes) {
    if (!m_pending.valid())
        return false;
    std::vector<std::uint8_t> spare = std::move(m_current.bytes);
    m_current = m_pending.get();
    StartRead(std::move(spare));
    for (const UnreadableRange& r : m_current.unreadable) {
        if (!m_unreadable.empty() &&
            m_unreadable.back().firstSector + m_unreadable.back().sectors == r.firstSector)
            m_unreadable.back().sectors += r.sectors;
        else
            m_unreadable.push_back(r);
    }
    *offset = m_current.offset;
    *data = m_current.bytes.data();
    *bytes = m_current.bytes.size();
    return true;
}

bool ReadSectors(IByteSource& source, std::uint64_t offset, std::uint8_t* out, std::size_t bytes) {
    if (source.Read(offset, out, bytes))
        return true;
    bool all = true;
    for (std::size_t at = 0; at < bytes; at += kSectorBytes) {
        const std::size_t n = std::min<std::size_t>(kSectorBytes, bytes - at);
        if (!source.Read(offset + at, out + at, n)) {
            std::memset(out + at, 0, n);
            all = false;
        }
    }
    return all;
}

} // namespace recovery
