// OrmaDisk: the module's one class, the ORMA source filter.
#include "platform/module.h"
#include "iormasrc.h"
#include "media/filter.h"
#include "orma_src.h"

namespace {

// Registered with the merit value the source has always carried; the reader creates it by class id.
constexpr DWORD kMerit = 0x00200000;

const AMOVIESETUP_MEDIATYPE kVideoTypes[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_MJPG}};
const AMOVIESETUP_MEDIATYPE kAudioTypes[] = {{&MEDIATYPE_Audio, &MEDIASUBTYPE_PCM}};

const AMOVIESETUP_PIN kPins[] = {
    {"Video Output", FALSE, TRUE, FALSE, FALSE, &GUID_NULL, nullptr, 1, kVideoTypes},
    {"Audio Output", FALSE, TRUE, FALSE, FALSE, &GUID_NULL, nullptr, 1, kAudioTypes},
};

const AMOVIESETUP_FILTER kSetup = {&CLSID_OrmaSrc, kOrmaSrcName, kMerit, 2, kPins};

const platform::CFactoryTemplate g_Templates[] = {
    {kOrmaSrcName, &CLSID_OrmaSrc, &COrmaSrc::CreateInstance, kMerit, nullptr,
     media::SetupPinStrings(kSetup)},
};

} // namespace

SCRYDE_DEFINE_MODULE_EXPORTS(g_Templates, 1)
