// Archiving the marked range of one channel: through an archive graph into an AVI file (decoder,
// double-height and text filter when asked, a compressor, the AVI multiplexer), the TAV family's
// frames copied into an AVI file without decoding, a drive image through the source's own export, or
// the side data as a text or binary file. The playback graph is rebuilt when a run ends.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "media/clsids.h"
#include "media/pin_names.h"
#include "mjpeg/filter/vtmjpegdec.h"
#include "mpeg4/filter/ivtmp4dec.h"
#include "platform/bytes.h"
#include "platform/fileio.h"
#include "platform/optical.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "reader/direct_avi.h"
#include "reader/graph_pins.h"
#include "reader/player.h"
#include "recovery/lossless_export.h"

namespace reader {

namespace {

constexpr ULONGLONG kVolumeReserve = 0x3C00000; // 60 MiB kept free on the target
constexpr const char* kMissing = "Some component(s) are missing!";

void Wait(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The free bytes of the volume that holds `path`, less the reserve; nullopt when they cannot be found.
std::optional<ULONGLONG> VolumeLimit(const std::string& path, ULONGLONG fixedLimit) {
    if (fixedLimit)
        return fixedLimit;
    const std::optional<ULONGLONG> free = platform::TargetFreeBytes(path);
    if (!free)
        return std::nullopt;
    return *free > kVolumeReserve ? *free - kVolumeReserve : 0;
}

// The volume limit, asking the user to retry while the target's size cannot be found; nullopt when
// the user gives up.
std::optional<ULONGLONG> AskVolumeLimit(const std::string& path, ULONGLONG fixedLimit) {
    std::optional<ULONGLONG> limit = VolumeLimit(path, fixedLimit);
    while (!limit &&
           MessageBoxA(nullptr,
                       "Cannot detect the size of the inserted disk! \nPress OK to retry. Press Cancel "
                       "to abort.",
                       "Error", MB_OKCANCEL) == IDOK)
        limit = VolumeLimit(path, fixedLimit);
    return limit;
}

// How far `now` is into a range of `span` from `start`, out of `range`.
int Progress(long long now, long long start, long long span, int range) {
    return static_cast<int>(
        std::clamp<long long>((now - start) * range / std::max<long long>(1, span), 0, range));
}

ULONGLONG FileSize(const std::string& path) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(path, ec);
    return ec ? 0 : n;
}

// Linear seconds of an ORMA time for progress: 365-day years and 30-day months.
long long LinearSeconds(BYTE year, DWORD t) {
    const SearchFields f = SplitOrma(year, t);
    return static_cast<long long>(year) * 31536000 + f.month * 2592000LL + f.day * 86400LL + f.hour * 3600LL +
           f.minute * 60LL + f.second;
}

ComPtr<IPin> PinNamed(IBaseFilter* filter, const char* name) {
    ComPtr<IPin> pin;
    if (filter)
        filter->FindPin(name, &pin);
    return pin;
}

// The source reads ahead of the file being written: when its position reaches the end mark, the
// pictures still on their way through decoder, filters and multiplexer are written only if the graph
// is given the time to finish. It reports that by EC_COMPLETE; a graph that never does is stopped
// after a bound.
void WaitForCompletion(IMediaEventEx* events, IArchiveUi& ui, int boundMs) {
    if (!events)
        return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (std::chrono::steady_clock::now() < until && !ui.Cancelled()) {
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        while (events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
            events->FreeEventParams(code, p1, p2);
            if (code == EC_COMPLETE || code == EC_ERRORABORT || code == EC_USERABORT)
                return;
        }
        ui.Pump();
        Wait(50);
    }
}

// The file of disc `n` (from 0 for the second disc): the chosen path with its extension replaced by
// "-n.ext".
std::string ContinuationName(const std::string& chosen, int n) {
    const std::filesystem::path p(chosen);
    std::string ext = p.extension().string();
    if (!ext.empty())
        ext.erase(0, 1);
    char tail[32];
    std::snprintf(tail, sizeof tail, "-%d.", n);
    return (p.parent_path() / p.stem()).string() + tail + ext;
}

} // namespace

bool CPlayerCore::ChangeVolume(const std::string& chosen, int& next, std::string& file, ULONGLONG fixedLimit,
                               ULONGLONG& limit) {
    // The graph goes on running while the multiplexer holds every picture after the last one
    // written: the next disc's file starts with it, so nothing is lost at the cut.
    // A hard-disk target has no next disc: the run ends here.
    ComPtr<IAviMuxCut> cut;
    if (!platform::IsOpticalMediaType(platform::TargetMediaType(chosen)) || !m_archiveMux ||
        FAILED(m_archiveMux->QueryInterface(IID_IAviMuxCut, cut.ReleaseAndGetVoidAddress())) ||
        FAILED(cut->HoldAndFinish())) {
        MessageBoxA(nullptr, "Disk full! Archiving aborted. \nPress OK to continue.", "WARNING", MB_OK);
        return false;
    }
    if (m_archiveFileDone)
        m_archiveFileDone(file);
    // The tray may be held while the burning software finishes: the request is repeated, for a minute.
    bool ejected = platform::EjectTarget(chosen);
    for (int i = 0; !ejected && i < 60; ++i) {
        Wait(1000);
        ejected = platform::EjectTarget(chosen);
    }
    if (!ejected) {
        MessageBoxA(nullptr, "Disk full! Archiving aborted. \nPress OK to continue.", "WARNING", MB_OK);
        return false;
    }
    if (MessageBoxA(
            nullptr,
            " Disk has reached its capacity! Please wait CD/DVD burning software to eject the disk. \n "
            "IMPORTANT:\n Do NOT press OK before CD/DVD tray has opened. Make sure you dismiss all pop-up    "
            "\n messages from your CD/DVD burning software. Insert a new blank disk and close the  \n CD/DVD "
            "tray. Press OK to continue. Press Cancel to abort.",
            "WARNING", MB_OKCANCEL) != IDOK)
        return false;
    // Asked again for as long as no disc is there; an answer that never changes (a session without a
    // person) gives up after a hundred rounds.
    for (int round = 0; !platform::TargetHasDisc(chosen); ++round) {
        if (round == 100 ||
            MessageBoxA(
                nullptr,
                "No disk found! Please make sure you have correctly inserted a blank disk of the right type "
                "(CD or DVD) \nand closed the CD/DVD tray. \nPress OK to continue. Press Cancel to abort.",
                "WARNING", MB_OKCANCEL) != IDOK)
            return false;
        Wait(1000);
    }
    const std::optional<ULONGLONG> newLimit = AskVolumeLimit(chosen, fixedLimit);
    if (!newLimit)
        return false;
    file = ContinuationName(chosen, next++);
    if (FAILED(cut->ContinueInto(file.c_str()))) {
        MessageBoxA(nullptr, "Archive failed!", "Error", MB_OK);
        return false;
    }
    limit = *newLimit;
    m_lastArchiveFile = file;
    return true;
}

bool CPlayerCore::ArchiveMarksValid() {
    if (m_markStart.time == 0 || m_markEnd.time == 0 || !(m_markStart.time < m_markEnd.time) ||
        (m_orma && m_markStart.year > m_markEnd.year)) {
        MessageBoxA(nullptr,
                    "Archive end time earlier than start time! \nPlease correct it before start archiving.",
                    "ERROR", MB_OK);
        return false;
    }
    return true;
}

bool CPlayerCore::Archive(int channel, const std::string& path, const ArchiveOptions& o, IArchiveUi& ui) {
    if (!m_graph || channel < 0 || channel >= kChannels || path.empty() || !ArchiveMarksValid())
        return false;
    m_lastArchiveFile = path;
    if (o.fileType == 4 || o.fileType == 5)
        return ArchiveLossless(channel, path, o.fileType, ui);
    return m_vts ? ArchiveTav(channel, path, o, ui) : ArchiveOrma(channel, path, o, ui);
}

bool CPlayerCore::ArchiveLossless(int channel, const std::string& path, int fileType, IArchiveUi& ui) {
    const recovery::Container container =
        fileType == 4 ? recovery::Container::Matroska : recovery::Container::Mp4;
    char text[32];
    std::snprintf(text, sizeof text, "Archiving CH%02d...", channel + 1);
    ui.Begin(text, 100, true);
    auto progress = [&, last = std::chrono::steady_clock::time_point{}](BYTE year, DWORD time) mutable {
        // The frames come much faster than a window repaints: the dialog is kept alive ten times a second.
        const auto now = std::chrono::steady_clock::now();
        if (now - last >= std::chrono::milliseconds(100)) {
            last = now;
            if (m_vts)
                ui.SetPosition(Progress(time, m_markStart.time,
                                        static_cast<long long>(m_markEnd.time) - m_markStart.time, 100));
            else
                ui.SetPosition(Progress(LinearSeconds(year, time),
                                        LinearSeconds(m_markStart.year, m_markStart.time),
                                        LinearSeconds(m_markEnd.year, m_markEnd.time) -
                                            LinearSeconds(m_markStart.year, m_markStart.time),
                                        100));
            ui.Pump();
        }
        return !ui.Cancelled();
    };
    recovery::LosslessResult result;
    if (m_vts) {
        TavStop();
        result = recovery::ExportTavLossless(m_vts.Get(), channel, path, container, progress);
    } else {
        // A reader of its own over the same drive or image, so the playback graph stays as it is.
        orma::COrmaSlotBank bank(true);
        orma::COrmaDisk disk(&bank);
        if (SUCCEEDED(disk.OpenDisk(m_target.drive, m_target.path.c_str())))
            result =
                recovery::ExportOrmaLossless(disk, bank, m_markStart.year, m_markStart.time, m_markEnd.year,
                                             m_markEnd.time, channel, path, container, progress);
        else
            result.error = "cannot read the recording";
    }
    const bool cancelled = ui.Cancelled();
    ui.End();
    if (m_vts)
        PlayPause();
    if (!result.ok && !cancelled)
        MessageBoxA(nullptr, ("Archive failed!\n" + result.error).c_str(), "Error", MB_OK);
    return result.ok;
}

HRESULT CPlayerCore::RebuildPlaybackGraph() {
    if (m_vts)
        return BuildTavGraph();
    if (m_control)
        m_control->Stop();
    return BuildOrmaGraph();
}

HRESULT CPlayerCore::AddEncoder(const std::string& name, const char* filterName,
                                ComPtr<IBaseFilter>& encoder) {
    const std::string want = name.empty() ? "MJPEG Compressor" : name;
    HRESULT hr = VFW_E_NOT_FOUND;
    if (ForEachCompressor([&](IMoniker* moniker, IPropertyBag*, const std::string& friendly) {
            if (friendly != want)
                return true;
            hr = moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, encoder.ReleaseAndGetVoidAddress());
            return false;
        }) != CompressorListing::Listed)
        return E_FAIL;
    return FAILED(hr) ? hr : m_graph->AddFilter(encoder.Get(), filterName);
}

