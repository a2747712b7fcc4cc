// CTavDiskSource: the sector access of a drive or an image, and the open: the device or image file,
// the format check and the probe of the first entries for the audio format and the picture size.
#include "tav/disk_source.h"

#include <algorithm>
#include <cstring>

#include "platform/glmdrv.h"
#include "platform/system.h"

namespace tav {
namespace {

const common::SectorVariant& V() {
    return common::kTavSourceVariant;
}

constexpr DWORD kErrorIoIncomplete = 996;

} // namespace

CTavDiskSource::CTavDiskSource(DWORD windowsMajor) : CVTSource(windowsMajor) {}

CTavDiskSource::~CTavDiskSource() {
    Close();
}

// ---- sector access ---------------------------------------------------------------------------------

bool CTavDiskSource::ReadDeviceSectors(ULONGLONG dev, DWORD count, BYTE* buf) {
    CAutoLock disk(&m_diskLock);
    if (count == 0)
        return true;
    if (m_isImage) {
        // An image shorter than its fields claim is damaged: what lies beyond its end reads as zeros.
        ULONGLONG end = dev + count;
        if (dev >= m_imageSectors) {
            std::memset(buf, 0, ULONGLONG(count) * kSectorBytes);
            return false;
        }
        if (end > m_imageSectors) {
            DWORD have = static_cast<DWORD>(m_imageSectors - dev);
            std::memset(buf + ULONGLONG(have) * kSectorBytes, 0, ULONGLONG(count - have) * kSectorBytes);
            common::ReadSector(false, m_handle, m_drive, buf, static_cast<DWORD>(dev), static_cast<int>(have),
                               V());
            return false;
        }
    } else if (dev + count > 0x100000000ull) {
        std::memset(buf, 0, ULONGLONG(count) * kSectorBytes);
        return false;
    }
    return common::ReadSector(m_driverMode, m_handle, m_drive, buf, static_cast<DWORD>(dev),
                              static_cast<int>(count), V()) != 0;
}

bool CTavDiskSource::ReadSectors(ULONGLONG sector, DWORD count, BYTE* buf) {
    if (m_isImage) {
        // Image sector = drive sector - offset, in 32-bit arithmetic: a range starting within the first
        // 11 sectors of the drive has an offset of "minus" a few sectors.
        return ReadDeviceSectors(static_cast<DWORD>(sector - m_sectorOffset), count, buf);
    }
    return ReadDeviceSectors(sector, count, buf);
}

DWORD CTavDiskSource::BlockSector(DWORD segment, int block) const {
    return static_cast<DWORD>(ULONGLONG(segment) * m_geo.S + DWORD(block) * kBlockSectors);
}
DWORD CTavDiskSource::DataSectors(int block) const {
    return DataAreaSectors(static_cast<DWORD>(block), m_geo.B);
}
DWORD CTavDiskSource::IndexSector(DWORD segment, int block) const {
    return BlockSector(segment, block) + DataSectors(block);
}

// ---- open --------------------------------------------------------------------------------------------

void CTavDiskSource::ResetTables() {
    m_slots.clear();
    m_sections.clear();
    m_sectionsInUse = 0;
    m_sectionBlocks.section = -1;
    m_validSegments = 0;
    m_wrapped = false;
    m_oldest = m_newest = 0xFFFFFFFF;
}

HRESULT CTavDiskSource::Open(int kind, int drive, const char* path) {
    CAutoLock pos(&m_posLock);
    if (!path)
        return E_INVALIDARG;
    if (kind != kOpenDrive && kind != kOpenImage)
        return S_OK;
    CloseDevice();
    ResetTables();
    m_width = m_height = 0;
    m_recorderKind = 0;
    m_audioFormat = 1;
    m_audioPresent = false;
    m_drive = drive;
    m_path = path;
    bool ok = kind == kOpenDrive ? OpenDrive(drive, path) : OpenImage(path);
    if (!ok) {
        CloseDevice();
        return E_FAIL;
    }
    return m_audioPresent ? 1 : 0;
}

bool CTavDiskSource::OpenDrive(int drive, const char* path) {
    m_isImage = false;
    common::AccessMode mode = common::ChooseAccessMode(m_winMajor, V());
    if (mode == common::AccessMode::None)
        return false;
    m_driverMode = mode == common::AccessMode::Driver;
    if (m_driverMode) {
        m_handle =
            CreateFileA(kGlmDriverPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (m_handle == INVALID_HANDLE_VALUE || !m_handle) {
            m_handle = nullptr;
            common::ErrorBox(common::Format(common::msg::kCreateFileOnDriverFailed, drive,
                                            static_cast<int>(GetLastError())));
            return false;
        }
    } else {
        m_handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (m_handle == INVALID_HANDLE_VALUE || !m_handle) {
            m_handle = nullptr;
            common::ErrorBox(
                common::Format(common::msg::kCreateFileNamedFailed, path, static_cast<int>(GetLastError())));
            return false;
        }
    }
    common::DriveGeometry geometry;
    bool ok = m_driverMode ? common::QueryGeometry(m_handle, drive, &geometry)
                           : common::QueryGeometry(m_handle, &geometry);
    if (!ok) {
        DWORD error = GetLastError();
        if (!(m_driverMode && error == kErrorIoIncomplete))
            common::ErrorBox(common::Format(common::msg::kDeviceIoControlFailed, static_cast<int>(error)));
        return false;
    }
    m_geo = ComputeGeometry(static_cast<DWORD>(geometry.sectors));
    std::vector<BYTE> sector(kSectorBytes, 0);
    bool read = m_geo.N >= 3 && ReadSectors(kDataSectors, 1, sector.data());
    if (!read || !IsBlockTag(platform::ReadLE32(sector.data()))) {
        common::ErrorBox(
            common::Format(common::msg::kCheckHardDriveFailed, static_cast<int>(GetLastError())));
        return false;
    }
    ReadSectors(m_geo.HeaderSector(), 1, m_header.data());
    platform::WriteLE32(m_header.data() + hdr::kOldestSegment, 0xFFFFFFFF);
    platform::WriteLE32(m_header.data() + hdr::kNewestSegment, 0xFFFFFFFF);
    return ProbeDrive();
}

bool CTavDiskSource::OpenImage(const char* path) {
    m_isImage = true;
    m_driverMode = false;
    m_handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (m_handle == INVALID_HANDLE_VALUE || !m_handle) {
        m_handle = nullptr;
        common::ErrorBox(
            common::Format(common::msg::kCreateFileFilenameFailed, path, static_cast<int>(GetLastError())));
        return false;
    }
    LARGE_INTEGER size{};
    GetFileSizeEx(m_handle, &size);
    m_imageSectors = static_cast<ULONGLONG>(size.QuadPart) / kSectorBytes;
    m_sectorOffset = 0;
    ReadDeviceSectors(0, 1, m_header.data());
    const BYTE* h = m_header.data();
    TavGeometry g;
    bool ok = GeometryFromImage(platform::ReadLE32(h + hdr::kSegmentSize),
                                platform::ReadLE32(h + hdr::kSegmentCount),
                                platform::ReadLE32(h + hdr::kTPrime), &g);
    DWORD firstSection = platform::ReadLE32(h + hdr::kRangeFirstSection);
    DWORD lastSection = platform::ReadLE32(h + hdr::kRangeLastSection);
    m_rangeFirstSegment = platform::ReadLE32(h + hdr::kRangeFirstSegment);
    m_rangeLastSegment = platform::ReadLE32(h + hdr::kRangeLastSegment);
    DWORD fb = platform::ReadLE32(h + hdr::kRangeFirstBlock),
          lb = platform::ReadLE32(h + hdr::kRangeLastBlock);
    DWORD fe = platform::ReadLE32(h + hdr::kRangeFirstEntry),
          le = platform::ReadLE32(h + hdr::kRangeLastEntry);
    // The fields must describe one range of at most one pass over the drive. A pass may end in the
    // segment it starts in, one turn later, in the blocks before its first block.
    if (ok) {
        DWORD span = m_rangeLastSegment - m_rangeFirstSegment;
        ok = lastSection >= firstSection && lastSection - firstSection <= 2 * g.G + 1 &&
             m_rangeLastSegment >= m_rangeFirstSegment && (span < g.N - 1 || (span == g.N - 1 && lb < fb)) &&
             m_rangeFirstSegment < 2 * (g.N - 1) && fb < g.B && lb < g.B && fe < kMaxIndexEntries &&
             le < kMaxIndexEntries && ImageSegmentAddressable(m_rangeLastSegment, g.S);
    }
    if (!ok) {
        common::ErrorBox(common::Format(common::msg::kCheckHardDriveFailed, 0));
        return false;
    }
    m_geo = g;
    m_sectorOffset = platform::ReadLE32(h + hdr::kSectorOffset);
    m_rangeFirstBlock = static_cast<int>(fb);
    m_rangeLastBlock = static_cast<int>(lb);
    m_rangeFirstEntry = static_cast<int>(fe);
    m_rangeLastEntry = static_cast<int>(le);
    return ProbeImage();
}

bool CTavDiskSource::ReadIndex(DWORD segment, int block, BYTE* index) {
    return ReadSectors(IndexSector(segment, block), kIndexSectors, index);
}

bool CTavDiskSource::ProbeDrive() {
    std::vector<BYTE> trailer(kSectorBytes);
    DWORD found = 0xFFFFFFFF;
    for (DWORD s = 0; s + 1 < m_geo.N; ++s) {
        ReadSectors(ULONGLONG(s + 1) * m_geo.S - kTrailerAreaSectors, 1, trailer.data());
        if (IsSegmentTag(platform::ReadLE32(trailer.data())) &&
            platform::ReadLE16(trailer.data() + trl::kBlocksUsed)) {
            found = s;
            break;
        }
    }
    if (found == 0xFFFFFFFF || found == m_geo.N - 2)
        return false;
    std::vector<BYTE> index(kIndexBytes);
    int block = -1;
    for (DWORD b = 0; b < m_geo.B; ++b) {
        ReadIndex(found, static_cast<int>(b), index.data());
        if (IsBlockTag(platform::ReadLE32(index.data())) && platform::ReadLE16(index.data() + idx::kCount)) {
            block = static_cast<int>(b);
            break;
        }
    }
    if (block < 0 || DWORD(block) == m_geo.B - 1)
        return false;
    m_code = index[idx::kEntries + ent::kCode];
    ProbeEntries(found, block, 3, 0, found);
    return true;
}

bool CTavDiskSource::ProbeImage() {
    std::vector<BYTE> index(kIndexBytes);
    ReadIndex(m_rangeFirstSegment, m_rangeFirstBlock, index.data());
    m_code = index[idx::kEntries +
                   kIndexEntryBytes * std::min<DWORD>(m_rangeFirstEntry, kMaxIndexEntries - 1) + ent::kCode];
    ProbeEntries(m_rangeFirstSegment, m_rangeFirstBlock, 2, m_rangeFirstEntry, m_rangeLastSegment);
    return true;
}

// Walks the entries of `blocks` blocks from (segment, firstBlock) looking for the first audio block and
// the first readable key frame.
void CTavDiskSource::ProbeEntries(DWORD segment, int block, int blocks, int firstEntry, DWORD lastSegment) {
    std::vector<BYTE> index(kIndexBytes);
    bool audio = false, video = false;
    for (int n = 0; n < blocks && !(audio && video); ++n) {
        if (DWORD(block) >= m_geo.B) {
            block = 0;
            ++segment;
        }
        if (segment > lastSegment)
            break;
        ReadIndex(segment, block, index.data());
        if (IsBlockTag(platform::ReadLE32(index.data()))) {
            DWORD count = std::min<DWORD>(platform::ReadLE16(index.data() + idx::kCount), kMaxIndexEntries);
            for (DWORD i = n == 0 ? static_cast<DWORD>(firstEntry) : 0; i < count && !(audio && video); ++i) {
                TavIndexEntry e = ReadIndexEntry(index.data() + idx::kEntries + kIndexEntryBytes * i);
                ProbeEntry(e, BlockSector(segment, block), DataSectors(block), &audio, &video);
            }
        }
        ++block;
    }
    m_audioPresent = audio;
}

bool CTavDiskSource::ProbeEntry(const TavIndexEntry& e, DWORD blockSector, DWORD dataSectors, bool* audio,
                                bool* video) {
    if (!IsValidEntry(e, dataSectors * kSectorBytes))
        return false;
    bool wantAudio = !*audio && e.type == kTypeAudio;
    bool wantVideo = !*video && e.type == kTypeKey;
    if (!wantAudio && !wantVideo)
        return false;
    if (wantAudio && e.size != kG711AudioPacketBytes) {
        if (e.size == kAdpcmAudioPacketBytes)
            m_audioFormat = 1;
        *audio = true;
        return true;
    }
    Packet saved = m_pkt;
    m_pkt.blockSector = blockSector;
    m_pkt.dataSectors = dataSectors;
    m_pkt.offset = e.offset;
    m_pkt.size = e.size;
    m_pkt.wraps = dataSectors * kSectorBytes < ULONGLONG(e.offset) + e.size + kPacketTail;
    std::vector<BYTE> packet;
    ReadPacket(&packet);
    m_pkt = saved;
    if (wantAudio) {
        m_audioFormat = packet[60];
        *audio = true;
        return true;
    }
    WORD w = m_width, h = m_height;
    ParseVideoObjectLayer(packet.data() + 64, 64, &w, &h);
    DetectRecorderKind(packet.data(), e.size, &m_recorderKind);
    m_width = w;
    m_height = h;
    if (w && h) {
        m_measureChannel = e.channel;
        *video = true;
    }
    return true;
}

// Reads the current packet: the start sector, the run behind it inside the data area, and what runs
// past the data area from the first sector of the next block (never the block index behind the data).
DWORD CTavDiskSource::ReadPacket(std::vector<BYTE>* out) {
    CAutoLock disk(&m_diskLock);
    DWORD byteOffset = m_pkt.offset % kSectorBytes;
    DWORD startIndex = m_pkt.offset / kSectorBytes;
    DWORD n = (byteOffset + m_pkt.size + kPacketTail) / kSectorBytes + 1;
    DWORD o = 0;
    if (m_pkt.wraps) {
        WORD over = static_cast<WORD>(startIndex + n - m_pkt.dataSectors);
        o = std::min<DWORD>(over, n - 1);
    }
    // The buffer grows to the largest packet read so far, so a source that is only opened and indexed
    // never makes (and zeroes) room for the largest packet.
    const std::size_t need = std::size_t(n) * kSectorBytes;
    if (m_packetBuf.size() < need)
        m_packetBuf.resize(need);
    BYTE* buf = m_packetBuf.data();
    ULONGLONG start = ULONGLONG(m_pkt.blockSector) + startIndex;
    ReadSectors(start, n - o, buf);
    if (o)
        ReadSectors(ULONGLONG(m_pkt.blockSector) + kBlockSectors, o, buf + ULONGLONG(n - o) * kSectorBytes);
    DWORD bytes = n * kSectorBytes - byteOffset;
    out->assign(buf + byteOffset, buf + byteOffset + bytes);
    return bytes;
}

} // namespace tav
