#include "cli/graph_util.h"

#include <chrono>
#include <cstdio>

#include "cli/progress.h"
#include "media/clsids.h"

namespace cli {

std::string HrText(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
    return buf;
}

ComPtr<IPin> FindPin(IBaseFilter* filter, const char* name) {
    ComPtr<IPin> pin;
    filter->FindPin(name, &pin);
    return pin;
}

bool CExportGraph::Create(IBaseFilter* source, const char* name, std::string* message) {
    HRESULT hr = cli::Create(CLSID_FilterGraph, IID_IGraphBuilder, m_graph);
    if (FAILED(hr))
        return *message = "cannot create the filter graph (" + HrText(hr) + ")", false;
    m_graph->AddFilter(source, name);
    m_graph.As(IID_IMediaControl, m_control);
    m_graph.As(IID_IMediaEventEx, m_events);
    if (!m_control || !m_events)
        return *message = "the graph has no control interfaces", false;
    return true;
}

bool CExportGraph::Connect(IBaseFilter* source, const std::vector<std::string>& names, std::string* message) {
    std::vector<ComPtr<IPin>> pins;
    if (names.empty()) {
        ComPtr<IEnumPins> all;
        ComPtr<IPin> pin;
        if (SUCCEEDED(source->EnumPins(&all)) && all)
            while (all->Next(1, &pin, nullptr) == S_OK)
                pins.push_back(std::move(pin));
    }
    for (const std::string& name : names) {
        ComPtr<IPin> pin = FindPin(source, name.c_str());
        if (!pin)
            return *message = "the source has no pin \"" + name + "\"", false;
        pins.push_back(std::move(pin));
    }
    for (std::size_t i = 0; i < pins.size(); ++i) {
        ComPtr<IBaseFilter> sink;
        HRESULT hr = cli::Create(CLSID_NullRenderer, IID_IBaseFilter, sink);
        if (FAILED(hr))
            return *message = "cannot create a null renderer (" + HrText(hr) + ")", false;
        m_graph->AddFilter(sink.Get(), ("Null Renderer " + std::to_string(i)).c_str());
        ComPtr<IEnumPins> inputs;
        ComPtr<IPin> in;
        sink->EnumPins(&inputs);
        if (inputs)
            inputs->Next(1, &in, nullptr);
        if (!in || FAILED(hr = m_graph->ConnectDirect(pins[i].Get(), in.Get(), nullptr)))
            return *message = "cannot connect the source's pins (" + HrText(hr) + ")", false;
    }
    return true;
}

bool CExportGraph::Run(std::string* message) {
    HRESULT hr = m_control->Run();
    if (FAILED(hr))
        return *message = "the graph does not run (" + HrText(hr) + ")", false;
    return true;
}

std::string CExportGraph::RunToEnd(const std::function<bool()>& ended, const std::function<int()>& percent) {
    std::string error;
    CProgressLine line("Exporting: ");
    const auto started = std::chrono::steady_clock::now();
    for (bool done = false; !done;) {
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        // The graph's events say when it ends; between them the range's own end is looked at.
        while (m_events->GetEvent(&code, &p1, &p2, 20) == S_OK) {
            m_events->FreeEventParams(code, p1, p2);
            if (code == EC_COMPLETE)
                done = true;
            else if (code == EC_ERRORABORT || code == EC_USERABORT || code == EC_STREAM_ERROR_STOPPED)
                done = true, error = "reading stopped by an error (" + HrText(static_cast<HRESULT>(p1)) + ")";
        }
        done = done || ended();
        line.Show(percent());
        if (!done && std::chrono::steady_clock::now() - started > std::chrono::minutes(30))
            done = true, error = "the export did not finish within 30 minutes";
    }
    m_control->Stop();
    line.Finish("done");
    return error;
}

} // namespace cli
