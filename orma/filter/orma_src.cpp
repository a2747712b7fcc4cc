#include "orma_src.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "common/debug.h"
#include "media/pin_names.h"
#include "platform/system.h"

namespace {

constexpr const char* kBlueScreenFile = "bluescreen_PAL.jpg";

// "COrmaSrc::<name>()\n" on the debugger output.
void Trace(const char* method) {
    std::string line = std::string("COrmaSrc::") + method + "()\n";
    OutputDebugStringA(line.c_str());
}

} // namespace

CUnknown* COrmaSrc::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
    auto* filter = new (std::nothrow) COrmaSrc(outer, phr);
    if (!filter && phr)
        *phr = E_OUTOFMEMORY;
    return filter;
}

COrmaSrc::COrmaSrc(LPUNKNOWN outer, HRESULT* phr)
    : CSource("OrmaSrc", outer, CLSID_OrmaSrc, phr), m_slots(this), m_disk(&m_slots) {
    common::DebugOpen("ORMA source", "C:\\Program Files\\Scryde\\ORMA.log");
    common::DebugSetLevel(4);
    m_disk.SetSectorVariant(common::kOrmaSourceVariant);

    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (GetVersionExA(&info)) {
        m_WinMajor = info.dwMajorVersion;
        m_WinMinor = info.dwMinorVersion;
    }
    m_disk.SetWindowsMajor(m_WinMajor);
    m_ArchiveDone = std::make_unique<CAMEvent>(TRUE, TRUE);

    // The picture for channels that have none yet: the current directory first, then the installed
    // data folder.
    if (auto found = platform::FindDataFile(kBlueScreenFile))
        LoadBlueScreen(*found);

    HRESULT hr = S_OK;
    m_audio = new COrmaSrcAudio(&hr, this);
    for (int ch = 0; ch < orma::kChannels; ++ch) {
        const std::string name = media::VideoPinName(ch);
        m_video[static_cast<std::size_t>(ch)] = new COrmaSrcVideo(&hr, this, ch, name.c_str());
    }
    if (phr && FAILED(hr))
        *phr = hr;
}

COrmaSrc::~COrmaSrc() {
    StopExport();
    m_slots.m_stopping.Set();
    m_slots.ReleaseWaits(true);
    // CSource deletes the pins (stopping any thread still running); the drive closes with m_disk.
}

HRESULT COrmaSrc::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IOrmaSrc)
        return GetInterface(static_cast<IOrmaSrc*>(this), ppv);
    if (riid == IID_IOrmaSrcRange)
        return GetInterface(static_cast<IOrmaSrcRange*>(this), ppv);
    return CSource::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT COrmaSrc::SetPlayRange(BYTE startYear, DWORD startTime, BYTE endYear, DWORD endTime) {
    CAutoLock disk(&m_DiskLock);
    m_disk.SetPlayRange(startYear, startTime, endYear, endTime);
    return S_OK;
}

HRESULT COrmaSrc::Pause() {
    CAutoLock lock(&m_cStateLock);
    if (m_State == State_Stopped) {
        m_slots.ResetEvents(); // nothing of an earlier run may wake the new threads
        // The audio pin's thread starts first and reads at once: the connected video pins count as
        // streaming from here, so their channels' first pictures wait for them.
        for (int ch = 0; ch < orma::kChannels; ++ch)
            m_slots.SetStreaming(ch, m_video[static_cast<std::size_t>(ch)]->IsConnected());
    }
    return CSource::Pause();
}

HRESULT COrmaSrc::Stop() {
    CAutoLock lock(&m_cStateLock);
    m_slots.m_stopping.Set();
    m_slots.ReleaseWaits(true);
    return CSource::Stop();
}

DWORD COrmaSrc::LoadBlueScreen(const std::string& path) {
    m_BlueScreen.clear();
    std::ifstream in(path, std::ios::binary);
    if (in) {
        std::vector<BYTE> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // A picture that does not fit its buffer would arrive cut short: such a file is not used.
        if (bytes.size() <= orma::kBlueScreenBytes)
            m_BlueScreen = std::move(bytes);
    }
    CAutoLock disk(&m_DiskLock);
    m_disk.SetBlueScreen(m_BlueScreen.data(), static_cast<DWORD>(m_BlueScreen.size()));
    return static_cast<DWORD>(m_BlueScreen.size());
}

// ---- IOrmaSrc ----------------------------------------------------------------------------------------

HRESULT COrmaSrc::GetAlarmList(BYTE* records, UINT* count) {
    Trace("GetAlarmList");
    CAutoLock disk(&m_DiskLock);
    return m_disk.GetAlarmList(records, count);
}

