// Instance set-up, picture stores, header presets, the output stage and the public entry points.
#include "codec.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "headers.h"

namespace mpeg4 {

AlignedBytes AllocateAligned(size_t bytes) {
    size_t rounded = (bytes + 63) / 64 * 64;
    return AlignedBytes(static_cast<uint8_t*>(std::aligned_alloc(64, rounded ? rounded : 64)));
}

bool Plane::Allocate(int w, int h, int cw, int ch, int b) {
    width = w;
    height = h;
    codedWidth = cw;
    codedHeight = ch;
    border = b;
    stride = (cw + 2 * b + 15) / 16 * 16;
    memory = AllocateAligned(static_cast<size_t>(stride) * (ch + 2 * b));
    if (!memory)
        return false;
    origin = memory.get() + static_cast<ptrdiff_t>(b) * stride + b;
    return true;
}

void Plane::Fill(uint8_t value) {
    std::memset(memory.get(), value, static_cast<size_t>(stride) * (codedHeight + 2 * border));
}

// Repeats the picture's edge samples into the columns and rows outside it (the macroblock padding
// beyond the true size included), so that unrestricted vectors read the extended picture.
void Plane::FillBorders() {
    for (int y = 0; y < height; ++y) {
        uint8_t* row = origin + static_cast<ptrdiff_t>(y) * stride;
        std::memset(row - border, row[0], static_cast<size_t>(border));
        std::memset(row + width, row[width - 1], static_cast<size_t>(codedWidth + border - width));
    }
    const uint8_t* first = origin - border;
    const uint8_t* last = origin + static_cast<ptrdiff_t>(height - 1) * stride - border;
    for (int y = 1; y <= border; ++y)
        std::memcpy(origin - static_cast<ptrdiff_t>(y) * stride - border, first, static_cast<size_t>(stride));
    for (int y = height; y < codedHeight + border; ++y)
        std::memcpy(origin + static_cast<ptrdiff_t>(y) * stride - border, last, static_cast<size_t>(stride));
}

int CMp4Codec::Init(int width, int height) {
    if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension)
        return kOutOfMemory;
    m_width = width;
    m_height = height;
    m_mbWidth = (width + 15) / 16;
    m_mbHeight = (height + 15) / 16;
    const int cw = m_mbWidth * 16, ch = m_mbHeight * 16;
    for (Picture& pic : m_pictures) {
        if (!pic.y.Allocate(width, height, cw, ch, 32) ||
            !pic.u.Allocate((width + 1) / 2, (height + 1) / 2, cw / 2, ch / 2, 16) ||
            !pic.v.Allocate((width + 1) / 2, (height + 1) / 2, cw / 2, ch / 2, 16))
            return kOutOfMemory;
        pic.y.Fill(16); // black until the first picture is decoded
        pic.u.Fill(128);
        pic.v.Fill(128);
    }
    m_scratch = AllocateAligned(static_cast<size_t>(width));
    m_lumaPredStride = 2 * m_mbWidth + 1;
    m_chromaPredStride = m_mbWidth + 1;
    m_lumaPred.reset(new (std::nothrow)
                         BlockPredictor[static_cast<size_t>(m_lumaPredStride) * (2 * m_mbHeight + 1)]);
    for (auto& c : m_chromaPred)
        c.reset(new (std::nothrow)
                    BlockPredictor[static_cast<size_t>(m_chromaPredStride) * (m_mbHeight + 1)]);
    m_vectors.reset(new (std::nothrow) MotionVector[static_cast<size_t>(4) * m_mbWidth * m_mbHeight]);
    if (!m_scratch || !m_lumaPred || !m_chromaPred[0] || !m_chromaPred[1] || !m_vectors)
        return kOutOfMemory;
    m_dsp = &Dsp();
    ApplyPresets();
    return kOk;
}

// Layer state for streams that are bare VOPs: rectangular, interlaced above 288 lines, resolution
// 30000, 5-bit quantiser, version 1, half-sample vectors, H.263 quantisation.
void CMp4Codec::ApplyPresets() {
    LayerState layer;
    layer.interlaced = m_height > 288;
    std::memcpy(layer.intraMatrix, kDefaultIntraMatrix, 64);
    std::memcpy(layer.nonIntraMatrix, kDefaultNonIntraMatrix, 64);
    m_layer = layer;
}

