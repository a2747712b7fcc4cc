// Opening a recording: the source for the drive or file, its graph, the disk-open worker, the segment
// and alarm lists, and the first playback.
#include <chrono>
#include <cstdio>

#include "media/clsids.h"
#include "platform/bytes.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "reader/player.h"

namespace reader {

namespace {

constexpr const char* kSourceFailed = "Insert source filter failed!\nSoftware is not properly installed.";
constexpr const char* kNoVideo = "Cannot detect video on hard drive or file. Try open another one.";
constexpr const char* kNoOrmaVideo = "Cannot detect video on ORMA drive or file. Try open another one.";
constexpr const char* kMissingComponents = "Components required to run the program are missing.\nPlease "
                                           "uninstall and reinstall the Scryde software.";

} // namespace

OpenTarget FileTarget(const std::string& path) {
    const FileKind k = ClassifyFile(path);
    OpenTarget t;
    t.kind = k.kind;
    t.fileCode = k.fileCode;
    t.drive = k.drive;
    t.path = path;
    return t;
}

CPlayerCore::CPlayerCore() : m_settings(ReaderSettings::Load()) {
    for (int mode = 0; mode < kLayouts; ++mode)
        for (int k = 0; k < BoxesInLayout(mode); ++k) {
            VideoBox& box = m_boxes[BoxIndex(mode, k)];
            box.mode = mode;
            box.position = k;
            box.geometry = LayoutBox(mode, k);
        }
}

CPlayerCore::~CPlayerCore() {
    Close();
}

bool CPlayerCore::HasAudioDevice() {
    ComPtr<IBaseFilter> probe;
    return SUCCEEDED(CoCreateInstance(CLSID_DSoundRender, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                      probe.ReleaseAndGetVoidAddress())) &&
           probe;
}

void CPlayerCore::SetBoxWindow(int index, OAHWND window) {
    if (index >= 0 && index < kBoxCount)
        m_boxes[index].window = window;
}

void CPlayerCore::SaveSettings() {
    m_settings.Save();
}

bool CPlayerCore::BeginOpen(const OpenTarget& target) {
    Close();
    m_target = target;
    m_kind = target.kind;
    m_audioPresent = false;
    if (IsTav()) {
        const CLSID& clsid = m_kind == kKindGlm ? CLSID_GlmSourceFilter : CLSID_VTSourceFilter;
        HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                      m_source.ReleaseAndGetVoidAddress());
        if (FAILED(hr) || !m_source || FAILED(m_source.As(IID_IVTSourceFilter, m_vts))) {
            char line[96];
            std::snprintf(line, sizeof line, "Creating the source filter failed (0x%08X)\n",
                          static_cast<unsigned>(hr));
            OutputDebugStringA(line);
            MessageBoxA(nullptr, kSourceFailed, "Error", MB_OK);
            Close();
            return false;
        }
        // A drive row hands its table record; a file its own descriptor with 16 at +4 and the file code.
        auto descriptor = target.fileCode ? MakeDescriptor(0, 16, target.fileCode, target.path)
                                          : MakeDescriptor(target.gigabytes, static_cast<BYTE>(target.drive),
                                                           target.kind, target.path);
        if (!descriptor) {
            MessageBoxA(nullptr, kNoVideo, "Error", MB_OK);
            return false;
        }
        m_descriptor = *descriptor;
        m_vts->Open(m_descriptor.data());
        m_audioPresent = m_descriptor[10] != 0;
        BYTE recorder = 0;
        m_vts->GetRecorderKind(&recorder);
        DWORD width = 0, height = 0;
        m_vts->GetFrameSize(&width, &height);
        if (width == 0 || height == 0) {
            MessageBoxA(nullptr, kNoVideo, "Error", MB_OK);
            return false;
        }
        if (FAILED(BuildTavGraph())) {
            MessageBoxA(nullptr, kMissingComponents, "Error", MB_OK);
            return false;
        }
        return true;
    }
    if (!CreateGraph()) {
        Close();
        return false;
    }
    HRESULT hr = CoCreateInstance(CLSID_OrmaSrc, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  m_source.ReleaseAndGetVoidAddress());
    if (FAILED(hr) || !m_source || FAILED(m_source.As(IID_IOrmaSrc, m_orma))) {
        OutputDebugStringA("Creating the ORMA source filter failed\n");
        MessageBoxA(nullptr, kSourceFailed, "Error", MB_OK);
        Close();
        return false;
    }
    m_graph->AddFilter(m_source.Get(), nullptr);
    if (FAILED(BuildOrmaGraph())) {
        MessageBoxA(nullptr, kMissingComponents, "Error", MB_OK);
        return false;
    }
    return true;
}

