// The open recording's graph: creation, the ORMA and TAV-family channel chains, the video boxes the
// channel windows are shown in, tear-down and closing.
#include <cstdio>

#include "media/clsids.h"
#include "media/graphtext.h"
#include "mjpeg/filter/vtmjpegdec.h"
#include "mpeg4/filter/ivtmp4dec.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "reader/graph_pins.h"
#include "reader/player.h"
#include "tav/layout.h"

namespace reader {

// The status record travels through the TAV playback and archive graphs: carried by the source's
// packets, appended to each picture by the decoder, read (and stripped) by the double-height filter.
static_assert(kVTMp4TrailerBytes == static_cast<int>(tav::kPacketTail) &&
                  kTallenRecordBytes == static_cast<LONG>(tav::kPacketTail),
              "the status record has one size along the graph");

namespace {

constexpr const char* kAudioRendererName = "DirectSound Renderer Filter";
constexpr const char* kVideoRendererName = "Video Renderer Filter";
constexpr const char* kNoAudioDevice =
    "No audio device!\nThis program cannot run on PC without audio device.";
constexpr const char* kComponentsMissing = "Some component(s) are missing!";

} // namespace

namespace {

// The first pin of `filter` in `direction` that is (or is not) connected and, when `major` is given,
// offers a media type of that major type.
ComPtr<IPin> FirstPin(IBaseFilter* filter, PIN_DIRECTION direction, bool connected, const GUID* major) {
    ComPtr<IEnumPins> pins;
    if (!filter || FAILED(filter->EnumPins(&pins)) || !pins)
        return {};
    ComPtr<IPin> pin;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_DIRECTION dir;
        ComPtr<IPin> peer;
        if (FAILED(pin->QueryDirection(&dir)) || dir != direction ||
            (pin->ConnectedTo(&peer) == S_OK) != connected) {
            pin.Reset();
            continue;
        }
        if (!major)
            return pin;
        ComPtr<IEnumMediaTypes> types;
        if (SUCCEEDED(pin->EnumMediaTypes(&types)) && types) {
            AM_MEDIA_TYPE* mt = nullptr;
            bool match = false;
            while (!match && types->Next(1, &mt, nullptr) == S_OK) {
                match = mt->majortype == *major;
                DeleteMediaType(mt);
            }
            if (match)
                return pin;
        }
        pin.Reset();
    }
    return {};
}

} // namespace

ComPtr<IPin> FindFreePin(IBaseFilter* filter, PIN_DIRECTION direction, const GUID* major) {
    return FirstPin(filter, direction, false, major);
}

ComPtr<IPin> FindConnectedPin(IBaseFilter* filter, PIN_DIRECTION direction) {
    return FirstPin(filter, direction, true, nullptr);
}

HRESULT ConnectFilters(IGraphBuilder* graph, IBaseFilter* from, IBaseFilter* to) {
    ComPtr<IPin> out = FindFreePin(from, PINDIR_OUTPUT), in = FindFreePin(to, PINDIR_INPUT);
    if (!out || !in)
        return VFW_E_NOT_FOUND;
    return graph->Connect(out.Get(), in.Get());
}

bool CPlayerCore::CreateGraph() {
    if (m_graph)
        return true;
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  m_graph.ReleaseAndGetVoidAddress());
    if (FAILED(hr) || !m_graph) {
        OutputDebugStringA("CoCreateInstance(CLSID_FilterGraph) failed\n");
        MessageBoxA(nullptr, "Create graph failed! DirectX not installed?", "Error", MB_OK);
        m_graph.Reset();
        return false;
    }
    hr = CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER,
                          IID_ICaptureGraphBuilder2, m_builder.ReleaseAndGetVoidAddress());
    if (FAILED(hr) || !m_builder) {
        OutputDebugStringA("CoCreateInstance(CLSID_CaptureGraphBuilder2) failed\n");
        MessageBoxA(nullptr, "Create capture graph failed!", "Error", MB_OK);
        m_builder.Reset();
        m_graph.Reset();
        return false;
    }
    m_builder->SetFiltergraph(m_graph.Get());
    m_graph->QueryInterface(IID_IMediaControl, m_control.ReleaseAndGetVoidAddress());
    m_graph->QueryInterface(IID_IMediaEventEx, m_events.ReleaseAndGetVoidAddress());
    m_graph->QueryInterface(IID_IVideoFrameStep, m_frameStep.ReleaseAndGetVoidAddress());
    if (m_events) {
        OAEVENT handle = 0;
        m_events->GetEventHandle(&handle);
    }
    return true;
}

