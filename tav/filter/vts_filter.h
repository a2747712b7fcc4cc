// CVTSourceFilter: the source filter for TAV drives, drive images and stream files. It owns the
// current source (a tav::CVTSource: the drive source, the stream-file source or the network stub), the
// sixteen video pins and the audio pin, and answers IVTSourceFilter.
//
// Locks: the filter's state lock guards the source's replacement (Open, only while stopped), state
// changes and negotiation. The pins' threads never take it while streaming. Interface calls go to the
// source, which takes its own position and disk locks.
#pragma once

#include <array>
#include <atomic>
#include <memory>

#include "ivtsource.h"
#include "media/source.h"
#include "tav/vt_source.h"
#include "vts_pins.h"

// A network recorder: not supported; every operation succeeds without effect.
class CNetworkSource final : public tav::CVTSource {
public:
    CNetworkSource() = default;
    ~CNetworkSource() override { Close(); }
};

class CVTSourceFilter final : public CSource, public IVTSourceFilter {
public:
    static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);

    CVTSourceFilter(LPUNKNOWN outer, HRESULT* phr);
    ~CVTSourceFilter() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IMediaFilter: the reader thread runs before the pins start and stops before they stop.
    HRESULT Pause() override;
    HRESULT Stop() override;

    // IVTSourceFilter
    HRESULT GetInfo(BYTE item, DWORD* value) override;
    HRESULT SetDisplayOption(BYTE option) override;
    HRESULT SetTextExport(HANDLE file, int flag) override;
    HRESULT ExportImage(const char* path) override;
    HRESULT EndExport() override;
    HRESULT ExportSystemLog(const char* path) override;
    HRESULT WriteDiagnosticLog(const char* path) override;
    HRESULT ClearDrive() override;
    HRESULT GetSectionUnit(DWORD* unit) override;
    HRESULT GetEventTimes(BYTE* records, DWORD* count) override;
    HRESULT GetAudioFormat(BYTE* format) override;
    HRESULT GetCurrentSection(LONG* section) override;
    HRESULT GetRecorderKind(BYTE* kind) override;
    HRESULT GetSegmentCounts(DWORD* segments, DWORD* valid) override;
    HRESULT GetFrameRate(DWORD* rate) override;
    HRESULT GetStatusBlock(BYTE* buffer) override;
    HRESULT GetFrameSize(DWORD* width, DWORD* height) override;
    HRESULT ExportNextPacket(BYTE* buffer) override;
    HRESULT GetPosition(LONG* perMille, BYTE* zone, DWORD* time) override;
    HRESULT GetSectionCount(DWORD* count) override;
    HRESULT GetSections(BYTE* records) override;
    HRESULT GetProgress(LONG* perMille, int cancel) override;
    HRESULT LoadIndex(int drive, const char* path) override;
    HRESULT PrepareExport(BYTE* audioFormat, BYTE channel) override;
    HRESULT MarkStart(DWORD* time) override;
    HRESULT MarkEnd(DWORD* time) override;
    HRESULT SetChannelMask(DWORD mask) override;
    HRESULT SetAudioChannel(BYTE channel) override;
    HRESULT SelectSection(LONG section) override;
    HRESULT SetPlayback(LONG speed, LONG direction, LONG value) override;
    HRESULT SeekPerMille(LONG perMille) override;
    HRESULT GoToEnds(int end) override;
    HRESULT SeekToTime(DWORD time) override;
    HRESULT Step(LONG count) override;
    HRESULT Reserved(LONG standard) override;
    HRESULT SetTimestamps(BYTE on) override;
    HRESULT Open(BYTE* request) override;

    // The kinds of source the filter can hold.
    enum class SourceKind { Disk, File, Network };
    // Replaces the current source by a new one of `kind` (the pins follow it); E_NOTIMPL for a kind
    // this build lacks.
    HRESULT CreateSource(SourceKind kind);

    // ---- for the pins and tests ----
    tav::CVTSource* Source() const { return m_current.load(); }
    int SourceKindCode() const { return m_sourceKind; }
    CVTVideoPin* VideoPin(int channel) const { return m_video[static_cast<std::size_t>(channel & 15)]; }
    CVTAudioPin* AudioPin() const { return m_audio; }

private:
    void ApplySettings(tav::CVTSource* src);

    std::unique_ptr<tav::CVTSource> m_source;
    std::atomic<tav::CVTSource*> m_current{nullptr};
    std::atomic<int> m_sourceKind{0}; // 0 drive or image, 1 stream file

    std::array<CVTVideoPin*, tav::kChannels> m_video{}; // owned by CSource (its pin list)
    CVTAudioPin* m_audio = nullptr;

    // Settings carried over to a new source.
    BYTE m_displayOption = 0;
    DWORD m_channelMask = 0xFFFF;
    BYTE m_audioChannel = 0;
    LONG m_speed = 1000, m_direction = 1, m_playValue = 0;
    bool m_timestamps = true;
};
