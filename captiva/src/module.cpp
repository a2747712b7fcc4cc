// Captiva: the module's one class, the text overlay filter.
#include "platform/module.h"
#include "captiva/filter_captiva.h"
#include "media/types.h"

namespace {

// Registered for use in any graph, below the decoders and renderers that intelligent connect prefers.
constexpr DWORD kMerit = MERIT_DO_NOT_USE;

const platform::CFactoryTemplate g_Templates[] = {
    {kCaptivaName,
     &CLSID_FilterCaptiva,
     &CFilterCaptiva::CreateInstance,
     kMerit,
     nullptr,
     {"Input;input;not rendered;one;connects to Output;Video/RGB32,Video/RGB24,Video/RGB555,Video/RGB565",
      "Output;output;connects to Input;Video/RGB32,Video/RGB24,Video/RGB555,Video/RGB565"}},
};

} // namespace

SCRYDE_DEFINE_MODULE_EXPORTS(g_Templates, 1)
