// VTMp4Dec: the module's one class.
#include "platform/module.h"
#include "ivtmp4dec.h"
#include "media/filter.h"
#include "mp4_dec_filter.h"

namespace {

// Registered with the merit value the decoder has always carried; the reader creates it by class id.
constexpr DWORD kMerit = 0x00200000;

const AMOVIESETUP_MEDIATYPE kInputTypes[] = {{&MEDIATYPE_Stream, &MEDIASUBTYPE_VTMp4Video}};
const AMOVIESETUP_MEDIATYPE kOutputTypes[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB32},
                                              {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24}};

const AMOVIESETUP_PIN kPins[] = {
    {"Input", FALSE, FALSE, FALSE, FALSE, &GUID_NULL, "Output", 1, kInputTypes},
    {"Output", FALSE, TRUE, FALSE, FALSE, &GUID_NULL, "Input", 2, kOutputTypes},
};

const AMOVIESETUP_FILTER kSetup = {&CLSID_VTMp4Dec, kVTMp4DecName, kMerit, 2, kPins};

const platform::CFactoryTemplate g_Templates[] = {
    {kVTMp4DecName, &CLSID_VTMp4Dec, &CVTMP4DecFilter::CreateInstance, kMerit, nullptr,
     media::SetupPinStrings(kSetup)},
};

} // namespace

SCRYDE_DEFINE_MODULE_EXPORTS(g_Templates, 1)
