// Fixed-offset readers and writers for on-disk and on-wire records: little-endian, big-endian and the
// "halves swapped" form in which a 32-bit value is stored as two little-endian 16-bit halves, high half
// first. Records are never read by casting a buffer to a struct.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

inline std::uint16_t ReadLE16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t ReadLE32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
inline std::uint64_t ReadLE64(const std::uint8_t* p) {
    return ReadLE32(p) | std::uint64_t(ReadLE32(p + 4)) << 32;
}
inline std::uint16_t ReadBE16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
inline std::uint32_t ReadBE32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           std::uint32_t(p[3]);
}
// A 32-bit value stored as two 16-bit little-endian halves in swapped order: high half at p, low at p+2.
inline std::uint32_t ReadSwapped32(const std::uint8_t* p) {
    return std::uint32_t(ReadLE16(p)) << 16 | ReadLE16(p + 2);
}

inline void WriteLE16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void WriteLE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void WriteLE64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void WriteBE16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
inline void WriteBE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * (3 - i)));
}
inline void WriteSwapped32(std::uint8_t* p, std::uint32_t v) {
    WriteLE16(p, static_cast<std::uint16_t>(v >> 16));
    WriteLE16(p + 2, static_cast<std::uint16_t>(v));
}

// A four-letter tag as a multi-character constant: 'D32M' == FourCC("D32M"). Stored little-endian, its
// bytes appear on disk in reverse letter order.
constexpr std::uint32_t FourCC(const char (&s)[5]) {
    return std::uint32_t(std::uint8_t(s[0])) << 24 | std::uint32_t(std::uint8_t(s[1])) << 16 |
           std::uint32_t(std::uint8_t(s[2])) << 8 | std::uint32_t(std::uint8_t(s[3]));
}

} // namespace platform
