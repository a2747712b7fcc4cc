// Entropy-coded data: restart processing, sequential block decoding (T.81 F.2.2) and the progressive
// procedures (T.81 G.1.2), for the streamed sequential path and the buffered path.
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "mjpeg/src/jpeg_decoder_impl.h"

namespace mjpeg::detail {

void jpeg_decoder_impl::StartScan() {
    ResetBitReader();
    std::memset(m_dc_pred, 0, sizeof m_dc_pred);
    m_eob_run = 0;
    m_restarts_left = m_restart_interval;
    m_next_restart = 0;
}

// Counts MCUs against the restart interval; true when a restart marker is due before this MCU.
bool jpeg_decoder_impl::RestartDue() {
    if (m_restart_interval == 0)
        return false;
    bool due = m_restarts_left == 0;
    if (due)
        m_restarts_left = m_restart_interval;
    --m_restarts_left;
    return due;
}

// T.81 F.2.2.4 / E.2.4: the next RSTn (n counting 0..7) must follow within 1536 bytes; prediction and
// the end-of-band run start afresh behind it.
void jpeg_decoder_impl::ProcessRestart() {
    ResetBitReader();
    std::uint8_t c = 0;
    for (int i = 0; i < kRestartSearchBytes; ++i) {
        c = GetByte();
        if (c == 0xFF)
            break;
    }
    if (c != 0xFF)
        StopDecoding(jpeg_error::restart_marker);
    while (c == 0xFF)
        c = GetByte();
    if (c != M_RST0 + m_next_restart)
        StopDecoding(jpeg_error::restart_marker);
    std::memset(m_dc_pred, 0, sizeof m_dc_pred);
    m_eob_run = 0;
    m_next_restart = (m_next_restart + 1) & 7;
    ResetBitReader();
}

// T.81 F.2.2.1 and F.2.2.2: one block of a sequential scan, coefficients in natural order. Returns the
// highest zig-zag index written (0 when the block holds only its DC term).
int jpeg_decoder_impl::DecodeBlockSequential(std::int16_t* blk, int sc) {
    const scan_component& s = m_scan[sc];
    const huffman_table& dc = m_huff[s.dc_slot];
    const huffman_table& ac = m_huff[s.ac_slot];

    int t = DecodeSymbol(dc);
    if (t > 15)
        StopDecoding(jpeg_error::corrupt_data);
    int diff = t ? Extend(GetBits(t), t) : 0;
    std::int16_t pred = static_cast<std::int16_t>(m_dc_pred[sc] + diff);
    m_dc_pred[sc] = pred;
    blk[0] = pred;

    // The bit buffer lives in locals across the common path (a code and its value bits found in one
    // lookup) and goes back to the members around every call that reads or refills it.
    std::uint64_t bits = m_bits;
    int count = m_bit_count;
    int last = 0;
    for (int k = 1; k < 64;) {
        if (count < 32) {
            m_bits = bits;
            m_bit_count = count;
            FillBits();
            bits = m_bits;
            count = m_bit_count;
        }
        std::int32_t e = ac.look_ac[bits >> (64 - huffman_table::kLookBits)];
        if (e != 0) {
            k += (e >> 8) & 0xFF;
            int len = e & 0xFF;
            bits <<= len;
            count -= len;
            if (k > 63)
                StopDecoding(jpeg_error::corrupt_data);
            blk[kZigZag[k]] = static_cast<std::int16_t>(e >> 16);
            last = k++;
            continue;
        }
        m_bits = bits;
        m_bit_count = count;
        int rs = DecodeSymbol(ac);
        int r = rs >> 4, size = rs & 15;
        if (size != 0) {
            k += r;
            if (k > 63)
                StopDecoding(jpeg_error::corrupt_data);
            blk[kZigZag[k]] = static_cast<std::int16_t>(Extend(GetBits(size), size));
            last = k++;
        } else if (r == 15) {
            k += 16;
        }
        bits = m_bits;
        count = m_bit_count;
        if (size == 0 && r != 15)
            break;
    }
    m_bits = bits;
    m_bit_count = count;
    return last;
}

// T.81 G.1.2.1: DC first scan.
void jpeg_decoder_impl::DecodeDcFirst(std::int16_t* blk, int sc) {
    int t = DecodeSymbol(m_huff[m_scan[sc].dc_slot]);
    if (t > 15)
        StopDecoding(jpeg_error::corrupt_data);
    int diff = t ? Extend(GetBits(t), t) : 0;
    std::int16_t pred = static_cast<std::int16_t>(m_dc_pred[sc] + diff);
    m_dc_pred[sc] = pred;
    blk[0] = static_cast<std::int16_t>(pred * (1 << m_approx_low));
}

// T.81 G.1.2.1: DC refinement, one bit per block.
void jpeg_decoder_impl::DecodeDcRefine(std::int16_t* blk) {
    if (GetBit())
        blk[0] = static_cast<std::int16_t>(blk[0] | (1 << m_approx_low));
}

// T.81 G.1.2.2: AC first scan with end-of-band runs.
void jpeg_decoder_impl::DecodeAcFirst(std::int16_t* blk, int sc) {
    if (m_eob_run > 0) {
        --m_eob_run;
        return;
    }
    const huffman_table& ac = m_huff[m_scan[sc].ac_slot];
    for (int k = m_spectral_start; k <= m_spectral_end; ++k) {
        int rs = DecodeSymbol(ac);
        int r = rs >> 4, size = rs & 15;
        if (size != 0) {
            k += r;
            if (k > 63)
                StopDecoding(jpeg_error::corrupt_data);
            int v = Extend(GetBits(size), size);
            blk[k] = static_cast<std::int16_t>(v * (1 << m_approx_low));
        } else if (r == 15) {
            k += 15;
        } else {
            m_eob_run = (1 << r) - 1;
            if (r)
                m_eob_run += static_cast<int>(GetBits(r));
            break;
        }
    }
}

namespace {

// Bit k set where the coefficient at zig-zag position k is non-zero.
inline std::uint64_t NonZeroMask(const std::int16_t* blk) {
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    std::uint64_t mask = 0;
    for (int i = 0; i < 64; i += 16) {
        __m128i a = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blk + i)), zero);
        __m128i b = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blk + i + 8)), zero);
        auto zeros = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(a, b)));
        mask |= static_cast<std::uint64_t>(~zeros & 0xFFFFu) << i;
    }
    return mask;
