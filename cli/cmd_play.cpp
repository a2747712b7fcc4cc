// scryde play SOURCE: plays a recording through the real filter graph, headless, and writes a contact
// sheet of the sixteen channels' last pictures.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "cli/audit.h"
#include "cli/command.h"
#include "cli/json.h"
#include "cli/play.h"
#include "cli/source_kinds.h"
#include "platform/drives.h"

namespace cli {
namespace {

bool ParseNumber(const std::string& s, double* out) {
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end || v < 0)
        return false;
    *out = v;
    return true;
}

int RunPlay(const std::vector<std::string>& input) {
    std::vector<std::string> args = input;
    bool json = TakeFlag(args, "--json");
    PlayOptions o;
    o.reverse = TakeFlag(args, "--reverse");
    o.loop = TakeFlag(args, "--loop");
    bool bad = false;
    o.from = TakeOption(args, "--from", &bad);
    auto segment = TakeOption(args, "--segment", &bad);
    auto frames = TakeOption(args, "--frames", &bad);
    auto seconds = TakeOption(args, "--seconds", &bad);
    auto speed = TakeOption(args, "--speed", &bad);
    auto channels = TakeOption(args, "--channels", &bad);
    auto audioChannel = TakeOption(args, "--audio-channel", &bad);
    auto step = TakeOption(args, "--step", &bad);
    auto out = TakeOption(args, "--out", &bad);
    auto limit = TakeOption(args, "--time-limit", &bad);
    auto model = TakeOption(args, "--model", &bad);
    auto video = TakeOption(args, "--video", &bad);
    if (bad)
        return Fail(kUsage, "play: an option is missing its value");
    if (o.from && segment)
        return Fail(kUsage, "play: give --from or --segment, not both");
    if (frames && seconds)
        return Fail(kUsage, "play: give --frames or --seconds, not both");
    double v = 0;
    if (segment) {
        if (!ParseNumber(*segment, &v))
            return Fail(kUsage, "play: --segment wants a segment number");
        o.segment = static_cast<int>(v);
    }
    if (frames) {
        if (!ParseNumber(*frames, &v) || v < 1)
            return Fail(kUsage, "play: --frames wants a number of pictures");
        o.frames = static_cast<long>(v);
    }
    if (seconds && (!ParseNumber(*seconds, &o.seconds) || o.seconds <= 0))
        return Fail(kUsage, "play: --seconds wants a positive number");
    if (speed) {
        if (!ParseNumber(*speed, &v) || v < 1 || v > 64000)
            return Fail(kUsage, "play: --speed wants per mille of normal speed, 1 to 64000");
        o.speed = static_cast<int>(v);
    }
    if (channels) {
        char* end = nullptr;
        unsigned long mask = std::strtoul(channels->c_str(), &end, 0);
        if (channels->empty() || *end || mask == 0 || mask > 0xFFFF)
            return Fail(kUsage, "play: --channels wants a mask of channels 1 to 16, e.g. 0x000F");
        o.channels = static_cast<unsigned>(mask);
    }
    if (audioChannel) {
        if (!ParseNumber(*audioChannel, &v) || v < 1 || v > 16)
            return Fail(kUsage, "play: --audio-channel wants a channel 1 to 16");
        o.audioChannel = static_cast<int>(v) - 1;
    }
    if (step) {
        if (!ParseNumber(*step, &v) || v < 1)
            return Fail(kUsage, "play: --step wants a number of steps");
        o.steps = static_cast<long>(v);
    }
    if (limit && (!ParseNumber(*limit, &o.timeLimit) || o.timeLimit <= 0))
        return Fail(kUsage, "play: --time-limit wants a positive number of seconds");
    if (model) {
        if (!ParseNumber(*model, &v))
            return Fail(kUsage, "play: --model wants a recorder model number");
        o.model = static_cast<int>(v);
    }
    if (video) {
        if (*video != "ntsc" && *video != "pal")
            return Fail(kUsage, "play: --video wants ntsc or pal");
        o.standard = *video == "pal" ? 1 : 0;
    }
    if (out)
        o.outDir = *out;
    int status = kSuccess;
    auto spec = TakeSource(args, "play", &status);
    if (!spec)
        return status;
    if (!args.empty())
        return Fail(kUsage, "play: unexpected \"" + args.front() + "\"");
    const SourceKind* family = FindSourceKind(spec->kind);
    if (!family || !family->play)
        return Fail(kFailure, "play: " + spec->kind + " recordings cannot be played by this build");
    if (audioChannel && family->oneAudioTrack)
        std::fprintf(
            stderr,
            "scryde: play: --audio-channel does not apply to ORMA recordings (their audio is one track)\n");

    // The contact sheet's folder is made as asked, before anything plays.
    std::error_code made;
    std::filesystem::create_directories(o.outDir, made);
    if (made)
        return Fail(kFailure, "play: cannot make the folder " + o.outDir + " (" + made.message() + ")");

    // Headless: audio goes to SDL's dummy driver unless the user chose another.
    ::setenv("SDL_AUDIODRIVER", "dummy", 0);
    PlayResult r;
    if (!family->play(*spec, o, &r))
        return Fail(kFailure, "play: " + r.message);

    if (json) {
        JsonWriter w;
        w.BeginObject().Key("frames_per_channel").BeginArray();
        for (long n : r.framesPerChannel)
            w.Int(n);
        w.EndArray();
        w.Key("blank_per_channel").BeginArray();
        for (long n : r.blankPerChannel)
            w.Int(n);
        w.EndArray();
        w.Key("audio_samples").Int(r.audioSamples);
        w.Key("first_time").String(r.firstTime);
        w.Key("last_time").String(r.lastTime);
        w.Key("end").String(r.end);
        w.Key("message").String(r.message);
        w.Key("contact_sheet").String(r.contactSheet);
        w.EndObject();
        std::printf("%s\n", w.Text().c_str());
    } else {
        std::printf("Played %s from %s to %s: %s%s%s\n", spec->Describe().c_str(), r.firstTime.c_str(),
                    r.lastTime.c_str(), r.end.c_str(), r.message.empty() ? "" : " - ", r.message.c_str());
        for (int ch = 0; ch < 16; ++ch) {
            if (!(o.channels & (1u << ch)))
                continue;
            if (r.framesPerChannel[ch])
                std::printf("  channel %2d: %ld pictures\n", ch + 1, r.framesPerChannel[ch]);
            else
                std::printf("  channel %2d: no recording\n", ch + 1);
        }
        if (!r.contactSheet.empty())
            std::printf("Contact sheet: %s\n", r.contactSheet.c_str());
    }
    if (!r.contactSheet.empty()) {
        AuditEntry entry;
        entry.action = "write";
        entry.command = "play";
        entry.source = spec->path;
        entry.sourceBytes = platform::DeviceSize(spec->path);
        if (!r.firstTime.empty())
            entry.from = r.firstTime;
        if (!r.lastTime.empty())
            entry.to = r.lastTime;
        AuditWrittenFile(entry, r.contactSheet);
    }
    // A contact sheet that could not be written is a failure, whatever played.
    return r.end == "error" || r.contactSheet.empty() ? kFailure : kSuccess;
}

const CommandRegistrar
    reg({"play", "play a recording headless through the real graph; writes a contact sheet",
         "Usage: scryde play SOURCE [--from TIME | --segment N] [--frames N | --seconds S]\n"
         "                   [--speed PERMILLE] [--reverse] [--channels MASK] [--out DIR]\n"
         "                   [--audio-channel N] [--step N] [--time-limit S]\n"
         "                   [--model N] [--video ntsc|pal] [--loop] [--json]\n"
         "\n"
         "Builds the reader's playback graph (source, one decoder and one video renderer per\n"
         "channel, audio to the audio renderer), plays from the start of the recording, a time\n"
         "or a segment, and stops at the end of the recording (\"complete\"), after N recorded\n"
         "pictures in all or S seconds of recording, or after the wall-clock time limit (120 s\n"
         "by default). --loop plays round and round as the reader does, until a limit.\n"
         "Writes DIR/contact-sheet.png (DIR is made when missing) with the channels' last\n"
         "pictures; channels that showed nothing recorded are marked as such, and their blank\n"
         "screens are counted apart. --speed is per mille of normal speed (2000 plays at 2x);\n"
         "--channels is a mask, bit 0 for channel 1.\n"
         "--step N plays N steps frame by frame. TAV drives, images and stream files: --segment\n"
         "picks a section, --audio-channel the channel whose sound plays.\n"
         "ORMA: --model and --video set the recorder model and video standard.\n",
         RunPlay});

} // namespace
} // namespace cli
