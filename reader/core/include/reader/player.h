// The open recording and everything the main window does with it, without the window: opening a drive
// or file (source creation, the disk-open worker, the lists), the playback graph of each source
// family, the transport state machine, the 100 ms tick, the time search, the video boxes and their
// channels, the archive marks and the audio statistics log. The desktop reader maps its controls onto
// this class; tests and scripts drive it directly.
//
// Every method runs on the thread that owns the recording (the user-interface thread), except the
// source's open, which runs on the disk-open worker while OpenProgress() is polled.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "media/interfaces.h"
#include "orma/filter/iormasrc.h"
#include "reader/audio_stats.h"
#include "reader/drive_probe.h"
#include "reader/encoder_select.h"
#include "reader/settings.h"
#include "reader/tables.h"
#include "tallen/itallen.h"
#include "tav/filter/ivtsource.h"

namespace reader {

// {76164178-DA73-476D-AB9F-52C216F68449}: the mobile-recorder source, an outside component.
constexpr CLSID CLSID_GlmSourceFilter = {
    0x76164178, 0xDA73, 0x476D, {0xAB, 0x9F, 0x52, 0xC2, 0x16, 0xF6, 0x84, 0x49}};

enum class PlayState { Stopped = 0, Paused = 1, Running = 2, FrameStep = 3 };

// What to open: a drive row of the drive list, or a file.
struct OpenTarget {
    BYTE kind = kKindOrma;
    int drive = 0;
    std::string path;  // the drive's device path or the file's path
    BYTE fileCode = 0; // 0 for a drive; 9, 10, 17 or 25 for a file
    DWORD gigabytes = 0;
};
// The target for a file chosen in the open dialog, classified by its extension.
OpenTarget FileTarget(const std::string& path);

// One of the 30 video boxes.
struct VideoBox {
    int mode = 0, position = 0;
    BoxGeometry geometry;
    int channel = -1;
    OAHWND window = 0; // the view's box window; the channel's video window is made its child
    bool shown = false;
};

// What the context menu of a box shows checked and enabled.
struct MenuState {
    int channel = -1; // checked under "Set Channel" (-1 none)
    int displayMode = 0;
    bool videoEnabled = true;
    int videoStandard = -1; // checked under "Video" (-1 none)
    bool audioOn = false;   // "On" (ORMA) checked; otherwise "Off"
    int audioChannel = -1;  // TAV: the channel item checked when audio is on (0..3), -1 for "Off"
    bool channelsEnabled[4] = {false, false, false, false};
};

// An archive mark: a year byte (ORMA only) and a time, packed for ORMA, seconds for the TAV family.
struct ArchiveMark {
    BYTE year = 0;
    DWORD time = 0;
};

// What the archive's save panel collects.
struct ArchiveOptions {
    int fileType = 1; // 1 AVI, 2 disk image, 3 data only, 4 Matroska and 5 MP4 (frames as recorded)
    bool chooseEncoder = false;
    bool fullSize = true;
    int capture = 0; // 0 none, 1 text, 2 binary
    bool drawTime = true;
    DWORD timeColour = 0x00FF00; // colours as 0x00BBGGRR
    bool drawChannel = true;
    DWORD channelColour = 0x0000FF;
    bool addText = false;
    std::string text; // up to 256 characters
    DWORD textColour = 0xFF0000;
    bool interlaced = false;
    std::string encoder;       // the compressor's friendly name; empty for "MJPEG Compressor"
    ULONGLONG volumeLimit = 0; // when non-zero, used instead of the free space of the target
};

// The nine swatches of the colour lists: red, green, blue, yellow, magenta, cyan, light grey, black, white.
constexpr DWORD kArchiveColours[9] = {0x0000FF, 0x00FF00, 0xFF0000, 0x00FFFF, 0xFF00FF,
                                      0xFFFF00, 0xDDDDDD, 0x000000, 0xFFFFFF};

// How an archive run shows its progress and lets the user cancel it; the loops call Pump() to keep
// the window alive.
class IArchiveUi {
public:
    virtual ~IArchiveUi() = default;
    virtual void Begin(const std::string& text, int range, bool cancellable) = 0;
    virtual void SetPosition(int position) = 0;
    virtual bool Cancelled() = 0;
    virtual void Pump() = 0;
    virtual void End() = 0;
};

// What one tick of the 100 ms timer found.
struct TickResult {
    bool ok = false;
    std::string timeText;
    LONG slider = 0;
    std::optional<int> segmentRow; // a segment row to select
};

class CPlayerCore {
public:
    CPlayerCore();
    ~CPlayerCore();
    CPlayerCore(const CPlayerCore&) = delete;
    CPlayerCore& operator=(const CPlayerCore&) = delete;

