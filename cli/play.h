// scryde play: the playback graphs the reader builds, run headless. One file per source family
// (play_orma.cpp, play_tav.cpp) builds its graph; the run loop, the end conditions and the contact
// sheet are shared.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "cli/graph_util.h"
#include "cli/source_kinds.h"
#include "media/interfaces.h"
#include "platform/registry.h"

namespace cli {

struct PlayOptions {
    std::optional<std::string> from;
    std::optional<int> segment;
    long frames = 0;    // stop after this many pictures in all (0: no limit)
    double seconds = 0; // stop after this much recording time (0: no limit)
    int speed = 1000;   // per mille of normal speed
    bool reverse = false;
    unsigned channels = 0xFFFF;
    std::optional<int> audioChannel; // TAV: the channel whose audio plays
    long steps = 0;                  // frame-by-frame, this many steps
    std::string outDir = ".";
    double timeLimit = 120; // wall-clock seconds before giving up
    int model = -1;         // ORMA recorder model; -1 keeps the source's default
    int standard = -1;      // 0 NTSC, 1 PAL; -1 keeps the source's default
    bool loop = false;      // play round and round, as the reader does, instead of ending at the end
};

struct PlayResult {
    std::array<long, 16> framesPerChannel{}; // pictures decoded from recorded data
    std::array<long, 16> blankPerChannel{}; // blank and blue-screen pictures of channels with nothing to show
    long audioSamples = 0;
    std::string firstTime, lastTime;
    std::string end = "error"; // "complete", "error", "limit"
    std::string message;
    std::string contactSheet;
};

// Adds a decoder of `decoderClass` and a video renderer for `channel` and connects source pin
// "VideoNN" → decoder → renderer; *message says what failed.
bool ConnectChannelChain(IGraphBuilder* graph, IBaseFilter* source, int channel, REFCLSID decoderClass,
                         const char* decoderName, ComPtr<IBaseFilter>& renderer, std::string* message);
// Adds the audio renderer and connects `audioOut` to it. Without an audio device it says so on standard
// error and leaves `audio` empty: playing goes on without sound. False with *message when the pin does
// not connect.
bool ConnectAudioRenderer(IGraphBuilder* graph, IPin* audioOut, ComPtr<IBaseFilter>& audio,
                          std::string* message);

// What the run loop asks of the source family while it plays.
struct PlayHooks {
    // Starts the graph (when empty: IMediaControl Run); frame-by-frame play pauses and steps instead.
    std::function<HRESULT()> start;
    // Seconds of recording played so far from the start position (negative while unknown), for --seconds.
    std::function<double()> playedSeconds;
    // Called about every 10 ms while running (e.g. to note the first time, or to step).
    std::function<void()> tick;
    // True once the source has nothing more to give (e.g. every step taken).
    std::function<bool()> done;
    // The position in playing order, (segment or section, seconds; seconds 0 while unknown): once it
    // moves back against the direction of play the recording has been played to its end.
    std::function<std::pair<long long, long long>()> position;
};

// Notices when circular playback has gone round: a position that comes before the furthest one seen
// (after it, playing backwards).
class CWrapWatch {
public:
    explicit CWrapWatch(bool reverse) : m_sign(reverse ? -1 : 1) {}
    bool GoneRound(std::pair<long long, long long> position);

private:
    long long m_sign;
    bool m_seen = false;
    std::pair<long long, long long> m_furthest{};
};

// Runs the graph until it completes or fails, until o.frames pictures arrived, o.seconds of recording
// played or the wall-clock limit passed; sets r->end and r->message. Stops the graph, then counts the
// audio samples played. False with r->message when the graph has no control interfaces.
bool RunGraph(IGraphBuilder* graph, const std::array<ComPtr<IBaseFilter>, 16>& renderers, IBaseFilter* audio,
              const PlayOptions& o, const PlayHooks& hooks, PlayResult* r,
              const std::function<std::string()>& positionTime);
// Counts what each renderer showed and writes the contact sheet of the last pictures; r->contactSheet
// stays empty, and r->message says why, when the sheet cannot be written.
void WriteSheet(const SourceSpec& spec, const std::array<ComPtr<IBaseFilter>, 16>& renderers,
                const PlayOptions& o, PlayResult* r);

bool PlayOrma(const SourceSpec& spec, const PlayOptions& o, PlayResult* r);
bool PlayTav(const SourceSpec& spec, const PlayOptions& o, PlayResult* r);

} // namespace cli
