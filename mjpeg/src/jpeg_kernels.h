// Inner loops of the JPEG core: dequantisation with the inverse DCT, and colour conversion.
// Each has a portable scalar form and, on x86-64, an SSE2 form that gives the same bytes.
#pragma once

#include <cstdint>

namespace mjpeg::detail {

// The four colour tables, indexed by a chroma byte (see BuildColourTables).
struct colour_tables {
    std::int32_t red_cr[256];
    std::int32_t blue_cb[256];
    std::int32_t green_cr[256];
    std::int32_t green_cb[256];
};

// Builds the YCbCr to RGB tables: 16.16 fixed-point coefficients 1.402, 1.772, 0.71414 and 0.34414,
// centred on 127.5, with 32768 for rounding in all but the green term for Cr.
void BuildColourTables(colour_tables& t);

// The AAN scale s(u, v) = round(16384 * c(u) * c(v)), c(0) = 1, c(k) = sqrt(2) * cos(k * pi / 16),
// natural (row-major) order.
const std::int32_t* AanScales();

// Pre-scales a quantisation table (natural order) for the fast IDCT:
// out[i] = (q[i] * s[i] + 2048) >> 12, kept as 16-bit.
void PrescaleQuantTable(const std::uint16_t* q, std::int16_t* out);

// Rounding bias added to the dequantised DC term so that the final shift by 5 rounds to nearest.
inline constexpr int kIdctDcBias = 16;

struct jpeg_kernel_set {
    // Dequantises one block (coefficients and pre-scaled table, natural order, 16-byte aligned) and runs
    // the 16-bit AAN inverse DCT; writes 8 rows of 8 samples at dst with the given stride.
    void (*idct)(const std::int16_t* coef, const std::int16_t* qt, std::uint8_t* dst, int stride);
    // The same on two blocks at once: coef holds 128 coefficients (block a, then block b), each block with
    // its own table and destination, both written with the same stride.
    void (*idct_pair)(const std::int16_t* coef, const std::int16_t* qt_a, const std::int16_t* qt_b,
                      std::uint8_t* dst_a, std::uint8_t* dst_b, int stride);
    // One line of pixels (red, green, blue, 0) from full-width Y, Cb and Cr samples. May write pixels up
    // to the next multiple of 8 beyond width (and read samples that far).
    void (*convert_h1)(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                       std::uint8_t* out, int width, const colour_tables& t);
    // The same with chroma at half width, each sample serving two pixels. May run to the next multiple
    // of 16 beyond width.
    void (*convert_h2)(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                       std::uint8_t* out, int width, const colour_tables& t);
};

const jpeg_kernel_set& ScalarKernels();
// The SSE2 set, or nullptr on machines without it.
const jpeg_kernel_set* Sse2Kernels();
// The SSE2 set with its block pairs transformed in AVX2 registers, or nullptr where the build or the
// processor has no AVX2. Chosen at run time.
const jpeg_kernel_set* Avx2Kernels();

// A block whose only non-zero coefficient is the DC term: every sample is the same value.
void IdctDcOnly(std::int16_t dc, std::int16_t q, std::uint8_t* dst, int stride);

} // namespace mjpeg::detail
