// The text overlay filter's identifiers and its control interface ICaptiva, shared by the plug-in and
// the filters and programs that drive it. The methods are declared in the order of their interface
// slots (after the three IUnknown slots); callers reach them only through this table.
#pragma once

#include "platform/com.h"
#include "platform/gdi.h"
#include "platform/guid.h"
#include "platform/types.h"

// {0217AC03-2DE3-4317-BBF8-6F8ED2D44E80}
constexpr CLSID CLSID_FilterCaptiva = {
    0x0217AC03, 0x2DE3, 0x4317, {0xBB, 0xF8, 0x6F, 0x8E, 0xD2, 0xD4, 0x4E, 0x80}};
// {A3DD8005-DA44-4AD4-B2A7-F23E986428A2}
constexpr IID IID_ICaptiva = {0xA3DD8005, 0xDA44, 0x4AD4, {0xB2, 0xA7, 0xF2, 0x3E, 0x98, 0x64, 0x28, 0xA2}};
// {97E321C1-D90A-4257-AD15-A243135F8458}: the property page the filter names through ISpecifyPropertyPages.
constexpr CLSID CLSID_CaptivaPropertyPage = {
    0x97E321C1, 0xD90A, 0x4257, {0xAD, 0x15, 0xA2, 0x43, 0x13, 0x5F, 0x84, 0x58}};

constexpr const char* kCaptivaName = "Text Overlay";

// Text items 0 … 4.
constexpr UINT kCaptivaItems = 5;

// Overlay types.
constexpr int kOverlayNone = 0;       // pictures pass unchanged
constexpr int kOverlayStatic = 1;     // the five text items
constexpr int kOverlaySystemTime = 2; // the PC's local date and time in item 0

struct ICaptiva : public IUnknown {
    // 3: 0 off, 2 system time, anything else the text items. A change recreates the controller with
    // default settings, configured for the connected picture format.
    virtual HRESULT SetOverlayType(int type) = 0;
    // 4
    virtual HRESULT GetOverlayType(int* type) = 0;
    // 5: nonzero paints the text in the colour, 0 inverts the pixels under it.
    virtual HRESULT SetDrawMode(int paint) = 0;
    // 6
    virtual HRESULT GetDrawMode(int* paint) = 0;
    // 7: item `index` becomes the first `length` characters of `text` (fewer when `text` ends sooner).
    // E_FAIL for an index above 4.
    virtual HRESULT SetText(UINT index, char* text, int length) = 0;
    // 8: *size becomes the text's length + 1 (0 for an empty item or an index above 4). With a buffer,
    // the text is copied, cut to fit the *size bytes the caller passed in and always NUL-terminated.
    virtual HRESULT GetText(UINT index, char* buffer, int* size) = 0;
    // 9
    virtual HRESULT SetColor(BYTE red, BYTE green, BYTE blue) = 0;
    // 10
    virtual HRESULT GetColor(BYTE* red, BYTE* green, BYTE* blue) = 0;
    // 11: pixels from the top-left corner of the picture. E_FAIL for an index above 4.
    virtual HRESULT SetTextPosition(UINT index, int x, int y) = 0;
    // 12: xy[0] = x, xy[1] = y. E_FAIL for an index above 4.
    virtual HRESULT GetTextPosition(UINT index, int* xy) = 0;
    // 13: the font of every item (escapement and orientation are forced to 0).
    virtual HRESULT SetFont(LOGFONTA font) = 0;
    // 14: the 60 bytes last given to SetFont (zeros before).
    virtual HRESULT GetFont(LOGFONTA* font) = 0;
    // 15: visibility window in seconds from the first picture; an end of 0 or less leaves it open.
    virtual HRESULT SetTimeRange(double start, double end) = 0;
    // 16
    virtual HRESULT GetTimeRange(double* start, double* end) = 0;
    // 17: the picture size changes to width × height (the row order is kept) with `imageSize` bytes;
    // the pins take the new format and *result receives `imageSize`.
    virtual HRESULT SetVideoSize(int width, int height, int imageSize, int* result) = 0;

protected:
    ~ICaptiva() = default;
};
