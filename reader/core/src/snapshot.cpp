#include "reader/snapshot.h"

#include <cstdio>

#include "mpeg4/filter/ivtmp4dec.h"

namespace reader {

namespace {

// The largest picture file accepted from a provider: a 720 x 576 bitmap of 32 bits with its headers,
// or a JPEG frame, is far below it.
constexpr int kMaxPictureBytes = 8 << 20;

} // namespace

bool FetchCurrentPicture(CPlayerCore& core, int channel, std::vector<BYTE>* picture) {
    picture->clear();
    if (!core.IsOpen() || channel < 0 || channel >= kChannels)
        return false;
    core.Pause();
    if (IOrmaSrc* orma = core.Orma()) {
        // Asked with no buffer, the source answers with the length it needs (and "out of memory").
        UINT length = 0;
        orma->GetCurrentFrame(channel, nullptr, &length);
        if (length == 0 || length > kMaxPictureBytes)
            return false;
        picture->resize(length);
        if (FAILED(orma->GetCurrentFrame(channel, picture->data(), &length)) || length == 0) {
            picture->clear();
            return false;
        }
        picture->resize(std::min<std::size_t>(picture->size(), length));
        return true;
    }
    ComPtr<IVTMP4Dec> decoder;
    IBaseFilter* filter = core.Decoder(channel);
    if (!filter || FAILED(filter->QueryInterface(IID_IVTMP4Dec, decoder.ReleaseAndGetVoidAddress())) ||
        !decoder)
        return false;
    int bytes = 0;
    if (FAILED(decoder->GetPictureInfo(nullptr, nullptr, &bytes)) || bytes <= 0 || bytes > kMaxPictureBytes)
        return false;
    picture->resize(static_cast<std::size_t>(bytes));
    if (FAILED(decoder->GetPictureBitmap(picture->data()))) {
        picture->clear();
        return false;
    }
    return true;
}

std::string SnapshotCaption(const CPlayerCore& core, int channel) {
    const SearchFields f = core.TimeFields();
    char text[64];
    if (core.IsTav())
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d-%02d-%02d CH%2d", f.year, f.month, f.day,
                      f.hour, f.minute, f.second, channel + 1);
    else
        std::snprintf(text, sizeof text, "20%02d-%02d-%02d_%02d-%02d-%02d_CH%02d", f.year - 2000, f.month,
                      f.day, f.hour, f.minute, f.second, channel + 1);
    return text;
}

std::string PrintCaption(const CPlayerCore& core, int channel) {
    const SearchFields f = core.TimeFields();
    char text[64];
    if (core.IsTav())
        std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d CH%02d", f.year, f.month, f.day,
                      f.hour, f.minute, f.second, channel + 1);
    else
        std::snprintf(text, sizeof text, "20%02d/%02d/%02d %02d:%02d:%02d CH%02d", f.year - 2000, f.month,
                      f.day, f.hour, f.minute, f.second, channel + 1);
    return text;
}

bool SnapshotIsJpeg(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
           path.substr(dot + 1) == "jpg";
}

} // namespace reader
