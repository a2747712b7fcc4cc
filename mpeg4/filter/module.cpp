// VTMp4Dec: the module's one class.
#include "platform/module.h"
#include "ivtmp4dec.h"
#include "mp4_dec_filter.h"

namespace {

// Registered with the merit value the decoder has always carried; the reader creates it by class id.
constexpr DWORD kMerit = 0x00200000;

const platform::CFactoryTemplate g_Templates[] = {
    {kVTMp4DecName,
     &CLSID_VTMp4Dec,
     &CVTMP4DecFilter::CreateInstance,
     kMerit,
     nullptr,
     {"Input;input;not rendered;one;connects to Output;Stream/{700E8189-15FC-44FD-94B0-2484A1CDEFB8}",
      "Output;output;connects to Input;Video/RGB32;Video/RGB24"}},
};

} // namespace

SCRYDE_DEFINE_MODULE_EXPORTS(g_Templates, 1)