HRESULT COrmaSrc::GetCurrentFrame(int channel, BYTE* buffer, UINT* length) {
    Trace("GetCurrentFrame");
    if (!HasDrive())
        return E_FAIL;
    if (!length)
        return E_POINTER;
    if (channel < 0 || channel >= orma::kChannels)
        return E_INVALIDARG;
    // Length and picture come from one reading of the slot, so a picture published meanwhile is
    // either copied whole or reported by its own length, never cut to the one before.
    const LONG capacity = static_cast<LONG>(std::min<UINT>(*length, 0x7FFFFFFF));
    const LONG have = m_slots.CopyWholePicture(channel, buffer, capacity);
    const UINT needed = have > 0 ? static_cast<UINT>(have) : 0;
    *length = needed;
    return needed > static_cast<UINT>(capacity) ? E_OUTOFMEMORY : S_OK;
}

HRESULT COrmaSrc::GetCurrentSegment(int* index) {
    Trace("GetCurrentSegment");
    CAutoLock disk(&m_DiskLock);
    if (index)
        *index = m_disk.CurrentSegment();
    return S_OK;
}

HRESULT COrmaSrc::GetDiskInfo(int* capacityMB, int* usedMB) {
    Trace("GetDiskInfo");
    CAutoLock disk(&m_DiskLock);
    return m_disk.GetDiskInfo(capacityMB, usedMB);
}

HRESULT COrmaSrc::GetPointerPosition(int* permille, BYTE* year, DWORD* time) {
    CAutoLock disk(&m_DiskLock);
    return m_disk.GetPointerPosition(permille, year, time);
}

HRESULT COrmaSrc::GetSegmentList(BYTE* records, UINT* count) {
    Trace("GetSegmentList");
    CAutoLock disk(&m_DiskLock);
    return m_disk.GetSegmentList(records, count);
}

HRESULT COrmaSrc::GetScanProgress(UINT* permille, int cancel) {
    // Read while OpenDisk runs on another thread: the progress values are atomic, no lock is taken.
    return m_disk.GetScanProgress(permille, cancel);
}

HRESULT COrmaSrc::OpenDisk(int drive, const char* path) {
    Trace("OpenDisk");
    if (drive < 0 || !path)
        return E_INVALIDARG;
    StopExport();
    CAutoLock disk(&m_DiskLock);
    m_path = path;
    m_nDrive = drive;
    m_isImage = drive == 0;
    return m_disk.OpenDisk(drive, path);
}

HRESULT COrmaSrc::SetDvrModel(UINT model) {
    Trace("SetDvrModel");
    CAutoLock disk(&m_DiskLock);
    return m_disk.SetDvrModel(model);
}

HRESULT COrmaSrc::SetPlaybackSpeed(int speed) {
    Trace("SetPlaybackSpeed");
    CAutoLock disk(&m_DiskLock);
    HRESULT hr = m_disk.SetPlaybackSpeed(speed);
    if (FAILED(hr))
        return hr;
    // The drive applies the same rule; the filter keeps the values for the audio type and the times.
    m_Direction = speed > 0 ? 1 : -1;
    const LONGLONG m = speed > 0 ? LONGLONG(speed) : -LONGLONG(speed);
    if (m < 1000) {
        m_SpeedFactor = static_cast<double>(1000 / m);
    } else {
        m_SpeedFactor = 1.0;
        m_FrameSkip = static_cast<int>(m / 1000 - 1);
    }
    m_audio->FormatChanged();
    return S_OK;
}

HRESULT COrmaSrc::SetPointerPosition(int permille) {
    Trace("SetPointerPosition");
    CAutoLock disk(&m_DiskLock);
    return m_disk.SetPointerPosition(permille);
}

HRESULT COrmaSrc::SetPointerSegment(UINT segment, int end) {
    CAutoLock disk(&m_DiskLock);
    return m_disk.SetPointerSegment(static_cast<int>(segment), end);
}

HRESULT COrmaSrc::SetPointerTime(BYTE year, DWORD time) {
    Trace("SetPointerTime");
    CAutoLock disk(&m_DiskLock);
    return m_disk.SetPointerTime(year, time);
}

HRESULT COrmaSrc::SetVideo(int standard) {
    Trace("SetVideo");
    CAutoLock disk(&m_DiskLock);
    m_disk.SetVideo(standard);
    if (standard == 0) {
        m_FrameDuration = 166666;
        m_AudioChunk = 294;
    } else if (standard == 1) {
        m_FrameDuration = 200000;
        m_AudioChunk = 352;
    }
    return S_OK;
}

HRESULT COrmaSrc::SetVideoTimestamp(int on) {
    Trace("SetVideoTimestamp");
    CAutoLock disk(&m_DiskLock);
    m_Timestamps = on != 0;
    m_disk.SetVideoTimestamp(on);
    return S_OK;
}

HRESULT COrmaSrc::GetFrameInfo(WORD* buffer, UINT count) {
    if (count < kOrmaFrameInfoMinWords)
        return E_INVALIDARG;
    if (!buffer)
        return E_POINTER;
    CAutoLock disk(&m_DiskLock);
    const BYTE* info = m_disk.FrameInfo();
    // The block holds the recorder's big-endian words; each comes out in host order.
    for (DWORD i = 0; i < orma::kFrameInfoBytes / 2; ++i)
        buffer[i] = static_cast<WORD>((info[2 * i] << 8) | info[2 * i + 1]);
    return S_OK;
}
