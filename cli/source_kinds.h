// Recorder kinds behind `scryde info`, `scryde frames` and the other commands that take a SOURCE.
// Each kind lives in a file kind_<name>.cpp and registers itself; the commands parse the common
// options, pick the kind (file extension, --kind, or drive detection) and call it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace cli {

// Where the recording is: a file, or drive N of the drive map.
struct SourceSpec {
    std::string path; // the file, or the drive's path in the drive map
    int drive = -1;   // >= 0 for --drive N, or a file given with --as-drive (then a map number is made up)
    bool asDrive = false;         // read as a whole physical drive (--drive, or --as-drive on a file)
    std::string kind;             // "orma", "tav", "stream"
    std::string Describe() const; // "drive 1 (/dev/sdb)" or the file name, for messages
};

// --from TIME | --segment N, --count N.
struct FramesOptions {
    std::optional<std::string> from;
    std::optional<int> segment;
    int count = 20;
};

struct ExportRequest;
struct PlayOptions;
struct PlayResult;

// A recorder family's entry: what each command that takes a SOURCE does with it. A command whose entry is
// empty says the family is not read by it.
struct SourceKind {
    const char* name; // "orma", "tav", "stream"
    // `scryde info`: prints the layout; with json, exactly one JSON document on standard output.
    int (*info)(const SourceSpec& spec, bool json);
    // `scryde frames`.
    int (*frames)(const SourceSpec& spec, const FramesOptions& options, bool json);
    // `scryde export`: writes the range in the form asked for and prints its digest.
    int (*exportRange)(const SourceSpec& spec, const ExportRequest& request) = nullptr;
    // `scryde play`: plays through the reader's graph; false with r->message when it could not.
    bool (*play)(const SourceSpec& spec, const PlayOptions& options, PlayResult* r) = nullptr;
    // The recording's sound is one track, not a track per channel (--audio-channel does not apply).
    bool oneAudioTrack = false;
};

struct SourceKindRegistrar {
    explicit SourceKindRegistrar(const SourceKind& kind);
};

const std::vector<SourceKind>& SourceKinds();
const SourceKind* FindSourceKind(const std::string& name);
// A file given as a whole drive, for the plug-ins that open drives by number: the number it has in
// this process's drive map, where it is added under the first free number from 1 when it is not
// there yet. -1 when the map is full or cannot name it.
int AttachFileAsDrive(const std::string& path);
// The recorder kind found on drive `spec` (asDrive) by the reader's drive probe, through the driver or
// directly as the Windows version picks: "orma", "tav", "corvel", "glm", or empty.
std::string DetectDriveKind(const SourceSpec& spec);

// Parses SOURCE | --drive N, --kind K and --as-drive out of `args` (removing them), and resolves the
// kind. On failure prints one line and returns the exit status in *status.
std::optional<SourceSpec> TakeSource(std::vector<std::string>& args, const char* command, int* status);

// Removes "--name VALUE" from args; nothing when absent. Sets *bad when the value is missing.
std::optional<std::string> TakeOption(std::vector<std::string>& args, const std::string& name, bool* bad);
bool TakeFlag(std::vector<std::string>& args, const std::string& name);

} // namespace cli