DWORD CPlayerCore::TavNow() {
    LONG perMille = 0;
    DWORD value = 0;
    if (SUCCEEDED(m_vts->GetPosition(&perMille, &m_zone, &value)) && value > 3072)
        m_currentTime = value;
    return m_currentTime;
}

// ---- TAV family ---------------------------------------------------------------------------------

bool CPlayerCore::ArchiveTav(int channel, const std::string& path, const ArchiveOptions& o, IArchiveUi& ui) {
    TavStop();
    if (o.fileType == 2)
        return ArchiveTavImage(path, ui);
    if (o.fileType == 3)
        return ArchiveTavData(channel, path, o, ui);
    int width = 0, height = 0;
    ComPtr<IVTMP4Dec> decoder;
    if (m_decoders[channel] &&
        SUCCEEDED(m_decoders[channel]->QueryInterface(IID_IVTMP4Dec, decoder.ReleaseAndGetVoidAddress())))
        decoder->GetPictureInfo(&width, &height, nullptr);
    if (width == 0 || height == 0) {
        DWORD w = 0, h = 0;
        m_vts->GetFrameSize(&w, &h);
        width = static_cast<int>(w), height = static_cast<int>(h);
    }
    const bool doubleHeight = o.fullSize && width == 720 && (height == 240 || height == 288);
    const bool overlay = o.drawTime || o.drawChannel || o.addText;
    if (o.chooseEncoder || doubleHeight || overlay)
        return ArchiveTavGraph(channel, path, o, doubleHeight, ui);
    return ArchiveTavDirect(channel, path, ui);
}

