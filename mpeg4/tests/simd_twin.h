// Checks a scalar routine against its SIMD twin, as a checkasm harness does: both run on the same
// inputs drawn from a fixed seed (so a failure repeats), their outputs are compared byte for byte, and
// either can be run alone over prepared inputs for timing. It needs no test or benchmark framework,
// so the core tests of both decoders and their kernel benchmarks share one description of each pair.
// It lives beside the MPEG-4 tests only because no folder is common to both cores' tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace simdtwin {

inline constexpr std::uint32_t kSeed = 20240611;

// One scalar routine and its SIMD twin. State holds everything one call reads and the buffer it
// writes, and gives the bytes to compare through Output().
template <typename Fn, typename State> struct Twin {
    const char* name;
    Fn scalar;
    Fn simd;    // nullptr where the build has no SIMD twin
    int rounds; // inputs the check runs
    // One input; round (0 .. rounds - 1) lets a generator walk a range exhaustively before going random.
    std::function<State(std::mt19937&, int round)> generate;
    // Runs one routine on the state.
    std::function<void(Fn, State&)> call;
    // Inputs of the sizes the decoder meets, for timing; generate is used when this is empty.
    std::function<State(std::mt19937&, int round)> typical = nullptr;
};

// A pair with its types erased, so the pairs of one decoder make one list.
struct Entry {
    std::string name;
    bool hasSimd = false;
    // "" when every output matched, else which input and byte differed first.
    std::function<std::string(std::uint32_t seed)> compare;
    // A call that runs one routine (the SIMD one when simd) on the next of a pool of prepared inputs.
    std::function<std::function<void()>(bool simd)> runner;
};

inline void PrintTo(const Entry& e, std::ostream* os) {
    *os << e.name;
}

template <typename Fn, typename State> std::string Compare(const Twin<Fn, State>& t, std::uint32_t seed) {
    std::mt19937 rng(seed);
    for (int round = 0; round < t.rounds; ++round) {
        State a = t.generate(rng, round);
        State b = a;
        t.call(t.scalar, a);
        t.call(t.simd, b);
        std::span<const std::uint8_t> x = a.Output(), y = b.Output();
        for (std::size_t i = 0; i < x.size() && i < y.size(); ++i) {
            if (x[i] != y[i]) {
                char text[160];
                std::snprintf(text, sizeof text,
                              "%s: input %d (seed %u), byte %zu of %zu: scalar %u, SIMD %u", t.name, round,
                              seed, i, x.size(), x[i], y[i]);
                return text;
            }
        }
        if (x.size() != y.size())
            return std::string(t.name) + ": outputs of different sizes at input " + std::to_string(round);
    }
    return {};
}

// Prepared inputs a timed routine cycles through: enough to defeat branch prediction on one input,
// few enough to stay in the first-level cache for block routines.
inline constexpr int kTimingPool = 64;

template <typename Fn, typename State> Entry Erase(Twin<Fn, State> t) {
    Entry e;
    e.name = t.name;
    e.hasSimd = t.simd != nullptr;
    e.compare = [t](std::uint32_t seed) { return Compare(t, seed); };
    e.runner = [t](bool simd) -> std::function<void()> {
        auto pool = std::make_shared<std::vector<State>>();
        std::mt19937 rng(kSeed);
        const auto& make = t.typical ? t.typical : t.generate;
        for (int i = 0; i < kTimingPool; ++i)
            pool->push_back(make(rng, i));
        Fn fn = simd ? t.simd : t.scalar;
        return [t, fn, pool, next = 0]() mutable { t.call(fn, (*pool)[next++ % kTimingPool]); };
    };
    return e;
}

inline std::span<const std::uint8_t> Bytes(const void* p, std::size_t n) {
    return {static_cast<const std::uint8_t*>(p), n};
}

} // namespace simdtwin
