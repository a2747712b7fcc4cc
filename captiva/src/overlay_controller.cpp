#include "captiva/overlay_controller.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/debug.h"

namespace {

// A time in seconds as a frame number at `fps`. The small allowance keeps products such as 0.29 × 100
// from landing one frame early through binary rounding.
LONG FrameAt(double seconds, double fps) {
    double frame = std::floor(seconds * fps + 1e-6);
    return static_cast<LONG>(std::clamp(frame, -2147483647.0, 2147483647.0));
}

struct Rect {
    LONG left, top, right, bottom;
};

} // namespace

COverlayController::COverlayController(CCritSec* lock) : m_lock(lock) {
    common::DebugSetStyle(common::kTextOverlayDebugStyle);
    common::DebugOpen("Scryde", "C:\\Program Files\\Scryde\\Overlay.log");
    common::DebugSetLevel(8);
}

COverlayController::~COverlayController() {
    if (m_hFont)
        DeleteObject(m_hFont);
}

HRESULT COverlayController::Configure(const CMediaType& type, bool* frameRateKnown) {
    VIDEOINFOHEADER vih;
    if (*type.FormatType() != FORMAT_VideoInfo || !GetVideoInfo(type, &vih))
        return E_FAIL;
    const BITMAPINFOHEADER& b = vih.bmiHeader;
    m_pixel = CreatePixelWriter(*type.Subtype());
    if (m_pixel)
        m_pixel->SetColor(m_red, m_green, m_blue);
    m_width = b.biWidth;
    m_height = b.biHeight < 0 ? static_cast<LONG>(std::min<LONGLONG>(-LONGLONG(b.biHeight), 0x7FFFFFFF))
                              : b.biHeight;
    m_bitsPerPixel = b.biBitCount;
    m_bottomUp = b.biHeight > 0;
    LONGLONG stride = (m_bitsPerPixel == 0 || m_bitsPerPixel % 8 != 0)
                          ? LONGLONG(m_width)
                          : ((LONGLONG(m_bitsPerPixel / 8) * m_width + 3) & ~LONGLONG(3));
    m_stride = static_cast<LONG>(std::clamp<LONGLONG>(stride, 0, 0x7FFFFFFF));
    bool known = vih.AvgTimePerFrame > 0;
    if (known)
        SetFrameRate(10000000.0 / double(vih.AvgTimePerFrame));
    if (frameRateKnown)
        *frameRateKnown = known;
    m_frameCounter = 0;
    RenderTexts();
    m_active = m_pixel != nullptr;
    common::DebugPrint(8, "Configure: %d x %d, %d bits, stride %d, %s, %.3f fps", m_width, m_height,
                       m_bitsPerPixel, m_stride, m_bottomUp ? "bottom-up" : "top-down", m_fps);
    return S_OK;
}

void COverlayController::SetFrameRate(double fps) {
    m_fps = fps;
    UpdateFrameWindow();
}

void COverlayController::UpdateFrameWindow() {
    m_startFrame = FrameAt(m_startTime, m_fps);
    m_endFrame = m_endTime > 0 ? FrameAt(m_endTime, m_fps) : -1;
}

void COverlayController::SetTimeRange(double start, double end) {
    m_startTime = start;
    m_endTime = end;
    UpdateFrameWindow();
}

HRESULT COverlayController::SetText(UINT index, const char* text, int length) {
    if (index >= kCaptivaItems)
        return E_FAIL;
    if (length > 0 && !text)
        return E_POINTER;
    // Never read past the string's end, whatever length was claimed.
    std::size_t n = length > 0 ? strnlen(text, std::size_t(std::min(length, kMaxTextLength))) : 0;
    m_texts[index].assign(n ? text : "", n);
    if (m_active)
        RenderItem(index);
    return S_OK;
}

