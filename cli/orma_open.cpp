#include "cli/orma_open.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "cli/progress.h"
#include "orma/layout.h"
#include "platform/registry.h"

namespace cli {

std::string OrmaPositionTime(IOrmaSrc* src) {
    int permille = 0;
    BYTE year = 0;
    DWORD time = 0;
    if (FAILED(src->GetPointerPosition(&permille, &year, &time)) || time == 0)
        return "";
    return orma::FormatTime(year, time);
}

bool OpenOrmaSource(const SourceSpec& spec, int model, int standard, ComPtr<IBaseFilter>& filter,
                    ComPtr<IOrmaSrc>& orma, std::string* message) {
    HRESULT hr = CoCreateInstance(CLSID_OrmaSrc, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  filter.ReleaseAndGetVoidAddress());
    if (FAILED(hr))
        return *message = "cannot create the ORMA source filter (" + HrText(hr) + ")", false;
    if (FAILED(filter.As(IID_IOrmaSrc, orma)))
        return *message = "the ORMA source filter has no IOrmaSrc", false;
    if (model >= 0 && FAILED(orma->SetDvrModel(static_cast<UINT>(model))))
        return *message = "recorder model " + std::to_string(model) + " is not one the source knows", false;
    if (standard >= 0)
        orma->SetVideo(standard);

    // A file given as a whole drive is opened as a drive of the drive map, as the reader would open it.
    const int drive = !spec.asDrive ? 0 : spec.drive > 0 ? spec.drive : AttachFileAsDrive(spec.path);
    if (drive < 0)
        return *message = spec.Describe() + ": cannot be attached as a drive", false;
    std::string path = spec.asDrive ? "\\\\.\\PHYSICALDRIVE" + std::to_string(drive) : spec.path;
    CProgressLine line("Opening " + spec.Describe() + ": ");
    hr = RunShowingProgress([&] { return orma->OpenDisk(drive, path.c_str()); },
                            [&] {
                                UINT permille = 0;
                                return SUCCEEDED(orma->GetScanProgress(&permille, 0)) && permille
                                           ? static_cast<int>(permille / 10)
                                           : -1;
                            },
                            line, std::chrono::milliseconds(300));
    line.Finish();
    if (FAILED(hr))
        return *message =
                   spec.Describe() + ": not an ORMA recording the source can open (" + HrText(hr) + ")",
               false;
    return true;
}

} // namespace cli
