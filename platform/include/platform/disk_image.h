// Forensic image containers that stand for a whole drive: Expert Witness files (NAME.E01, NAME.Ex01 and
// their further segments) and split raw images (NAME.001, NAME.002, … or NAME.aa, NAME.ab, …) joined in
// order. CreateFileA, the drive map and the raw-disk driver read them through this layer, so every reader
// sees the drive's bytes and never the container's. Containers are only ever read.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/hresult.h"
#include "platform/types.h"

namespace platform {

enum class ImageFormat {
    Plain,    // an ordinary file or device: not a container
    SplitRaw, // NAME.001 or NAME.aa, the first part of a split raw image
    Ewf,      // NAME.E01 or NAME.Ex01
};

// The container format a path names, by its name alone.
ImageFormat ImageFormatOf(const std::string& path);
// The path without its container suffix ("dvr.tav.E01" -> "dvr.tav", "dvr.img.001" -> "dvr.img"); a plain
// path unchanged. Its extension decides the recorder kind.
std::string StripImageSuffix(const std::string& path);

// What a container says about itself.
struct ImageFacts {
    ImageFormat format = ImageFormat::Plain;
    std::vector<std::string> parts; // the files it is made of, in order
    ULONGLONG size = 0;             // bytes of the drive it holds
    // Acquisition metadata (EWF header values: "case_number", "examiner_name", …), in the library's order.
    std::vector<std::pair<std::string, std::string>> metadata;
    std::string storedMd5;  // lower-case hex, empty when the image stores none
    std::string storedSha1; // likewise
};

class CDiskImage {
public:
    virtual ~CDiskImage() = default;
    const ImageFacts& Facts() const { return m_facts; }
    ULONGLONG Size() const { return m_facts.size; }
    // Reads up to `size` bytes at `offset`. A read that runs past the end stops there and succeeds
    // short, as a file does. Bytes the image does not hold (a damaged chunk, a sector the acquisition
    // could not read) fail the read with ERROR_CRC; *done then counts the good bytes before them.
    virtual bool Read(void* buffer, std::size_t size, ULONGLONG offset, std::size_t* done, DWORD* error) = 0;

protected:
    ImageFacts m_facts;
};

// Opens the container at `path` read-only. On failure *problem says which part is missing or damaged and
// *error holds the Win32 error to report.
std::shared_ptr<CDiskImage> OpenDiskImage(const std::string& path, std::string* problem, DWORD* error);

// The EWF reader, in a file of its own; called by OpenDiskImage.
std::shared_ptr<CDiskImage> OpenEwfImage(const std::string& path, std::string* problem, DWORD* error);

} // namespace platform