HRESULT CPlayerCore::AddFilter(REFCLSID clsid, const char* name, ComPtr<IBaseFilter>& filter) {
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  filter.ReleaseAndGetVoidAddress());
    if (FAILED(hr))
        return hr;
    if (!filter)
        return E_FAIL;
    hr = m_graph->AddFilter(filter.Get(), name);
    if (FAILED(hr))
        filter.Reset();
    return hr;
}

void CPlayerCore::RemoveFiltersExcept(IBaseFilter* keep) {
    for (int c = 0; c < kChannels; ++c) {
        m_windows[c].Reset();
        m_decoders[c].Reset();
        m_renderers[c].Reset();
    }
    m_audioRenderer.Reset();
    m_tallen.Reset();
    if (!m_graph)
        return;
    // Restart the enumeration after each removal: removing changes the graph's list.
    for (bool removed = true; removed;) {
        removed = false;
        ComPtr<IEnumFilters> filters;
        if (FAILED(m_graph->EnumFilters(&filters)) || !filters)
            return;
        ComPtr<IBaseFilter> f;
        while (filters->Next(1, &f, nullptr) == S_OK) {
            if (f.Get() != keep) {
                m_graph->RemoveFilter(f.Get());
                removed = true;
                break;
            }
            f.Reset();
        }
    }
}

void CPlayerCore::TeardownGraph() {
    m_audioStats.Stop();
    RemoveFiltersExcept(nullptr);
    m_frameStep.Reset();
    m_events.Reset();
    m_control.Reset();
    m_builder.Reset();
    m_graph.Reset();
}

void CPlayerCore::SaveGraph() {
    // A plain description of the graph as built; a folder that cannot be written is no matter.
    media::SaveGraphDescription(m_graph.Get(), platform::DocumentsDirectory() + "/BuildVideoWindow.grf");
}

HRESULT CPlayerCore::BuildOrmaChannel(int channel) {
    ComPtr<IBaseFilter> decoder;
    HRESULT hr = AddFilter(CLSID_VTMjpegDec, "VTX MJPEG Decompressor", decoder);
    if (FAILED(hr)) {
        OutputDebugStringA(kComponentsMissing);
        return hr;
    }
    m_decoders[channel] = decoder;
    ComPtr<IPin> out = FindFreePin(m_source.Get(), PINDIR_OUTPUT, &MEDIATYPE_Video);
    ComPtr<IPin> in = FindFreePin(decoder.Get(), PINDIR_INPUT, nullptr);
    hr = out && in ? m_graph->Connect(out.Get(), in.Get()) : VFW_E_NOT_FOUND;
    if (FAILED(hr)) {
        MessageBoxA(nullptr, "Could not connect MJPEG decoder to source", "Veltrix Scryde", MB_OK);
        return hr;
    }
    ComPtr<IBaseFilter> renderer;
    hr = AddFilter(CLSID_VideoRenderer, kVideoRendererName, renderer);
    if (FAILED(hr)) {
        OutputDebugStringA(kComponentsMissing);
        return hr;
    }
    m_renderers[channel] = renderer;
    renderer.As(IID_IVideoWindow, m_windows[channel]);
    ComPtr<IPin> decOut = FindFreePin(decoder.Get(), PINDIR_OUTPUT, &MEDIATYPE_Video);
    ComPtr<IPin> renIn = FindFreePin(renderer.Get(), PINDIR_INPUT, nullptr);
    if (!decOut || !renIn) {
        MessageBoxA(nullptr, "Could not get MJPEG out PIN", "Veltrix Scryde", MB_OK);
        return VFW_E_NOT_FOUND;
    }
    hr = m_graph->Connect(decOut.Get(), renIn.Get());
    if (FAILED(hr)) {
        MessageBoxA(nullptr, "Could not connect MJPEG decompressor to renderer", "Veltrix Scryde", MB_OK);
        return hr;
    }
    SaveGraph();
    return S_OK;
}

