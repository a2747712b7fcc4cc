// The filter-graph pieces scryde's play and export commands share: creating filters by class id, finding
// pins, and a graph of a source and null renderers that carries an export through the source's own reading.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "media/interfaces.h"
#include "platform/registry.h"

namespace cli {

// "0x8000FFFF": a result code as messages show it.
std::string HrText(HRESULT hr);

template <class T> HRESULT Create(REFCLSID clsid, REFIID iid, ComPtr<T>& out) {
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, out.ReleaseAndGetVoidAddress());
}

// The pin of `filter` called `name`; empty when it has none.
ComPtr<IPin> FindPin(IBaseFilter* filter, const char* name);

// A graph of the source and null renderers: the renderers take what the pins deliver as fast as it comes,
// with nothing to decode and no clock to wait for. Each step returns false with *message on failure.
class CExportGraph {
public:
    bool Create(IBaseFilter* source, const char* name, std::string* message);
    // Connects each pin of `source` to a null renderer of its own: the named ones, or all when none are
    // named.
    bool Connect(IBaseFilter* source, const std::vector<std::string>& names, std::string* message);
    bool Run(std::string* message);
    // Runs until the graph completes or fails, or `ended` says the range is done; shows `percent()` as
    // "Exporting: N%" as it goes. Stops the graph. Returns what went wrong, empty when nothing did.
    std::string RunToEnd(const std::function<bool()>& ended, const std::function<int()>& percent);

private:
    ComPtr<IGraphBuilder> m_graph;
    ComPtr<IMediaControl> m_control;
    ComPtr<IMediaEventEx> m_events;
};

} // namespace cli