bool CPlayerCore::ArchiveTavImage(const std::string& path, IArchiveUi& ui) {
    std::atomic<bool> done{false};
    HRESULT hr = E_FAIL;
    IVTSourceFilter* vts = m_vts.Get();
    std::thread worker([&] {
        hr = vts->ExportImage(path.c_str());
        done = true;
    });
    ui.Begin("Archiving TAV disk image. Please wait ...", 1000, false);
    const long long span = static_cast<long long>(m_markEnd.time) - m_markStart.time;
    while (!done) {
        const long long now = static_cast<long long>(TavNow()) - m_markStart.time;
        ui.SetPosition(Progress(now, 0, span, 1000));
        ui.Pump();
        Wait(300);
    }
    worker.join();
    ui.End();
    m_vts->SetTimestamps(1);
    PlayPause();
    return SUCCEEDED(hr);
}

bool CPlayerCore::ArchiveTavData(int channel, const std::string& path, const ArchiveOptions& o,
                                 IArchiveUi& ui) {
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE || !file) {
        MessageBoxA(nullptr, "Cannot open output file!\nIf file exists, delete it first.", "Error", MB_OK);
        return false;
    }
    // The filter owns the handle from here on and closes it at EndExport.
    m_vts->SetTextExport(file, o.capture == 2 ? 2 : 1);
    BYTE audioFormat = 0;
    m_vts->PrepareExport(&audioFormat, static_cast<BYTE>(channel));
    // A data-only graph: the channel's pin into a null renderer.
    TeardownGraph();
    bool built = CreateGraph() && SUCCEEDED(m_graph->AddFilter(m_source.Get(), nullptr));
    ComPtr<IBaseFilter> sink;
    if (built) {
        ComPtr<IPin> pin = PinNamed(m_source.Get(), media::VideoPinName(channel).c_str());
        built = pin && SUCCEEDED(AddFilter(CLSID_NullRenderer, "Null Renderer Filter", sink)) &&
                SUCCEEDED(m_graph->Connect(pin.Get(), FindFreePin(sink.Get(), PINDIR_INPUT).Get()));
    }
    bool ok = built;
    if (!built) {
        MessageBoxA(nullptr, kMissing, "Error", MB_OK);
    } else {
        m_vts->SetTimestamps(0);
        m_playState = PlayState::Stopped;
        PlayPause();
        char text[32];
        std::snprintf(text, sizeof text, "Archiving CH%2d ...", channel + 1);
        ui.Begin(text, 100, true);
        const long long span = static_cast<long long>(m_markEnd.time) - m_markStart.time;
        m_currentTime = m_markStart.time;
        OAFilterState state = State_Running;
        while (!ui.Cancelled()) {
            const DWORD now = TavNow();
            if (now >= m_markEnd.time) {
                WaitForCompletion(m_events.Get(), ui, 10000);
                break;
            }
            // The source stops delivering at the end of the marked range.
            if (m_control->GetState(0, &state) == S_OK && state != State_Running)
                break;
            ui.SetPosition(Progress(now, m_markStart.time, span, 100));
            ui.Pump();
            Wait(60);
            if (DrainEvents())
                break;
        }
        ok = !ui.Cancelled();
        ui.End();
    }
    m_vts->EndExport();
    m_vts->SetTimestamps(1);
    return EndTavGraphRun(ok);
}

