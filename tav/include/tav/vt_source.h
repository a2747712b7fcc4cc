// CVTSource: what every TAV source (drive or image, stream file, network stub) shares — the reader
// thread and its commands, the strict hand-off of one packet at a time to the pin of its channel, the
// playback and export loops with their acceptance rules, marks, and the speed, direction, step and
// time-stamp settings the filter passes in.
//
// The loops are written once, over the virtual navigation operations below (NextEntry, InitSection,
// GoToStart/GoToEnd, the seeks, GoToMark, ReadSample/GetFrame, GetFrameText) and the current packet
// in m_pkt. A source supplies those; the loops, the pins' side of the hand-off and the time stamps
// are common.
//
// Threads: the application thread (interface calls), the reader thread (one per source, made by the
// first Run after LoadIndex) and one streaming thread per connected pin. The reader thread and
// a pin thread alternate strictly: the reader sets the pin's data-ready event and waits for the
// source's consumed event (or stop, a pending command, or the pin's ended event); the pin reads the
// current packet and sets consumed. So ReadSample never runs while NextEntry moves the position; both
// still take the locks because the application thread seeks at any time.
//
// Locks: m_posLock (position, tables, current packet), then m_diskLock (device reads into shared
// buffers) — always in that order. No lock is held across a hand-off wait.
//
// A derived source's destructor must call Close() (which ends the reader thread) before its own
// members go: the thread calls the derived class's operations.
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <vector>

#include "platform/fileio.h"
#include "platform/sync.h"
#include "platform/types.h"
#include "tav/layout.h"
#include "tav/packet.h"

namespace tav {

constexpr int kOpenDrive = 8;
constexpr int kOpenImage = 9;
constexpr int kOpenStreamFile = 10;

constexpr int kChannels = 16;
// One video sample buffer of a pin, and what ExportNextPacket's caller must provide: room for the
// largest packet an index entry may describe, with its tail.
constexpr DWORD kSampleBytes = kMaxSampleBytes;
// The audio conversion buffer: a 4160-byte ADPCM block decodes to 16,384 bytes of PCM.
constexpr DWORD kAudioSampleBytes = 40960;
// 100-ns units per clock millisecond.
constexpr REFERENCE_TIME kUnitsPerMs = 10000;
// A jump between two consecutive packets of a pin beyond this restarts its times from the clock.
constexpr REFERENCE_TIME kMaxStampJump = 20000000;

// Reader thread commands.
enum VTCommand : DWORD { kCmdRun = 1, kCmdRun2 = 2, kCmdStop = 3, kCmdExit = 4 };

// The packet at the current position. A drive source fills every field; a stream-file source uses
// entry for the record number and offset for its file offset (segment and block stay 0).
struct TavPacket {
    DWORD segment = 0;
    int block = 0, entry = 0;
    DWORD blockSector = 0; // first sector of the block (drive numbering)
    DWORD dataSectors = 0;
    DWORD offset = 0; // from the block's first byte (stream file: from the file's start)
    DWORD size = 0, time = 0;
    BYTE channel = 0, type = kTypeNone, code = 0;
    bool wraps = false; // runs past its block's data area
};

struct TavSection {
    DWORD first = 0; // segment numbers; in an image, numbers past N - 2 continue at segment 0
    DWORD last = 0;
    DWORD start = 0;
    DWORD end = 0;
};

// A marked position (start or end of an export range).
struct TavMark {
    int section = 0;
    DWORD segment = 0;
    int block = 0;
    int entry = 0;
    LONG running = 0;
    DWORD time = 0;
};

// One pin's side of the hand-off: its data-ready event (auto-reset, set by the reader thread), its
// stop event (manual-reset: set when an export range is done, so the pin ends its stream; reset when
// the filter starts), its ended event (manual-reset: set by the pin when its streaming loop gives up,
// so the reader never waits on a pin nobody serves), and what the source tells the pin. A pin waiting
// for data also wakes for a command to its own thread, so stopping the filter never needs the events.
class CVTPinLink {
public:
    CVTPinLink() = default;
    virtual ~CVTPinLink() = default;
    CVTPinLink(const CVTPinLink&) = delete;
    CVTPinLink& operator=(const CVTPinLink&) = delete;

    // True when a streaming thread serves this pin while the filter runs (the pin is connected).
    virtual bool Connected() const = 0;
    // The probe results changed (video pins take width, height and the per-packet code).
    virtual void OnFormat(WORD width, WORD height, BYTE code) { (void)width, (void)height, (void)code; }
    // The audio format code was found (audio pin).
    virtual void OnAudioFormat(int format) { (void)format; }

