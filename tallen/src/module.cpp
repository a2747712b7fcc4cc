// Tallen: the module's one class.
#include "platform/module.h"
#include "media/filter.h"
#include "tallen_filter.h"

namespace {

// The reader inserts the filter by class id; it never joins a graph on its own.
constexpr DWORD kMerit = 0x00200000;

const AMOVIESETUP_MEDIATYPE kTypes[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB32}};

const AMOVIESETUP_PIN kPins[] = {
    {"Input", FALSE, FALSE, FALSE, FALSE, &GUID_NULL, "Output", 1, kTypes},
    {"Output", FALSE, TRUE, FALSE, FALSE, &GUID_NULL, "Input", 1, kTypes},
};

const AMOVIESETUP_FILTER kSetup = {&CLSID_Tallen, kTallenName, kMerit, 2, kPins};

const platform::CFactoryTemplate g_Templates[] = {
    {kTallenName, &CLSID_Tallen, &CTallen::CreateInstance, kMerit, nullptr, media::SetupPinStrings(kSetup)},
};

} // namespace

SCRYDE_DEFINE_MODULE_EXPORTS(g_Templates, 1)
