// The reader's six settings, kept under "software\Veltrix\GLM500": read with their defaults when a
// value or the whole key is missing, and written all together whenever one of them changes.
#pragma once

#include "platform/types.h"

namespace reader {

struct ReaderSettings {
    DWORD model = 1;       // row of the DVR Model list
    DWORD displayMode = 1; // 0 single, 1 quad, 2 nine-way, 3 sixteen-way
    DWORD video = 1;       // 0 NTSC, 1 PAL
    DWORD audio = 1;       // 0 off, 1 on
    DWORD delay = 200;     // archive poll period, ms
    DWORD hdd = 1;         // first drive number scanned

    static ReaderSettings Load();
    // Writes all six values, creating the key when it is missing; false when it cannot be written.
    bool Save() const;
};

constexpr const char* kSettingsKey = "software\\Veltrix\\GLM500";

} // namespace reader
