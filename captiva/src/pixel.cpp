#include "captiva/pixel.h"

#include "media/types.h"

void CBasePixel::InvertPixel(BYTE* pixel) {
    for (int i = 0; i < m_bytesPerPixel; ++i)
        pixel[i] = BYTE(~pixel[i]);
}

void CBasePixel::SetColor(BYTE red, BYTE green, BYTE blue) {
    m_red = red;
    m_green = green;
    m_blue = blue;
    Prepare();
}

void CPixelRGB32::WritePixel(BYTE* pixel) {
    pixel[0] = m_blue;
    pixel[1] = m_green;
    pixel[2] = m_red;
    pixel[3] = 0;
}

void CPixelRGB24::WritePixel(BYTE* pixel) {
    pixel[0] = m_blue;
    pixel[1] = m_green;
    pixel[2] = m_red;
}

void CPixelRGB565::Prepare() {
    m_value = WORD(((m_red >> 3) << 11) + ((m_green >> 2) << 5) + (m_blue >> 3));
}

void CPixelRGB565::WritePixel(BYTE* pixel) {
    pixel[0] = BYTE(m_value);
    pixel[1] = BYTE(m_value >> 8);
}

void CPixelRGB555::Prepare() {
    m_value = WORD(((m_red >> 3) << 10) + ((m_green >> 3) << 5) + (m_blue >> 3));
}

void CPixelRGB555::WritePixel(BYTE* pixel) {
    pixel[0] = BYTE(m_value);
    pixel[1] = BYTE(m_value >> 8);
}

void CPixelRGB8::WritePixel(BYTE* pixel) {
    pixel[0] = 10;
}

std::unique_ptr<CBasePixel> CreatePixelWriter(const GUID& subtype) {
    if (subtype == MEDIASUBTYPE_RGB32)
        return std::make_unique<CPixelRGB32>();
    if (subtype == MEDIASUBTYPE_RGB24)
        return std::make_unique<CPixelRGB24>();
    if (subtype == MEDIASUBTYPE_RGB565)
        return std::make_unique<CPixelRGB565>();
    if (subtype == MEDIASUBTYPE_RGB555)
        return std::make_unique<CPixelRGB555>();
    if (subtype == MEDIASUBTYPE_RGB8)
        return std::make_unique<CPixelRGB8>();
    return nullptr;
}