bool CPlayerCore::EndTavGraphRun(bool ok) {
    // The playback graph comes back after every run through an archive graph; without it the
    // recording cannot go on and is closed.
    TavStop();
    m_archiveMux.Reset();
    if (FAILED(RebuildPlaybackGraph())) {
        MessageBoxA(nullptr, "PlayerDlg build playback graph after archiving Error\n", "Error", MB_OK);
        Close();
        return false;
    }
    ApplyDisplayMode(m_displayMode);
    return ok;
}

bool CPlayerCore::ArchiveTavDirect(int channel, const std::string& path, IArchiveUi& ui) {
    BYTE audioType = 0;
    if (FAILED(m_vts->PrepareExport(&audioType, static_cast<BYTE>(channel))))
        return false;
    DWORD fps = 0, width = 0, height = 0;
    m_vts->GetFrameRate(&fps);
    m_vts->GetFrameSize(&width, &height);
    const DirectAviFormat format =
        DirectAviFormatFor(m_kind, audioType, static_cast<WORD>(width), static_cast<WORD>(height), fps);
    char text[32];
    std::snprintf(text, sizeof text, "Archiving CH%02d...", channel + 1);
    ui.Begin(text, 100, true);
    const long long span = static_cast<long long>(m_markEnd.time) - m_markStart.time;
    bool cancelled = false;
    const std::string error = WriteDirectAvi(
        path, format,
        [&](BYTE* buffer, DWORD) {
            if (ui.Cancelled()) {
                cancelled = true;
                return false;
            }
            return m_vts->ExportNextPacket(buffer) == S_FALSE;
        },
        [&](DWORD time) {
            ui.SetPosition(Progress(time, m_markStart.time, span, 100));
            ui.Pump();
        });
    ui.End();
    m_vts->EndExport();
    PlayPause();
    if (!error.empty())
        MessageBoxA(nullptr, "Archive failed!", "Error", MB_OK);
    return error.empty() && !cancelled;
}

