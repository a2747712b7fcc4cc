// scryde export: what a run asks for, the pieces every recorder family's export shares, and each
// family's export, which its entry in the source-kind table names.
#pragma once

#include <string>

#include "cli/audit.h"
#include "cli/source_kinds.h"
#include "reader/player.h"
#include "recovery/lossless_export.h"

namespace cli {

struct ExportRequest {
    std::string from, to, out;
    std::string type = "image";     // image, text, binary, avi, gpx, csv, mkv or mp4
    int channel = 0;                // 0-based
    bool direct = false;            // avi: the recorded frames copied as they are
    reader::ArchiveOptions archive; // avi without direct: the reader's archive options
};

// What this run exports from: the audit line of each file written names it.
AuditEntry& ExportAudit();
// Prints the SHA-256 of what an export wrote, as `sha256sum` does, and logs the file in the audit log.
int PrintDigest(const std::string& out);
// The failure for a type a family does not export.
int NotExported(const SourceSpec& spec, const ExportRequest& request);

// An AVI archive of one channel as the reader makes it: `target` opened as the reader opens it, the range
// from `start` to `end` marked, and the archive graph (decoder, double-height and text filter when asked,
// the compressor, the multiplexer) run at normal speed.
int ExportArchiveAvi(const SourceSpec& spec, const reader::OpenTarget& target,
                     const reader::ArchiveMark& start, const reader::ArchiveMark& end,
                     const ExportRequest& request);
// The reader's open target for a recording of the TAV plug-in (a drive, a ".tav" image or an ".arv"
// stream file); a drive number below 0 when a file cannot be attached as a drive.
reader::OpenTarget TavOpenTarget(const SourceSpec& spec);

// The lossless Matroska and MP4 copies: the container a type names, and the report of a finished copy.
recovery::Container ContainerOf(const std::string& type);
int LosslessDone(const recovery::LosslessResult& r, const ExportRequest& request, const char* what);

// The families' exports (export_orma.cpp, export_tav.cpp).
int ExportOrma(const SourceSpec& spec, const ExportRequest& request);
int ExportTav(const SourceSpec& spec, const ExportRequest& request);
int ExportStream(const SourceSpec& spec, const ExportRequest& request);

} // namespace cli
