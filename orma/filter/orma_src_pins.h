// The ORMA source's pins and the picture slots between them.
//
// The audio pin's streaming thread drives the whole filter: each FillBuffer reads the next stored
// frame (COrmaDisk::GetFrame), delivers the frame's audio and puts the frame's picture into the slot of
// its camera channel. Each video pin's thread asks for its channel's next picture (frame-wanted),
// waits for it (frame-ready) and delivers it.
//
// The frame reader fills a staging slot per channel; signalling a channel ready publishes the staging
// slot into the channel's delivery slot under that channel's lock, and the video pin copies out of the
// delivery slot under the same lock. So a picture is never read while the next one is being written.
//
// A published picture is not overwritten before its pin has taken it: after each frame, and outside
// the disk lock, the audio pin waits until the frame's channel has taken its picture (WaitTaken). So a
// video pin that starts after the audio pin, or whose renderer holds a picture while the graph is
// paused or stepping, misses none of its channel's pictures, and reading stops where the paused
// graph stands instead of running on. Only channels whose pin streams are waited for; the wait ends
// on stop, flush and destruction.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "media/source.h"
#include "orma/pins.h"

class COrmaSrc;

// Sixteen channels' slots and events, the frame reader's side of the hand-off.
class COrmaSrcSlots final : public orma::IOrmaPinHandoff {
public:
    explicit COrmaSrcSlots(COrmaSrc* filter);

    // orma::IOrmaPinHandoff (called by the frame reader, under the filter's disk lock)
    orma::COrmaSlot& Slot(int channel) override { return m_staging[Index(channel)]; }
    void SetFrameReady(int channel) override;
    bool WaitFrameWanted(int channel, DWORD ms) override;
    void BeginFlush() override;
    void EndFlush() override;
    void SetAudioStamp(DWORD stamp) override { m_audioStamp = stamp; }
    void StopPlaying() override { m_playing = false; }

    // Sets every channel's frame-ready event (so that waiting video threads return).
    void WakeAll();
    // Clears all events left over from an earlier run.
    void ResetEvents();
    // The video pin's side: asks for the channel's next picture and waits for it; false when the
    // filter is stopping.
    bool WaitFrameReady(int channel);
    // Copies the channel's published picture into `out` (at most `capacity` bytes) and returns its
    // length (−1 none, 0 emptied by a repositioning) and stamp. `out` may be null to learn the length.
    LONG CopyPicture(int channel, BYTE* out, LONG capacity, DWORD* stamp);
    // Copies the channel's published picture whole into `out` (may be null) when it fits `capacity`,
    // else nothing, and returns its length (−1 none, 0 emptied), all under the slot's lock.
    LONG CopyWholePicture(int channel, BYTE* out, LONG capacity);
    // The video pin's copy: as CopyPicture, and the picture counts as taken.
    LONG TakePicture(int channel, BYTE* out, LONG capacity, DWORD* stamp);

    // Whether a pin streams the channel: set for the connected video pins when the filter leaves the
    // stopped state and while a pin's streaming loop runs; cleared when the loop ends.
    void SetStreaming(int channel, bool streaming);
    // The audio pin's side: waits until the picture last published for `channel` has been taken by its
    // pin. Returns at once when no pin streams the channel; ends on stop, flush or destruction.
    void WaitTaken(int channel);
    // Ends every WaitTaken; with `stopping` the later ones return at once until ResetEvents.
    void ReleaseWaits(bool stopping);

    std::atomic<bool> m_playing{false};
    std::atomic<DWORD> m_audioStamp{0};
    CAMEvent m_stopping{TRUE, FALSE}; // manual reset: set while the filter stops

private:
    static std::size_t Index(int channel) { return static_cast<std::size_t>(channel); }

    struct Delivery {
        CCritSec lock;
        LONG length = -1;
        DWORD stamp = 0;
        std::vector<BYTE> picture;
    };

    COrmaSrc* m_filter;
    // The taken hand-off: guarded by m_handMutex.
    std::mutex m_handMutex;
    std::condition_variable m_handCond;
    std::array<bool, orma::kChannels> m_untaken{};   // published and not yet taken
    std::array<bool, orma::kChannels> m_streaming{}; // a pin streams the channel
    bool m_waitsReleased = false;                    // stopping: no WaitTaken waits
    unsigned m_flushes = 0;                          // every flush ends the waits in progress
    std::array<orma::COrmaSlot, orma::kChannels> m_staging{};
    std::array<std::vector<BYTE>, orma::kChannels> m_stagingBuffers;
    std::array<Delivery, orma::kChannels> m_delivery;
    std::array<std::unique_ptr<CAMEvent>, orma::kChannels> m_ready;
    std::array<std::unique_ptr<CAMEvent>, orma::kChannels> m_wanted;
};

// The ORMA pins' streaming. A repositioning flushes downstream while the threads keep running, so a
// sample refused during that flush (S_FALSE) is dropped and streaming goes on; only a command (stop,
// pause, run), a downstream that has stopped, or the end of the stream leaves the loop.
class COrmaSrcStream : public CSourceStream {
public:
    using CSourceStream::CSourceStream;
    bool ContinueAfterRefusal(HRESULT hr) override { return !FAILED(hr); }
};

// Pin 0, "Audio Out": 8-bit stereo PCM, one stored frame's audio per sample.
class COrmaSrcAudio final : public COrmaSrcStream {
public:
    COrmaSrcAudio(HRESULT* phr, COrmaSrc* filter);

    HRESULT GetMediaType(CMediaType* pmt) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT FillBuffer(IMediaSample* sample) override;
    HRESULT OnThreadStartPlay() override;
    HRESULT OnThreadDestroy() override;

    // The sample rate changes with the playback speed; the next sample carries the new type.
    void FormatChanged() { m_formatChanged = true; }

    static constexpr LONG kBufferBytes = 51040;

private:
    // The type for the current speed; needs no lock, so the streaming thread can build it.
    void BuildMediaType(CMediaType* pmt) const;

    COrmaSrc* m_src;
    std::atomic<bool> m_formatChanged{false};
};

// Pins 1 … 16, "Video00" … "Video15": one JPEG picture of one camera channel per sample.
class COrmaSrcVideo final : public COrmaSrcStream {
public:
    COrmaSrcVideo(HRESULT* phr, COrmaSrc* filter, int channel, const char* name);

    HRESULT GetMediaType(CMediaType* pmt) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT FillBuffer(IMediaSample* sample) override;
    HRESULT OnThreadStartPlay() override;
    // The channel counts as streamed while the loop runs.
    HRESULT DoBufferProcessingLoop() override;

    int Channel() const { return m_channel; }
    // The stream ended (no picture for the channel, or the filter stopping) in this run.
    bool Ended() const { return m_ended; }

    static constexpr LONG kWidth = 720;
    static constexpr LONG kHeight = 288;
    static constexpr DWORD kSizeImage = 1036800; // 720 × 480 × 3: room for the largest picture
    static constexpr ULONG kFormatBytes = 1128;  // a VIDEOINFOHEADER with room for a full palette

private:
    COrmaSrc* m_src;
    int m_channel;
    DWORD m_lastStamp = kNoStamp; // stamp of the picture delivered last
    std::atomic<bool> m_ended{false};
    static constexpr DWORD kNoStamp = 0xFFFFFFFFu;
};