HRESULT CPlayerCore::BuildTavArchiveGraph(int channel, const std::string& path, const ArchiveOptions& o,
                                          bool doubleHeight) {
    TeardownGraph();
    if (!CreateGraph())
        return E_FAIL;
    HRESULT hr = m_graph->AddFilter(m_source.Get(), nullptr);
    if (FAILED(hr))
        return hr;
    m_audioConnected = false;
    ComPtr<IBaseFilter> mux;
    ComPtr<IFileSinkFilter> sink;
    if (FAILED(hr = m_builder->SetOutputFileName(&MEDIASUBTYPE_Avi, path.c_str(), &mux, &sink))) {
        MessageBoxA(nullptr, "Set output file failed!", "Error", MB_OK);
        return hr;
    }
    m_archiveMux = mux;
    ComPtr<IPin> pin = PinNamed(m_source.Get(), media::VideoPinName(channel).c_str());
    ComPtr<IBaseFilter> decoder;
    if (!pin || FAILED(hr = AddFilter(CLSID_VTMp4Dec, "VT MPEG4 Decoder", decoder)) ||
        FAILED(hr = m_graph->Connect(pin.Get(), FindFreePin(decoder.Get(), PINDIR_INPUT).Get())))
        return FAILED(hr) ? hr : VFW_E_NOT_FOUND;
    m_decoders[channel] = decoder;
    ComPtr<IBaseFilter> last = decoder;
    const bool overlay = o.drawTime || o.drawChannel || o.addText;
    if (doubleHeight || overlay) {
        ComPtr<IBaseFilter> tallen;
        if (FAILED(hr = AddFilter(CLSID_Tallen, "Double Height Filter", tallen)) ||
            FAILED(hr = ConnectFilters(m_graph.Get(), last.Get(), tallen.Get())))
            return hr;
        tallen.As(IID_ITallen, m_tallen);
        // Configured before its output is connected: the record mode decides whether the picture is
        // doubled, and so the size the compressor and the file are set up for.
        ConfigureTavText(o, doubleHeight);
        last = tallen;
    }
    ComPtr<IBaseFilter> encoder;
    if (FAILED(hr = AddEncoder(o.encoder, "MPEG4 Encoder", encoder)) ||
        FAILED(hr = ConnectFilters(m_graph.Get(), last.Get(), encoder.Get())) ||
        FAILED(hr = ConnectFilters(m_graph.Get(), encoder.Get(), mux.Get())))
        return FAILED(hr) ? hr : E_FAIL;
    if (m_audioPresent) {
        ComPtr<IPin> audio = FindFreePin(m_source.Get(), PINDIR_OUTPUT, &MEDIATYPE_Audio);
        if (audio)
            m_graph->Connect(audio.Get(), FindFreePin(mux.Get(), PINDIR_INPUT).Get());
    }
    return S_OK;
}

