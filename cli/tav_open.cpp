#include "cli/tav_open.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "cli/orma_open.h"
#include "cli/progress.h"
#include "platform/registry.h"
#include "tav/layout.h"
#include "tav/vt_source.h"

namespace cli {

bool OpenVtsSource(const SourceSpec& spec, ComPtr<IBaseFilter>& filter, ComPtr<IVTSourceFilter>& vts,
                   bool* audio, std::string* message) {
    HRESULT hr = CoCreateInstance(CLSID_VTSourceFilter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  filter.ReleaseAndGetVoidAddress());
    if (FAILED(hr))
        return *message = "cannot create the TAV source filter (" + HrText(hr) + ")", false;
    if (FAILED(filter.As(IID_IVTSourceFilter, vts)))
        return *message = "the TAV source filter has no IVTSourceFilter", false;

    // A file given as a whole drive is opened as a drive of the drive map, as the reader would open it.
    const int drive = !spec.asDrive ? 0 : spec.drive > 0 ? spec.drive : AttachFileAsDrive(spec.path);
    if (drive < 0)
        return *message = spec.Describe() + ": cannot be attached as a drive", false;
    const std::string path = spec.asDrive ? "\\\\.\\PHYSICALDRIVE" + std::to_string(drive) : spec.path;
    std::vector<BYTE> request(vtopen::kPath + path.size() + 1, 0);
    request[vtopen::kDrive] = static_cast<BYTE>(drive);
    request[vtopen::kKind] = static_cast<BYTE>(spec.kind == "stream" ? tav::kOpenStreamFile
                                               : spec.asDrive        ? tav::kOpenDrive
                                                                     : tav::kOpenImage);
    std::memcpy(request.data() + vtopen::kPath, path.c_str(), path.size());
    hr = vts->Open(request.data());
    if (hr != 0 && hr != 1)
        return *message = spec.Describe() + ": not a TAV recording the source can open (result " +
                          std::to_string(static_cast<int>(request[vtopen::kResult])) + ")",
               false;
    *audio = hr == 1;

    CProgressLine line("Opening " + spec.Describe() + ": ");
    hr = RunShowingProgress([&] { return vts->LoadIndex(request[vtopen::kDrive], path.c_str()); },
                            [&] {
                                LONG permille = 0;
                                return SUCCEEDED(vts->GetProgress(&permille, 0)) && permille > 0
                                           ? static_cast<int>(permille / 10)
                                           : -1;
                            },
                            line, std::chrono::milliseconds(100));
    line.Finish();
    if (FAILED(hr))
        return *message = spec.Describe() + ": no recording found on it (" + HrText(hr) + ")", false;
    DWORD sections = 0;
    if (FAILED(vts->GetSectionCount(&sections)) || sections == 0)
        return *message = spec.Describe() + ": no recording found on it", false;
    return true;
}

DWORD VtsPositionSeconds(IVTSourceFilter* vts) {
    DWORD time = 0;
    // Right after a section change the position reports the section number once in place of a time.
    if (FAILED(vts->GetInfo(vtinfo::kCurrentTime, &time)) || time < 100000)
        return 0;
    return time;
}

std::string VtsPositionTime(IVTSourceFilter* vts) {
    DWORD time = VtsPositionSeconds(vts);
    return time ? tav::FormatTime(time) : "";
}

} // namespace cli
