// The parts of `scryde export` every recorder family shares: the digest and audit line of each file
// written, the reader's archive run without its window, and the report of a lossless copy.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "cli/command.h"
#include "cli/export.h"
#include "cli/progress.h"
#include "tav/vt_source.h"

namespace cli {

AuditEntry& ExportAudit() {
    static AuditEntry entry;
    return entry;
}

int PrintDigest(const std::string& out) {
    auto digest = AuditWrittenFile(ExportAudit(), out);
    if (!digest)
        return Fail(kFailure, "export: cannot read back \"" + out + "\"");
    std::printf("%s  %s\n", digest->c_str(), out.c_str());
    return kSuccess;
}

int NotExported(const SourceSpec& spec, const ExportRequest& request) {
    return Fail(kFailure, "export: " + request.type + " exports of " + spec.kind +
                              " recordings are not in this build yet");
}

namespace {

// The reader's archive run without its window: progress and its texts on standard error.
class CConsoleArchiveUi : public reader::IArchiveUi {
public:
    void Begin(const std::string& text, int range, bool) override {
        m_line = std::make_unique<CProgressLine>(text + " ");
        m_range = std::max(1, range);
    }
    void SetPosition(int position) override {
        if (m_line)
            m_line->Show(static_cast<int>(std::clamp<long long>(position * 100LL / m_range, 0, 100)));
    }
    bool Cancelled() override { return false; }
    void Pump() override {}
    void End() override {
        if (m_line)
            m_line->Finish();
    }

private:
    std::unique_ptr<CProgressLine> m_line;
    int m_range = 100;
};

} // namespace

reader::OpenTarget TavOpenTarget(const SourceSpec& spec) {
    reader::OpenTarget target;
    target.kind = reader::kKindTav;
    target.path = spec.path;
    if (spec.asDrive) {
        target.drive = spec.drive > 0 ? spec.drive : AttachFileAsDrive(spec.path);
        target.path = "\\\\.\\PHYSICALDRIVE" + std::to_string(target.drive);
    } else {
        target.fileCode = static_cast<BYTE>(spec.kind == "stream" ? tav::kOpenStreamFile : tav::kOpenImage);
    }
    return target;
}

int ExportArchiveAvi(const SourceSpec& spec, const reader::OpenTarget& target,
                     const reader::ArchiveMark& start, const reader::ArchiveMark& end,
                     const ExportRequest& request) {
    if (target.drive < 0)
        return Fail(kFailure, "export: " + spec.Describe() + " cannot be attached as a drive");
    // The reader plays through an audio renderer; a machine without sound archives all the same, with
    // SDL's silent output standing in.
    if (!reader::CPlayerCore::HasAudioDevice())
        ::setenv("SDL_AUDIODRIVER", "dummy", 1);
    reader::CPlayerCore core;
    if (!core.Open(target))
        return Fail(kFailure, "export: cannot open " + spec.Describe());
    if (!core.SetMarks(start, end))
        return Fail(kFailure,
                    "export: the recording holds no frame at " + request.from + " or " + request.to);
    CConsoleArchiveUi ui;
    // On a disc drive each disc's file is read back before its disc leaves the tray.
    bool digestsOk = true;
    core.OnArchiveFileDone(
        [&](const std::string& file) { digestsOk = PrintDigest(file) == kSuccess && digestsOk; });
    if (!core.Archive(request.channel, request.out, request.archive, ui))
        return Fail(kFailure, "export: the archive of " + spec.Describe() + " failed");
    core.Close();
    const int last = PrintDigest(core.LastArchiveFile());
    return digestsOk ? last : kFailure;
}

recovery::Container ContainerOf(const std::string& type) {
    return type == "mkv" ? recovery::Container::Matroska : recovery::Container::Mp4;
}

int LosslessDone(const recovery::LosslessResult& r, const ExportRequest& request, const char* what) {
    if (r.soundLeftOut)
        std::fprintf(stderr,
                     "scryde: export: %s files of this build's container library cannot carry PCM sound; "
                     "the sound is left out (--type mkv keeps it)\n",
                     request.type.c_str());
    if (!r.ok)
        return Fail(kFailure, "export: " + r.error);
    std::fprintf(stderr, "Exported %zu %s of CH%02d\n", r.frames, what, request.channel + 1);
    return PrintDigest(request.out);
}

} // namespace cli
