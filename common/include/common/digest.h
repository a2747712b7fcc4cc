// Message digests of evidence and of the files written from it: SHA-256 (FIPS 180-4) and MD5 (RFC 1321).
// Every program that prints or logs a file's checksum uses these, so the numbers always agree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace common {

class CSha256 {
public:
    void Update(const void* data, std::size_t size);
    // Lower-case hex; the object is spent afterwards.
    std::string HexDigest();

private:
    void Compress(const std::uint8_t* block);

    std::uint32_t m_h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::uint8_t m_block[64];
    std::size_t m_fill = 0;
    std::uint64_t m_length = 0;
};

class CMd5 {
public:
    void Update(const void* data, std::size_t size);
    std::string HexDigest();

private:
    void Compress(const std::uint8_t* block);

    std::uint32_t m_h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    std::uint8_t m_block[64];
    std::size_t m_fill = 0;
    std::uint64_t m_length = 0;
};

std::string Sha256Hex(const void* data, std::size_t size);
std::string Md5Hex(const void* data, std::size_t size);
// Lower-case hex SHA-256 of the file's bytes; nothing when it cannot be read.
std::optional<std::string> Sha256OfFile(const std::string& path);

} // namespace common
