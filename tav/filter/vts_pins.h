// The TAV source filter's pins: sixteen video pins ("Video00" … "Video15") and the audio pin ("Audio
// PIN"). Each is one side of the source's hand-off (CVTPinLink): its streaming thread waits until the
// reader thread has put a packet of its channel in place, reads it into a sample, lets the reader go
// on, stamps the sample and delivers it.
#pragma once

#include <atomic>
#include <vector>

#include "media/source.h"
#include "tav/vt_source.h"

class CVTSourceFilter;

class CVTSourcePin : public CSourceStream, public tav::CVTPinLink {
public:
    CVTSourcePin(const char* objectName, HRESULT* phr, CVTSourceFilter* filter, const char* pinName,
                 int channel);

    // tav::CVTPinLink
    bool Connected() const override { return IsConnected(); }

    // A refused delivery clears the source's display counters and leaves the loop; from then on, as
    // after the end of the stream, the reader thread passes this pin over.
    bool ContinueAfterRefusal(HRESULT hr) override;
    void OnStreamEnded(HRESULT hr) override;
    HRESULT OnThreadStartPlay() override;

    int Channel() const { return m_channel; }
    LONGLONG SampleCount() const { return m_stamps.count; }
    void SetPlaybackValue(LONG value) { m_playbackValue = value; }
    LONG PlaybackValue() const { return m_playbackValue; }

protected:
    tav::CVTSource* Source() const;
    // Waits for the hand-off; S_OK with data in place, S_FALSE stopped, kFillPending for a command.
    HRESULT WaitForPacket(tav::CVTSource* src);
    void Stamp(tav::CVTSource* src, IMediaSample* sample, const BYTE* data, LONG length);
    // One buffer of `bytes` from `allocator`: the hand-off passes one packet at a time.
    static HRESULT SetOneBuffer(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request, LONG bytes);

    CVTSourceFilter* m_vtFilter;
    const int m_channel;
    tav::VTStampState m_stamps;
    LONG m_lastLength = 0;
    std::atomic<LONG> m_playbackValue{0};
};

class CVTVideoPin final : public CVTSourcePin {
public:
    CVTVideoPin(HRESULT* phr, CVTSourceFilter* filter, int channel, const char* name);

    HRESULT GetMediaType(CMediaType* pmt) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT FillBuffer(IMediaSample* sample) override;
    void OnFormat(WORD width, WORD height, BYTE code) override;

    WORD Width() const { return m_width; }
    WORD Height() const { return m_height; }

    static constexpr LONG kBufferBytes = static_cast<LONG>(tav::kSampleBytes);

private:
    std::atomic<WORD> m_width{0}, m_height{0};
    std::atomic<BYTE> m_code{0};
};

class CVTAudioPin final : public CVTSourcePin {
public:
    CVTAudioPin(HRESULT* phr, CVTSourceFilter* filter);

    HRESULT GetMediaType(CMediaType* pmt) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT FillBuffer(IMediaSample* sample) override;
    void OnAudioFormat(int format) override { m_format = format; }

    int Format() const { return m_format; }

    static constexpr LONG kBufferBytes = 40960;
    static constexpr DWORD kInitialPacketBytes = 10240;

private:
    std::atomic<int> m_format{1};
    std::vector<BYTE> m_packet = std::vector<BYTE>(kInitialPacketBytes, 0);
};
