// Fixed-point constants of the separable 8 × 8 inverse DCT shared by the scalar and SSE2 paths.
//
// Each 1-D pass computes out[n] = sum_k C[n][k] × in[k] with C[n][k] = round(2^14 × c_k ×
// cos((2n + 1)kπ / 16)), c_0 = 1/√8, c_k = 1/2 (the orthonormal basis), split into even and odd
// halves so that out[7 - n] = E[n] − O[n]. The row pass keeps 5 fractional bits (int16), the column
// pass rounds to integers. Both paths use exactly these integer steps, so their output is identical.
#pragma once

#include <cstdint>

namespace mpeg4::idct {

constexpr int kRowShift = 14 - 5;
constexpr int kColShift = 14 + 5;

// 2^13 × cos(mπ/16) for m = 0..8, rounded to nearest, except that the DC basis (m = 4, and
// 2^14 / √8 = 5792.6 for k = 0) is rounded down: a flat block whose exact value is a half (DC
// 132 → 16.5) then falls to the lower integer like in the widespread integer IDCTs, instead of
// every pixel of such blocks differing by one from what other decoders show.
constexpr int kCos[9] = {8192, 8035, 7568, 6811, 5792, 4551, 3135, 1598, 0};

constexpr int Coef(int n, int k) {
    if (k == 0)
        return 5792;
    int m = ((2 * n + 1) * k) % 32;
    if (m <= 8)
        return kCos[m];
    if (m <= 16)
        return -kCos[16 - m];
    if (m <= 24)
        return -kCos[m - 16];
    return kCos[32 - m];
}

} // namespace mpeg4::idct