HRESULT COverlayController::GetText(UINT index, char* buffer, int* size) const {
    if (!size)
        return E_POINTER;
    if (index >= kCaptivaItems || m_texts[index].empty()) {
        if (buffer && *size > 0)
            buffer[0] = '\0';
        *size = 0;
        return S_OK;
    }
    const std::string& text = m_texts[index];
    if (buffer && *size > 0) {
        std::size_t n = std::min(text.size(), std::size_t(*size) - 1);
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    *size = static_cast<int>(text.size()) + 1;
    return S_OK;
}

HRESULT COverlayController::SetTextPosition(UINT index, int x, int y) {
    if (index >= kCaptivaItems)
        return E_FAIL;
    m_position[index] = {x, y};
    return S_OK;
}

HRESULT COverlayController::GetTextPosition(UINT index, int* xy) const {
    if (index >= kCaptivaItems)
        return E_FAIL;
    if (!xy)
        return E_POINTER;
    xy[0] = m_position[index].x;
    xy[1] = m_position[index].y;
    return S_OK;
}

void COverlayController::SetColor(BYTE red, BYTE green, BYTE blue) {
    m_red = red, m_green = green, m_blue = blue;
    if (m_pixel)
        m_pixel->SetColor(red, green, blue);
}

void COverlayController::GetColor(BYTE* red, BYTE* green, BYTE* blue) const {
    *red = m_red, *green = m_green, *blue = m_blue;
}

void COverlayController::SetFont(const LOGFONTA& font) {
    m_font = font;
    m_font.lfEscapement = 0;
    m_font.lfOrientation = 0;
    m_fontSet = true;
    if (m_hFont)
        DeleteObject(m_hFont);
    // Without a usable font the device context's default one draws.
    m_hFont = CreateFontIndirectA(&m_font);
    common::DebugPrint(8, "SetFont: %.32s, height %d, width %d -> %s", m_font.lfFaceName, m_font.lfHeight,
                       m_font.lfWidth, m_hFont ? platform::gdi::ResolvedFontFile(m_hFont) : "default font");
    if (m_active)
        RenderTexts();
}

void COverlayController::RenderTexts() {
    for (UINT i = 0; i < kCaptivaItems; ++i)
        RenderItem(i);
}

// Measures the item, draws it black on white into a 1-bit bottom-up bitmap of that size and keeps the
// bitmap's rows as the item's mask (glyph pixels are 0 bits).
void COverlayController::RenderItem(UINT index) {
    std::vector<BYTE>& mask = m_mask[index];
    mask.clear();
    m_size[index] = {0, 0};
    m_maskStride[index] = 0;
    const std::string& text = m_texts[index];
    if (text.empty())
        return;
    HDC dc = CreateCompatibleDC(nullptr);
    if (!dc)
        return;
    HGDIOBJ oldFont = m_hFont ? SelectObject(dc, m_hFont) : nullptr;
    SIZE size{};
    if (GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size) && size.cx > 0 &&
        size.cy > 0) {
        void* bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(dc, size.cx, size.cy, 1, nullptr, &bits);
        if (bitmap) {
            HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
            SetTextColor(dc, RGB(0, 0, 0));
            SetBkColor(dc, RGB(255, 255, 255));
            Rect rc{0, 0, size.cx, size.cy};
            ExtTextOutA(dc, 0, 0, ETO_OPAQUE | ETO_CLIPPED, &rc, text.c_str(), UINT(text.size()), nullptr);
            const LONG stride = ((size.cx + 31) >> 3) & ~3;
            mask.resize(std::size_t(stride) * std::size_t(size.cy));
            if (GetDIBits(dc, bitmap, 0, UINT(size.cy), mask.data()) == size.cy) {
                m_size[index] = size;
                m_maskStride[index] = stride;
            } else {
                mask.clear();
            }
            SelectObject(dc, oldBitmap);
            DeleteObject(bitmap);
        }
    }
    if (oldFont)
        SelectObject(dc, oldFont);
    DeleteDC(dc);
}

void COverlayController::Draw(BYTE* picture, LONG size) {
    {
        CAutoLock lock(m_lock);
        BeforePicture();
        const LONGLONG c = m_frameCounter++;
        const bool visible = c >= m_startFrame && (m_endFrame == -1 || m_endFrame >= c);
        if (!visible || !m_active || !picture)
            return;
    }
    for (UINT k = 0; k < kCaptivaItems; ++k) {
        CAutoLock lock(m_lock);
        const int x = m_position[k].x;
        const int y = m_position[k].y;
        const SIZE s = m_size[k];
        if (!m_pixel || x < 0 || y < 0 || x >= m_width || y >= m_height || s.cx <= 0 || s.cy <= 0 ||
            m_mask[k].empty())
            continue;
        // A buffer shorter than its format says gets no text rather than writes past its end.
        if (LONGLONG(m_stride) * m_height > size)
            return;
        const int bpp = m_pixel->BytesPerPixel();
        const LONG rows = std::min<LONG>(m_height - y, s.cy);
        LONG cols = std::min<LONG>(m_width - x, s.cx);
        cols = std::min<LONG>(cols, m_stride / bpp - x); // a stride narrower than the writer's pixels
        const bool paint = m_drawMode != 0;
        for (LONG i = 0; i < rows; ++i) {
            const LONG r = y + i;
            BYTE* row = picture + std::size_t(m_bottomUp ? m_height - 1 - r : r) * std::size_t(m_stride);
            const BYTE* bits = m_mask[k].data() + std::size_t(s.cy - 1 - i) * std::size_t(m_maskStride[k]);
            for (LONG j = 0; j < cols; ++j) {
                if (bits[j >> 3] & (0x80u >> (j & 7)))
                    continue;
                BYTE* p = row + std::size_t(x + j) * std::size_t(bpp);
                if (paint)
                    m_pixel->WritePixel(p);
                else
                    m_pixel->InvertPixel(p);
            }
        }
    }
}

CSysTimeOverlayController::CSysTimeOverlayController(CCritSec* lock) : COverlayController(lock) {}

void CSysTimeOverlayController::BeforePicture() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[sizeof(m_timeText)];
    std::snprintf(text, sizeof(text), "%4d-%02d-%02d(%02d:%02d:%02d)", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    m_position[0] = {0, 0};
    // The clock changes once a second; the mask is rendered again only then.
    if (std::strcmp(text, m_timeText) == 0 && m_texts[0] == m_timeText)
        return;
    std::memcpy(m_timeText, text, sizeof(m_timeText));
    m_texts[0] = m_timeText;
    RenderItem(0);
}
