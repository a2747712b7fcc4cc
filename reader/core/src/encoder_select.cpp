#include "reader/encoder_select.h"

#include <cstdio>
#include <filesystem>

#include "media/clsids.h"
#include "media/streams.h"
#include "mjpeg/filter/vtmjpegdec.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "reader/graph_pins.h"

namespace reader {

namespace {

constexpr DWORD kXvid = MAKEFOURCC('X', 'V', 'I', 'D');

// The test graph: the sample clip through the AVI splitter and the Motion-JPEG decoder, and an AVI
// multiplexer for the compressor's output. It is built and connected only, never run.
struct TestGraph {
    ComPtr<IGraphBuilder> graph;
    ComPtr<ICaptureGraphBuilder2> builder;
    ComPtr<IBaseFilter> decoder, mux;
};

bool Fail(const char* text) {
    MessageBoxA(nullptr, text, "Error", MB_OK);
    return false;
}

bool BuildTestGraph(TestGraph& t) {
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                t.graph.ReleaseAndGetVoidAddress())) ||
        FAILED(CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER,
                                IID_ICaptureGraphBuilder2, t.builder.ReleaseAndGetVoidAddress())) ||
        FAILED(t.builder->SetFiltergraph(t.graph.Get())))
        return Fail("Could not setup capture graph");
    const std::optional<std::string> clip = platform::FindDataFile("mjpeg.avi");
    if (!clip)
        return Fail(
            "Certain application file missed. \nThe program might not be installed correctly.\nPlease "
            "uninstall and reinstall again\n");
    ComPtr<IBaseFilter> source, splitter;
    ComPtr<IFileSourceFilter> load;
    if (FAILED(CoCreateInstance(CLSID_AsyncReader, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                source.ReleaseAndGetVoidAddress())) ||
        FAILED(source->QueryInterface(IID_IFileSourceFilter, load.ReleaseAndGetVoidAddress())) ||
        FAILED(load->Load(clip->c_str(), nullptr)) || FAILED(t.graph->AddFilter(source.Get(), clip->c_str())))
        return Fail(
            "Certain application file missed. \nThe program might not be installed correctly.\nPlease "
            "uninstall and reinstall again\n");
    if (FAILED(CoCreateInstance(CLSID_AviSplitter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                splitter.ReleaseAndGetVoidAddress())))
        return Fail("Failed to load AVI splitter filter.");
    if (FAILED(t.graph->AddFilter(splitter.Get(), "AVI splitter")))
        return Fail("Failed to add avi splitter to graph");
    const std::string out = (std::filesystem::temp_directory_path() / "testout.avi").string();
    ComPtr<IFileSinkFilter> sink;
    if (FAILED(t.builder->SetOutputFileName(&MEDIASUBTYPE_Avi, out.c_str(), &t.mux, &sink)))
        return Fail("Cannot set up MUX and File Writer");
    if (FAILED(ConnectFilters(t.graph.Get(), source.Get(), splitter.Get())))
        return Fail("Cannot connect up video chain");
    if (FAILED(CoCreateInstance(CLSID_VTMjpegDec, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                t.decoder.ReleaseAndGetVoidAddress())) ||
        FAILED(t.graph->AddFilter(t.decoder.Get(), "MJPEG decompressor")) ||
        FAILED(ConnectFilters(t.graph.Get(), splitter.Get(), t.decoder.Get())))
        return Fail("Cannot create MJPEG decoder");
    return true;
}

// Puts the compressor between decoder and multiplexer; its output's compression when that works.
std::optional<DWORD> TryCompressor(TestGraph& t, IBaseFilter* compressor) {
    if (FAILED(t.graph->AddFilter(compressor, "Compressor")))
        return std::nullopt;
    std::optional<DWORD> fourcc;
    if (SUCCEEDED(ConnectFilters(t.graph.Get(), t.decoder.Get(), compressor)) &&
        SUCCEEDED(ConnectFilters(t.graph.Get(), compressor, t.mux.Get()))) {
        ComPtr<IPin> out = FindConnectedPin(compressor, PINDIR_OUTPUT);
        AM_MEDIA_TYPE mt{};
        VIDEOINFOHEADER vih;
        if (out && SUCCEEDED(out->ConnectionMediaType(&mt))) {
            fourcc = GetVideoInfo(mt, &vih) ? vih.bmiHeader.biCompression : 0;
            FreeMediaType(mt);
        }
    }
    t.graph->RemoveFilter(compressor); // its connections go with it
    return fourcc;
}

} // namespace

