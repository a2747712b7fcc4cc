// The reader's fixed tables and rules: playback speeds, recorder models and their picture placement,
// the video boxes of each layout, search times and their checks, the time texts, and how a file
// chosen in the open dialog is classified.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "platform/types.h"

namespace reader {

// ---- Speeds ---------------------------------------------------------------------------------------
struct SpeedEntry {
    const char* label;
    LONG value; // per mille of normal speed
};
constexpr int kSpeedCount = 9;
constexpr int kNormalSpeed = 4; // "1x"
extern const std::array<SpeedEntry, kSpeedCount> kSpeeds;

// ---- Recorder models ------------------------------------------------------------------------------
constexpr int kModelEntries = 10; // rows of the DVR Model list
constexpr int kTavModelRow = 9;   // the row shown (disabled) for TAV-family recordings
constexpr UINT kTavModelCode = 103;
// The model code handed to the ORMA source for list index `index`.
UINT ModelCode(int index);
// The list's row texts.
const char* ModelName(int index);

// ---- Video boxes ----------------------------------------------------------------------------------
constexpr int kLayouts = 4;   // single, quad, nine-way, sixteen-way
constexpr int kBoxCount = 30; // 1 + 4 + 9 + 16
constexpr int kChannels = 16;
int BoxesInLayout(int mode);
// Index of box k of layout `mode` among the 30 boxes.
int BoxIndex(int mode, int k);

struct BoxGeometry {
    int x = 0, y = 0, width = 0, height = 0; // the box, in pixels of the video area
    int pictureWidth = 0, pictureHeight = 0; // the nominal picture size drawn in it
};
BoxGeometry LayoutBox(int mode, int k);

// Where a picture goes inside a box of client size W × H for a nominal picture w × h (may lie partly
// outside the box, which then clips it).
struct Placement {
    LONG left = 0, top = 0, width = 0, height = 0;
};
Placement PlacePicture(UINT modelCode, int W, int H, int w, int h);

// ---- Times ----------------------------------------------------------------------------------------
// The six fields of the time search.
struct SearchFields {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
// Year 2000..2254, a real Gregorian date, and a time of day.
bool IsValidSearchTime(const SearchFields& f);
// Seconds since 1970-01-01 00:00:00 UTC (for years up to 2106 the value fits 32 bits; later ones wrap
// as the recorder's own 32-bit clock would).
DWORD UtcSeconds(const SearchFields& f);
SearchFields SplitUtc(DWORD seconds);
// ORMA search time: the year byte and the packed word with the year byte's low six bits in bits 0..5.
BYTE OrmaYearByte(const SearchFields& f);
DWORD OrmaSearchWord(const SearchFields& f);
SearchFields SplitOrma(BYTE year, DWORD packed);

// "%04d/%02d/%02d %02d:%02d:%02d" of a TAV-family time, UTC.
std::string FormatUtcTime(DWORD seconds);
// "20%02d/%02d/%02d %02d:%02d:%02d" of an ORMA time.
std::string FormatOrmaTime(BYTE year, DWORD packed);
// What follows a kind-24 recorder's time: "  GMT +h:mm" or "  GMT -h:mm" from its zone byte.
std::string ZoneSuffix(BYTE zone);

// ---- Files ----------------------------------------------------------------------------------------
// The open dialog's filter, "description|pattern|" pairs.
extern const char* const kOpenFileFilter;

struct FileKind {
    BYTE kind = 0;     // recorder kind (0 ORMA image, 8, 16, 24)
    BYTE fileCode = 0; // descriptor code: 9 TAV image, 10 archive, 17 Corvel image, 25 GLM file
    int drive = 0;     // drive number handed to the source
};
// By the extension after the last '.', compared case-sensitively; anything else is an ORMA image.
FileKind ClassifyFile(const std::string& path);

// ---- The source descriptor ------------------------------------------------------------------------
// The 12 bytes a TAV-family source gets (capacity, drive, kind, the result byte at +10) followed by the
// NUL-terminated path: a drive table record.
constexpr size_t kDriveEntryBytes = 272;
constexpr size_t kDescriptorPathBytes = kDriveEntryBytes - 12;
using SourceDescriptor = std::array<BYTE, kDriveEntryBytes>;
// nullopt when the path does not fit its 260 bytes with the NUL (it would name another file).
std::optional<SourceDescriptor> MakeDescriptor(DWORD gigabytes, BYTE drive, BYTE kindOrCode,
                                               const std::string& path);

} // namespace reader
