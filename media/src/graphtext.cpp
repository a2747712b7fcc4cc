#include "media/graphtext.h"

#include <cerrno>
#include <cstdio>
#include <sstream>

#include "platform/hresult.h"

namespace media {

namespace {

std::string TypeText(const AM_MEDIA_TYPE& mt) {
    std::ostringstream s;
    s << GuidName(mt.majortype) << '/' << GuidName(mt.subtype) << " format " << GuidName(mt.formattype);
    VIDEOINFOHEADER vih;
    WAVEFORMATEX wfx;
    if (GetVideoInfo(mt, &vih))
        s << ' ' << vih.bmiHeader.biWidth << 'x' << vih.bmiHeader.biHeight << 'x' << vih.bmiHeader.biBitCount;
    else if (GetWaveFormat(mt, &wfx))
        s << " tag " << wfx.wFormatTag << ' ' << wfx.nSamplesPerSec << " Hz " << wfx.nChannels << " ch "
          << wfx.wBitsPerSample << " bit";
    return s.str();
}

std::string PinName(IPin* pin, std::string* filterName) {
    PIN_INFO info;
    if (FAILED(pin->QueryPinInfo(&info)))
        return "?";
    if (info.pFilter) {
        FILTER_INFO fi;
        if (SUCCEEDED(info.pFilter->QueryFilterInfo(&fi))) {
            *filterName = fi.achName;
            if (fi.pGraph)
                fi.pGraph->Release();
        }
        info.pFilter->Release();
    }
    return info.achName;
}

} // namespace

std::string DescribeGraph(IFilterGraph* graph) {
    std::ostringstream out;
    out << "Filter graph\n";
    if (!graph)
        return out.str();
    IEnumFilters* filters = nullptr;
    if (FAILED(graph->EnumFilters(&filters)))
        return out.str();
    IBaseFilter* f = nullptr;
    while (filters->Next(1, &f, nullptr) == S_OK) {
        FILTER_INFO fi;
        f->QueryFilterInfo(&fi);
        if (fi.pGraph)
            fi.pGraph->Release();
        CLSID clsid = GUID_NULL;
        f->GetClassID(&clsid);
        out << "filter \"" << fi.achName << "\" " << platform::GuidToString(clsid) << '\n';
        IEnumPins* pins = nullptr;
        if (SUCCEEDED(f->EnumPins(&pins))) {
            IPin* p = nullptr;
            while (pins->Next(1, &p, nullptr) == S_OK) {
                std::string ignored;
                PIN_DIRECTION dir;
                p->QueryDirection(&dir);
                out << "  pin \"" << PinName(p, &ignored) << "\" " << (dir == PINDIR_INPUT ? "in" : "out");
                IPin* peer = nullptr;
                if (p->ConnectedTo(&peer) == S_OK && peer) {
                    std::string peerFilter;
                    std::string peerPin = PinName(peer, &peerFilter);
                    out << (dir == PINDIR_INPUT ? " <- " : " -> ") << '"' << peerFilter << "\".\"" << peerPin
                        << '"';
                    AM_MEDIA_TYPE mt{};
                    if (SUCCEEDED(p->ConnectionMediaType(&mt))) {
                        out << " [" << TypeText(mt) << ']';
                        FreeMediaType(mt);
                    }
                    peer->Release();
                }
                out << '\n';
                p->Release();
            }
            pins->Release();
        }
        f->Release();
    }
    filters->Release();
    return out.str();
}

HRESULT SaveGraphDescription(IFilterGraph* graph, const std::string& path) {
    std::string text = DescribeGraph(graph);
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file)
        return HRESULT_FROM_WIN32(platform::Win32ErrorFromErrno(errno));
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = std::fclose(file) == 0 && ok;
    return ok ? S_OK : E_FAIL;
}

} // namespace media