    // ---- Start-up ------------------------------------------------------------------------------
    // Whether the machine has an audio output device (the audio renderer can be created).
    static bool HasAudioDevice();
    ReaderSettings& Settings() { return m_settings; }
    // The view's window handle for box `index` (0..29).
    void SetBoxWindow(int index, OAHWND window);
    const std::array<VideoBox, kBoxCount>& Boxes() const { return m_boxes; }

    // ---- Opening -------------------------------------------------------------------------------
    // Closes any open recording, creates the source for the target and builds its graph. False when
    // the open stops here (the message has been shown).
    bool BeginOpen(const OpenTarget& target);
    // Runs the source's open (OpenDisk or LoadIndex) on the disk-open worker.
    void StartOpenWorker();
    bool OpenWorkerRunning() const { return !m_workerDone.load(); }
    // The open's progress in per mille, asked of the source.
    LONG OpenProgress();
    // Waits for the worker and returns its result.
    HRESULT FinishOpenWorker();
    // The rest of the open once the worker ended: lists, settings, speed, display and first playback.
    bool CompleteOpen(HRESULT workerResult);
    // All of the above, with `progress` called every 300 ms while the worker runs.
    bool Open(const OpenTarget& target, const std::function<void(LONG)>& progress = {});

    void Close();
    bool IsOpen() const { return static_cast<bool>(m_graph); }
    bool IsTav() const { return m_kind != kKindOrma; }
    BYTE Kind() const { return m_kind; }
    // What was opened last; it names the open recording while IsOpen().
    const OpenTarget& Target() const { return m_target; }
    bool HasAudio() const { return m_audioPresent; }
    IGraphBuilder* Graph() const { return m_graph.Get(); }
    IVTSourceFilter* Vts() const { return m_vts.Get(); }
    IOrmaSrc* Orma() const { return m_orma.Get(); }
    // The renderer and the decoder of channel c, null when there is none.
    IBaseFilter* Renderer(int channel) const { return m_renderers[channel].Get(); }
    IBaseFilter* Decoder(int channel) const { return m_decoders[channel].Get(); }

    // ---- What the window shows -----------------------------------------------------------------
    int DiskGauge() const { return m_gauge; }
    const std::vector<std::string>& SegmentRows() const { return m_segmentRows; }
    const std::vector<std::string>& AlarmRows() const { return m_alarmRows; }
    std::optional<int> SegmentRowToSelect() const { return m_segmentRowToSelect; }
    int Tab() const { return m_tab; }
    bool TimerRunning() const { return m_timerRunning; }
    bool PlayShowsPause() const { return m_pauseBitmap; }
    bool FwPressed() const { return m_fw; }
    bool BwPressed() const { return m_bw; }
    int SpeedIndex() const { return m_speedIndex; }
    int Direction() const { return m_direction; }
    const char* SpeedLabel() const { return kSpeeds[m_speedIndex].label; }
    PlayState State() const { return m_playState; }
    int DisplayMode() const { return m_displayMode; }
    int ModelRow() const { return m_modelRow; }
    bool ModelListEnabled() const { return m_modelEnabled; }
    const std::string& MarkInText() const { return m_markInText; }
    const std::string& MarkOutText() const { return m_markOutText; }
    const std::string& TimeText() const { return m_timeText; }
    ArchiveMark MarkStartValue() const { return m_markStart; }
    ArchiveMark MarkEndValue() const { return m_markEnd; }
    MenuState Menu(int box) const;