void CPlayerCore::ConfigureTavText(const ArchiveOptions& o, bool doubleHeight) {
    // The recorder's own record lines for the mobile recorders, else the panel's options.
    BYTE recorder = 0;
    m_vts->GetRecorderKind(&recorder);
    const bool overlay = o.drawTime || o.drawChannel || o.addText;
    if (recorder >= 2 && recorder <= 7) {
        const DWORD swapped =
            ((o.timeColour & 0xFF) << 16) | (o.timeColour & 0xFF00) | ((o.timeColour >> 16) & 0xFF);
        m_tallen->SetRecordDefaults(o.fullSize, swapped, o.interlaced);
    } else if (doubleHeight || overlay) {
        std::string text = o.text.substr(0, 256);
        m_tallen->SetRecordText(doubleHeight, o.drawTime, o.drawChannel, o.addText, text.data(), o.timeColour,
                                o.channelColour, o.textColour, o.interlaced);
    }
}

bool CPlayerCore::ArchiveTavGraph(int channel, const std::string& path, const ArchiveOptions& o,
                                  bool doubleHeight, IArchiveUi& ui) {
    BYTE audioFormat = 0;
    m_vts->PrepareExport(&audioFormat, static_cast<BYTE>(channel));
    bool ok = false;
    if (FAILED(BuildTavArchiveGraph(channel, path, o, doubleHeight))) {
        MessageBoxA(nullptr, kMissing, "Error", MB_OK);
    } else {
        std::optional<ULONGLONG> limit = AskVolumeLimit(path, o.volumeLimit);
        std::string file = path;
        int next = 0;
        if (limit) {
            ApplySpeed(kNormalSpeed, 1);
            m_playState = PlayState::Stopped;
            PlayPause();
            char text[32];
            std::snprintf(text, sizeof text, "Archiving CH%02d...", channel + 1);
            ui.Begin(text, 100, true);
            const long long span = static_cast<long long>(m_markEnd.time) - m_markStart.time;
            m_currentTime = m_markStart.time; // the time shown last may lie past the range
            ok = true;
            while (!ui.Cancelled()) {
                ui.Pump();
                const DWORD now = TavNow();
                if (now >= m_markEnd.time) {
                    WaitForCompletion(m_events.Get(), ui, 10000);
                    break;
                }
                ui.SetPosition(Progress(now, m_markStart.time, span, 100));
                if (DrainEvents())
                    break;
                Wait(200);
                if (FileSize(file) >= *limit && !ChangeVolume(path, next, file, o.volumeLimit, *limit)) {
                    TavStop();
                    ok = false;
                    break;
                }
            }
            ok = ok && !ui.Cancelled();
            ui.End();
        }
    }
    m_vts->EndExport();
    return EndTavGraphRun(ok);
}

// ---- ORMA ---------------------------------------------------------------------------------------