    // Clears what an earlier run left: data ready, stop and ended.
    void ResetForRun() {
        m_dataReady.Reset();
        m_stop.Reset();
        m_ended.Reset();
    }

    CAMEvent m_dataReady{FALSE, FALSE};
    CAMEvent m_stop{TRUE, FALSE};
    CAMEvent m_ended{TRUE, FALSE};
};

// Time-stamp state of one pin, 100-ns units.
struct VTStampState {
    REFERENCE_TIME start = 0, stop = 0;
    ULONGLONG prevPacketTime = 0, packetTime = 0;
    ULONGLONG lastDelta = 0;
    LONGLONG count = 0; // samples stamped
};

// Stamps one sample (its first bytes in `sample`, `length` long) on a pin: a placeholder gets 0..0;
// otherwise the sample continues from the previous stop by the packet-time difference scaled by the
// speed factor, or restarts from the clock (`clockNow` − the run's reference time) on the pin's first
// sample or after a jump of more than 2 s.
void StampSample(VTStampState* state, const BYTE* sample, LONG length, double factor, REFERENCE_TIME clockNow,
                 REFERENCE_TIME reference);

class CVTSource : public CAMThread {
public:
    // `windowsMajor` 0 reads the version from the system.
    explicit CVTSource(DWORD windowsMajor = 0);
    ~CVTSource() override;

    // ---- the source's operations, in the order of their slots (0 is ThreadProc) ----
    virtual void Stop();                                          // 2: stop event, command 3
    virtual HRESULT LoadIndex() { return S_OK; }                  // 3: ends with StartReaderThread()
    virtual void Close();                                         // 4: command 4, thread ends, device closed
    virtual HRESULT Open(int kind, int drive, const char* path);  // 5: 1 with audio, 0 without, or an error
    virtual HRESULT GetSections(BYTE* records, DWORD maxRecords); // 6: 28-byte records from m_sections
    virtual DWORD GetEventTimes(BYTE* records, DWORD maxRecords); // 7: 12-byte records; returns the count
    virtual DWORD EventCount() { return 0; }                      // events of the current section
    virtual HRESULT GoToStart() { return S_OK; }                  // 8
    virtual HRESULT GoToEnd() { return S_OK; }                    // 9
    virtual HRESULT GetPosition(LONG* perMille, DWORD* time);     // 10
    virtual HRESULT SeekToFraction(LONG numerator, LONG denominator); // 11
    virtual HRESULT SeekToSectionTime(DWORD time);                    // 12
    virtual HRESULT SeekToTime(DWORD time);                           // 13
    virtual void PlaybackLoop();                                      // 14
    virtual void ExportLoop();                                        // 15
    // 16: the current packet as a sample for `channel`'s pin: a 4-byte placeholder when the channel's
    // display counter is 0 or the channel is switched off (audio always passes), else ReadSample.
    virtual LONG GetFrame(BYTE* dest, DWORD capacity, int channel);
    // 17: the next packet of the marked range into `buffer` (`capacity` >= kSampleBytes); false at the end.
    virtual bool ExportNextPacket(BYTE* buffer, DWORD capacity);
    // 18: appends the current frame's status line to the text export file; the sample is a 4-byte
    // placeholder for the channel; returns 4.
    virtual LONG GetFrameText(BYTE* dest, DWORD capacity, int channel);
    // 19: switches the next run to the export loop over the marked range.
    virtual HRESULT PrepareExport(int* audioFormat, int channel);
    virtual HRESULT MarkStart(DWORD* time); // 20
    virtual HRESULT MarkEnd(DWORD* time);   // 21
    virtual HRESULT ExportImage(const char* path) {
        (void)path;
        return S_OK;
    } // 22
    virtual HRESULT ExportSystemLog(const char* path) {
        (void)path;
        return S_OK;
    } // 23
    virtual HRESULT WriteDiagnosticLog(const char* path) {
        (void)path;
        return S_OK;
    }                                                     // 24
    virtual HRESULT InitSection() { return S_OK; }        // 25
    virtual void BuildEventLists() {}                     // 26
    virtual HRESULT GetTimeBound(int which, DWORD* time); // 27: 0 first start, other last end

