// Captiva: the module's one class, the text overlay filter.
#include "platform/module.h"
#include "captiva/filter_captiva.h"
#include "media/filter.h"
#include "media/types.h"

namespace {

const AMOVIESETUP_MEDIATYPE kRgbTypes[] = {
    {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB32},
    {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24},
    {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB555},
    {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB565},
};
const AMOVIESETUP_PIN kPins[] = {
    {"Input", FALSE, FALSE, FALSE, FALSE, nullptr, "Output", 4, kRgbTypes},
    {"Output", FALSE, TRUE, FALSE, FALSE, nullptr, "Input", 4, kRgbTypes},
};

// Added to graphs by class id only: intelligent connect never inserts an overlay on its own.
constexpr DWORD kMerit = MERIT_DO_NOT_USE;
const AMOVIESETUP_FILTER kSetup = {&CLSID_FilterCaptiva, kCaptivaName, kMerit, 2, kPins};

const platform::CFactoryTemplate g_Templates[] = {
    {kCaptivaName, &CLSID_FilterCaptiva, &CFilterCaptiva::CreateInstance, kMerit, nullptr,
     media::SetupPinStrings(kSetup)},
};

} // namespace

SCRYDE_DEFINE_MODULE_EXPORTS(g_Templates, 1)
