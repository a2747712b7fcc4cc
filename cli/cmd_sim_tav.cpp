// scryde sim tav: writes a synthetic TAV v2.x drive (a sparse file) and, on request, a drive image of
// its whole recording, or a stream file of the same packets.
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "cli/command.h"
#include "cli/sim_kinds.h"
#include "sim_tav/tav_recorder.h"

namespace cli {
namespace {

bool Number(const std::string& text, long lo, long hi, long* out) {
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

int Run(const std::vector<std::string>& input) {
    std::vector<std::string> args = input;
    sim_tav::RecorderOptions o;
    std::string out, image, stream;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](long lo, long hi, long* v) {
            if (i + 1 >= args.size() || !Number(args[i + 1], lo, hi, v))
                return false;
            ++i;
            return true;
        };
        long v = 0;
        if (a == "--out" && i + 1 < args.size()) {
            out = args[++i];
        } else if (a == "--image" && i + 1 < args.size()) {
            image = args[++i];
        } else if (a == "--stream" && i + 1 < args.size()) {
            stream = args[++i];
        } else if (a == "--stream-packets" && value(1, 1000000, &v)) {
            o.streamPackets = static_cast<std::uint32_t>(v);
        } else if (a == "--gib" && value(1, 2047, &v)) {
            o.gib = static_cast<std::uint32_t>(v);
        } else if (a == "--kind" && value(0, 32, &v)) {
            o.recorderKind = static_cast<int>(v);
        } else if (a == "--channels" && value(1, 16, &v)) {
            o.channels = static_cast<int>(v);
        } else if (a == "--segments" && value(1, 65535, &v)) {
            o.segments = static_cast<std::uint32_t>(v);
        } else if (a == "--blocks" && value(1, 1024, &v)) {
            o.blocksPerSegment = static_cast<std::uint32_t>(v);
        } else if (a == "--packets" && value(1, 600, &v)) {
            o.packetsPerBlock = static_cast<std::uint32_t>(v);
        } else if (a == "--fps" && value(1, 30, &v)) {
            o.framesPerSecond = static_cast<int>(v);
        } else if (a == "--key-interval" && value(1, 300, &v)) {
            o.keyInterval = static_cast<int>(v);
        } else if (a == "--audio" && i + 1 < args.size()) {
            std::string f = args[++i];
            o.audioFormat = f == "none" ? 0 : f == "adpcm" ? 1 : f == "alaw" ? 6 : f == "ulaw" ? 7 : -1;
            if (o.audioFormat < 0)
                return Fail(kUsage, "sim tav: --audio none|adpcm|alaw|ulaw");
        } else if (a == "--wrapped" && value(0, 65535, &v)) {
            o.wrapped = true;
            o.wrapNewest = static_cast<std::uint32_t>(v);
        } else if (a == "--stale-block" && value(0, 1024, &v)) {
            o.wrapStaleBlock = static_cast<std::uint32_t>(v);
        } else if (a == "--protected" && value(0, 65535, &v)) {
            o.protectedSegments = static_cast<std::uint32_t>(v);
        } else if (a == "--letters") {
            o.letterTags = true;
        } else if (a == "--cross") {
            o.crossBlockEnd = true;
        } else if (a == "--large-key-frame" && value(33, 204799, &v)) {
            o.largeKeyFrame = static_cast<std::uint32_t>(v);
        } else if (a == "--pictures") {
            o.realPictures = true;
        } else if (a == "--size" && i + 1 < args.size()) {
            unsigned w = 0, h = 0;
            char x = 0;
            if (std::sscanf(args[++i].c_str(), "%u%c%u", &w, &x, &h) != 3 || x != 'x' || w == 0 || h == 0 ||
                w > 4096 || h > 4096)
                return Fail(kUsage, "sim tav: --size WIDTHxHEIGHT");
            o.width = static_cast<std::uint16_t>(w);
            o.height = static_cast<std::uint16_t>(h);
        } else {
            return Fail(kUsage, "sim tav: unexpected \"" + a + "\" (see scryde sim tav --help)");
        }
    }
    if (out.empty() && stream.empty())
        return Fail(kUsage, "sim tav: give --out FILE or --stream FILE");
    if (!image.empty() && out.empty())
        return Fail(kUsage, "sim tav: --image needs --out DRIVE");
    try {
        if (!stream.empty()) {
            auto packets = sim_tav::WriteTavStream(stream, o);
            std::printf("%s: TAV stream file, %zu records, %u .. %u\n", stream.c_str(), packets.size(),
                        packets.empty() ? 0u : packets.front().time,
                        packets.empty() ? 0u : packets.back().time);
        }
        if (out.empty())
            return kSuccess;
        sim_tav::Recording rec = sim_tav::WriteTavDrive(out, o);
        std::printf("%s: TAV drive, %u GiB, %zu packets in %zu segments, %u .. %u\n", out.c_str(), rec.geo.G,
                    rec.packets.size(), rec.segments.size(), rec.firstTime, rec.lastTime);
        if (!image.empty() && !rec.packets.empty()) {
            const auto& f = rec.packets.front();
            const auto& l = rec.packets.back();
            sim_tav::ImageRange r{f.segment, f.block, f.entry, l.segment, l.block,
                                  l.entry,   f.time,  l.time,  f.offset};
            sim_tav::WriteTavImage(out, rec, r, image);
            std::printf("%s: drive image of the whole recording\n", image.c_str());
        }
    } catch (const std::exception& e) {
        return Fail(kFailure, std::string("sim tav: ") + e.what());
    }
    return kSuccess;
}

const SimKindRegistrar
    reg({"tav", "a TAV v2.x drive (sparse file), its drive image or a stream file",
         "Usage: scryde sim tav --out DRIVE [--image FILE.tav] [--gib N] [--kind K]\n"
         "       scryde sim tav --stream FILE.arv [--stream-packets N] [--kind K] ...\n"
         "       [--channels N] [--segments N] [--blocks N] [--packets N]\n"
         "       [--audio none|adpcm|alaw|ulaw] [--wrapped NEWEST [--stale-block J]]\n"
         "       [--protected SEGMENTS] [--letters] [--cross] [--pictures] [--size WxH]\n"
         "       [--fps N] [--key-interval N] [--large-key-frame BYTES]\n"
         "\n"
         "Writes a recorder drive of N GiB (default 3) as a sparse file: drive header,\n"
         "segment trailers with events, block indexes, MPEG-4 key and predicted frames\n"
         "with the status record of recorder kind K (0, 1, 2, 3, 4, 8, 32), audio and the\n"
         "system log. --wrapped records a whole pass and a second pass up to segment\n"
         "NEWEST whose blocks from J on stay stale. --image also writes a \".tav\" image.\n"
         "--stream writes a \".arv\" stream file of N packets (default 120) of the same\n"
         "channels, kind and audio, one record after another (with or without --out).\n"
         "--fps sets the pictures per second of each channel (default 2), --key-interval\n"
         "makes every N-th picture of a channel a key frame (default 4).\n"
         "--large-key-frame pads the first key frame of channel 0 to BYTES (at most\n"
         "204799, the largest packet an index entry may describe).\n"
         "--pictures makes the video real MPEG-4 pictures of each channel with its tag\n"
         "(channel and time) drawn in; --size sets the picture size (default 352x240).\n"
         "Read it with: scryde info DRIVE --as-drive\n",
         Run});

} // namespace
} // namespace cli
