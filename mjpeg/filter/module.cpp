// VTMjpegDec: the module's one class.
#include "platform/module.h"
#include "media/filter.h"
#include "mjpeg_dec_filter.h"
#include "vtmjpegdec.h"

namespace {

// Registered with the merit value the decoder has always carried; the reader creates it by class id.
constexpr DWORD kMerit = 0x00200000;

const AMOVIESETUP_MEDIATYPE kInputTypes[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_MJPG}};
const AMOVIESETUP_MEDIATYPE kOutputTypes[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB32}};

const AMOVIESETUP_PIN kPins[] = {
    {"Input", FALSE, FALSE, FALSE, FALSE, &GUID_NULL, "Output", 1, kInputTypes},
    {"Output", FALSE, TRUE, FALSE, FALSE, &GUID_NULL, "Input", 1, kOutputTypes},
};

const AMOVIESETUP_FILTER kSetup = {&CLSID_VTMjpegDec, kVTMjpegDecName, kMerit, 2, kPins};

const platform::CFactoryTemplate g_Templates[] = {
    {kVTMjpegDecName, &CLSID_VTMjpegDec, &CVTMJPEGDecFilter::CreateInstance, kMerit, nullptr,
     media::SetupPinStrings(kSetup)},
};

} // namespace

SCRYDE_DEFINE_MODULE_EXPORTS(g_Templates, 1)