void CPlayerCore::StartOpenWorker() {
    if (m_worker.joinable())
        m_worker.join();
    m_workerDone = false;
    m_workerResult = E_FAIL;
    // The worker only calls the source's open; the source allows its progress query meanwhile.
    IOrmaSrc* orma = m_orma.Get();
    IVTSourceFilter* vts = m_vts.Get();
    const int drive = m_target.drive;
    const std::string path = m_target.path;
    m_worker = std::thread([this, orma, vts, drive, path] {
        HRESULT hr = E_FAIL;
        if (orma)
            hr = orma->OpenDisk(drive, path.c_str());
        else if (vts)
            hr = vts->LoadIndex(drive, path.c_str());
        m_workerResult = hr;
        m_workerDone = true;
    });
}

LONG CPlayerCore::OpenProgress() {
    if (m_orma) {
        UINT permille = 0;
        m_orma->GetScanProgress(&permille, 0);
        return static_cast<LONG>(permille);
    }
    LONG permille = 0;
    if (m_vts)
        m_vts->GetProgress(&permille, 0);
    return permille;
}

HRESULT CPlayerCore::FinishOpenWorker() {
    if (m_worker.joinable())
        m_worker.join();
    return m_workerResult;
}

bool CPlayerCore::Open(const OpenTarget& target, const std::function<void(LONG)>& progress) {
    if (!BeginOpen(target))
        return false;
    StartOpenWorker();
    while (OpenWorkerRunning()) {
        if (progress)
            progress(OpenProgress());
        std::this_thread::sleep_for(std::chrono::milliseconds(progress ? 300 : 10));
    }
    return CompleteOpen(FinishOpenWorker());
}

bool CPlayerCore::LoadLists() {
    m_segmentRows.clear();
    m_alarmRows.clear();
    m_segmentTable.clear();
    m_alarmTable.clear();
    if (m_vts) {
        DWORD count = 0;
        m_vts->GetSectionCount(&count);
        if (count == 0) {
            MessageBoxA(nullptr, kNoVideo, "Error", MB_OK);
            return false;
        }
        m_segmentTable.assign(std::size_t(count) * kVTSectionRecordBytes, 0);
        m_vts->GetSections(m_segmentTable.data());
        int row = 0;
        for (DWORD i = 0; i < count; ++i) {
            BYTE* e = m_segmentTable.data() + std::size_t(i) * kVTSectionRecordBytes;
            const DWORD start = platform::ReadLE32(e);
            if (start != 0) {
                platform::WriteLE16(e + 24, static_cast<std::uint16_t>(row++));
                m_segmentRows.push_back(FormatUtcTime(start));
            } else {
                platform::WriteLE16(e + 24, 0xFFFF);
            }
        }
        m_vts->GetCurrentSection(&m_currentSegment);
        DWORD unit = 0;
        m_vts->GetSectionUnit(&unit);
        m_alarmTable.assign(std::size_t(unit) * kVTEventRecordBytes, 0);
        return true;
    }
    UINT count = 0;
    m_orma->GetSegmentList(nullptr, &count);
    m_segmentTable.assign(std::size_t(count) * kOrmaSegmentRecordBytes, 0);
    if (count)
        m_orma->GetSegmentList(m_segmentTable.data(), &count);
    for (UINT i = 0; i < count; ++i) {
        const BYTE* e = m_segmentTable.data() + std::size_t(i) * kOrmaSegmentRecordBytes;
        m_segmentRows.push_back(FormatOrmaTime(e[26], platform::ReadLE32(e)));
    }
    int current = 0;
    m_orma->GetCurrentSegment(&current);
    m_currentSegment = current;
    UINT alarms = 0;
    m_orma->GetAlarmList(nullptr, &alarms);
    m_alarmTable.assign(std::size_t(alarms) * kOrmaAlarmRecordBytes, 0);
    if (alarms)
        m_orma->GetAlarmList(m_alarmTable.data(), &alarms);
    for (UINT i = 0; i < alarms; ++i) {
        const BYTE* e = m_alarmTable.data() + std::size_t(i) * kOrmaAlarmRecordBytes;
        m_alarmRows.push_back(FormatOrmaTime(e[10], platform::ReadLE32(e)));
    }
    return true;
}

