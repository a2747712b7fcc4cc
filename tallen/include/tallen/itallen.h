// The double-height filter's identifiers and its control interface ITallen, shared by the plug-in and
// the programs that create it by class id. The methods are declared in the order of their interface
// slots (after the three IUnknown slots).
#pragma once

#include "platform/com.h"
#include "platform/guid.h"
#include "platform/types.h"

// {CF403650-94A6-40D0-AFD6-D9728734976B}
constexpr CLSID CLSID_Tallen = {0xCF403650, 0x94A6, 0x40D0, {0xAF, 0xD6, 0xD9, 0x72, 0x87, 0x34, 0x97, 0x6B}};
// {784DDEB5-F516-4F08-9145-FBAF97F87BC2}
constexpr IID IID_ITallen = {0x784DDEB5, 0xF516, 0x4F08, {0x91, 0x45, 0xFB, 0xAF, 0x97, 0xF8, 0x7B, 0xC2}};

constexpr const char* kTallenName = "Veltrix Double Height Filter";

// Text lines 0 … 4; in record mode: 0 time, 1 status text, 2 speed, 3 GPS position, 4 camera title.
constexpr UINT kTallenLines = 5;
// Bytes of the status record an upstream decoder appends to each picture.
constexpr LONG kTallenRecordBytes = 553;

struct ITallen : public IUnknown {
    // 3: line `index` (E_INVALIDARG from 5 on) draws up to 255 characters of `text` at (x, y) in
    // buffer rows from the start of the picture buffer (line 1 always 40 rows below the top of the
    // doubled picture), `colour` as 0x00BBGGRR, glyph rows swapped in pairs when `interlace` is set.
    virtual HRESULT SetTextLine(UINT index, char* text, int x, int y, DWORD colour, int interlace) = 0;
    // 4: record mode for camera title `channel` (0 … 7); `doubleHeight` doubles 720 × 240/288 fields.
    virtual HRESULT SetRecordMode(int doubleHeight, int channel) = 0;
    // 5: record mode with the lines shown, placed and coloured (0x00BBGGRR) as asked; with `showStatus`
    // the status line is `text`.
    virtual HRESULT SetRecordText(int doubleHeight, int showTime, int showTitle, int showStatus, char* text,
                                  DWORD timeColour, DWORD titleColour, DWORD statusColour, int interlace) = 0;
    // 6: record mode with every line shown in one colour, a pixel value taken as it is.
    virtual HRESULT SetRecordDefaults(int doubleHeight, DWORD colour, int interlace) = 0;

protected:
    ~ITallen() = default;
};