    // ---- further navigation the loops and the filter use ----
    // One step in the current direction: 1 when the position moved to the next valid entry (m_pkt holds
    // it), 0 at the end of the section.
    virtual int NextEntry() { return 0; }
    // Clamps to the sections in use, InitSection, BuildEventLists.
    virtual HRESULT SelectSection(int section);
    // Video and audio sample durations from the packets ahead; the position is kept.
    virtual void MeasureFrameRates() {}
    // The current packet exactly as stored, from its record header on: at least size + 553 bytes
    // (what lies beyond the device reads as zeros); returns the bytes placed in `out`.
    virtual DWORD ReadPacket(std::vector<BYTE>* out) {
        out->clear();
        return 0;
    }
    // The current packet as a sample (ReadPacket, header and status area rewritten), no channel gate:
    // size + 553, or 0 when it would not fit `capacity` or cannot be read.
    virtual LONG ReadSample(BYTE* dest, DWORD capacity);
    // Positions so that the next NextEntry returns the marked entry (forward).
    virtual HRESULT GoToMark(const TavMark& mark) {
        (void)mark;
        return S_OK;
    }
    virtual HRESULT GetProgress(LONG* perMille, int cancel);
    virtual HRESULT ClearDrive() { return E_FAIL; }
    virtual DWORD SegmentCount() const { return 0; }
    virtual DWORD ValidSegmentCount() const { return 0; }
    // Segments per section K x 256.
    virtual DWORD SectionUnit() const { return 0; }

    // ---- the reader thread ----
    // Counts the first section and goes to its start on the caller's thread; from then on Run may make
    // the reader thread.
    HRESULT StartReaderThread();
    // The run command (Pause or Run from the stopped filter); makes the reader thread the first time.
    HRESULT Run();
    bool ReaderThreadExists() const { return ThreadExists() != FALSE; }

    // ---- settings from the filter ----
    void AttachPins(CVTPinLink* const* video, CVTPinLink* audio);
    // factor = 1000 / speed; direction ±1; n = speed / 1000; n > 2 loads every fast-play counter with n / 4.
    void SetPlayback(LONG speed, LONG direction, LONG option);
    void SetChannelMask(DWORD mask);
    void SetAudioChannel(BYTE channel);
    void Step(LONG count);
    void SetTimestamps(bool on) { m_timestamps = on; }
    void SetDisplayOption(BYTE option) { m_displayOption = option; }
    void SetDirection(int direction) { m_dir = direction < 0 ? -1 : 1; }
    void SetDisplayCounter(int channel, WORD value);
    void SetSectionChanged() { m_sectionChanged = true; }
    // Text export into a file the application opened: the handle is the source's from now on (closed
    // by EndExport, Close or another handle).
    void SetTextExport(HANDLE file, bool on);
    // Back to the playback loop for the next run; closes the text export file.
    void EndExport();
    bool ExportMode() const { return m_exportMode; }
    bool TextExportOn();

    // ---- the pins' side of the hand-off ----
    enum class PinWake { Data, Stop, Command };
    // Waits for data ready on `link`, or its stop event, or `command` (the pin thread's request event).
    PinWake WaitForData(CVTPinLink& link, HANDLE command);
    // The pin has read the packet: the reader thread goes on.
    void Consumed() { m_consumed.Set(); }
    // Clears the display counters and the skip counter (a pin whose delivery failed).
    void ClearDisplayCounters();

    // ---- state the filter and pins read ----
    DWORD WindowsMajor() const { return m_winMajor; }
    DWORD WindowsMinor() const { return m_winMinor; }
    WORD Width() const { return m_width; }
    WORD Height() const { return m_height; }
    int RecorderKind(); // under the position lock
    int AudioFormat() const { return m_audioFormat; }
    bool AudioPresent() const { return m_audioPresent; }
    BYTE PacketCode() const { return m_code; }
    int MeasuringChannel() const { return m_measureChannel; }
    int SectionCount() const { return m_sectionsInUse; }
    int CurrentSection(); // under the position lock: the reader thread moves between sections
    const std::vector<TavSection>& Sections() const { return m_sections; }
    // Measured by the reader thread at each start; read under the position lock.
    REFERENCE_TIME VideoDuration();
    REFERENCE_TIME AudioDuration();
    const TavStatusState& Status() const { return m_status; }
    // A copy taken under the position lock (the pins update the status while they read packets).
    TavStatusState StatusCopy();
    TavPacket CurrentPacket();
    DWORD CurrentTime() const { return m_curTime; }
    double SpeedFactor() const { return m_factor; }
    int SpeedStep() const { return m_n; }
    int Direction() const { return m_dir; }
    LONG StepCount() const { return m_stepCount; }
    bool Timestamps() const { return m_timestamps; }
    REFERENCE_TIME ReferenceTime() const { return m_reference; }
    int AudioChannel() const { return m_audioChannel; }
    int ExportChannel() const { return m_exportChannel; }
    bool AudioEnabled() const { return m_audioEnabled; }
    const TavMark& StartMark() const { return m_markStart; }
    const TavMark& EndMark() const { return m_markEnd; }
    // The reader thread's clock in 100-ns units (milliseconds x 10,000).
    static REFERENCE_TIME ClockNow();

protected:
    DWORD ThreadProc() override;