#else
    std::uint64_t mask = 0;
    for (int i = 0; i < 64; ++i)
        mask |= static_cast<std::uint64_t>(blk[i] != 0) << i;
    return mask;
#endif
}

// Positions from..to (inclusive) as a mask; empty when from > to.
inline std::uint64_t PositionRange(int from, int to) {
    if (from > to)
        return 0;
    return (~0ull >> (63 - to)) & (~0ull << from);
}

} // namespace

// T.81 G.1.2.3: AC refinement. Coefficients already non-zero get one correction bit each; new ones have
// magnitude 1 (in units of 2^Al) and are placed after skipping r zero-history coefficients. The
// non-zero coefficients are tracked as a mask, so the walk visits only them and the zero it stops at.
void jpeg_decoder_impl::DecodeAcRefine(std::int16_t* blk, int sc) {
    const int p1 = 1 << m_approx_low;
    const int m1 = -p1;
    int k = m_spectral_start;
    const int end = m_spectral_end;
    std::uint64_t nonzero = NonZeroMask(blk);

    // The correction bits of the non-zero coefficients in mask, in zig-zag order.
    auto refine = [&](std::uint64_t mask) {
        for (; mask != 0; mask &= mask - 1) {
            std::int16_t& c = blk[__builtin_ctzll(mask)];
            if (m_bit_count < 1)
                FillBits();
            int bit = static_cast<int>(m_bits >> 63);
            m_bits <<= 1;
            --m_bit_count;
            if (bit && (c & p1) == 0)
                c = static_cast<std::int16_t>(c + (c >= 0 ? p1 : m1));
        }
    };

    if (m_eob_run == 0) {
        const huffman_table& ac = m_huff[m_scan[sc].ac_slot];
        for (; k <= end; ++k) {
            int rs = DecodeSymbol(ac);
            int r = rs >> 4, size = rs & 15;
            int value = 0;
            if (size != 0) {
                if (size != 1)
                    StopDecoding(jpeg_error::corrupt_data);
                value = GetBit() ? p1 : m1;
            } else if (r != 15) {
                m_eob_run = 1 << r;
                if (r)
                    m_eob_run += static_cast<int>(GetBits(r));
                break;
            }
            // Skip r zero-history coefficients, refining the non-zero ones met on the way; stop at the
            // next zero one (or past the band).
            std::uint64_t zeros = ~nonzero & PositionRange(k, end);
            for (; r > 0 && zeros != 0; --r)
                zeros &= zeros - 1;
            int stop = zeros != 0 ? __builtin_ctzll(zeros) : end + 1;
            refine(nonzero & PositionRange(k, stop - 1));
            k = stop;
            if (value != 0) {
                if (k > 63)
                    StopDecoding(jpeg_error::corrupt_data);
                blk[k] = static_cast<std::int16_t>(value);
                nonzero |= 1ull << k;
            }
        }
    }
    if (m_eob_run > 0) {
        refine(nonzero & PositionRange(k, end));
        --m_eob_run;
    }
}

void jpeg_decoder_impl::DecodeBufferedBlock(std::int16_t* blk, int sc) {
    if (!m_progressive) {
        DecodeBlockSequential(blk, sc);
    } else if (m_spectral_start == 0) {
        if (m_approx_high == 0)
            DecodeDcFirst(blk, sc);
        else
            DecodeDcRefine(blk);
    } else if (m_approx_high == 0) {
        DecodeAcFirst(blk, sc);
    } else {
        DecodeAcRefine(blk, sc);
    }
}

