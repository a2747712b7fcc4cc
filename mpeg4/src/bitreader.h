// Big-endian bit reader over one frame's bytes with a sticky overrun flag: reading past the end
// yields zero bits and sets Overrun(), so callers check once per header or macroblock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mpeg4 {

class BitReader {
public:
    BitReader(const uint8_t* data, size_t length) : m_data(data), m_length(length), m_bitLength(length * 8) {}

    // Returns the next n (0..32) bits without consuming them.
    uint32_t Peek(int n) const {
        if (n == 0)
            return 0;
        if (m_cacheBits < n)
            Refill();
        return static_cast<uint32_t>(m_cache >> (64 - n));
    }
    void Skip(int n) {
        m_pos += static_cast<size_t>(n);
        if (m_pos > m_bitLength) {
            m_overrun = true;
            m_pos = m_bitLength;
            m_cacheBits = 0;
        } else if (n < m_cacheBits) {
            m_cache <<= n;
            m_cacheBits -= n;
        } else {
            m_cacheBits = 0;
        }
    }
    uint32_t Read(int n) {
        uint32_t v = Peek(n);
        Skip(n);
        return v;
    }
    bool Bit() { return Read(1) != 0; }
    void Marker() { Skip(1); } // marker bits are not checked: encoders differ in setting them

    void ByteAlign() { Skip(static_cast<int>((8 - (m_pos & 7)) & 7)); }
    bool Overrun() const { return m_overrun; }
    size_t BitPos() const { return m_pos; }
    size_t BitsLeft() const { return m_length * 8 - m_pos; }
    size_t BytePos() const { return (m_pos + 7) >> 3; }
    void SeekByte(size_t byte) {
        m_pos = byte > m_length ? m_length * 8 : byte * 8;
        m_cacheBits = 0;
    }

    // Moves to the next byte-aligned start code prefix 00 00 01 at or after the current position
    // and returns true with the reader on the prefix; false (at the end) when there is none.
    bool NextStartCode() {
        size_t i = BytePos();
        while (i + 3 <= m_length) {
            if (m_data[i + 2] > 1) {
                i += 3;
            } else if (m_data[i] == 0 && m_data[i + 1] == 0 && m_data[i + 2] == 1) {
                m_pos = i * 8;
                m_cacheBits = 0;
                return true;
            } else {
                ++i;
            }
        }
        m_pos = m_length * 8;
        m_cacheBits = 0;
        return false;
    }

    // The reader's position and bit cache held in locals for a tight decoding loop (the transform
    // coefficients), so that they live in registers rather than in the reader between two codes.
    // It works like the reader; Save() hands the state back before anything else uses the reader,
    // Load() takes it again after.
    class Local {
    public:
        explicit Local(BitReader& reader) : m_reader(reader) { Load(); }
        void Load() {
            m_pos = m_reader.m_pos;
            m_cache = m_reader.m_cache;
            m_cacheBits = m_reader.m_cacheBits;
        }
        // A position past the end is where the reader would have stopped: at the end, overrun set.
        void Save() const {
            if (m_pos > m_reader.m_bitLength) {
                m_reader.m_overrun = true;
                m_reader.m_pos = m_reader.m_bitLength;
                m_reader.m_cacheBits = 0;
                return;
            }
            m_reader.m_pos = m_pos;
            m_reader.m_cache = m_cache;
            m_reader.m_cacheBits = m_cacheBits;
        }
        uint32_t Peek(int n) { // n in 1..32
            if (m_cacheBits < n) {
                m_cache = m_reader.WindowAt(m_pos);
                m_cacheBits = 64 - static_cast<int>(m_pos & 7);
            }
            return static_cast<uint32_t>(m_cache >> (64 - n));
        }
        // Unlike the reader's, no bound check: past the end the window holds zero bits either way,
        // and Save() settles the overrun (the caller's loop is bounded, so the position stays close).
        void Skip(int n) {
            m_pos += static_cast<size_t>(n);
            if (n < m_cacheBits) {
                m_cache <<= n;
                m_cacheBits -= n;
            } else {
                m_cacheBits = 0;
            }
        }
        bool Overrun() const { return m_reader.m_overrun; }

    private:
        BitReader& m_reader;
        size_t m_pos;
        uint64_t m_cache;
        int m_cacheBits;
    };

private:
    // Loads the cache with the bits from the current position on: at least 57 of them, zeros past
    // the end of the data.
    void Refill() const {
        m_cache = WindowAt(m_pos);
        m_cacheBits = 64 - static_cast<int>(m_pos & 7);
    }

    // 64 bits from bit position pos on, zeros past the end of the data.
    uint64_t WindowAt(size_t pos) const {
        size_t byte = pos >> 3;
        uint64_t v = 0;
        if (byte + 8 <= m_length) {
            std::memcpy(&v, m_data + byte, 8);
            v = __builtin_bswap64(v);
        } else {
            for (int i = 0; i < 8; ++i)
                v = (v << 8) | (byte + i < m_length ? m_data[byte + i] : 0);
        }
        return v << (pos & 7);
    }

    const uint8_t* m_data;
    size_t m_length;
    size_t m_bitLength;
    size_t m_pos = 0;
    bool m_overrun = false;
    // The bits from m_pos on, left-aligned: a decoder's peek and skip work on this register and go
    // back to memory only when fewer bits are left than a peek asks for.
    mutable uint64_t m_cache = 0;
    mutable int m_cacheBits = 0;
};

} // namespace mpeg4