void CMp4Codec::SetPresets(int interlaced, int resolution, int quantPrecision, int version,
                           int quarterSample) {
    m_layer.interlaced = interlaced != 0;
    m_layer.timeIncrementResolution = std::clamp(resolution, 1, 65535);
    int bits = 1;
    while (bits < 16 && (1 << bits) < m_layer.timeIncrementResolution)
        ++bits;
    m_layer.timeIncrementBits = bits;
    m_layer.quantPrecision = std::clamp(quantPrecision, 3, 9);
    m_layer.version = version;
    m_layer.quarterSample = quarterSample != 0;
}

int BytesPerPixel(int32_t format) {
    switch (format) {
    case kRgb24:
    case kRgb24BottomUp:
        return 3;
    case kRgb32:
    case kRgb32BottomUp:
        return 4;
    case kYuy2:
    case kUyvy:
    case kRgb565:
    case kRgb565BottomUp:
        return 2;
    default:
        return 0;
    }
}

// Converts the picture (de-interlaced when asked) into the caller's buffer: rows of params.stride
// pixels, never writing past width pixels of a row. De-interlacing changes only the luma lines it
// blends; each is made in the scratch line just before its conversion, so the picture is read once
// and the blended line is converted while it is still in the first-level cache.
void CMp4Codec::WriteOutput(const Picture& pic, const DecodeParams& p) {
    const int w = m_width, h = m_height;
    const uint8_t* y = pic.y.origin;
    const uint8_t* u = pic.u.origin;
    const uint8_t* v = pic.v.origin;
    const int ys = pic.y.stride, cs = pic.u.stride;
    const bool deinterlace = p.deinterlace == kDeinterlaceBlend;
    const int bpp = BytesPerPixel(p.format);
    const size_t rowBytes = static_cast<size_t>(p.stride) * bpp;
    const bool bottomUp =
        p.format == kRgb24BottomUp || p.format == kRgb32BottomUp || p.format == kRgb565BottomUp;
    void (*row)(uint8_t*, const uint8_t*, const uint8_t*, const uint8_t*, int) = nullptr;
    switch (p.format) {
    case kRgb24:
    case kRgb24BottomUp:
        row = m_dsp->rowRgb24;
        break;
    case kRgb32:
    case kRgb32BottomUp:
        row = m_dsp->rowRgb32;
        break;
    case kRgb565:
    case kRgb565BottomUp:
        row = m_dsp->rowRgb565;
        break;
    case kYuy2:
        row = m_dsp->rowYuy2;
        break;
    default:
        row = m_dsp->rowUyvy;
        break;
    }
    for (int r = 0; r < h; ++r) {
        const int src = bottomUp ? h - 1 - r : r;
        const uint8_t* luma = y + static_cast<ptrdiff_t>(src) * ys;
        if (deinterlace && DeinterlaceBlendsLine(src, h)) {
            m_dsp->deinterlaceRow(m_scratch.get(), luma - ys, luma, luma + ys, w);
            luma = m_scratch.get();
        }
        row(p.output + rowBytes * r, luma, u + static_cast<ptrdiff_t>(src / 2) * cs,
            v + static_cast<ptrdiff_t>(src / 2) * cs, w);
    }
}

int Create(int width, int height, CMp4Codec** codec) {
    if (!codec)
        return kOutOfMemory;
    *codec = nullptr;
    std::unique_ptr<CMp4Codec> instance(new (std::nothrow) CMp4Codec);
    if (!instance || instance->Init(width, height) != kOk)
        return kOutOfMemory;
    *codec = instance.release();
    return kOk;
}

void SetHeaderPresets(CMp4Codec* codec, int interlaced, int timeIncrementResolution, int quantPrecision,
                      int layerVersion, int quarterSample) {
    if (codec)
        codec->SetPresets(interlaced, timeIncrementResolution, quantPrecision, layerVersion, quarterSample);
}

int DecodeFrame(CMp4Codec* codec, const DecodeParams& params) {
    if (!codec)
        return kBadParameters;
    return codec->Decode(params);
}

void Destroy(CMp4Codec* codec) {
    delete codec;
}

} // namespace mpeg4
