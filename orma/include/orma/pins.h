// The hand-off between the frame reader and the source filter's pins. The reader fills one picture
// slot per camera channel and signals it; the filter's video pins wait on those signals and deliver.
// COrmaDisk talks to the pins only through IOrmaPinHandoff, so it runs without a filter framework;
// COrmaSlotBank is the plain implementation used by tools, tests and headless walks.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <vector>

#include "platform/sync.h"

namespace orma {

constexpr int kChannels = 16;
constexpr DWORD kSlotBytes = 128000; // one video sample's picture

// One channel's picture slot.
struct COrmaSlot {
    LONG length = -1; // picture length; −1 = no picture yet, 0 = emptied by a repositioning
    DWORD stamp = 0;  // frame counter when the slot was filled
    BYTE* picture = nullptr;
    DWORD capacity = 0;
};

class IOrmaPinHandoff {
public:
    virtual ~IOrmaPinHandoff() = default;
    virtual COrmaSlot& Slot(int channel) = 0;
    // Sets the channel's frame-ready event.
    virtual void SetFrameReady(int channel) = 0;
    // Waits at most `ms` for the channel's frame-wanted event; true when it came.
    virtual bool WaitFrameWanted(int channel, DWORD ms) = 0;
    // DeliverBeginFlush / DeliverEndFlush on every pin (the sixteen video pins and the audio pin).
    virtual void BeginFlush() = 0;
    virtual void EndFlush() = 0;
    // The audio pin's stamp: the frame counter of the last frame read.
    virtual void SetAudioStamp(DWORD stamp) = 0;
    // Clears the filter's playing flag (a frame could not be read).
    virtual void StopPlaying() = 0;
};

// Sixteen slots with auto-reset events, no pins. With `headless` no consumer is assumed: waiting for
// frame-wanted returns at once.
class COrmaSlotBank final : public IOrmaPinHandoff {
public:
    explicit COrmaSlotBank(bool headless = true);

    COrmaSlot& Slot(int channel) override { return m_slots[static_cast<std::size_t>(channel)]; }
    void SetFrameReady(int channel) override;
    bool WaitFrameWanted(int channel, DWORD ms) override;
    void BeginFlush() override { ++m_beginFlushes; }
    void EndFlush() override { ++m_endFlushes; }
    void SetAudioStamp(DWORD stamp) override { m_audioStamp = stamp; }
    void StopPlaying() override { m_playing = false; }

    CAMEvent& FrameReady(int channel) { return *m_ready[static_cast<std::size_t>(channel)]; }
    CAMEvent& FrameWanted(int channel) { return *m_wanted[static_cast<std::size_t>(channel)]; }
    // How often each channel was signalled ready since construction.
    int ReadyCount(int channel) const { return m_readyCount[static_cast<std::size_t>(channel)]; }

    std::atomic<int> m_beginFlushes{0};
    std::atomic<int> m_endFlushes{0};
    std::atomic<DWORD> m_audioStamp{0};
    std::atomic<bool> m_playing{true};

private:
    bool m_headless;
    std::array<COrmaSlot, kChannels> m_slots{};
    std::array<std::vector<BYTE>, kChannels> m_buffers;
    std::array<std::unique_ptr<CAMEvent>, kChannels> m_ready;
    std::array<std::unique_ptr<CAMEvent>, kChannels> m_wanted;
    std::array<std::atomic<int>, kChannels> m_readyCount{};
};

} // namespace orma
