// The "stream" recorder kind of `scryde info` and `scryde frames`: TAV stream files (".arv"), the
// packets of a recorder written one after another, read through the stream-file source's record list.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "cli/command.h"
#include "cli/export.h"
#include "cli/json.h"
#include "cli/kind_tav.h"
#include "cli/play.h"
#include "cli/source_kinds.h"
#include "tav/file_source.h"
#include "tav/layout.h"

namespace cli {

// Opens and lists a stream file as the source filter does for a stream-file open request.
int OpenStreamSource(const SourceSpec& spec, std::unique_ptr<tav::CFileSource>* out, const char* command) {
    auto src = std::make_unique<tav::CFileSource>(4);
    if (src->Open(tav::kOpenStreamFile, 0, spec.path.c_str()) < 0)
        return Fail(kFailure, std::string(command) + ": " + spec.Describe() + ": not a readable stream file");
    if (src->LoadIndex() != S_OK || src->RecordCount() <= 0)
        return Fail(kFailure, std::string(command) + ": " + spec.Describe() + ": no records found in it");
    *out = std::move(src);
    return kSuccess;
}

static int StreamInfo(const SourceSpec& spec, bool json) {
    std::unique_ptr<tav::CFileSource> src;
    if (int status = OpenStreamSource(spec, &src, "info"))
        return status;
    const LONG count = src->RecordCount();
    const std::string first = tav::FormatTime(src->Record(1).time),
                      last = tav::FormatTime(src->Record(count).time);
    if (json) {
        JsonWriter w;
        w.BeginObject();
        w.Key("kind").String("stream");
        w.Key("record_count").Int(count);
        w.Key("first_time").String(first).Key("last_time").String(last);
        w.Key("recorder_kind")
            .Int(src->RecorderKind())
            .Key("width")
            .UInt(src->Width())
            .Key("height")
            .UInt(src->Height());
        w.Key("audio_format").Int(src->AudioFormat()).Key("audio_present").Bool(src->AudioPresent());
        w.EndObject();
        std::printf("%s\n", w.Text().c_str());
        return kSuccess;
    }
    std::printf("TAV stream file: %ld records, %s .. %s\n", static_cast<long>(count), first.c_str(),
                last.c_str());
    std::printf("recorder kind %d, %ux%u, audio %s (format %d)\n", src->RecorderKind(), src->Width(),
                src->Height(), src->AudioPresent() ? "present" : "absent", src->AudioFormat());
    return kSuccess;
}

static int StreamFrames(const SourceSpec& spec, const FramesOptions& options, bool json) {
    std::unique_ptr<tav::CFileSource> src;
    if (int status = OpenStreamSource(spec, &src, "frames"))
        return status;
    if (options.segment && *options.segment != 0)
        return Fail(kFailure, "frames: a stream file has one section, 0");
    LONG number = 1;
    if (options.from) {
        DWORD t = 0;
        if (!tav::ParseTime(*options.from, &t))
            return Fail(kUsage,
                        "frames: --from wants \"YYYY/MM/DD hh:mm:ss\", not \"" + *options.from + "\"");
        if (src->SeekToSectionTime(t) != S_OK)
            return Fail(kFailure, "frames: the file does not hold " + *options.from);
        number = std::max<LONG>(1, src->CurrentRecord());
    }
    JsonWriter w;
    w.BeginArray();
    for (int emitted = 0; emitted < options.count && number <= src->RecordCount(); ++emitted, ++number) {
        const tav::TavStreamRecord r = src->Record(number);
        if (json) {
            WriteTavPacket(w, r.time, r.channel, r.type, r.size);
        } else {
            std::printf("%s  ch %2d  %-9s %6u bytes  (record %ld at byte %llu)\n",
                        tav::FormatTime(r.time).c_str(), r.channel, TavTypeName(r.type), r.size,
                        static_cast<long>(number), static_cast<unsigned long long>(r.offset));
        }
    }
    w.EndArray();
    if (json)
        std::printf("%s\n", w.Text().c_str());
    return kSuccess;
}

static const SourceKindRegistrar streamKind({"stream", StreamInfo, StreamFrames, ExportStream, PlayTav});

} // namespace cli