int CPlayerCore::SectionRow(LONG section) const {
    if (!m_vts)
        return static_cast<int>(section);
    const std::size_t at = std::size_t(section) * kVTSectionRecordBytes;
    if (section < 0 || at + kVTSectionRecordBytes > m_segmentTable.size())
        return -1;
    return static_cast<std::int16_t>(platform::ReadLE16(m_segmentTable.data() + at + 24));
}

void CPlayerCore::SetMarksToSegment(int entry) {
    const std::size_t at = std::size_t(entry) * kVTSectionRecordBytes;
    if (entry < 0 || at + kVTSectionRecordBytes > m_segmentTable.size())
        return;
    const BYTE* e = m_segmentTable.data() + at;
    m_markStart = {e[26], platform::ReadLE32(e)};
    m_markEnd = {e[27], platform::ReadLE32(e + 12)};
    m_markInText = FormatCurrentTime(m_markStart.year, m_markStart.time);
    m_markOutText = FormatCurrentTime(m_markEnd.year, m_markEnd.time);
}

std::string CPlayerCore::FormatCurrentTime(BYTE year, DWORD time) const {
    return m_vts ? FormatUtcTime(time) : FormatOrmaTime(year, time);
}

bool CPlayerCore::CompleteOpen(HRESULT workerResult) {
    if (FAILED(workerResult)) {
        // Nothing could be read: the half-open recording is closed rather than played empty.
        MessageBoxA(nullptr, kNoOrmaVideo, "Error", MB_OK);
        Close();
        return false;
    }
    // The disk gauge: used of all, in per cent.
    if (m_orma) {
        int capacity = 0, used = 0;
        if (FAILED(m_orma->GetDiskInfo(&capacity, &used))) {
            Close();
            return false;
        }
        m_gauge = capacity > 0 ? static_cast<int>(static_cast<long long>(used) * 100 / capacity) : 0;
    } else {
        DWORD all = 0, valid = 0;
        if (FAILED(m_vts->GetSegmentCounts(&all, &valid))) {
            Close();
            return false;
        }
        m_gauge = all > 0 ? static_cast<int>(static_cast<unsigned long long>(valid) * 100 / all) : 0;
    }
    if (!LoadLists())
        return false;
    m_tab = 0;

    // The settings again: the display mode, and the model for ORMA recordings.
    m_settings = ReaderSettings::Load();
    if (m_settings.displayMode > 3)
        m_settings.displayMode = 3;
    m_displayMode = static_cast<int>(m_settings.displayMode);
    if (m_vts) {
        m_modelCode = kTavModelCode;
        m_modelRow = kTavModelRow;
        m_modelEnabled = false;
    } else {
        m_modelRow = static_cast<int>(m_settings.model);
        m_modelCode = ModelCode(m_modelRow);
        m_orma->SetDvrModel(m_modelCode);
        m_modelEnabled = true;
    }

    m_playState = PlayState::Stopped;
    ApplySpeed(kNormalSpeed, 1);
    m_fw = true;
    m_bw = false;

    const int row = SectionRow(m_currentSegment);
    if (row >= 0)
        m_segmentRowToSelect = row;
    SetMarksToSegment(static_cast<int>(m_currentSegment));

    m_timerRunning = true;
    ApplyDisplayMode(m_displayMode);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    if (m_orma) {
        m_orma->SetVideoTimestamp(0);
        Begin();
        PlayPause();
    } else if (m_kind != kKindGlm) {
        m_vts->SetTimestamps(1);
        PlayPause();
    } else {
        m_vts->SetTimestamps(1);
        Pause();
    }
    SetVideoStandard(static_cast<int>(m_settings.video));
    SetAudio(m_settings.audio != 0);
    return true;
}

} // namespace reader
