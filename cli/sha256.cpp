#include "cli/sha256.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace cli {

namespace {

// FIPS 180-4 4.2.2: the first 32 bits of the fractional parts of the cube roots of the first 64 primes.
constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t Rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

class Sha256 {
public:
    void Update(const std::uint8_t* p, std::size_t n) {
        m_length += n;
        while (n > 0) {
            std::size_t take = std::min(n, std::size_t(64) - m_fill);
            std::memcpy(m_block + m_fill, p, take);
            m_fill += take, p += take, n -= take;
            if (m_fill == 64) {
                Compress(m_block);
                m_fill = 0;
            }
        }
    }
    std::string HexDigest() {
        std::uint64_t bits = m_length * 8;
        std::uint8_t pad[72] = {0x80};
        std::size_t padLength = (m_fill < 56 ? 56 : 120) - m_fill;
        for (int i = 0; i < 8; ++i)
            pad[padLength + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
        Update(pad, padLength + 8);
        char hex[65];
        for (int i = 0; i < 8; ++i)
            std::snprintf(hex + 8 * i, 9, "%08x", m_h[i]);
        return std::string(hex, 64);
    }

private:
    // FIPS 180-4 6.2.2: the compression of one 512-bit block.
    void Compress(const std::uint8_t* b) {
        std::uint32_t w[64];
        for (int t = 0; t < 16; ++t)
            w[t] = std::uint32_t(b[4 * t]) << 24 | std::uint32_t(b[4 * t + 1]) << 16 | std::uint32_t(b[4 * t + 2]) << 8 | b[4 * t + 3];
        for (int t = 16; t < 64; ++t) {
            std::uint32_t s0 = Rotr(w[t - 15], 7) ^ Rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            std::uint32_t s1 = Rotr(w[t - 2], 17) ^ Rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        std::uint32_t a = m_h[0], bb = m_h[1], c = m_h[2], d = m_h[3], e = m_h[4], f = m_h[5], g = m_h[6], h = m_h[7];
        for (int t = 0; t < 64; ++t) {
            std::uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[t] + w[t];
            std::uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & bb) ^ (a & c) ^ (bb & c));
            h = g, g = f, f = e, e = d + t1, d = c, c = bb, bb = a, a = t1 + t2;
        }
        m_h[0] += a, m_h[1] += bb, m_h[2] += c, m_h[3] += d, m_h[4] += e, m_h[5] += f, m_h[6] += g, m_h[7] += h;
    }

    std::uint32_t m_h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::uint8_t m_block[64];
    std::size_t m_fill = 0;
    std::uint64_t m_length = 0;
};

}  // namespace

std::string Sha256Hex(const void* data, std::size_t size) {
    Sha256 s;
    s.Update(static_cast<const std::uint8_t*>(data), size);
    return s.HexDigest();
}

std::optional<std::string> Sha256OfFile(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return std::nullopt;
    Sha256 s;
    std::vector<std::uint8_t> buf(1 << 20);
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0)
        s.Update(buf.data(), n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    if (!ok)
        return std::nullopt;
    return s.HexDigest();
}

}  // namespace cli
