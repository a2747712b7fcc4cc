// Pixel kernels of the decoder: the 8 × 8 IDCT, motion compensation, residual reconstruction,
// the de-interlacer and the output conversions. Each exists as a portable scalar routine and, on
// x86-64, as an SSE2 twin that gives the same bytes (and, for some, an AVX2 one); Dsp() picks the
// fastest one present.
#pragma once

#include <cstdint>

namespace mpeg4 {

struct DspTable {
    // 8 × 8 inverse DCT in place; input coefficients in -2048..2047, output saturated to int16.
    void (*idct)(int16_t* block);
    // Reconstruction: dst = clamp(block) for intra, dst = clamp(dst + block) for inter residuals.
    void (*putBlock)(uint8_t* dst, int stride, const int16_t* block);
    void (*addBlock)(uint8_t* dst, int stride, const int16_t* block);
    // dst = clamp(dst + value) on an 8 × 8 block: the residual of a block whose transform is flat
    // (IdctDcValue), added without filling a block with it.
    void (*addDc)(uint8_t* dst, int stride, int value);
    // Half-sample interpolation (7.6.2.1) of a w × h block (w = 8 or 16) from src, whose window of
    // (w + 1) × (h + 1) samples must be readable; dx, dy in {0, 1}; rounding is the VOP rounding type.
    void (*halfPel)(uint8_t* dst, int dstStride, const uint8_t* src, int srcStride, int w, int h, int dx,
                    int dy, int rounding);
    // Quarter-sample interpolation of an n × n block (n = 8 or 16); fx, fy in 0..3. The 8-tap
    // half-sample filter mirrors the samples outside the (n + 1) × (n + 1) window.
    void (*quarterPel)(uint8_t* dst, int dstStride, const uint8_t* src, int srcStride, int n, int fx, int fy,
                       int rounding);
    // De-interlaces the luma plane into dst (odd lines blended where they comb). The output stage
    // uses the line routine below; the whole plane is kept for the tests of the blend.
    void (*deinterlace)(uint8_t* dst, int dstStride, const uint8_t* src, int srcStride, int width,
                        int height);
    // One odd line of that: each sample of `row` replaced by the mean of the samples above and below
    // it where the three comb.
    void (*deinterlaceRow)(uint8_t* dst, const uint8_t* above, const uint8_t* row, const uint8_t* below,
                           int width);
    // One output row of w pixels from a luma row and the chroma rows that serve it.
    void (*rowRgb32)(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int w);
    void (*rowRgb24)(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int w);
    void (*rowRgb565)(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int w);
    void (*rowYuy2)(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int w);
    void (*rowUyvy)(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int w);
};

// The IDCT of a block whose only non-zero coefficient is block[0]: the value the full transform
// gives to every sample, without computing the rest (the same on every path).
void IdctDcOnly(int16_t* block);
// That value for a first coefficient dc.
int IdctDcValue(int dc);

const DspTable& ScalarDsp();
// The SSE2 table, or nullptr where SSE2 is not built.
const DspTable* Sse2Dsp();
// The SSE2 table with AVX2 kernels in place of some (output rows, de-interlaced line, quarter-sample
// interpolation), or nullptr where the build or the processor has no AVX2. Chosen at run time.
const DspTable* Avx2Dsp();
// Whether the de-interlacer blends line y of a picture `height` lines high: the odd lines that have
// a line below them, the last odd line excepted (kept as it is). Not inline, so that the files built
// for AVX2 share no inline code with the others.
bool DeinterlaceBlendsLine(int y, int height);
// The whole luma plane de-interlaced line by line with `row` (a table's deinterlaceRow): the lines
// DeinterlaceBlendsLine names are blended, the others copied.
void DeinterlacePlane(void (*row)(uint8_t*, const uint8_t*, const uint8_t*, const uint8_t*, int),
                      uint8_t* dst, int dstStride, const uint8_t* src, int srcStride, int width, int height);

// The table the decoder uses.
const DspTable& Dsp();

} // namespace mpeg4
