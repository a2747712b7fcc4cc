// The overlay controllers: COverlayController keeps the five text items, renders each into a 1-bit mask
// with the GDI stand-in, and paints or inverts the masked pixels of every picture inside the time window;
// CSysTimeOverlayController shows the PC's local date and time in item 0 instead.
//
// Locking: the filter passes its own lock. Every setter and getter is called with it held; Draw takes it
// itself, once for the window and once per item, so a mask is never replaced while it is drawn.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "captiva/icaptiva.h"
#include "captiva/pixel.h"
#include "media/types.h"
#include "platform/gdi.h"
#include "platform/sync.h"

class COverlayController {
public:
    explicit COverlayController(CCritSec* lock);
    virtual ~COverlayController();
    COverlayController(const COverlayController&) = delete;
    COverlayController& operator=(const COverlayController&) = delete;

    // Takes the picture geometry and pixel writer from a video type, renders the texts and activates.
    // E_FAIL when the type carries no VIDEOINFOHEADER. *frameRateKnown tells whether the type gave one.
    HRESULT Configure(const CMediaType& type, bool* frameRateKnown);
    // Frames per second; the frame window follows.
    void SetFrameRate(double fps);
    double FrameRate() const { return m_fps; }

    HRESULT SetText(UINT index, const char* text, int length);
    HRESULT GetText(UINT index, char* buffer, int* size) const;
    HRESULT SetTextPosition(UINT index, int x, int y);
    HRESULT GetTextPosition(UINT index, int* xy) const;
    void SetColor(BYTE red, BYTE green, BYTE blue);
    void GetColor(BYTE* red, BYTE* green, BYTE* blue) const;
    void SetDrawMode(int paint) { m_drawMode = paint; }
    int GetDrawMode() const { return m_drawMode; }
    void SetFont(const LOGFONTA& font);
    void GetFont(LOGFONTA* font) const { *font = m_font; }
    void SetTimeRange(double start, double end);
    void GetTimeRange(double* start, double* end) const { *start = m_startTime, *end = m_endTime; }

    // Draws on one picture of `size` bytes, counting it. Called on the streaming thread without the lock.
    void Draw(BYTE* picture, LONG size);

    // For inspection.
    bool Active() const { return m_active; }
    SIZE ItemSize(UINT index) const { return m_size[index]; }
    LONG StartFrame() const { return m_startFrame; }
    LONG EndFrame() const { return m_endFrame; }
    LONG Width() const { return m_width; }
    LONG Height() const { return m_height; }
    LONG Stride() const { return m_stride; }
    bool BottomUp() const { return m_bottomUp; }

    // Longest text an item keeps; a line of it is already far wider than any picture.
    static constexpr int kMaxTextLength = 1023;

protected:
    // Runs before each picture is drawn, with the lock held.
    virtual void BeforePicture() {}
    // Renders every item again (with the lock held).
    void RenderTexts();
    void RenderItem(UINT index);

    CCritSec* m_lock;
    std::string m_texts[kCaptivaItems];
    struct Position {
        int x = 0;
        int y = 0;
    };
    Position m_position[kCaptivaItems]{};
    SIZE m_size[kCaptivaItems]{};
    std::vector<BYTE> m_mask[kCaptivaItems];
    LONG m_maskStride[kCaptivaItems]{};
    BYTE m_red = 0, m_green = 255, m_blue = 0;
    int m_drawMode = 1;
    LOGFONTA m_font{};
    bool m_fontSet = false;
    HFONT m_hFont = nullptr; // made from m_font when set
    double m_fps = 25.0;
    double m_startTime = 0;
    double m_endTime = -1.0;
    LONG m_startFrame = 0;
    LONG m_endFrame = -1;
    LONGLONG m_frameCounter = 0;
    LONG m_width = 0;
    LONG m_height = 0;
    int m_bitsPerPixel = 0;
    LONG m_stride = 0;
    bool m_bottomUp = false;
    std::unique_ptr<CBasePixel> m_pixel;
    bool m_active = false;

private:
    void UpdateFrameWindow();
};

class CSysTimeOverlayController final : public COverlayController {
public:
    explicit CSysTimeOverlayController(CCritSec* lock);

protected:
    void BeforePicture() override;

private:
    char m_timeText[100] = {};
};