    // ---- Controls ------------------------------------------------------------------------------
    void PlayPause();
    void Pause();
    void Stop();
    void Begin();
    void End();
    void StepForward() { StepOnce(+1); }
    void StepBackward() { StepOnce(-1); }
    void Forward();
    void Backward();
    void SpeedUp() { StepSpeed(+1); }
    void SpeedDown() { StepSpeed(-1); }
    void ApplySpeed(int index, int direction);
    void SeekSlider(int position);
    TickResult Tick();
    // Space: stop while running, otherwise the play/pause toggle.
    void SpaceKey();

    // Tabs: 0 "Segment", 1 "Alarm", 2 "Time".
    void SelectTab(int tab);
    SearchFields TimeFields() const;
    // Does nothing when the fields do not make a valid time.
    void SearchTime(const SearchFields& fields);
    void SelectSegmentRow(int row);
    void SelectAlarmRow(int row);
    void SetModelRow(int row);
    void MarkIn();
    void MarkOut();
    // Sets both marks to the given times (for the TAV family at the entries the source finds there).
    // False when the source finds no entry for one of them.
    bool SetMarks(ArchiveMark start, ArchiveMark end);

    // ---- Archiving -----------------------------------------------------------------------------
    // The marks must be set and in order; otherwise the box says so and false.
    bool ArchiveMarksValid();
    // Archives `channel` between the marks into `path`; false when the run failed or was cancelled
    // (the messages have been shown). Playback goes on afterwards.
    bool Archive(int channel, const std::string& path, const ArchiveOptions& options, IArchiveUi& ui);
    // An archive spanning discs writes one file per disc: `done` hears of each completed file before
    // its disc is ejected. The last file of the last run is LastArchiveFile().
    void OnArchiveFileDone(std::function<void(const std::string& file)> done) {
        m_archiveFileDone = std::move(done);
    }
    const std::string& LastArchiveFile() const { return m_lastArchiveFile; }
    // The compressor chosen for the coming archives of the open recording.
    EncoderChoiceState& EncoderChoice() { return m_encoderChoice; }

    void ApplyDisplayMode(int mode);
    void SetChannel(int box, int channel);
    // A double click: the single layout with that box's channel.
    void ShowSingle(int box);
    void SetAudio(bool on);
    void SetAudioChannel(int channel); // 0..3
    void SetVideoStandard(int standard);

    // Drains the graph's event queue (the timer does it on every tick); true when it held EC_COMPLETE.
    bool DrainEvents();

private:
    // Graph
    bool CreateGraph();
    HRESULT AddFilter(REFCLSID clsid, const char* name, ComPtr<IBaseFilter>& filter);
    void RemoveFiltersExcept(IBaseFilter* keep);
    void TeardownGraph();
    HRESULT BuildOrmaGraph();
    HRESULT BuildTavGraph();
    HRESULT BuildOrmaChannel(int channel);
    HRESULT BuildTavChannel(int channel);
    void SaveGraph();
    void AttachWindowsToBoxes();
    void ShowBox(VideoBox& box);
    void HideChannelWindows();

    // Open helpers
    bool LoadLists();
    void SetMarksToSegment(int entry);

