// VTS: the module's one class, the TAV source filter.
#include "platform/module.h"
#include "ivtsource.h"
#include "media/filter.h"
#include "vts_filter.h"

namespace {

constexpr DWORD kMerit = 0x00200000;

const AMOVIESETUP_MEDIATYPE kVideoTypes[] = {{&MEDIATYPE_Stream, &MEDIASUBTYPE_TavStream}};
const AMOVIESETUP_MEDIATYPE kAudioTypes[] = {{&MEDIATYPE_Audio, &MEDIASUBTYPE_PCM}};

const AMOVIESETUP_PIN kPins[] = {
    {"Video Output", FALSE, TRUE, FALSE, FALSE, &GUID_NULL, nullptr, 1, kVideoTypes},
    {"Audio Output", FALSE, TRUE, FALSE, FALSE, &GUID_NULL, nullptr, 1, kAudioTypes},
};

const AMOVIESETUP_FILTER kSetup = {&CLSID_VTSourceFilter, kVTSourceFilterName, kMerit, 2, kPins};

const platform::CFactoryTemplate g_Templates[] = {
    {kVTSourceFilterName, &CLSID_VTSourceFilter, &CVTSourceFilter::CreateInstance, kMerit, nullptr,
     media::SetupPinStrings(kSetup)},
};

} // namespace

SCRYDE_DEFINE_MODULE_EXPORTS(g_Templates, 1)
