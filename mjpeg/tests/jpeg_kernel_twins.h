// The SIMD inner loops of the JPEG core with their scalar twins and the inputs both are run on: the
// core tests compare them byte for byte, the kernel benchmark times them.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <vector>

#include "mjpeg/src/jpeg_kernels.h"
#include "mpeg4/tests/simd_twin.h"

namespace mjpeg::test {

// Coefficients of which about density percent are non-zero, each within ±range.
inline void RandomBlock(std::mt19937& rng, std::int16_t* coef, int range, int density) {
    for (int i = 0; i < 64; ++i)
        coef[i] = (static_cast<int>(rng() % 100) < density)
                      ? static_cast<std::int16_t>(static_cast<int>(rng() % (2 * range + 1)) - range)
                      : 0;
}

namespace twin {

using detail::colour_tables;
using detail::jpeg_kernel_set;

// Quantised coefficients, the pre-scaled table and 8 rows of samples written with a stride of 24.
struct IdctState {
    alignas(16) std::int16_t coef[64];
    alignas(16) std::int16_t qt[64];
    alignas(16) std::uint8_t out[8 * 24];
    std::span<const std::uint8_t> Output() const { return simdtwin::Bytes(out, sizeof out); }
};

// Ordinary tables and coefficients, and every fourth input anything at all (16-bit wrap-around must
// agree too).
inline IdctState IdctInput(std::mt19937& rng, int round) {
    IdctState s;
    const bool wild = round % 4 == 3;
    std::uint16_t q[64];
    for (std::uint16_t& v : q)
        v = static_cast<std::uint16_t>(wild ? rng() : 1 + rng() % 100);
    detail::PrescaleQuantTable(q, s.qt);
    if (wild) {
        for (std::int16_t& c : s.coef)
            c = static_cast<std::int16_t>(rng());
    } else {
        RandomBlock(rng, s.coef, 1 + static_cast<int>(rng() % 300), 5 + static_cast<int>(rng() % 90));
    }
    std::memset(s.out, 0xAA, sizeof s.out);
    return s;
}

// Typical quantiser steps and sparse blocks, as in a recorder's frames.
inline IdctState IdctTypical(std::mt19937& rng, int) {
    IdctState s;
    std::uint16_t q[64];
    for (std::uint16_t& v : q)
        v = static_cast<std::uint16_t>(8 + rng() % 56);
    detail::PrescaleQuantTable(q, s.qt);
    RandomBlock(rng, s.coef, 40, 20);
    std::memset(s.out, 0, sizeof s.out);
    return s;
}

using IdctFn = void (*)(const std::int16_t*, const std::int16_t*, std::uint8_t*, int);

inline void CallIdct(IdctFn fn, IdctState& s) {
    fn(s.coef, s.qt, s.out, 24);
}

// Two blocks for the paired transform, each with its own table, written side by side into 8 rows of 24
// bytes (block a at 0, block b at 12).
struct IdctPairState {
    alignas(16) std::int16_t coef[128];
    alignas(16) std::int16_t qt_a[64];
    alignas(16) std::int16_t qt_b[64];
    alignas(16) std::uint8_t out[8 * 24];
    std::span<const std::uint8_t> Output() const { return simdtwin::Bytes(out, sizeof out); }
};

inline IdctPairState IdctPairFrom(const IdctState& a, const IdctState& b) {
    IdctPairState s;
    std::memcpy(s.coef, a.coef, sizeof a.coef);
    std::memcpy(s.coef + 64, b.coef, sizeof b.coef);
    std::memcpy(s.qt_a, a.qt, sizeof a.qt);
    std::memcpy(s.qt_b, b.qt, sizeof b.qt);
    std::memset(s.out, 0xAA, sizeof s.out);
    return s;
}

inline IdctPairState IdctPairInput(std::mt19937& rng, int round) {
    IdctState a = IdctInput(rng, round);
    return IdctPairFrom(a, IdctInput(rng, round / 2));
}

inline IdctPairState IdctPairTypical(std::mt19937& rng, int round) {
    IdctState a = IdctTypical(rng, round);
    return IdctPairFrom(a, IdctTypical(rng, round));
}

using IdctPairFn = void (*)(const std::int16_t*, const std::int16_t*, const std::int16_t*, std::uint8_t*,
                            std::uint8_t*, int);

inline void CallIdctPair(IdctPairFn fn, IdctPairState& s) {
    fn(s.coef, s.qt_a, s.qt_b, s.out, s.out + 12, 24);
}

// One line of samples. The routines may read and write up to the next multiple of 16 past width, so
// the rows have that room and only width pixels are compared.
struct LineState {
    int width;
    alignas(16) std::uint8_t y[272], cb[272], cr[272];
    std::vector<std::uint8_t> out;
    std::span<const std::uint8_t> Output() const { return {out.data(), static_cast<std::size_t>(width) * 4}; }
};

inline LineState RandomLine(std::mt19937& rng, int width) {
    LineState s;
    s.width = width;
    for (int i = 0; i < 272; ++i) {
        s.y[i] = static_cast<std::uint8_t>(rng());
        s.cb[i] = static_cast<std::uint8_t>(rng());
        s.cr[i] = static_cast<std::uint8_t>(rng());
    }
    s.out.assign(256 * 4 + 64, 0);
    return s;
}

// Full-width chroma: first every (Y, Cb, Cr), as 65536 lines of the 256 Y values, one (Cb, Cr) pair
// each; then random lines of every width.
inline constexpr int kEveryColour = 256 * 256;

inline LineState FullChromaInput(std::mt19937& rng, int round) {
    if (round >= kEveryColour)
        return RandomLine(rng, 1 + static_cast<int>(rng() % 256));
    LineState s;
    s.width = 256;
    for (int i = 0; i < 272; ++i)
        s.y[i] = static_cast<std::uint8_t>(i);
    std::memset(s.cb, round >> 8, sizeof s.cb);
    std::memset(s.cr, round & 255, sizeof s.cr);
    s.out.assign(256 * 4 + 64, 0);
    return s;
}

// Half-width chroma on random lines of any width, odd ones included.
inline LineState HalfChromaInput(std::mt19937& rng, int) {
    return RandomLine(rng, 1 + static_cast<int>(rng() % 250));
}

inline LineState TypicalLine(std::mt19937& rng, int) {
    return RandomLine(rng, 256);
}

using ConvertFn = void (*)(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::uint8_t*, int,
                           const colour_tables&);

inline const colour_tables& Tables() {
    static const colour_tables t = [] {
        colour_tables built;
        detail::BuildColourTables(built);
        return built;
    }();
    return t;
}

inline void CallConvert(ConvertFn fn, LineState& s) {
    fn(s.y, s.cb, s.cr, s.out.data(), s.width, Tables());
}

} // namespace twin

// The pairs of the kernel sets (SSE2, and the AVX2 routines by a name of their own); without SIMD
// kernels on the machine each has no twin.
inline std::vector<simdtwin::Entry> KernelTwins() {
    using simdtwin::Erase;
    using simdtwin::Twin;
    using namespace twin;
    const jpeg_kernel_set& s = detail::ScalarKernels();
    const jpeg_kernel_set* v = detail::Sse2Kernels();
    const jpeg_kernel_set* w = detail::Avx2Kernels();
    auto simd = [v]<typename F>(F jpeg_kernel_set::*member) -> F { return v ? v->*member : nullptr; };
    auto avx2 = [w]<typename F>(F jpeg_kernel_set::*member) -> F { return w ? w->*member : nullptr; };
    return {
        Erase(Twin<IdctFn, IdctState>{"idct", s.idct, simd(&jpeg_kernel_set::idct), 20000, IdctInput,
                                      CallIdct, IdctTypical}),
        Erase(Twin<IdctPairFn, IdctPairState>{"idct_pair", s.idct_pair, simd(&jpeg_kernel_set::idct_pair),
                                              10000, IdctPairInput, CallIdctPair, IdctPairTypical}),
        Erase(Twin<IdctPairFn, IdctPairState>{"idct_pair_avx2", s.idct_pair,
                                              avx2(&jpeg_kernel_set::idct_pair), 10000, IdctPairInput,
                                              CallIdctPair, IdctPairTypical}),
        Erase(Twin<ConvertFn, LineState>{"convert_h1", s.convert_h1, simd(&jpeg_kernel_set::convert_h1),
                                         kEveryColour + 1000, FullChromaInput, CallConvert, TypicalLine}),
        Erase(Twin<ConvertFn, LineState>{"convert_h2", s.convert_h2, simd(&jpeg_kernel_set::convert_h2), 2000,
                                         HalfChromaInput, CallConvert, TypicalLine}),
    };
}

} // namespace mjpeg::test