    // Transport
    void TavStop();
    void StepOnce(int direction);
    void StepSpeed(int delta);
    void SetButtons(int direction);
    int SectionRow(LONG section) const;
    std::string FormatCurrentTime(BYTE year, DWORD time) const;
    void SaveSettings();
    HRESULT RebuildPlaybackGraph();
    bool ArchiveTav(int channel, const std::string& path, const ArchiveOptions& o, IArchiveUi& ui);
    bool ArchiveTavImage(const std::string& path, IArchiveUi& ui);
    bool ArchiveTavData(int channel, const std::string& path, const ArchiveOptions& o, IArchiveUi& ui);
    bool ArchiveTavDirect(int channel, const std::string& path, IArchiveUi& ui);
    bool ArchiveLossless(int channel, const std::string& path, int fileType, IArchiveUi& ui);
    bool EndTavGraphRun(bool ok);
    bool ArchiveTavGraph(int channel, const std::string& path, const ArchiveOptions& o, bool doubleHeight,
                         IArchiveUi& ui);
    HRESULT BuildTavArchiveGraph(int channel, const std::string& path, const ArchiveOptions& o,
                                 bool doubleHeight);
    void ConfigureTavText(const ArchiveOptions& o, bool doubleHeight);
    bool ArchiveOrma(int channel, const std::string& path, const ArchiveOptions& o, IArchiveUi& ui);
    HRESULT BuildOrmaArchiveGraph(int channel, const std::string& path, const ArchiveOptions& o);
    void SetOrmaTextLines(const ArchiveOptions& o, int channel, BYTE year, DWORD time, int timeX);
    HRESULT AddEncoder(const std::string& name, const char* filterName, ComPtr<IBaseFilter>& encoder);
    DWORD TavNow();
    // The archive file has reached its volume limit: on a disc target the file is completed, the disc
    // changed and the archive goes on into the next continuation file (`file` and `limit` updated);
    // false ends the run.
    bool ChangeVolume(const std::string& chosen, int& next, std::string& file, ULONGLONG fixedLimit,
                      ULONGLONG& limit);

    ReaderSettings m_settings;
    std::array<VideoBox, kBoxCount> m_boxes;

    // The open recording
    OpenTarget m_target;
    BYTE m_kind = kKindOrma;
    SourceDescriptor m_descriptor{};
    ComPtr<IGraphBuilder> m_graph;
    ComPtr<ICaptureGraphBuilder2> m_builder;
    ComPtr<IMediaControl> m_control;
    ComPtr<IMediaEventEx> m_events;
    ComPtr<IVideoFrameStep> m_frameStep;
    ComPtr<IBaseFilter> m_source;
    ComPtr<IOrmaSrc> m_orma;
    ComPtr<IVTSourceFilter> m_vts;
    std::array<ComPtr<IBaseFilter>, kChannels> m_decoders;
    std::array<ComPtr<IBaseFilter>, kChannels> m_renderers;
    std::array<ComPtr<IVideoWindow>, kChannels> m_windows;
    ComPtr<IBaseFilter> m_audioRenderer;
    bool m_audioPresent = false;
    bool m_audioConnected = false;
    CAudioStatsLog m_audioStats;

    // Disk-open worker
    std::thread m_worker;
    std::atomic<bool> m_workerDone{true};
    HRESULT m_workerResult = S_OK;

    // Lists
    std::vector<BYTE> m_segmentTable; // 28-byte entries
    std::vector<BYTE> m_alarmTable;   // 12-byte entries
    std::vector<std::string> m_segmentRows, m_alarmRows;
    std::optional<int> m_segmentRowToSelect;
    LONG m_currentSegment = 0;

    // Display state
    int m_gauge = 0;
    int m_tab = 0;
    bool m_timerRunning = false;
    bool m_pauseBitmap = false;
    bool m_fw = true, m_bw = false;
    int m_speedIndex = kNormalSpeed;
    int m_direction = 1;
    PlayState m_playState = PlayState::Stopped;
    int m_displayMode = 1;
    int m_modelRow = 1;
    UINT m_modelCode = 101;
    bool m_modelEnabled = true;
    int m_audioChannel = 0;
    std::string m_timeText, m_markInText, m_markOutText;
    ArchiveMark m_markStart, m_markEnd;
    ComPtr<ITallen> m_tallen;
    ComPtr<IBaseFilter> m_archiveMux; // the multiplexer of the archive graph being run
    std::function<void(const std::string&)> m_archiveFileDone;
    std::string m_lastArchiveFile;
    EncoderChoiceState m_encoderChoice;
    BYTE m_currentYear = 0;
    DWORD m_currentTime = 0;
    BYTE m_zone = 0;

    // Serialises the transport operations against the tick's segment update.
    std::recursive_mutex m_transport;
};

} // namespace reader
