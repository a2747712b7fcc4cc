// The Motion-JPEG decoder filter's identifiers, shared by the module and the programs that create it.
#pragma once

#include "platform/guid.h"

// {95268C54-420A-5069-6A5E-1603FAF9C13C}
constexpr CLSID CLSID_VTMjpegDec = {
    0x95268C54, 0x420A, 0x5069, {0x6A, 0x5E, 0x16, 0x03, 0xFA, 0xF9, 0xC1, 0x3C}};

constexpr const char* kVTMjpegDecName = "Veltrix Motion JPEG Decoder";
