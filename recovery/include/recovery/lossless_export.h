// Lossless archives of one channel's range: the recorded frames and sound copied unchanged into
// Matroska or MP4 with their recorded times. The command line and the desktop reader both write them.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "orma/orma_disk.h"
#include "orma/pins.h"
#include "recovery/lossless_mux.h"
#include "tav/filter/ivtsource.h"

namespace recovery {

struct LosslessResult {
    bool ok = false;
    std::string error;         // what went wrong, when not ok
    std::size_t frames = 0;    // video frames written
    bool soundLeftOut = false; // the container cannot carry the recording's PCM sound
};

// Called with the recorded time of each frame written (seconds for the TAV family, which has no year
// byte; the year byte and packed time for ORMA); false cancels, and the unfinished file is removed.
using LosslessProgress = std::function<bool(BYTE year, DWORD time)>;

// TAV: `vts` has the range marked; its MPEG-4 frames as recorded (the first key frame's layer header
// as the stream header) and the range's sound as PCM, each packet at its presentation time.
LosslessResult ExportTavLossless(IVTSourceFilter* vts, int channel, const std::string& out,
                                 Container container, const LosslessProgress& progress = {});

// ORMA: the channel's JPEG pictures as Motion-JPEG and the 8-bit stereo sound at 8820 Hz, from `disk`
// (open, its pictures published into `bank`) between the two times. ORMA times count whole seconds,
// so the pictures of one second are spread evenly over it.
LosslessResult ExportOrmaLossless(orma::COrmaDisk& disk, orma::COrmaSlotBank& bank, BYTE fromYear,
                                  DWORD fromTime, BYTE toYear, DWORD toTime, int channel,
                                  const std::string& out, Container container,
                                  const LosslessProgress& progress = {});

} // namespace recovery
