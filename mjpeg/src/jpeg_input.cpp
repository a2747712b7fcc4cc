// Input buffering and the bit reader over entropy-coded data.
#include <cstring>

#include "mjpeg/src/jpeg_decoder_impl.h"

namespace mjpeg::detail {

// Refills the empty buffer with up to 4096 bytes, then writes the end padding behind the data: FF D9
// repeated, so a look-ahead past the data always finds a marker.
void jpeg_decoder_impl::FillInput() {
    if (m_eof || m_stream == nullptr)
        return;
    m_in_ptr = m_in_buf;
    m_in_left = 0;
    while (m_in_left < kInBufSize && !m_eof) {
        int want = kInBufSize - m_in_left;
        int n = m_stream->read(m_in_buf + m_in_left, want, &m_eof);
        if (n < 0 || n > want)
            StopDecoding(jpeg_error::stream_read);
        // A stream that gives nothing without reporting its end would make us wait forever: take it as
        // the end.
        if (n == 0)
            m_eof = 1;
        m_in_left += n;
        m_total_bytes += n;
    }
    for (int i = 0; i < kInPad; i += 2) {
        m_in_buf[m_in_left + i] = 0xFF;
        m_in_buf[m_in_left + i + 1] = 0xD9;
    }
}

void jpeg_decoder_impl::PushBack(std::uint8_t c) {
    // At most two bytes are pushed back between reads, far less than the slack in front of the data.
    if (m_in_ptr == m_in_base)
        StopDecoding(jpeg_error::corrupt_data);
    *--m_in_ptr = c;
    ++m_in_left;
}

void jpeg_decoder_impl::ResetBitReader() {
    m_bits = 0;
    m_bit_count = 0;
    m_marker_hit = false;
}

// T.81 F.2.2.5 with B.1.1.5: a data byte FF is coded as FF 00; FF followed by anything else is a marker,
// which stays in the input while the decoder is fed 1-bits, so that corrupt data runs into the marker
// instead of past it.
std::uint8_t jpeg_decoder_impl::EntropyByte() {
    if (m_marker_hit)
        return 0xFF;
    std::uint8_t c = GetByte();
    if (c != 0xFF)
        return c;
    std::uint8_t c2 = GetByte();
    if (c2 == 0)
        return 0xFF;
    PushBack(c2);
    PushBack(0xFF);
    m_marker_hit = true;
    return 0xFF;
}

namespace {
inline std::uint64_t LoadBe64(const std::uint8_t* p) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    return __builtin_bswap64(x);
}
inline bool HasFfByte(std::uint64_t x) {
    std::uint64_t n = ~x;
    return ((n - 0x0101010101010101ull) & ~n & 0x8080808080808080ull) != 0;
}
} // namespace

// Tops the bit buffer up to more than 56 bits. Where the next 8 input bytes hold no FF they are taken in
// one go; otherwise byte by byte with the stuffing and marker rules.
void jpeg_decoder_impl::FillBits() {
    while (m_bit_count <= 56) {
        if (!m_marker_hit && m_in_left >= 8) {
            std::uint64_t x = LoadBe64(m_in_ptr);
            if (!HasFfByte(x)) {
                int n = (64 - m_bit_count) >> 3;
                if (n < 8)
                    x &= ~0ull << (64 - 8 * n);
                m_bits |= x >> m_bit_count;
                m_bit_count += 8 * n;
                m_in_ptr += n;
                m_in_left -= n;
                continue;
            }
        }
        std::uint8_t c = EntropyByte();
        m_bits |= static_cast<std::uint64_t>(c) << (56 - m_bit_count);
        m_bit_count += 8;
    }
}

// Codes longer than the lookup (T.81 F.2.2.3 with MINCODE, MAXCODE and VALPTR); the buffer holds at
// least 16 bits here.
int jpeg_decoder_impl::DecodeLongSymbol(const huffman_table& t) {
    std::int32_t code16 = static_cast<std::int32_t>(m_bits >> 48);
    for (int len = huffman_table::kLookBits + 1; len <= 16; ++len) {
        std::int32_t code = code16 >> (16 - len);
        if (code <= t.maxcode[len] && code >= t.mincode[len]) {
            m_bits <<= len;
            m_bit_count -= len;
            return t.values[(t.valptr[len] + code - t.mincode[len]) & 0xFF];
        }
    }
    // Not a code of this table (corrupt data): read as symbol 0, consuming nothing.
    return 0;
}

} // namespace mjpeg::detail