// One scan into the coefficient buffers. A scan of one component covers that component's own blocks
// (T.81 A.2.2); a scan of several goes MCU by MCU (A.2.3).
void jpeg_decoder_impl::DecodeBufferedScan() {
    StartScan();
    if (m_comps_in_scan == 1) {
        frame_component& c = m_comp[m_scan[0].comp];
        for (int by = 0; by < c.comp_blocks_h; ++by) {
            for (int bx = 0; bx < c.comp_blocks_w; ++bx) {
                if (RestartDue())
                    ProcessRestart();
                DecodeBufferedBlock(c.coef + (static_cast<std::size_t>(by) * c.blocks_w + bx) * 64, 0);
            }
        }
    } else {
        for (int my = 0; my < m_mcus_per_col; ++my) {
            for (int mx = 0; mx < m_mcus_per_row; ++mx) {
                if (RestartDue())
                    ProcessRestart();
                for (int i = 0; i < m_comps_in_scan; ++i) {
                    frame_component& c = m_comp[m_scan[i].comp];
                    for (int v = 0; v < c.mcu_v; ++v) {
                        for (int h = 0; h < c.mcu_h; ++h) {
                            int bx = mx * c.mcu_h + h, by = my * c.mcu_v + v;
                            if (bx >= c.blocks_w || by >= c.blocks_h)
                                StopDecoding(jpeg_error::too_many_blocks);
                            DecodeBufferedBlock(
                                c.coef + (static_cast<std::size_t>(by) * c.blocks_w + bx) * 64, i);
                        }
                    }
                }
            }
        }
    }
    ResetBitReader();
}

// Decodes every scan up to EOI into the coefficient buffers.
void jpeg_decoder_impl::DecodeBufferedImage(bool first_scan_read) {
    for (int ci = 0; ci < m_comps_in_frame; ++ci) {
        frame_component& c = m_comp[ci];
        std::size_t blocks = static_cast<std::size_t>(c.blocks_w) * c.blocks_h;
        c.coef = static_cast<std::int16_t*>(Allocate(blocks * 64 * sizeof(std::int16_t)));
    }
    bool have_scan = first_scan_read;
    for (;;) {
        if (!have_scan) {
            int m = ProcessMarkers();
            if (m == M_EOI)
                break;
            if (m != M_SOS)
                StopDecoding(jpeg_error::unexpected_marker);
            ReadSos();
        }
        have_scan = false;
        CheckScanTables();
        if (m_progressive)
            CheckProgressiveScan();
        DecodeBufferedScan();
    }
}

// One row of MCUs of an interleaved sequential scan. The blocks of each MCU are decoded first, then
// dequantised and transformed into the sample planes two at a time (neighbours of one component, or Cb
// and Cr); a pair whose blocks hold only their DC terms takes the flat-block shortcut instead.
void jpeg_decoder_impl::DecodeMcuRowSequential() {
    // Where each block of an MCU goes: its scan component, plane, table and step from one MCU to the next.
    struct block_place {
        int sc;
        std::uint8_t* dst;
        const std::int16_t* qt;
        int stride;
        int step;
    };
    block_place place[kMaxBlocksPerMcu];
    int n = 0;
    for (int i = 0; i < m_comps_in_scan; ++i) {
        frame_component& c = m_comp[m_scan[i].comp];
        for (int v = 0; v < c.mcu_v; ++v)
            for (int h = 0; h < c.mcu_h; ++h)
                place[n++] = {i, c.plane + v * 8 * c.plane_stride + h * 8, m_quant_scaled[c.tq],
                              c.plane_stride, c.mcu_h * 8};
    }
    int last[kMaxBlocksPerMcu];
    for (int mx = 0; mx < m_mcus_per_row; ++mx) {
        if (RestartDue())
            ProcessRestart();
        for (int b = 0; b < n; ++b)
            last[b] = DecodeBlockSequential(m_block + b * 64, place[b].sc);
        for (int b = 0; b < n;) {
            std::int16_t* blk = m_block + b * 64;
            const block_place& p = place[b];
            std::uint8_t* dst = p.dst + mx * p.step;
            if (b + 1 < n && place[b + 1].stride == p.stride) {
                const block_place& p2 = place[b + 1];
                std::uint8_t* dst2 = p2.dst + mx * p2.step;
                if ((last[b] | last[b + 1]) == 0) {
                    IdctDcOnly(blk[0], p.qt[0], dst, p.stride);
                    IdctDcOnly(blk[64], p2.qt[0], dst2, p.stride);
                    blk[0] = blk[64] = 0;
                } else {
                    m_kernels->idct_pair(blk, p.qt, p2.qt, dst, dst2, p.stride);
                    std::memset(blk, 0, 128 * sizeof(std::int16_t));
                }
                b += 2;
                continue;
            }
            if (last[b] == 0) {
                IdctDcOnly(blk[0], p.qt[0], dst, p.stride);
                blk[0] = 0;
            } else {
                m_kernels->idct(blk, p.qt, dst, p.stride);
                std::memset(blk, 0, 64 * sizeof(std::int16_t));
            }
            ++b;
        }
    }
}

// After the last MCU row: re-align and read on to the next marker. The picture is complete by then, so
// what follows it cannot spoil it: a fault in trailing segments is ignored.
void jpeg_decoder_impl::FinishSequentialScan() {
    ResetBitReader();
    try {
        ProcessMarkers();
    } catch (const jpeg_failure&) {
    }
}

} // namespace mjpeg::detail