HRESULT CPlayerCore::BuildOrmaArchiveGraph(int channel, const std::string& path, const ArchiveOptions& o) {
    m_control->Stop();
    HANDLE h =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE || !h) {
        MessageBoxA(nullptr, "Cannot open output file!\nIf file exists, delete it first.", "Error", MB_OK);
        return E_FAIL;
    }
    CloseHandle(h);
    RemoveFiltersExcept(m_source.Get());
    ComPtr<IBaseFilter> mux;
    ComPtr<IFileSinkFilter> sink;
    HRESULT hr = m_builder->SetOutputFileName(&MEDIASUBTYPE_Avi, path.c_str(), &mux, &sink);
    if (FAILED(hr)) {
        MessageBoxA(nullptr, "Set output file failed!", "Error", MB_OK);
        return hr;
    }
    m_archiveMux = mux;
    ComPtr<IPin> pin = PinNamed(m_source.Get(), media::VideoPinName(channel).c_str());
    if (!pin)
        hr = VFW_E_NOT_FOUND;
    else if (o.fullSize) {
        ComPtr<IBaseFilter> decoder, tallen, encoder;
        if (SUCCEEDED(hr = AddFilter(CLSID_VTMjpegDec, "MJPEG Decompressor Filter", decoder)) &&
            SUCCEEDED(hr = m_graph->Connect(pin.Get(), FindFreePin(decoder.Get(), PINDIR_INPUT).Get())) &&
            SUCCEEDED(hr = AddFilter(CLSID_Tallen, "Double Height Filter", tallen)) &&
            SUCCEEDED(hr = ConnectFilters(m_graph.Get(), decoder.Get(), tallen.Get())) &&
            SUCCEEDED(hr = AddEncoder(o.encoder, "Compressor", encoder)) &&
            SUCCEEDED(hr = ConnectFilters(m_graph.Get(), tallen.Get(), encoder.Get())))
            hr = ConnectFilters(m_graph.Get(), encoder.Get(), mux.Get());
        tallen.As(IID_ITallen, m_tallen);
        m_decoders[channel] = decoder;
    } else {
        // The recorded Motion-JPEG pictures go into the file as they are.
        hr = m_graph->Connect(pin.Get(), FindFreePin(mux.Get(), PINDIR_INPUT).Get());
    }
    if (SUCCEEDED(hr)) {
        ComPtr<IPin> audio = FindFreePin(m_source.Get(), PINDIR_OUTPUT, &MEDIATYPE_Audio);
        if (audio)
            hr = m_graph->Connect(audio.Get(), FindFreePin(mux.Get(), PINDIR_INPUT).Get());
    }
    if (FAILED(hr))
        MessageBoxA(nullptr, kMissing, "Error", MB_OK);
    return hr;
}

void CPlayerCore::SetOrmaTextLines(const ArchiveOptions& o, int channel, BYTE year, DWORD time, int timeX) {
    if (!m_tallen)
        return;
    if (o.addText && !o.text.empty()) {
        std::string text = o.text.substr(0, 256);
        m_tallen->SetTextLine(2, text.data(), 30, 15, o.textColour, o.interlaced);
    }
    if (o.drawChannel) {
        char text[16];
        std::snprintf(text, sizeof text, "CH%02d", channel + 1);
        m_tallen->SetTextLine(1, text, 30, 440, o.channelColour, o.interlaced);
    }
    if (o.drawTime) {
        std::string text = FormatOrmaTime(year, time);
        m_tallen->SetTextLine(0, text.data(), timeX, 40, o.timeColour, o.interlaced);
    }
}

