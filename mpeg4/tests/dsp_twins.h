// Every SIMD kernel of the MPEG-4 core with its scalar twin and the inputs both are run on: the core
// tests compare them byte for byte, the kernel benchmark times them.
#pragma once

#include <random>
#include <span>
#include <vector>

#include "mpeg4/src/dsp.h"
#include "mpeg4/tests/simd_twin.h"

namespace mpeg4::test {

namespace twin {

inline uint8_t Byte(std::mt19937& rng) {
    return static_cast<uint8_t>(rng());
}

// 8 × 8 coefficients, transformed in place.
struct IdctState {
    alignas(16) int16_t block[64];
    std::span<const uint8_t> Output() const { return simdtwin::Bytes(block, sizeof block); }
};

// Sparse to dense blocks, small coefficients and the full -2048..2047 range; some with rows 4..7,
// columns 4..7 or both zero, or with only a first row or a first column: the blocks the SIMD
// transform shortens.
inline IdctState IdctInput(std::mt19937& rng, int round) {
    std::uniform_int_distribution<int> full(-2048, 2047), small(-40, 40);
    IdctState s;
    const int density = round % 4;
    const int shape = (round / 4) % 6;
    for (int i = 0; i < 64; ++i) {
        int value = (round & 1) ? full(rng) : small(rng);
        bool kept = static_cast<int>(rng() % 4) <= density;
        const int row = i / 8, col = i % 8;
        if (((shape == 1 || shape == 3) && row >= 4) || ((shape == 2 || shape == 3) && col >= 4) ||
            (shape == 4 && row > 0) || (shape == 5 && col > 0))
            kept = false;
        s.block[i] = static_cast<int16_t>(kept ? value : 0);
    }
    return s;
}

// A residual block written into a picture at any alignment.
struct BlockState {
    alignas(16) int16_t block[64];
    uint8_t picture[8 * 24];
    int offset;
    std::span<const uint8_t> Output() const { return simdtwin::Bytes(picture, sizeof picture); }
};

inline BlockState BlockInput(std::mt19937& rng, int) {
    std::uniform_int_distribution<int> residual(-400, 400);
    BlockState s;
    for (int16_t& c : s.block)
        c = static_cast<int16_t>(residual(rng));
    for (uint8_t& p : s.picture)
        p = Byte(rng);
    s.offset = static_cast<int>(rng() % 16);
    return s;
}

using BlockFn = void (*)(uint8_t*, int, const int16_t*);

// A flat residual added to a picture at any alignment: values around the clipping points and, now
// and then, anywhere in the int16 range.
struct DcState {
    uint8_t picture[8 * 24];
    int offset;
    int value;
    std::span<const uint8_t> Output() const { return simdtwin::Bytes(picture, sizeof picture); }
};

inline DcState DcInput(std::mt19937& rng, int round) {
    std::uniform_int_distribution<int> near(-300, 300), wide(-32768, 32767);
    DcState s;
    for (uint8_t& p : s.picture)
        p = Byte(rng);
    s.offset = static_cast<int>(rng() % 16);
    s.value = round % 8 == 0 ? wide(rng) : near(rng);
    return s;
}

using DcFn = void (*)(uint8_t*, int, int);

inline void CallDc(DcFn fn, DcState& s) {
    fn(s.picture + s.offset, 24, s.value);
}

inline void CallBlock(BlockFn fn, BlockState& s) {
    fn(s.picture + s.offset, 24, s.block);
}

// A reference window of 40 × 40 samples, noisy or smooth, and a prediction block with a margin.
struct PredictionState {
    std::vector<uint8_t> source;
    uint8_t dst[16 * 40];
    int w, h, fx, fy, rounding;
    std::span<const uint8_t> Output() const { return simdtwin::Bytes(dst, sizeof dst); }
};

inline std::vector<uint8_t> Window(std::mt19937& rng, bool noisy) {
    std::vector<uint8_t> source(40 * 40);
    for (uint8_t& p : source)
        p = noisy ? Byte(rng) : static_cast<uint8_t>(128 + static_cast<int8_t>(Byte(rng)) / 8);
    return source;
}

// Each window is used for all 48 cases of width 8 or 16, height 4, 8 or 16, (dx, dy) and rounding.
inline PredictionState HalfPelInput(std::mt19937& rng, int round) {
    const int c = round % 48;
    PredictionState s{Window(rng, (round / 48) & 1), {}, c % 2 ? 16 : 8, 4 << (c / 2 % 3), 0, 0, 0};
    s.fx = c / 6 & 1;
    s.fy = c / 12 & 1;
    s.rounding = c / 24;
    return s;
}

inline PredictionState HalfPelTypical(std::mt19937& rng, int round) {
    return {Window(rng, true), {}, 16, 16, round & 1, (round >> 1) & 1, (round >> 2) & 1};
}

using HalfPelFn = void (*)(uint8_t*, int, const uint8_t*, int, int, int, int, int, int);

inline void CallHalfPel(HalfPelFn fn, PredictionState& s) {
    fn(s.dst + 1, 40, s.source.data() + 41, 40, s.w, s.h, s.fx, s.fy, s.rounding);
}

// Each window is used for all 64 cases of size 8 or 16, quarter positions (fx, fy) and rounding.
inline PredictionState QuarterPelInput(std::mt19937& rng, int round) {
    const int c = round % 64;
    const int n = c & 1 ? 16 : 8;
    return {Window(rng, (round / 64) & 1), {}, n, n, c >> 1 & 3, c >> 3 & 3, c >> 5};
}

inline PredictionState QuarterPelTypical(std::mt19937& rng, int round) {
    return {Window(rng, true), {}, 16, 16, 1 + round % 3, 1 + round / 3 % 3, 0};
}

using QuarterPelFn = void (*)(uint8_t*, int, const uint8_t*, int, int, int, int, int);

inline void CallQuarterPel(QuarterPelFn fn, PredictionState& s) {
    fn(s.dst + 2, 40, s.source.data() + 43, 40, s.w, s.fx, s.fy, s.rounding);
}

// A luma plane (combing or noise) and the de-interlaced copy with a margin that must stay untouched.
struct DeinterlaceState {
    int w, h;
    std::vector<uint8_t> luma, out;
    std::span<const uint8_t> Output() const { return out; }
};

inline DeinterlaceState DeinterlaceInput(std::mt19937& rng, int w, int h, bool noisy) {
    DeinterlaceState s{w, h, std::vector<uint8_t>(static_cast<size_t>(w * h)), {}};
    for (uint8_t& p : s.luma)
        p = noisy ? Byte(rng) : static_cast<uint8_t>((Byte(rng) & 0x81) | 0x40);
    s.out.assign(s.luma.size() + 16, 7);
    return s;
}

using DeinterlaceFn = void (*)(uint8_t*, int, const uint8_t*, int, int, int);

inline void CallDeinterlace(DeinterlaceFn fn, DeinterlaceState& s) {
    fn(s.out.data(), s.w, s.luma.data(), s.w, s.w, s.h);
}

using DeinterlaceRowFn = void (*)(uint8_t*, const uint8_t*, const uint8_t*, const uint8_t*, int);

// The line between the first and the third of the state's three lines.
inline void CallDeinterlaceRow(DeinterlaceRowFn fn, DeinterlaceState& s) {
    fn(s.out.data(), s.luma.data(), s.luma.data() + s.w, s.luma.data() + 2 * s.w, s.w);
}

// One output row from luma and chroma rows, with a margin past the row that must stay untouched.
struct RowState {
    int w;
    std::vector<uint8_t> y, u, v, out;
    std::span<const uint8_t> Output() const { return out; }
};

inline RowState RowInput(std::mt19937& rng, int w) {
    RowState s{w, std::vector<uint8_t>(static_cast<size_t>(w)), std::vector<uint8_t>(static_cast<size_t>(w)),
               std::vector<uint8_t>(static_cast<size_t>(w)),
               std::vector<uint8_t>(static_cast<size_t>(4 * w + 32), 9)};
    for (size_t i = 0; i < s.y.size(); ++i) {
        s.y[i] = Byte(rng);
        s.u[i] = Byte(rng);
        s.v[i] = Byte(rng);
    }
    return s;
}

using RowFn = void (*)(uint8_t*, const uint8_t*, const uint8_t*, const uint8_t*, int);

inline void CallRow(RowFn fn, RowState& s) {
    fn(s.out.data(), s.y.data(), s.u.data(), s.v.data(), s.w);
}

// Row widths 1..90 cover every SIMD step and every tail; 704 is a recorder picture's width.
inline RowState RowAnyWidth(std::mt19937& rng, int) {
    return RowInput(rng, 1 + static_cast<int>(rng() % 90));
}
inline RowState RowTypical(std::mt19937& rng, int) {
    return RowInput(rng, 704);
}

} // namespace twin

// The pairs, in the order of DspTable, then the AVX2 kernels; without SIMD kernels in the build (or
// AVX2 in the processor) a pair has no twin.
inline std::vector<simdtwin::Entry> DspTwins() {
    using simdtwin::Erase;
    using simdtwin::Twin;
    using namespace twin;
    const DspTable& s = ScalarDsp();
    const DspTable* v = Sse2Dsp();
    auto simd = [v]<typename F>(F DspTable::*member) -> F { return v ? v->*member : nullptr; };
    const DspTable* w = Avx2Dsp();
    auto avx2 = [w]<typename F>(F DspTable::*member) -> F { return w ? w->*member : nullptr; };
    auto idct = [](void (*fn)(int16_t*), IdctState& st) { fn(st.block); };
    auto deinterlaceAny = [](std::mt19937& rng, int round) {
        return DeinterlaceInput(rng, 1 + static_cast<int>(rng() % 90), 2 + static_cast<int>(rng() % 9),
                                round & 1);
    };
    auto deinterlaceTypical = [](std::mt19937& rng, int) { return DeinterlaceInput(rng, 704, 32, false); };
    // Three lines, the middle one de-interlaced.
    auto deinterlaceRowAny = [](std::mt19937& rng, int round) {
        return DeinterlaceInput(rng, 1 + static_cast<int>(rng() % 90), 3, round & 1);
    };
    auto deinterlaceRowTypical = [](std::mt19937& rng, int) { return DeinterlaceInput(rng, 704, 3, false); };
    auto row = [&](const char* name, RowFn DspTable::*member) {
        return Erase(
            Twin<RowFn, RowState>{name, s.*member, simd(member), 2000, RowAnyWidth, CallRow, RowTypical});
    };
    return {
        Erase(Twin<void (*)(int16_t*), IdctState>{"idct", s.idct, simd(&DspTable::idct), 20000, IdctInput,
                                                  idct}),
        Erase(Twin<BlockFn, BlockState>{"putBlock", s.putBlock, simd(&DspTable::putBlock), 4000, BlockInput,
                                        CallBlock}),
        Erase(Twin<BlockFn, BlockState>{"addBlock", s.addBlock, simd(&DspTable::addBlock), 4000, BlockInput,
                                        CallBlock}),
        Erase(Twin<DcFn, DcState>{"addDc", s.addDc, simd(&DspTable::addDc), 4000, DcInput, CallDc}),
        Erase(Twin<HalfPelFn, PredictionState>{"halfPel", s.halfPel, simd(&DspTable::halfPel), 300 * 48,
                                               HalfPelInput, CallHalfPel, HalfPelTypical}),
        Erase(Twin<QuarterPelFn, PredictionState>{"quarterPel", s.quarterPel, simd(&DspTable::quarterPel),
                                                  300 * 64, QuarterPelInput, CallQuarterPel,
                                                  QuarterPelTypical}),
        Erase(Twin<DeinterlaceFn, DeinterlaceState>{"deinterlace", s.deinterlace,
                                                    simd(&DspTable::deinterlace), 2000, deinterlaceAny,
                                                    CallDeinterlace, deinterlaceTypical}),
        Erase(Twin<DeinterlaceRowFn, DeinterlaceState>{
            "deinterlaceRow", s.deinterlaceRow, simd(&DspTable::deinterlaceRow), 2000, deinterlaceRowAny,
            CallDeinterlaceRow, deinterlaceRowTypical}),
        row("rowRgb32", &DspTable::rowRgb32),
        row("rowRgb24", &DspTable::rowRgb24),
        row("rowRgb565", &DspTable::rowRgb565),
        row("rowYuy2", &DspTable::rowYuy2),
        row("rowUyvy", &DspTable::rowUyvy),
        Erase(Twin<RowFn, RowState>{"rowRgb32_avx2", s.rowRgb32, avx2(&DspTable::rowRgb32), 2000, RowAnyWidth,
                                    CallRow, RowTypical}),
        Erase(Twin<RowFn, RowState>{"rowYuy2_avx2", s.rowYuy2, avx2(&DspTable::rowYuy2), 2000, RowAnyWidth,
                                    CallRow, RowTypical}),
        Erase(Twin<DeinterlaceRowFn, DeinterlaceState>{
            "deinterlaceRow_avx2", s.deinterlaceRow, avx2(&DspTable::deinterlaceRow), 2000, deinterlaceRowAny,
            CallDeinterlaceRow, deinterlaceRowTypical}),
        Erase(Twin<QuarterPelFn, PredictionState>{"quarterPel_avx2", s.quarterPel,
                                                  avx2(&DspTable::quarterPel), 300 * 64, QuarterPelInput,
                                                  CallQuarterPel, QuarterPelTypical}),
    };
}

} // namespace mpeg4::test