    // Hands the current packet to `link`: true when the pin took it (or serves nobody), false when the
    // hand-off was stopped (stop event or a pending command).
    bool Hand(CVTPinLink* link);
    bool HandVideo(int channel) { return Hand(m_video[channel & 15]); }
    // True when the loop must end: a command is waiting or the stop event is set (consumed).
    bool Interrupted();
    // Waits up to `ms` for stop or a command; true when one came.
    bool WaitInterrupt(DWORD ms);
    // The next section in the current direction, cyclically, skipping sections whose start or end
    // time is 0; InitSection; section-changed flag. False when no section qualifies.
    bool NextSection();
    // Playback: the next accepted packet type (0 at a section end); -1 when interrupted.
    int SelectPlaybackPacket();
    // Export: the next frame of the export channel or audio block of the audio channel (only a key
    // frame of the export channel when `keyOnly`), with the end-of-range rules. Returns the packet
    // type, 0 when the range ended, -1 when interrupted (only when `interruptible`).
    int SelectExportPacket(bool keyOnly, bool interruptible);
    bool BeyondEndMark() const;
    void ResetPinFormats();
    void CloseTextFile();
    // Closes the device or file handle (the reader thread keeps running).
    void CloseDevice();
    // Stores the current position as `mark` (the source's own fields may refine it).
    virtual HRESULT Mark(TavMark* mark, DWORD* time);
    // Sets the video and audio sample durations from up to 512 packets that `next` yields (false at the
    // end): the measuring channel's pictures and channel 0's audio blocks, each counted from their first
    // change of time over two seconds. Called with the position lock held.
    void MeasureDurations(const std::function<bool(BYTE* type, BYTE* channel, DWORD* time)>& next);

    // The position lock, then the disk lock.
    CCritSec m_posLock;
    CCritSec m_diskLock;

    DWORD m_winMajor = 0, m_winMinor = 0;
    HANDLE m_handle = nullptr;

    // Probe results.
    WORD m_width = 0, m_height = 0;
    int m_recorderKind = 0;
    int m_audioFormat = 1;
    bool m_audioPresent = false;
    BYTE m_code = 0;
    int m_measureChannel = 0;

    // Sections and the current packet.
    std::vector<TavSection> m_sections;
    int m_sectionsInUse = 0;
    int m_section = 0;
    TavPacket m_pkt;
    std::atomic<DWORD> m_curTime{0};
    bool m_sectionChanged = false;

    std::atomic<LONG> m_progress{0};
    std::atomic<int> m_cancel{0};

    // Per-channel state set by playback.
    WORD m_displayCounter[kChannels] = {};
    BYTE m_channelOn[kChannels] = {};
    BYTE m_fastCounter[kChannels] = {};
    WORD m_skipCounter = 0;
    BYTE m_displayOption = 0;
    TavStatusState m_status;
    HANDLE m_textFile = nullptr;
    bool m_textExport = false;
    REFERENCE_TIME m_videoDuration = 0, m_audioDuration = 0;
    TavMark m_markStart, m_markEnd;

    // Settings (plain fields written by the application thread, read by the reader thread).
    std::atomic<int> m_dir{1};
    std::atomic<double> m_factor{1.0};
    std::atomic<int> m_n{1};
    std::atomic<LONG> m_stepCount{0};
    std::atomic<LONG> m_playOption{0};
    std::atomic<bool> m_timestamps{true};
    std::atomic<int> m_audioChannel{0};
    std::atomic<int> m_exportChannel{0};
    std::atomic<bool> m_exportMode{false};
    std::atomic<bool> m_audioEnabled{false};
    std::atomic<REFERENCE_TIME> m_reference{0};
    BYTE m_exportCode = 0;
    bool m_timerRaised = false;
    bool m_indexLoaded = false; // LoadIndex succeeded and no Close since: Run may start the reader

    CAMEvent m_consumed{FALSE, FALSE};
    CAMEvent m_stop{FALSE, FALSE};
    CAMEvent m_step{FALSE, FALSE};

    CVTPinLink* m_video[kChannels] = {};
    CVTPinLink* m_audio = nullptr;

    std::vector<BYTE> m_readBuf; // under the disk lock
};

} // namespace tav