bool CPlayerCore::ArchiveOrma(int channel, const std::string& path, const ArchiveOptions& o, IArchiveUi& ui) {
    m_control->Stop();
    // Side data into a file named after the chosen one.
    HANDLE data = INVALID_HANDLE_VALUE;
    if (o.capture && o.fileType != 2) {
        const std::string dataPath = path + (o.capture == 1 ? ".txt" : ".bin");
        data = CreateFileA(dataPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
        if (data != INVALID_HANDLE_VALUE && data)
            m_orma->ArchiveDataFile(data, o.capture);
    }
    if (o.fileType == 2) {
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE || !file) {
            MessageBoxA(nullptr, "Cannot open output file!\nIf file exists, delete it first.", "Error",
                        MB_OK);
            return false;
        }
        // The export owns the handle and closes it when it ends.
        m_orma->ArchiveOrmaFile(file, m_markStart.year, m_markStart.time, m_markEnd.year, m_markEnd.time,
                                nullptr);
        ui.Begin("Archiving disk image...", 100, true);
        bool cancelled = false;
        for (;;) {
            Wait(static_cast<int>(std::clamp<DWORD>(m_settings.delay, 10, 5000)));
            int progress = 0;
            m_orma->ArchiveOrmaFile(nullptr, 0, 0, 0, 0, &progress);
            if (progress < 0)
                break;
            ui.SetPosition(progress);
            ui.Pump();
            if (ui.Cancelled()) {
                m_orma->ArchiveOrmaFile(reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)), 0, 0, 0, 0,
                                        nullptr);
                cancelled = true;
                break;
            }
        }
        ui.End();
        return !cancelled;
    }

    bool built = true;
    if (o.fileType == 3) {
        RemoveFiltersExcept(m_source.Get());
        ComPtr<IBaseFilter> sink;
        ComPtr<IPin> audio = FindFreePin(m_source.Get(), PINDIR_OUTPUT, &MEDIATYPE_Audio);
        built = audio && SUCCEEDED(AddFilter(CLSID_NullRenderer, "Null Renderer Filter", sink)) &&
                SUCCEEDED(m_graph->Connect(audio.Get(), FindFreePin(sink.Get(), PINDIR_INPUT).Get()));
    } else if (FAILED(BuildOrmaArchiveGraph(channel, path, o))) {
        MessageBoxA(nullptr, "Archive failed!", "Error", MB_OK);
        built = false;
    }
    bool ok = false;
    if (built) {
        m_orma->SetVideoTimestamp(1);
        char text[32];
        std::snprintf(text, sizeof text, "Archiving CH%02d...", channel + 1);
        ui.Begin(text, 100, true);
        ApplySpeed(kNormalSpeed, 1);
        const long long start = LinearSeconds(m_markStart.year, m_markStart.time);
        const long long span = LinearSeconds(m_markEnd.year, m_markEnd.time) - start;
        // The start: the segment's own start when the mark is there, else the marked time.
        const std::size_t at = std::size_t(m_currentSegment) * kOrmaSegmentRecordBytes;
        if (at + kOrmaSegmentRecordBytes <= m_segmentTable.size() &&
            m_segmentTable[at + 26] == m_markStart.year &&
            platform::ReadLE32(m_segmentTable.data() + at) == m_markStart.time)
            m_orma->SetPointerSegment(static_cast<UINT>(m_currentSegment), 0);
        else
            m_orma->SetPointerTime(m_markStart.year, m_markStart.time);
        SetOrmaTextLines(o, channel, m_markStart.year, m_markStart.time, 30);
        // The graph reads as fast as the file takes the pictures, far faster than this loop looks at
        // the position: the source itself ends the streams at the end mark.
        ComPtr<IOrmaSrcRange> range;
        if (SUCCEEDED(m_orma->QueryInterface(IID_IOrmaSrcRange, range.ReleaseAndGetVoidAddress())))
            range->SetPlayRange(m_markStart.year, m_markStart.time, m_markEnd.year, m_markEnd.time);
        std::optional<ULONGLONG> limit = AskVolumeLimit(path, o.volumeLimit);
        std::string file = path;
        int next = 0;
        if (limit) {
            m_control->Run();
            ok = true;
            for (;;) {
                Wait(static_cast<int>(std::clamp<DWORD>(m_settings.delay, 10, 5000)));
                ui.Pump();
                int perMille = 0;
                BYTE year = 0;
                DWORD time = 0;
                m_orma->GetPointerPosition(&perMille, &year, &time);
                if (o.drawTime && m_tallen) {
                    std::string t = FormatOrmaTime(year, time);
                    m_tallen->SetTextLine(0, t.data(), 40, 40, o.timeColour, o.interlaced);
                }
                if (ui.Cancelled()) {
                    ok = false;
                    break;
                }
                if (year > m_markEnd.year || (year == m_markEnd.year && time >= m_markEnd.time)) {
                    // The pictures in flight reach the file before the streams end.
                    WaitForCompletion(m_events.Get(), ui, 1000);
                    break;
                }
                if (DrainEvents())
                    break; // every stream ended: the range played round into an older segment
                ui.SetPosition(Progress(LinearSeconds(year, time), start, span, 100));
                if (o.fileType == 1 && FileSize(file) >= *limit &&
                    !ChangeVolume(path, next, file, o.volumeLimit, *limit)) {
                    m_control->Stop();
                    ok = false;
                    break;
                }
            }
        }
        ui.End();
        if (range)
            range->SetPlayRange(0, 0, 0, 0);
    }
    m_control->Stop();
    if (data != INVALID_HANDLE_VALUE && data) {
        m_orma->ArchiveDataFile(nullptr, 0);
        CloseHandle(data);
    }
    m_archiveMux.Reset();
    BuildOrmaGraph();
    m_orma->SetVideoTimestamp(0);
    ApplyDisplayMode(m_displayMode);
    m_control->Run();
    m_pauseBitmap = true;
    return ok;
}

} // namespace reader