CompressorListing ForEachCompressor(
    const std::function<bool(IMoniker* moniker, IPropertyBag* bag, const std::string& name)>& each) {
    ComPtr<ICreateDevEnum> devices;
    if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                devices.ReleaseAndGetVoidAddress())))
        return CompressorListing::NoDeviceEnumerator;
    ComPtr<IEnumMoniker> monikers;
    if (devices->CreateClassEnumerator(CLSID_VideoCompressorCategory, &monikers, 0) != S_OK || !monikers)
        return CompressorListing::NoCategoryEnumerator;
    IMoniker* m = nullptr;
    while (monikers->Next(1, &m, nullptr) == S_OK) {
        ComPtr<IMoniker> moniker;
        moniker.Attach(m);
        ComPtr<IPropertyBag> bag;
        VARIANT name;
        VariantInit(&name);
        if (FAILED(
                moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.ReleaseAndGetVoidAddress())) ||
            FAILED(bag->Read("FriendlyName", &name, nullptr)))
            continue;
        if (!each(moniker.Get(), bag.Get(), name.bstrVal))
            break;
    }
    return CompressorListing::Listed;
}

std::vector<CompressorChoice> DiscoverCompressors() {
    std::vector<CompressorChoice> list;
    TestGraph test;
    bool tested = false;
    const CompressorListing listing =
        ForEachCompressor([&](IMoniker* moniker, IPropertyBag* bag, const std::string& name) {
            // The test graph is built once the compressors can be listed at all.
            if (!tested) {
                tested = true;
                if (!BuildTestGraph(test)) {
                    MessageBoxA(
                        nullptr,
                        "Unable to create directshow graph for testing compatible compressor.\n The default "
                        "MJPEG compressor will be applied.",
                        "Error", MB_OK);
                    test.graph.Reset();
                }
            }
            if (!test.graph)
                return false;
            ComPtr<IBaseFilter> compressor;
            if (FAILED(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                             compressor.ReleaseAndGetVoidAddress())))
                return true;
            const std::optional<DWORD> fourcc = TryCompressor(test, compressor.Get());
            if (!fourcc) {
                MessageBoxA(
                    nullptr,
                    "Could not add selected compressor to the graph.\r\n\r\nThe input file format may not be "
                    "compatible with the selected encoder.\r\nSome encoders (like Windows Media encoders or "
                    "DRM-enabled encoders)\r\ncannot be used without appropriate licensing.",
                    "Error", MB_OK);
                return true;
            }
            if (*fourcc == kXvid)
                return true;
            CompressorChoice c;
            c.name = name;
            c.fourcc = *fourcc;
            VARIANT clsid;
            VariantInit(&clsid);
            if (SUCCEEDED(bag->Read("CLSID", &clsid, nullptr)))
                c.clsid = platform::GuidFromString(clsid.bstrVal).value_or(GUID_NULL);
            if (const auto entry = platform::LookupClass(c.clsid))
                c.server = entry->module.empty() ? platform::ProgramDirectory() : entry->module;
            list.push_back(std::move(c));
            return true;
        });
    if (listing == CompressorListing::NoDeviceEnumerator)
        Fail("Unable to open system device enum.");
    else if (listing == CompressorListing::NoCategoryEnumerator)
        Fail("Unable to create enumerator.");
    return list;
}

int DefaultCompressorRow(const std::vector<CompressorChoice>& list, const std::string& lastChosen) {
    if (list.empty())
        return -1;
    for (const std::string& want : {lastChosen, std::string("MJPEG Compressor")})
        for (std::size_t i = 0; i < list.size(); ++i)
            if (!want.empty() && list[i].name == want)
                return static_cast<int>(i);
    return 0;
}

std::string CompressorInfoText(const CompressorChoice& c) {
    char fourcc[5] = {static_cast<char>(c.fourcc & 0xFF), static_cast<char>((c.fourcc >> 8) & 0xFF),
                      static_cast<char>((c.fourcc >> 16) & 0xFF), static_cast<char>(c.fourcc >> 24), 0};
    char media[48];
    std::snprintf(media, sizeof media, "%s, %xH\r\n", fourcc, static_cast<unsigned>(c.fourcc));
    return "CLSID:\r\n" + platform::GuidToString(c.clsid) + "\r\nMedia type FourCC:\r\n" + media +
           "\r\nServer file name:\r\n" + c.server;
}

std::string EncoderChoiceState::TakeForArchive() {
    if (useWithoutAsking)
        return lastChosen;
    std::string name;
    name.swap(chosen);
    return name;
}

} // namespace reader
