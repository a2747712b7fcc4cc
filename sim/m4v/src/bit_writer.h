// A bit writer, most significant bit first, as MPEG-4 Visual bit streams are laid out.
#pragma once

#include <cstdint>
#include <vector>

namespace simm4v {

class CBitWriter {
public:
    // Appends the low `bits` bits of `value` (bits 0..32).
    void Put(uint32_t value, int bits) {
        if (bits <= 0)
            return;
        const uint64_t masked = bits == 32 ? value : value & ((uint32_t{1} << bits) - 1);
        m_acc = (m_acc << bits) | masked;
        m_count += bits;
        while (m_count >= 8) {
            m_count -= 8;
            m_out.push_back(static_cast<uint8_t>(m_acc >> m_count));
        }
    }

    // next_start_code() (5.2.2): a zero bit, then ones up to the byte boundary; a full byte 0x7F when
    // the writer is already aligned.
    void StuffToByte() {
        Put(0, 1);
        if (m_count)
            Put((1u << (8 - m_count)) - 1, 8 - m_count);
    }

    // The bytes written; the stream must end byte-aligned (after StuffToByte).
    std::vector<uint8_t>& Bytes() { return m_out; }

private:
    std::vector<uint8_t> m_out;
    uint64_t m_acc = 0; // only the low m_count bits are pending
    int m_count = 0;    // 0..7 between calls
};

} // namespace simm4v
