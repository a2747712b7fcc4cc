#include "common/digest.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace common {

namespace {

// FIPS 180-4 4.2.2: the first 32 bits of the fractional parts of the cube roots of the first 64 primes.
constexpr std::uint32_t kSha256Round[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// RFC 1321 3.4: the sines table T[i] = floor(2^32 * |sin(i + 1)|), and the per-round shift amounts.
constexpr std::uint32_t kMd5Sine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr int kMd5Shift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr std::uint32_t Rotr(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}
constexpr std::uint32_t Rotl(std::uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

// Both digests take 64-byte blocks and pad the same way; only the length's byte order differs.
template <typename Digest>
void Buffer(Digest&& d, std::uint8_t* block, std::size_t& fill, std::uint64_t& length, const std::uint8_t* p,
            std::size_t n) {
    // An empty piece may come with no buffer at all.
    if (n == 0)
        return;
    length += n;
    if (fill) {
        std::size_t take = std::min(n, std::size_t(64) - fill);
        std::memcpy(block + fill, p, take);
        fill += take, p += take, n -= take;
        if (fill < 64)
            return;
        d(block);
        fill = 0;
    }
    for (; n >= 64; p += 64, n -= 64)
        d(p);
    std::memcpy(block, p, n);
    fill = n;
}

// The tail both digests append before their last block (FIPS 180-4 5.1.1, RFC 1321 3.1-3.2): the byte
// 0x80, zeros up to 56 bytes into a block, then the message length in bits in the digest's byte order.
// Returns the tail's length in `pad` (at least 72 bytes).
std::size_t Padding(std::uint64_t length, std::size_t fill, bool bigEndian, std::uint8_t* pad) {
    const std::uint64_t bits = length * 8;
    const std::size_t zeros = (fill < 56 ? 56 : 120) - fill;
    std::fill(pad, pad + 72, std::uint8_t(0));
    pad[0] = 0x80;
    for (int i = 0; i < 8; ++i)
        pad[zeros + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(bits >> (bigEndian ? 56 - 8 * i : 8 * i));
    return zeros + 8;
}

std::string HexWords(const std::uint32_t* words, int count, bool bigEndian) {
    std::string hex;
    char b[3];
    for (int i = 0; i < count; ++i) {
        for (int k = 0; k < 4; ++k) {
            int shift = bigEndian ? 24 - 8 * k : 8 * k;
            std::snprintf(b, sizeof b, "%02x", static_cast<unsigned>((words[i] >> shift) & 0xFF));
            hex += b;
        }
    }
    return hex;
}

} // namespace

void CSha256::Update(const void* data, std::size_t size) {
    Buffer([this](const std::uint8_t* b) { Compress(b); }, m_block, m_fill, m_length,
           static_cast<const std::uint8_t*>(data), size);
}

std::string CSha256::HexDigest() {
    std::uint8_t pad[72];
    Update(pad, Padding(m_length, m_fill, true, pad));
    return HexWords(m_h, 8, true);
}

// FIPS 180-4 6.2.2: the compression of one 512-bit block.
void CSha256::Compress(const std::uint8_t* b) {
    std::uint32_t w[64];
    for (int t = 0; t < 16; ++t)
        w[t] = std::uint32_t(b[4 * t]) << 24 | std::uint32_t(b[4 * t + 1]) << 16 |
               std::uint32_t(b[4 * t + 2]) << 8 | b[4 * t + 3];
    for (int t = 16; t < 64; ++t) {
        std::uint32_t s0 = Rotr(w[t - 15], 7) ^ Rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
        std::uint32_t s1 = Rotr(w[t - 2], 17) ^ Rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    std::uint32_t a = m_h[0], bb = m_h[1], c = m_h[2], d = m_h[3], e = m_h[4], f = m_h[5], g = m_h[6],
                  h = m_h[7];
    for (int t = 0; t < 64; ++t) {
        std::uint32_t t1 =
            h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kSha256Round[t] + w[t];
        std::uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & bb) ^ (a & c) ^ (bb & c));
        h = g, g = f, f = e, e = d + t1, d = c, c = bb, bb = a, a = t1 + t2;
    }
    m_h[0] += a, m_h[1] += bb, m_h[2] += c, m_h[3] += d, m_h[4] += e, m_h[5] += f, m_h[6] += g, m_h[7] += h;
}

void CMd5::Update(const void* data, std::size_t size) {
    Buffer([this](const std::uint8_t* b) { Compress(b); }, m_block, m_fill, m_length,
           static_cast<const std::uint8_t*>(data), size);
}

std::string CMd5::HexDigest() {
    std::uint8_t pad[72];
    Update(pad, Padding(m_length, m_fill, false, pad));
    return HexWords(m_h, 4, false);
}

// RFC 1321 3.4: the four rounds over one 512-bit block, sixteen steps each.
void CMd5::Compress(const std::uint8_t* b) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = std::uint32_t(b[4 * i]) | std::uint32_t(b[4 * i + 1]) << 8 |
               std::uint32_t(b[4 * i + 2]) << 16 | std::uint32_t(b[4 * i + 3]) << 24;
    std::uint32_t a = m_h[0], bb = m_h[1], c = m_h[2], d = m_h[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t f;
        int k;
        switch (i / 16) {
        case 0:
            f = (bb & c) | (~bb & d), k = i;
            break;
        case 1:
            f = (d & bb) | (~d & c), k = (5 * i + 1) % 16;
            break;
        case 2:
            f = bb ^ c ^ d, k = (3 * i + 5) % 16;
            break;
        default:
            f = c ^ (bb | ~d), k = (7 * i) % 16;
            break;
        }
        std::uint32_t next = bb + Rotl(a + f + kMd5Sine[i] + x[k], kMd5Shift[i / 16][i % 4]);
        a = d, d = c, c = bb, bb = next;
    }
    m_h[0] += a, m_h[1] += bb, m_h[2] += c, m_h[3] += d;
}

std::string Sha256Hex(const void* data, std::size_t size) {
    CSha256 s;
    s.Update(data, size);
    return s.HexDigest();
}

std::string Md5Hex(const void* data, std::size_t size) {
    CMd5 s;
    s.Update(data, size);
    return s.HexDigest();
}

std::optional<std::string> Sha256OfFile(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return std::nullopt;
    CSha256 s;
    std::vector<std::uint8_t> buf(1 << 20);
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0)
        s.Update(buf.data(), n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    if (!ok)
        return std::nullopt;
    return s.HexDigest();
}

} // namespace common