HRESULT CPlayerCore::BuildOrmaGraph() {
    if (!m_graph || !m_control)
        return E_FAIL;
    RemoveFiltersExcept(m_source.Get());
    m_audioConnected = true;
    HRESULT hr = AddFilter(CLSID_DSoundRender, kAudioRendererName, m_audioRenderer);
    if (FAILED(hr)) {
        MessageBoxA(nullptr, kNoAudioDevice, "Error", MB_OK);
        return hr;
    }
    ComPtr<IPin> out = FindFreePin(m_source.Get(), PINDIR_OUTPUT, &MEDIATYPE_Audio);
    ComPtr<IPin> in = FindFreePin(m_audioRenderer.Get(), PINDIR_INPUT, nullptr);
    if (out && in)
        m_graph->Connect(out.Get(), in.Get());
    // A chain that fails leaves its channel dark; the others still play.
    for (int c = 0; c < kChannels; ++c)
        BuildOrmaChannel(c);
    AttachWindowsToBoxes();
    return S_OK;
}

HRESULT CPlayerCore::BuildTavChannel(int channel) {
    ComPtr<IBaseFilter> decoder;
    HRESULT hr = AddFilter(CLSID_VTMp4Dec, nullptr, decoder);
    if (FAILED(hr)) {
        OutputDebugStringA(kComponentsMissing);
        return hr;
    }
    m_decoders[channel] = decoder;
    ComPtr<IPin> out = FindFreePin(m_source.Get(), PINDIR_OUTPUT, &MEDIATYPE_Stream);
    ComPtr<IPin> in = FindFreePin(decoder.Get(), PINDIR_INPUT, nullptr);
    if (!out || !in)
        return VFW_E_NOT_FOUND;
    if (FAILED(hr = m_graph->Connect(out.Get(), in.Get())))
        return hr;
    ComPtr<IPin> decOut = FindFreePin(decoder.Get(), PINDIR_OUTPUT, &MEDIATYPE_Video);
    ComPtr<IBaseFilter> renderer;
    if (FAILED(hr = AddFilter(CLSID_VideoRenderer, kVideoRendererName, renderer))) {
        OutputDebugStringA(kComponentsMissing);
        return hr;
    }
    m_renderers[channel] = renderer;
    renderer.As(IID_IVideoWindow, m_windows[channel]);
    ComPtr<IPin> renIn = FindFreePin(renderer.Get(), PINDIR_INPUT, nullptr);
    if (!decOut || !renIn)
        return VFW_E_NOT_FOUND;
    if (FAILED(hr = m_graph->Connect(decOut.Get(), renIn.Get())))
        return hr;
    SaveGraph();
    return S_OK;
}

HRESULT CPlayerCore::BuildTavGraph() {
    TeardownGraph();
    if (!CreateGraph())
        return E_FAIL;
    HRESULT hr = m_graph->AddFilter(m_source.Get(), nullptr);
    if (FAILED(hr))
        return hr;
    m_audioConnected = true;
    for (int c = 0; c < kChannels; ++c)
        if (FAILED(hr = BuildTavChannel(c)))
            return hr;
    if (m_audioPresent) {
        if (FAILED(hr = AddFilter(CLSID_DSoundRender, kAudioRendererName, m_audioRenderer))) {
            MessageBoxA(nullptr, kNoAudioDevice, "Error", MB_OK);
            return hr;
        }
        ComPtr<IPin> out = FindFreePin(m_source.Get(), PINDIR_OUTPUT, &MEDIATYPE_Audio);
        ComPtr<IPin> in = FindFreePin(m_audioRenderer.Get(), PINDIR_INPUT, nullptr);
        if (out && in)
            m_graph->Connect(out.Get(), in.Get());
        ComPtr<IAMAudioRendererStats> stats;
        if (!m_audioStats.Running() && SUCCEEDED(m_audioRenderer.As(IID_IAMAudioRendererStats, stats)))
            m_audioStats.Start(stats.Get(), platform::ScrydeHome() + "/AUDIOSTATS.TXT");
    }
    AttachWindowsToBoxes();
    return S_OK;
}

