// Marker syntax and the header segments (T.81 B.1 and B.2).
#include <cstring>

#include "mjpeg/src/jpeg_decoder_impl.h"

namespace mjpeg::detail {

// T.81 B.2.1: the image must start with SOI. Up to 512 bytes of anything are tolerated in front of it.
void jpeg_decoder_impl::LocateSoi() {
    std::uint8_t last = GetByte();
    std::uint8_t cur = GetByte();
    if (last == 0xFF && cur == M_SOI)
        return;
    for (int searched = 0;; ++searched) {
        if (searched >= 511)
            StopDecoding(jpeg_error::no_start_of_image);
        last = cur;
        cur = GetByte();
        if (last == 0xFF && cur == M_SOI)
            break;
    }
    // Found by searching: a marker must follow directly.
    std::uint8_t next = GetByte();
    if (next != 0xFF)
        StopDecoding(jpeg_error::no_start_of_image);
    PushBack(next);
}

// T.81 B.1.1.2: skips to the next FF, then over fill FFs, to the marker code. FF 00 is not a marker.
int jpeg_decoder_impl::NextMarker() {
    for (;;) {
        std::uint8_t c;
        do {
            c = GetByte();
        } while (c != 0xFF);
        do {
            c = GetByte();
        } while (c == 0xFF);
        if (c != 0)
            return c;
    }
}

// Reads table and restart segments where they occur; returns at a frame header, SOI, EOI or SOS.
int jpeg_decoder_impl::ProcessMarkers() {
    for (;;) {
        int c = NextMarker();
        switch (c) {
        case M_SOF0:
        case M_SOF1:
        case M_SOF2:
        case M_SOF3:
        case M_SOF5:
        case M_SOF6:
        case M_SOF7:
        case M_SOF9:
        case M_SOF10:
        case M_SOF11:
        case M_SOF13:
        case M_SOF14:
        case M_SOF15:
        case M_SOI:
        case M_EOI:
        case M_SOS:
            return c;
        case M_DHT:
            ReadDht();
            break;
        case M_DQT:
            ReadDqt();
            break;
        case M_DRI:
            ReadDri();
            break;
        case M_DAC:
            StopDecoding(jpeg_error::arithmetic_coding);
        case M_TEM:
        case M_JPG:
            StopDecoding(jpeg_error::unexpected_marker);
        default:
            if (c >= M_RST0 && c <= M_RST7)
                StopDecoding(jpeg_error::unexpected_marker);
            SkipVariableMarker();
            break;
        }
    }
}

void jpeg_decoder_impl::SkipVariableMarker() {
    int length = Get16();
    if (length < 2)
        StopDecoding(jpeg_error::segment_length);
    for (length -= 2; length > 0; --length)
        GetByte();
}

void jpeg_decoder_impl::LocateSof() {
    int c = ProcessMarkers();
    switch (c) {
    case M_SOF2:
        m_progressive = true;
        ReadSof();
        break;
    case M_SOF0:
    case M_SOF1:
        ReadSof();
        break;
    case M_SOF9:
        StopDecoding(jpeg_error::arithmetic_coding);
    default:
        StopDecoding(jpeg_error::unsupported_frame);
    }
}

// T.81 B.2.2 frame header.
void jpeg_decoder_impl::ReadSof() {
    int length = Get16();
    if (GetByte() != 8)
        StopDecoding(jpeg_error::frame_precision);
    m_height = Get16();
    if (m_height < 1 || m_height > kMaxDimension)
        StopDecoding(jpeg_error::frame_height);
    m_width = Get16();
    if (m_width < 1 || m_width > kMaxDimension)
        StopDecoding(jpeg_error::frame_width);
    m_comps_in_frame = GetByte();
    if (m_comps_in_frame > kMaxComponents)
        StopDecoding(jpeg_error::frame_components);
    if (length != 8 + 3 * m_comps_in_frame)
        StopDecoding(jpeg_error::frame_length);
    for (int i = 0; i < m_comps_in_frame; ++i) {
        frame_component& c = m_comp[i];
        c.id = GetByte();
        int hv = GetByte();
        c.h = hv >> 4;
        c.v = hv & 15;
        c.tq = GetByte();
    }
}

// T.81 B.2.4.2 Huffman table segment (DHT).
void jpeg_decoder_impl::ReadDht() {
    int left = Get16();
    if (left < 2)
        StopDecoding(jpeg_error::dht_length);
    left -= 2;
    while (left > 0) {
        int index = GetByte();
        int slot = (index & 0x0F) + ((index & 0x10) ? 4 : 0);
        if (slot > 7)
            StopDecoding(jpeg_error::dht_slot);
        huffman_table& t = m_huff[slot];
        std::uint8_t counts[17] = {};
        int total = 0;
        for (int len = 1; len <= 16; ++len) {
            counts[len] = GetByte();
            total += counts[len];
        }
        if (total > 255)
            StopDecoding(jpeg_error::dht_counts);
        if (left < 17 + total)
            StopDecoding(jpeg_error::dht_length);
        std::memcpy(t.counts, counts, sizeof counts);
        std::memset(t.values, 0, sizeof t.values);
        for (int i = 0; i < total; ++i)
            t.values[i] = GetByte();
        left -= 17 + total;
        BuildHuffman(t, slot >= 4);
        t.defined = true;
    }
}

// T.81 C.2 code generation, and the lookup tables derived from it.
void jpeg_decoder_impl::BuildHuffman(huffman_table& t, bool ac) {
    constexpr int kLook = huffman_table::kLookBits;
    std::memset(t.look, 0, sizeof t.look);
    std::memset(t.look_ac, 0, sizeof t.look_ac);
    std::int32_t code = 0;
    int k = 0;
    for (int len = 1; len <= 16; ++len) {
        t.valptr[len] = k;
        t.mincode[len] = code;
        int n = t.counts[len];
        for (int i = 0; i < n; ++i, ++k, ++code) {
            // An over-subscribed length table yields codes too long for their length; they can never be
            // matched and are left out.
            if (len > kLook || code >= (1 << len))
                continue;
            int shift = kLook - len;
            int base = code << shift;
            std::uint8_t sym = t.values[k];
            for (int j = 0; j < (1 << shift); ++j)
                t.look[base + j] = static_cast<std::uint16_t>((len << 8) | sym);
            int run = sym >> 4, size = sym & 15;
            if (ac && size != 0 && len + size <= kLook) {
                for (int j = 0; j < (1 << shift); ++j) {
                    std::uint32_t bits =
                        static_cast<std::uint32_t>(((base + j) >> (kLook - len - size)) & ((1 << size) - 1));
                    int value = Extend(bits, size);
                    t.look_ac[base + j] = static_cast<std::int32_t>(value * 65536 + (run << 8) + len + size);
                }
            }
        }
        t.maxcode[len] = n ? code - 1 : -1;
        code <<= 1;
    }
    t.maxcode[17] = 0x7FFFFFFF;
}

// T.81 B.2.4.1 quantisation table segment (DQT).
void jpeg_decoder_impl::ReadDqt() {
    int left = Get16();
    if (left < 2)
        StopDecoding(jpeg_error::dqt_length);
    left -= 2;
    while (left > 0) {
        int pq_tq = GetByte();
        int n = pq_tq & 0x0F;
        bool wide = (pq_tq >> 4) != 0;
        if (n > 3)
            StopDecoding(jpeg_error::dqt_table);
        int size = wide ? 129 : 65;
        if (left < size)
            StopDecoding(jpeg_error::dqt_short);
        for (int k = 0; k < 64; ++k) {
            int v = wide ? Get16() : GetByte();
            m_quant[n][kZigZag[k]] = static_cast<std::uint16_t>(v);
        }
        m_quant_defined[n] = true;
        left -= size;
    }
}

// T.81 B.2.4.4 restart interval definition.
void jpeg_decoder_impl::ReadDri() {
    if (Get16() != 4)
        StopDecoding(jpeg_error::dri_length);
    m_restart_interval = Get16();
}

// T.81 B.2.3 scan header.
void jpeg_decoder_impl::ReadSos() {
    int length = Get16();
    int n = GetByte();
    if (n < 1 || n > kMaxComponents || length != 6 + 2 * n)
        StopDecoding(jpeg_error::scan_length);
    m_comps_in_scan = n;
    for (int i = 0; i < n; ++i) {
        int id = GetByte();
        int tables = GetByte();
        int ci = 0;
        while (ci < m_comps_in_frame && m_comp[ci].id != id)
            ++ci;
        if (ci >= m_comps_in_frame)
            StopDecoding(jpeg_error::scan_component);
        m_scan[i].comp = ci;
        m_scan[i].dc_slot = tables >> 4;
        m_scan[i].ac_slot = (tables & 15) + 4;
    }
    m_spectral_start = GetByte();
    m_spectral_end = GetByte();
    int a = GetByte();
    m_approx_high = a >> 4;
    m_approx_low = a & 15;
    if (!m_progressive) {
        m_spectral_start = 0;
        m_spectral_end = 63;
    }
    // Any bytes beyond what the count announced were refused by the length check above.
}

// Every Huffman table and quantisation table the scan's components need must be defined.
void jpeg_decoder_impl::CheckScanTables() {
    for (int i = 0; i < m_comps_in_scan; ++i) {
        const scan_component& s = m_scan[i];
        if (m_spectral_start == 0 && (s.dc_slot > 7 || !m_huff[s.dc_slot].defined))
            StopDecoding(jpeg_error::undefined_huffman_table);
        if (m_spectral_end > 0 && (s.ac_slot > 7 || !m_huff[s.ac_slot].defined))
            StopDecoding(jpeg_error::undefined_huffman_table);
    }
    for (int i = 0; i < m_comps_in_scan; ++i) {
        int tq = m_comp[m_scan[i].comp].tq;
        if (tq > 3 || !m_quant_defined[tq])
            StopDecoding(jpeg_error::undefined_quant_table);
    }
}

// T.81 G.1.1.1.1 limits on Ss, Se, Ah and Al in progressive scans.
void jpeg_decoder_impl::CheckProgressiveScan() {
    bool ok = m_spectral_start <= m_spectral_end && m_spectral_end <= 63;
    if (m_spectral_start == 0)
        ok = ok && m_spectral_end == 0;
    else
        ok = ok && m_comps_in_scan == 1;
    if (!ok)
        StopDecoding(jpeg_error::spectral_range);
    if (m_approx_high != 0 && m_approx_high != m_approx_low + 1)
        StopDecoding(jpeg_error::successive_approximation);
}

} // namespace mjpeg::detail
