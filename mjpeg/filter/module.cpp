// VTMjpegDec: the module's one class.
#include "mjpeg_dec_filter.h"
#include "platform/module.h"
#include "vtmjpegdec.h"

namespace {

// Registered with the merit value the decoder has always carried; the reader creates it by class id.
constexpr DWORD kMerit = 0x00200000;

const platform::CFactoryTemplate g_Templates[] = {
    {kVTMjpegDecName, &CLSID_VTMjpegDec, &CVTMJPEGDecFilter::CreateInstance, kMerit, nullptr,
     {"Input;input;not rendered;one;connects to Output;Video/MJPG",
      "Output;output;connects to Input;Video/RGB32"}},
};

}  // namespace

SCRYDE_DEFINE_MODULE_EXPORTS(g_Templates, 1)
