// Where a video renderer's pictures go: a window backend (a GUI installs its own factory; without one
// the headless backend is used), the renderer's own frame store (last picture, picture count) reached
// through IVideoFrameStore, and a small PNG writer for dumping pictures.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media/interfaces.h"

namespace media {

// A picture as the backends get it: 32-bit BGRX pixels, top row first, 4 × width bytes per row.
struct VideoFrame {
    LONG width = 0;
    LONG height = 0;
    std::vector<BYTE> pixels;
};

class IVideoWindowBackend {
public:
    virtual ~IVideoWindowBackend() = default;
    // Called on the streaming thread for every presented picture.
    virtual void Present(const VideoFrame& frame) = 0;
    virtual void SetOwner(OAHWND owner) = 0;
    virtual void SetWindowStyle(LONG style) = 0;
    virtual void SetWindowPosition(LONG left, LONG top, LONG width, LONG height) = 0;
    virtual void SetVisible(bool visible) = 0;
    virtual void SetCaption(const std::string& caption) = 0;
};

using VideoWindowBackendFactory = std::function<std::unique_ptr<IVideoWindowBackend>()>;
// Installs the factory every video renderer created afterwards uses (an empty one restores headless).
void SetVideoWindowBackendFactory(VideoWindowBackendFactory factory);
std::unique_ptr<IVideoWindowBackend> CreateVideoWindowBackend();

// Writes a BGRX top-down picture as an 8-bit RGB PNG file; false when the file cannot be written.
bool WritePng(const std::string& path, const VideoFrame& frame);

// True when every pixel of the frame has the same colour (the fourth byte aside).
bool IsPlainFrame(const VideoFrame& frame);

// Converts one uncompressed picture of the given format (RGB32, RGB24, RGB565, RGB555, YUY2, UYVY;
// bottom-up when biHeight > 0 for RGB) into a top-down BGRX frame; false for other formats or short data.
bool ConvertToFrame(const GUID& subtype, const BITMAPINFOHEADER& bih, const BYTE* data, LONG length,
                    VideoFrame* out);

} // namespace media

// The video renderer's frame store.
constexpr IID IID_IVideoFrameStore = {
    0x5C3B1E0A, 0x8E57, 0x4B0D, {0xA1, 0x6F, 0x2D, 0x90, 0x4C, 0x7E, 0x13, 0x58}};

struct IVideoFrameStore : IUnknown {
    // Pictures presented since the renderer was created.
    virtual HRESULT GetFrameCount(LONG* count) = 0;
    // A copy of the last presented picture; VFW_E_NOT_FOUND before the first one.
    virtual HRESULT GetLastFrame(media::VideoFrame* frame) = 0;
    // Writes every presented picture as "<folder>/frame%06d.png" from now on (nullptr stops).
    virtual HRESULT SetDumpFolder(const char* folder) = 0;
    // Writes the last picture to a PNG file.
    virtual HRESULT WriteLastFrame(const char* path) = 0;
    // Of the pictures presented, those of one colour throughout: the blue screens and blank pictures
    // that decoders and sources put up for a channel with nothing recorded to show.
    virtual HRESULT GetPlainFrameCount(LONG* count) = 0;

protected:
    ~IVideoFrameStore() = default;
};