void CPlayerCore::AttachWindowsToBoxes() {
    for (VideoBox& box : m_boxes)
        box.channel = box.position;
}

void CPlayerCore::HideChannelWindows() {
    for (auto& w : m_windows) {
        if (!w)
            continue;
        w->put_Visible(OAFALSE);
        w->put_AutoShow(OAFALSE);
    }
    for (VideoBox& box : m_boxes)
        box.shown = false;
}

void CPlayerCore::ShowBox(VideoBox& box) {
    box.shown = true;
    if (box.channel < 0 || box.channel >= kChannels || !m_windows[box.channel])
        return;
    IVideoWindow* w = m_windows[box.channel].Get();
    w->put_Owner(box.window);
    w->put_MessageDrain(box.window);
    w->put_WindowStyle(WS_CHILD | WS_CLIPSIBLINGS);
    const BoxGeometry& g = box.geometry;
    const Placement p = PlacePicture(m_modelCode, g.width, g.height, g.pictureWidth, g.pictureHeight);
    w->SetWindowPosition(p.left, p.top, p.width, p.height);
    w->put_Visible(OATRUE);
    w->put_AutoShow(OATRUE);
}

void CPlayerCore::ApplyDisplayMode(int mode) {
    if (!m_graph)
        return;
    if (mode < 0 || mode >= kLayouts)
        mode = kLayouts - 1;
    HideChannelWindows();
    m_displayMode = mode;
    m_settings.displayMode = static_cast<DWORD>(mode);
    SaveSettings();
    DWORD mask = 0;
    for (int k = 0; k < BoxesInLayout(mode); ++k) {
        VideoBox& box = m_boxes[BoxIndex(mode, k)];
        ShowBox(box);
        if (box.channel >= 0 && box.channel < kChannels)
            mask |= 1u << box.channel;
    }
    if (m_vts)
        m_vts->SetChannelMask(mask);
    Tick();
}

void CPlayerCore::SetChannel(int boxIndex, int channel) {
    if (!m_graph || boxIndex < 0 || boxIndex >= kBoxCount || channel < 0 || channel >= kChannels)
        return;
    VideoBox& box = m_boxes[boxIndex];
    if (box.mode != 0) {
        for (int k = 0; k < BoxesInLayout(box.mode); ++k) {
            VideoBox& other = m_boxes[BoxIndex(box.mode, k)];
            if (&other != &box && other.channel == channel) {
                other.channel = box.channel;
                ShowBox(other);
            }
        }
    }
    box.channel = channel;
    ShowBox(box);
    ApplyDisplayMode(m_displayMode);
}

void CPlayerCore::ShowSingle(int boxIndex) {
    if (!m_graph || boxIndex < 0 || boxIndex >= kBoxCount)
        return;
    m_boxes[0].channel = m_boxes[boxIndex].channel;
    ApplyDisplayMode(0);
}

void CPlayerCore::Close() {
    if (m_worker.joinable())
        FinishOpenWorker();
    m_encoderChoice = EncoderChoiceState{}; // the choice belongs to the recording
    if (!m_graph) {
        m_orma.Reset();
        m_vts.Reset();
        m_source.Reset();
        return;
    }
    m_timerRunning = false;
    m_currentSegment = 0;
    m_gauge = 0;
    m_segmentRows.clear();
    m_alarmRows.clear();
    m_segmentRowToSelect.reset();
    m_markInText.clear();
    m_markOutText.clear();
    if (m_vts)
        TavStop();
    else if (m_control)
        m_control->Stop();
    TeardownGraph();
    m_orma.Reset();
    m_vts.Reset();
    m_source.Reset();
    m_segmentTable.clear();
    m_alarmTable.clear();
    m_playState = PlayState::Stopped;
    m_pauseBitmap = false;
    m_timeText.clear();
}

} // namespace reader
