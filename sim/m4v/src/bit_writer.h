// A bit writer, most significant bit first, as MPEG-4 Visual bit streams are laid out.
#pragma once

#include <cstdint>
#include <vector>

namespace simm4v {

class CBitWriter {
public:
    // Appends the low `bits` bits of `value` (bits 0..32).
    void Put(uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            if (m_bit == 0)
                m_out.push_back(0);
            if ((value >> i) & 1)
                m_out.back() = static_cast<uint8_t>(m_out.back() | (0x80 >> m_bit));
            m_bit = (m_bit + 1) & 7;
        }
    }

    // A bit string such as "0010" (the way Annex B prints its codes).
    void PutCode(uint32_t code, int length) { Put(code, length); }

    // next_start_code() (5.2.2): a zero bit, then ones up to the byte boundary; a full byte 0x7F when
    // the writer is already aligned.
    void StuffToByte() {
        Put(0, 1);
        while (m_bit != 0)
            Put(1, 1);
    }

    bool Aligned() const { return m_bit == 0; }
    std::vector<uint8_t>& Bytes() { return m_out; }

private:
    std::vector<uint8_t> m_out;
    int m_bit = 0;
};

}  // namespace simm4v
