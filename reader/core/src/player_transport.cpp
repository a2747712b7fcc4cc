// The transport and the controls of the main window over the open recording: play/pause, stop,
// stepping, speed and direction, Begin/End, the slider, the 100 ms tick, the tabs, the time search,
// the lists, the model, the archive marks and the audio and video commands.
#include <chrono>
#include <thread>

#include "platform/bytes.h"
#include "platform/system.h"
#include "reader/player.h"

namespace reader {

namespace {

constexpr DWORD kNotATime = 3072; // values up to this are section numbers, not times

} // namespace

// ---- Play, pause, stop --------------------------------------------------------------------------

void CPlayerCore::PlayPause() {
    if (!m_graph || !m_control)
        return;
    std::lock_guard lock(m_transport);
    if (m_vts) {
        switch (m_playState) {
        case PlayState::Running:
            m_control->Pause();
            m_playState = PlayState::Paused;
            m_pauseBitmap = false;
            break;
        case PlayState::Stopped:
        case PlayState::Paused:
            m_control->Run();
            m_playState = PlayState::Running;
            m_pauseBitmap = true;
            break;
        case PlayState::FrameStep: {
            m_vts->Step(0);
            const bool normal = m_speedIndex == kNormalSpeed && m_direction == 1;
            if (normal) {
                m_control->Stop();
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                m_control->Run();
            }
            m_playState = PlayState::Running;
            m_pauseBitmap = m_kind != kKindGlm || normal;
            break;
        }
        }
        return;
    }
    OAFilterState state = State_Stopped;
    if (m_control->GetState(1000, &state) == S_OK && state == State_Running) {
        m_control->Pause();
        m_pauseBitmap = false;
    } else {
        m_control->Stop();
        m_control->Run();
        m_pauseBitmap = true;
    }
}

void CPlayerCore::Pause() {
    if (!m_graph || !m_control)
        return;
    std::lock_guard lock(m_transport);
    if (m_vts) {
        if (m_playState == PlayState::Stopped || m_playState == PlayState::Running) {
            m_control->Pause();
            m_playState = PlayState::Paused;
        }
    } else {
        m_control->Pause();
    }
    m_pauseBitmap = false;
}

void CPlayerCore::TavStop() {
    std::lock_guard lock(m_transport);
    if (m_playState == PlayState::Paused || m_playState == PlayState::Running) {
        m_control->Stop();
    } else if (m_playState == PlayState::FrameStep) {
        m_vts->Step(0);
        m_control->Stop();
    }
    m_playState = PlayState::Stopped;
}

void CPlayerCore::Stop() {
    if (!m_graph || !m_control)
        return;
    if (m_vts)
        TavStop();
    else
        m_control->Stop();
}

void CPlayerCore::SpaceKey() {
    if (!m_graph || !m_control)
        return;
    OAFilterState state = State_Stopped;
    if (FAILED(m_control->GetState(1000, &state)))
        return;
    if (state == State_Running)
        Stop();
    else
        PlayPause();
}

// ---- Speed and direction ------------------------------------------------------------------------

void CPlayerCore::ApplySpeed(int index, int direction) {
    if (index >= 1 && index < kSpeedCount)
        m_speedIndex = index;
    if (direction != 0)
        m_direction = direction < 1 ? -1 : 1;
    if (!m_graph)
        return;
    const LONG value = kSpeeds[m_speedIndex].value;
    if (m_vts) {
        m_vts->SetPlayback(value, m_direction, m_audioConnected ? 1 : 0);
        if (m_kind == kKindGlm && !(m_speedIndex == kNormalSpeed && m_direction == 1))
            m_pauseBitmap = false;
    } else if (m_orma) {
        m_orma->SetPlaybackSpeed(static_cast<int>(value) * m_direction);
    }
}

void CPlayerCore::StepSpeed(int delta) {
    if (!m_graph)
        return;
    std::lock_guard lock(m_transport);
    // The buttons stay between 0.10x and 16x; "0x" is never reached by them.
    const int index = std::clamp(m_speedIndex + delta, 1, kSpeedCount - 1);
    // Back at 1x forward with sound, playback restarts so the sound is in step again.
    if (m_vts && m_audioPresent && index == kNormalSpeed && m_direction == 1 &&
        m_playState != PlayState::FrameStep) {
        TavStop();
        ApplySpeed(index, 0);
        PlayPause();
    } else {
        ApplySpeed(index, 0);
    }
}

void CPlayerCore::SetButtons(int direction) {
    m_fw = direction > 0;
    m_bw = direction < 0;
}

void CPlayerCore::Forward() {
    if (!m_graph)
        return;
    std::lock_guard lock(m_transport);
    if (m_bw)
        ApplySpeed(0, 1);
    SetButtons(1);
    if (m_vts && m_audioPresent && m_speedIndex == kNormalSpeed && m_playState != PlayState::FrameStep) {
        TavStop();
        PlayPause();
    }
}

void CPlayerCore::Backward() {
    if (!m_graph)
        return;
    std::lock_guard lock(m_transport);
    if (m_fw)
        ApplySpeed(0, -1);
    SetButtons(-1);
}

void CPlayerCore::StepOnce(int direction) {
    if (!m_graph || !m_control)
        return;
    std::lock_guard lock(m_transport);
    const bool oppositePressed = direction > 0 ? m_bw : m_fw;
    if (m_vts) {
        if (oppositePressed) {
            ApplySpeed(0, direction);
            SetButtons(direction);
        }
        if (m_playState == PlayState::Stopped || m_playState == PlayState::Paused)
            m_control->Run();
        m_vts->Step(1);
        m_playState = PlayState::FrameStep;
    } else {
        ApplySpeed(0, direction);
        if (m_frameStep) {
            m_frameStep->Step(1, nullptr);
            if (oppositePressed)
                m_frameStep->Step(1, nullptr);
        }
        SetButtons(direction);
    }
    m_pauseBitmap = false;
}

// ---- Begin, End, slider -------------------------------------------------------------------------

void CPlayerCore::Begin() {
    if (!m_graph || !m_control)
        return;
    std::lock_guard lock(m_transport);
    Stop();
    ApplySpeed(0, 1);
    if (m_vts) {
        m_vts->GoToEnds(0);
        PlayPause();
    } else {
        m_orma->SetPointerSegment(static_cast<UINT>(-1), 0);
        Pause();
    }
    SetButtons(1);
}

void CPlayerCore::End() {
    if (!m_graph || !m_control)
        return;
    std::lock_guard lock(m_transport);
    Stop();
    ApplySpeed(0, -1);
    if (m_vts)
        m_vts->GoToEnds(1);
    else
        m_orma->SetPointerSegment(static_cast<UINT>(-1), 1);
    Pause();
    SetButtons(-1);
}

void CPlayerCore::SeekSlider(int position) {
    if (!m_graph || !m_control)
        return;
    position = std::clamp(position, 0, 1000);
    std::lock_guard lock(m_transport);
    if (m_vts) {
        TavStop();
        m_vts->SeekPerMille(position);
        PlayPause();
        return;
    }
    OAFilterState state = State_Stopped;
    const bool known = m_control->GetState(100, &state) == S_OK;
    m_control->Stop();
    m_orma->SetPointerPosition(position);
    Pause();
    if (known && state == State_Running) {
        m_control->Run();
        m_pauseBitmap = true;
    }
}

// ---- The 100 ms tick ----------------------------------------------------------------------------

TickResult CPlayerCore::Tick() {
    TickResult r;
    if (!m_graph)
        return r;
    DrainEvents();
    if (m_vts) {
        LONG perMille = 0;
        DWORD value = 0;
        if (FAILED(m_vts->GetPosition(&perMille, &m_zone, &value)))
            return r;
        r.ok = true;
        r.slider = perMille;
        if (value > kNotATime) {
            m_currentTime = value;
            r.timeText = FormatUtcTime(value);
            if (m_kind == kKindGlm)
                r.timeText += ZoneSuffix(m_zone);
        } else if (value < kNotATime) {
            std::lock_guard lock(m_transport);
            m_currentSegment = static_cast<LONG>(value);
            const int row = SectionRow(m_currentSegment);
            if (row >= 0)
                r.segmentRow = row, m_segmentRowToSelect = row;
        }
    } else {
        int perMille = 0;
        BYTE year = 0;
        DWORD time = 0;
        if (FAILED(m_orma->GetPointerPosition(&perMille, &year, &time)))
            return r;
        r.ok = true;
        r.slider = perMille;
        m_currentYear = year;
        m_currentTime = time;
        r.timeText = FormatOrmaTime(year, time);
    }
    m_timeText = r.timeText;
    return r;
}

bool CPlayerCore::DrainEvents() {
    bool complete = false;
    if (!m_events)
        return complete;
    LONG code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    while (m_events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
        complete = complete || code == EC_COMPLETE;
        m_events->FreeEventParams(code, p1, p2);
    }
    return complete;
}

// ---- Tabs, lists and the time search ------------------------------------------------------------

void CPlayerCore::SelectTab(int tab) {
    if (!m_graph)
        return;
    m_tab = tab;
    if (tab == 0) {
        if (m_vts) {
            LONG section = 0;
            if (SUCCEEDED(m_vts->GetCurrentSection(&section))) {
                const int row = SectionRow(section);
                if (row >= 0)
                    m_segmentRowToSelect = row;
            }
        } else {
            int segment = 0;
            if (SUCCEEDED(m_orma->GetCurrentSegment(&segment)))
                m_segmentRowToSelect = segment;
        }
    } else if (tab == 1 && m_vts) {
        std::fill(m_alarmTable.begin(), m_alarmTable.end(), 0);
        DWORD count = static_cast<DWORD>(m_alarmTable.size() / kVTEventRecordBytes);
        m_alarmRows.clear();
        if (count && SUCCEEDED(m_vts->GetEventTimes(m_alarmTable.data(), &count))) {
            count = std::min<DWORD>(count, static_cast<DWORD>(m_alarmTable.size() / kVTEventRecordBytes));
            for (DWORD i = 0; i < count; ++i) {
                const DWORD t =
                    platform::ReadLE32(m_alarmTable.data() + std::size_t(i) * kVTEventRecordBytes);
                if (t != 0)
                    m_alarmRows.push_back(FormatUtcTime(t));
            }
        }
    }
}

SearchFields CPlayerCore::TimeFields() const {
    return m_vts ? SplitUtc(m_currentTime) : SplitOrma(m_currentYear, m_currentTime);
}

void CPlayerCore::SearchTime(const SearchFields& f) {
    if (!m_graph || !IsValidSearchTime(f))
        return;
    if (m_vts) {
        TavStop();
        if (FAILED(m_vts->SeekToTime(UtcSeconds(f)))) {
            MessageBoxA(nullptr, "Search time cannot be found on the hard drive", "ERROR",
                        MB_OK | MB_TASKMODAL);
            if (m_kind == kKindGlm) {
                Pause();
                return;
            }
        }
        PlayPause();
        return;
    }
    m_control->Stop();
    m_orma->SetPointerTime(OrmaYearByte(f), OrmaSearchWord(f));
    Pause();
}

void CPlayerCore::SelectSegmentRow(int row) {
    if (!m_graph || row < 0)
        return;
    if (m_vts) {
        const std::size_t entries = m_segmentTable.size() / kVTSectionRecordBytes;
        for (std::size_t i = 0; i < entries; ++i) {
            if (SectionRow(static_cast<LONG>(i)) != row)
                continue;
            TavStop();
            m_vts->SelectSection(static_cast<LONG>(i));
            PlayPause();
            return;
        }
        return;
    }
    m_control->Stop();
    m_orma->SetPointerSegment(static_cast<UINT>(row), 0);
    Begin();
}

void CPlayerCore::SelectAlarmRow(int row) {
    if (!m_graph || row < 0)
        return;
    if (m_vts) {
        // The rows list the non-zero times in table order.
        int seen = -1;
        const std::size_t entries = m_alarmTable.size() / kVTEventRecordBytes;
        for (std::size_t i = 0; i < entries; ++i) {
            const DWORD t = platform::ReadLE32(m_alarmTable.data() + i * kVTEventRecordBytes);
            if (t == 0 || ++seen != row)
                continue;
            TavStop();
            m_vts->SeekToTime(t);
            PlayPause();
            return;
        }
        return;
    }
    const std::size_t at = std::size_t(row) * kOrmaAlarmRecordBytes;
    if (at + kOrmaAlarmRecordBytes > m_alarmTable.size())
        return;
    m_control->Stop();
    m_orma->SetPointerTime(m_alarmTable[at + 10], platform::ReadLE32(m_alarmTable.data() + at));
    Pause();
}

void CPlayerCore::SetModelRow(int row) {
    if (!m_graph || !m_orma || row < 0 || row >= kModelEntries)
        return;
    m_modelRow = row;
    m_modelCode = ModelCode(row);
    m_settings.model = static_cast<DWORD>(row);
    m_orma->SetDvrModel(m_modelCode);
    ApplyDisplayMode(m_displayMode);
}

void CPlayerCore::MarkIn() {
    if (!m_graph)
        return;
    DWORD time = m_currentTime;
    if (m_vts)
        m_vts->MarkStart(&time);
    m_markStart = {m_currentYear, time};
    m_markInText = FormatCurrentTime(m_currentYear, time);
}

void CPlayerCore::MarkOut() {
    if (!m_graph)
        return;
    DWORD time = m_currentTime;
    if (m_vts)
        m_vts->MarkEnd(&time);
    m_markEnd = {m_currentYear, time};
    m_markOutText = FormatCurrentTime(m_currentYear, time);
}

bool CPlayerCore::SetMarks(ArchiveMark start, ArchiveMark end) {
    if (!m_graph)
        return false;
    if (m_vts) {
        TavStop();
        DWORD t = 0;
        if (FAILED(m_vts->SeekToTime(start.time)) || FAILED(m_vts->MarkStart(&t)))
            return false;
        start.time = t;
        if (FAILED(m_vts->SeekToTime(end.time)) || FAILED(m_vts->MarkEnd(&t)))
            return false;
        end.time = t;
    }
    m_markStart = start;
    m_markEnd = end;
    m_markInText = FormatCurrentTime(start.year, start.time);
    m_markOutText = FormatCurrentTime(end.year, end.time);
    return true;
}

// ---- Audio and video ----------------------------------------------------------------------------

void CPlayerCore::SetAudio(bool on) {
    if (!m_graph)
        return;
    ComPtr<IBasicAudio> audio;
    if (SUCCEEDED(m_graph->QueryInterface(IID_IBasicAudio, audio.ReleaseAndGetVoidAddress())) && audio)
        audio->put_Volume(on ? 0 : -10000);
    m_settings.audio = on ? 1 : 0;
    SaveSettings();
}

void CPlayerCore::SetAudioChannel(int channel) {
    if (!m_graph || !m_vts || channel < 0 || channel > 3)
        return;
    std::lock_guard lock(m_transport);
    m_control->Stop();
    SetAudio(true);
    m_vts->SetAudioChannel(static_cast<BYTE>(channel));
    m_audioChannel = channel;
    m_control->Run();
    m_playState = PlayState::Running;
    m_pauseBitmap = true;
}

void CPlayerCore::SetVideoStandard(int standard) {
    if (!m_graph)
        return;
    standard = standard ? 1 : 0;
    m_settings.video = static_cast<DWORD>(standard);
    SaveSettings();
    if (m_orma)
        m_orma->SetVideo(standard);
    else if (m_vts)
        m_vts->Reserved(standard);
}

MenuState CPlayerCore::Menu(int boxIndex) const {
    MenuState m;
    if (boxIndex >= 0 && boxIndex < kBoxCount)
        m.channel = m_boxes[boxIndex].channel;
    m.displayMode = m_displayMode;
    if (m_vts) {
        m.videoEnabled = false;
        BYTE format = 0;
        m_vts->GetAudioFormat(&format);
        for (int k = 0; k < 4; ++k)
            m.channelsEnabled[k] = !(format == 1 && k >= 2);
        m.audioChannel = m_settings.audio ? m_audioChannel : -1;
    } else {
        m.videoStandard = static_cast<int>(m_settings.video);
        m.audioOn = m_settings.audio != 0;
    }
    return m;
}

} // namespace reader
