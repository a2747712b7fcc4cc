// Formatting a recorder's drive: the index structures are zeroed, so the recorder starts afresh. The
// drive is opened for writing only here, after the user has confirmed; drive images are never written.
#include <cstring>

#include "orma_src.h"
#include "platform/glmdrv.h"

namespace {

constexpr DWORD kZeroBytes = 20480;  // 40 sectors
constexpr DWORD kBootSectors = 2080; // the start of the drive, zeroed in runs of 40 sectors
constexpr int kRunSectors = 40;

// The sector the recorder keeps its drive description in, counted back from the end of the drive
// in units of the drive's own size class; a negative result means the drive is too small to have one.
LONGLONG DescriptionSector(ULONGLONG sectors) {
    const ULONGLONG b = sectors / 0x600000;
    ULONGLONG c = 32;
    if (b != 0) {
        int digits = 0;
        for (ULONGLONG v = b; v; v >>= 1)
            ++digits;
        c = ULONGLONG(1) << digits;
        if (c < 32)
            c = 32;
    }
    return static_cast<LONGLONG>(sectors & ~ULONGLONG(0x1FFFFF)) - static_cast<LONGLONG>(c * 2048);
}

} // namespace

HRESULT COrmaSrc::FormatDisk() {
    if (m_isImage || !HasDrive())
        return E_FAIL;
    const common::SectorVariant& variant = common::kOrmaSourceVariant;
    const bool driverMode = common::ChooseAccessMode(m_WinMajor, variant) == common::AccessMode::Driver;

    CAutoLock disk(&m_DiskLock);
    HANDLE h =
        driverMode
            ? CreateFileA(kGlmDriverPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr)
            : CreateFileA(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE || !h)
        return E_FAIL;

    BYTE zeros[kZeroBytes];
    std::memset(zeros, 0, sizeof zeros);
    bool ok = true;
    auto write = [&](ULONGLONG sector, int count) {
        if (sector + static_cast<ULONGLONG>(count) - 1 > 0xFFFFFFFFull) {
            ok = false;
            return;
        }
        if (!common::WriteSector(driverMode, h, m_nDrive, zeros, static_cast<DWORD>(sector), count, variant))
            ok = false;
    };
    const ULONGLONG C = m_disk.ClusterSize();
    const ULONGLONG N = m_disk.ClusterCount();
    // Every cluster's D32M record, the marker sector, the start of the drive, the drive description.
    for (ULONGLONG i = 1; i <= N; ++i)
        write(i * C - 1, 1);
    write(m_disk.SystemStart(), 1);
    for (DWORD s = 0; s < kBootSectors; s += kRunSectors)
        write(s, kRunSectors);
    const LONGLONG description = DescriptionSector(m_disk.DriveSectors());
    if (description >= 0)
        write(static_cast<ULONGLONG>(description), 1);
    CloseHandle(h);
    return ok ? S_OK : E_FAIL;
}
