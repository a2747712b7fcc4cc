// The stock objects module: the filter graph, the capture-graph builder, the renderers, the AVI
// multiplexer and file writer, the file source and AVI splitter, the system device enumerator and the
// "MJPEG Compressor", registered by class id like any plug-in.
#include "platform/module.h"
#include "media/clsids.h"
#include "media/filter.h"
#include "stock.h"

namespace {

using media::SetupPinStrings;

const AMOVIESETUP_MEDIATYPE kAnyType = {&GUID_NULL, &GUID_NULL};
const AMOVIESETUP_MEDIATYPE kVideoTypes[] = {
    {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB32},  {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24},
    {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB565}, {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB555},
    {&MEDIATYPE_Video, &MEDIASUBTYPE_YUY2},   {&MEDIATYPE_Video, &MEDIASUBTYPE_UYVY},
};
const AMOVIESETUP_MEDIATYPE kAudioPcm = {&MEDIATYPE_Audio, &MEDIASUBTYPE_PCM};
const AMOVIESETUP_MEDIATYPE kAviStream = {&MEDIATYPE_Stream, &MEDIASUBTYPE_Avi};
const AMOVIESETUP_MEDIATYPE kMjpgType = {&MEDIATYPE_Video, &MEDIASUBTYPE_MJPG};
const AMOVIESETUP_MEDIATYPE kCompressorIn[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB32},
                                               {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24}};

const AMOVIESETUP_PIN kVideoRendererPins[] = {
    {"Input", TRUE, FALSE, FALSE, FALSE, nullptr, nullptr, 6, kVideoTypes}};
const AMOVIESETUP_PIN kNullRendererPins[] = {
    {"In", TRUE, FALSE, FALSE, FALSE, nullptr, nullptr, 1, &kAnyType}};
const AMOVIESETUP_PIN kAudioRendererPins[] = {
    {"Audio Input pin (rendered)", TRUE, FALSE, FALSE, FALSE, nullptr, nullptr, 1, &kAudioPcm}};
const AMOVIESETUP_PIN kMuxPins[] = {
    {"Input 01", FALSE, FALSE, FALSE, TRUE, nullptr, nullptr, 1, &kAnyType},
    {"AVI Out", FALSE, TRUE, FALSE, FALSE, nullptr, nullptr, 1, &kAviStream},
};
const AMOVIESETUP_PIN kWriterPins[] = {{"in", TRUE, FALSE, FALSE, FALSE, nullptr, nullptr, 1, &kAnyType}};
const AMOVIESETUP_PIN kSourcePins[] = {{"Output", FALSE, TRUE, FALSE, FALSE, nullptr, nullptr, 1, &kAnyType}};
const AMOVIESETUP_PIN kSplitterPins[] = {
    {"input pin", FALSE, FALSE, FALSE, FALSE, nullptr, nullptr, 1, &kAviStream},
    {"Stream 00", FALSE, TRUE, FALSE, TRUE, nullptr, nullptr, 1, &kAnyType},
};
const AMOVIESETUP_PIN kCompressorPins[] = {
    {"Input", FALSE, FALSE, FALSE, FALSE, nullptr, nullptr, 2, kCompressorIn},
    {"Output", FALSE, TRUE, FALSE, FALSE, nullptr, nullptr, 1, &kMjpgType},
};

template <std::size_t N>
std::vector<std::string> Pins(const CLSID& clsid, const char* name, DWORD merit,
                              const AMOVIESETUP_PIN (&pins)[N]) {
    AMOVIESETUP_FILTER f{&clsid, name, merit, static_cast<UINT>(N), pins};
    return SetupPinStrings(f);
}

// Merits follow the classic ones: renderers and the splitter take part in intelligent connect, the
// multiplexer, writer and compressor are only ever added by name.
const platform::CFactoryTemplate g_Templates[] = {
    {"Filter Graph", &CLSID_FilterGraph, &CreateFilterGraph, 0, nullptr, {}},
    {"Capture Graph Builder 2", &CLSID_CaptureGraphBuilder2, &CreateCaptureGraphBuilder, 0, nullptr, {}},
    {"System Device Enumerator", &CLSID_SystemDeviceEnum, &CreateDeviceEnumerator, 0, nullptr, {}},
    {"Video Renderer", &CLSID_VideoRenderer, &CreateVideoRenderer, MERIT_PREFERRED + 1, nullptr,
     Pins(CLSID_VideoRenderer, "Video Renderer", MERIT_PREFERRED + 1, kVideoRendererPins)},
    {"Null Renderer", &CLSID_NullRenderer, &CreateNullRenderer, MERIT_DO_NOT_USE, nullptr,
     Pins(CLSID_NullRenderer, "Null Renderer", MERIT_DO_NOT_USE, kNullRendererPins)},
    {"Default DirectSound Device", &CLSID_DSoundRender, &CreateAudioRenderer, MERIT_PREFERRED, nullptr,
     Pins(CLSID_DSoundRender, "Default DirectSound Device", MERIT_PREFERRED, kAudioRendererPins)},
    {"AVI Mux", &CLSID_AviDest, &CreateAviMux, MERIT_DO_NOT_USE, nullptr,
     Pins(CLSID_AviDest, "AVI Mux", MERIT_DO_NOT_USE, kMuxPins)},
    {"File writer", &CLSID_FileWriter, &CreateFileWriter, MERIT_DO_NOT_USE, nullptr,
     Pins(CLSID_FileWriter, "File writer", MERIT_DO_NOT_USE, kWriterPins)},
    {"File Source (Async.)", &CLSID_AsyncReader, &CreateFileSource, MERIT_UNLIKELY, nullptr,
     Pins(CLSID_AsyncReader, "File Source (Async.)", MERIT_UNLIKELY, kSourcePins)},
    {"AVI Splitter", &CLSID_AviSplitter, &CreateAviSplitter, MERIT_NORMAL, nullptr,
     Pins(CLSID_AviSplitter, "AVI Splitter", MERIT_NORMAL, kSplitterPins)},
    {"MJPEG Compressor", &CLSID_MJPGEnc, &CreateMjpegCompressor, MERIT_DO_NOT_USE,
     &CLSID_VideoCompressorCategory,
     Pins(CLSID_MJPGEnc, "MJPEG Compressor", MERIT_DO_NOT_USE, kCompressorPins)},
};

} // namespace

SCRYDE_DEFINE_MODULE_EXPORTS(g_Templates, static_cast<int>(sizeof g_Templates / sizeof g_Templates[0]))
