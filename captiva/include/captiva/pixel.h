// Pixel writers: how one text pixel is painted in the colour, or inverted, in each RGB picture format.
#pragma once

#include <memory>

#include "platform/guid.h"
#include "platform/types.h"

class CBasePixel {
public:
    explicit CBasePixel(int bytesPerPixel) : m_bytesPerPixel(bytesPerPixel) {}

    // Writes the colour at `pixel`.
    virtual void WritePixel(BYTE* pixel) = 0;
    // Replaces each of the pixel's bytes by its complement.
    virtual void InvertPixel(BYTE* pixel);
    // Brings the writer's packed form of the colour up to date after a colour change.
    virtual void Prepare() {}
    virtual ~CBasePixel() = default;

    void SetColor(BYTE red, BYTE green, BYTE blue);
    int BytesPerPixel() const { return m_bytesPerPixel; }

protected:
    BYTE m_red = 0;
    BYTE m_green = 255;
    BYTE m_blue = 0;
    int m_bytesPerPixel;
};

// Blue, green, red, 0.
class CPixelRGB32 final : public CBasePixel {
public:
    CPixelRGB32() : CBasePixel(4) {}
    void WritePixel(BYTE* pixel) override;
};

// Blue, green, red.
class CPixelRGB24 final : public CBasePixel {
public:
    CPixelRGB24() : CBasePixel(3) {}
    void WritePixel(BYTE* pixel) override;
};

// 16-bit little-endian 5:6:5.
class CPixelRGB565 final : public CBasePixel {
public:
    CPixelRGB565() : CBasePixel(2) { Prepare(); }
    void WritePixel(BYTE* pixel) override;
    void Prepare() override;

private:
    WORD m_value = 0;
};

// 16-bit little-endian 5:5:5.
class CPixelRGB555 final : public CBasePixel {
public:
    CPixelRGB555() : CBasePixel(2) { Prepare(); }
    void WritePixel(BYTE* pixel) override;
    void Prepare() override;

private:
    WORD m_value = 0;
};

// Palette index 10, whatever the colour.
class CPixelRGB8 final : public CBasePixel {
public:
    CPixelRGB8() : CBasePixel(1) {}
    void WritePixel(BYTE* pixel) override;
};

// The writer for a picture subtype; nullptr for a subtype without one.
std::unique_ptr<CBasePixel> CreatePixelWriter(const GUID& subtype);
