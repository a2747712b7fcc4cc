// The capture-graph builder: the AVI output (multiplexer plus file writer) and stream rendering over a
// filter graph.
#include <new>

#include "media/clsids.h"
#include "media/streams.h"
#include "platform/registry.h"
#include "stock.h"

namespace {

// The first unconnected pin of `filter` in `dir`, of major type `major` when one is given.
ComPtr<IPin> FreePin(IBaseFilter* filter, PIN_DIRECTION dir, const GUID* major) {
    ComPtr<IPin> found;
    IEnumPins* pins = nullptr;
    if (!filter || FAILED(filter->EnumPins(&pins)))
        return found;
    IPin* p = nullptr;
    while (!found && pins->Next(1, &p, nullptr) == S_OK) {
        ComPtr<IPin> pin;
        pin.Attach(p);
        PIN_DIRECTION d;
        pin->QueryDirection(&d);
        ComPtr<IPin> peer;
        pin->ConnectedTo(&peer);
        if (d != dir || peer)
            continue;
        if (major && *major != GUID_NULL) {
            bool has = false;
            IEnumMediaTypes* types = nullptr;
            if (SUCCEEDED(pin->EnumMediaTypes(&types)) && types) {
                AM_MEDIA_TYPE* mt = nullptr;
                while (!has && types->Next(1, &mt, nullptr) == S_OK) {
                    has = mt->majortype == *major;
                    DeleteMediaType(mt);
                }
                types->Release();
            }
            if (!has)
                continue;
        }
        found = pin;
    }
    pins->Release();
    return found;
}

class CCaptureGraphBuilder2 : public CUnknown, public ICaptureGraphBuilder2 {
public:
    CCaptureGraphBuilder2(LPUNKNOWN outer, HRESULT* phr) : CUnknown("capture graph builder", outer, phr) {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_ICaptureGraphBuilder2)
            return GetInterface(static_cast<ICaptureGraphBuilder2*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }

    HRESULT SetFiltergraph(IGraphBuilder* graph) override {
        if (!graph)
            return E_POINTER;
        m_graph = graph;
        return S_OK;
    }

    HRESULT GetFiltergraph(IGraphBuilder** graph) override {
        if (!graph)
            return E_POINTER;
        HRESULT hr = EnsureGraph();
        if (FAILED(hr))
            return hr;
        *graph = m_graph.Get();
        (*graph)->AddRef();
        return S_OK;
    }

    HRESULT SetOutputFileName(const GUID* type, const char* file, IBaseFilter** mux,
                              IFileSinkFilter** sink) override {
        if (!type || !file)
            return E_POINTER;
        if (mux)
            *mux = nullptr;
        if (sink)
            *sink = nullptr;
        if (*type != MEDIASUBTYPE_Avi)
            return E_INVALIDARG;
        HRESULT hr = EnsureGraph();
        if (FAILED(hr))
            return hr;
        ComPtr<IBaseFilter> muxFilter;
        ComPtr<IBaseFilter> writer;
        hr = CoCreateInstance(CLSID_AviDest, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                              muxFilter.ReleaseAndGetVoidAddress());
        if (FAILED(hr))
            return hr;
        hr = CoCreateInstance(CLSID_FileWriter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                              writer.ReleaseAndGetVoidAddress());
        if (FAILED(hr))
            return hr;
        ComPtr<IFileSinkFilter> fileSink;
        hr = writer.As(IID_IFileSinkFilter, fileSink);
        if (FAILED(hr))
            return hr;
        hr = fileSink->SetFileName(file, nullptr);
        if (FAILED(hr))
            return hr;
        hr = m_graph->AddFilter(muxFilter.Get(), "AVI Mux");
        if (FAILED(hr))
            return hr;
        hr = m_graph->AddFilter(writer.Get(), "File writer");
        if (FAILED(hr)) {
            m_graph->RemoveFilter(muxFilter.Get());
            return hr;
        }
        ComPtr<IPin> out = FreePin(muxFilter.Get(), PINDIR_OUTPUT, nullptr);
        ComPtr<IPin> in = FreePin(writer.Get(), PINDIR_INPUT, nullptr);
        hr = (out && in) ? m_graph->ConnectDirect(out.Get(), in.Get(), nullptr) : VFW_E_NOT_FOUND;
        if (FAILED(hr)) {
            m_graph->RemoveFilter(writer.Get());
            m_graph->RemoveFilter(muxFilter.Get());
            return hr;
        }
        if (mux)
            *mux = muxFilter.Detach();
        if (sink)
            *sink = fileSink.Detach();
        return S_OK;
    }

    HRESULT FindInterface(const GUID*, const GUID*, IBaseFilter* filter, REFIID riid, void** ppv) override {
        if (!filter || !ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (SUCCEEDED(filter->QueryInterface(riid, ppv)))
            return S_OK;
        // Then its pins.
        IEnumPins* pins = nullptr;
        if (SUCCEEDED(filter->EnumPins(&pins))) {
            IPin* p = nullptr;
            while (pins->Next(1, &p, nullptr) == S_OK) {
                HRESULT hr = p->QueryInterface(riid, ppv);
                p->Release();
                if (SUCCEEDED(hr)) {
                    pins->Release();
                    return S_OK;
                }
            }
            pins->Release();
        }
        return E_NOINTERFACE;
    }

    HRESULT RenderStream(const GUID*, const GUID* type, IUnknown* source, IBaseFilter* intermediate,
                         IBaseFilter* sink) override {
        if (!source)
            return E_POINTER;
        HRESULT hr = EnsureGraph();
        if (FAILED(hr))
            return hr;
        ComPtr<IPin> out;
        if (FAILED(source->QueryInterface(IID_IPin, out.ReleaseAndGetVoidAddress()))) {
            ComPtr<IBaseFilter> filter;
            if (FAILED(source->QueryInterface(IID_IBaseFilter, filter.ReleaseAndGetVoidAddress())))
                return E_INVALIDARG;
            ComPtr<IPin> free = FreePin(filter.Get(), PINDIR_OUTPUT, type);
            out.Swap(free);
        }
        if (!out)
            return VFW_E_NOT_FOUND;
        if (intermediate) {
            ComPtr<IPin> in = FreePin(intermediate, PINDIR_INPUT, nullptr);
            if (!in)
                return VFW_E_NOT_FOUND;
            hr = m_graph->Connect(out.Get(), in.Get());
            if (FAILED(hr))
                return hr;
            ComPtr<IPin> next = FreePin(intermediate, PINDIR_OUTPUT, nullptr);
            out.Swap(next);
            if (!out)
                return sink ? VFW_E_NOT_FOUND : S_OK;
        }
        if (!sink)
            return m_graph->Render(out.Get());
        ComPtr<IPin> in = FreePin(sink, PINDIR_INPUT, nullptr);
        if (!in)
            return VFW_E_NOT_FOUND;
        return m_graph->Connect(out.Get(), in.Get());
    }

private:
    HRESULT EnsureGraph() {
        if (m_graph)
            return S_OK;
        return CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                m_graph.ReleaseAndGetVoidAddress());
    }

    ComPtr<IGraphBuilder> m_graph;
};

} // namespace

CUnknown* CreateCaptureGraphBuilder(LPUNKNOWN outer, HRESULT* phr) {
    return new (std::nothrow) CCaptureGraphBuilder2(outer, phr);
}
