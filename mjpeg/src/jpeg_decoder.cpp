// The decoder's public operations, its working memory, the frame layout and the output lines.
#include "mjpeg/jpeg_decoder.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "mjpeg/src/jpeg_decoder_impl.h"

namespace mjpeg {

int jpeg_decoder_memory_stream::read(std::uint8_t* buffer, int max_bytes, std::uint8_t* eof_flag) {
    if (buffer == nullptr || m_data == nullptr)
        return -1;
    if (max_bytes < 0)
        max_bytes = 0;
    int count = m_size - m_ofs;
    if (count > max_bytes)
        count = max_bytes;
    std::memcpy(buffer, m_data + m_ofs, static_cast<std::size_t>(count));
    m_ofs += count;
    if (count < max_bytes && eof_flag != nullptr)
        *eof_flag = 1;
    return count;
}

namespace detail {

jpeg_decoder_impl::jpeg_decoder_impl(jpeg_decoder_stream* stream, jpeg_kernels kernels) : m_stream(stream) {
    const jpeg_kernel_set* fast = Avx2Kernels() != nullptr ? Avx2Kernels() : Sse2Kernels();
    m_kernels = (kernels == jpeg_kernels::fast && fast != nullptr) ? fast : &ScalarKernels();
}

jpeg_decoder_impl::~jpeg_decoder_impl() {
    if (m_stream != nullptr) {
        m_stream->on_close();
        m_stream = nullptr;
    }
    FreeAll();
}

void* jpeg_decoder_impl::Allocate(std::size_t bytes) {
    if (m_alloc_count >= kMaxAllocations)
        StopDecoding(jpeg_error::too_many_allocations);
    void* raw = std::calloc(1, bytes + 16);
    if (raw == nullptr)
        StopDecoding(jpeg_error::out_of_memory);
    m_allocs[m_alloc_count++] = raw;
    auto p = (reinterpret_cast<std::uintptr_t>(raw) + 15) & ~static_cast<std::uintptr_t>(15);
    return reinterpret_cast<void*>(p);
}

void jpeg_decoder_impl::FreeAll() {
    for (int i = 0; i < m_alloc_count; ++i) {
        std::free(m_allocs[i]);
        m_allocs[i] = nullptr;
    }
    m_alloc_count = 0;
}

void jpeg_decoder_impl::Fail(int code) {
    m_error = code;
    m_ready = false;
    if (m_stream != nullptr) {
        m_stream->on_close();
        m_stream = nullptr;
    }
    FreeAll();
}

void jpeg_decoder_impl::Construct() {
    if (m_stream != nullptr)
        m_stream->on_open();
    auto* in = static_cast<std::uint8_t*>(Allocate(kInSlack + kInBufSize + kInPad));
    m_in_base = in;
    m_in_buf = in + kInSlack;
    m_in_ptr = m_in_buf;
    m_in_left = 0;
    FillInput();
    LocateSoi();
    LocateSof();
}

// The MCU layouts taken: greyscale (one block per MCU whatever its sampling factors), and three
// components with Cb and Cr at 1x1 and Y at 1x1, 2x1, 1x2 or 2x2.
void jpeg_decoder_impl::LayoutFrame() {
    if (m_comps_in_frame != 1 && m_comps_in_frame != 3)
        StopDecoding(jpeg_error::unsupported_components);
    if (m_comps_in_frame == 1) {
        m_comp[0].mcu_h = m_comp[0].mcu_v = 1;
        m_blocks_per_mcu = 1;
    } else {
        const frame_component& y = m_comp[0];
        bool chroma_ok = m_comp[1].h == 1 && m_comp[1].v == 1 && m_comp[2].h == 1 && m_comp[2].v == 1;
        bool luma_ok = (y.h == 1 || y.h == 2) && (y.v == 1 || y.v == 2);
        if (!chroma_ok || !luma_ok)
            StopDecoding(jpeg_error::unsupported_sampling);
        m_comp[0].mcu_h = y.h;
        m_comp[0].mcu_v = y.v;
        for (int ci = 1; ci < 3; ++ci)
            m_comp[ci].mcu_h = m_comp[ci].mcu_v = 1;
        m_blocks_per_mcu = y.h * y.v + 2;
    }
    m_max_h = m_comp[0].mcu_h;
    m_max_v = m_comp[0].mcu_v;
    m_mcu_width = 8 * m_max_h;
    m_mcu_height = 8 * m_max_v;
    m_mcus_per_row = (m_width + m_mcu_width - 1) / m_mcu_width;
    m_mcus_per_col = (m_height + m_mcu_height - 1) / m_mcu_height;
    m_blocks_per_mcu_row = m_blocks_per_mcu * m_mcus_per_row;
    if (m_blocks_per_mcu_row > kMaxBlocksPerMcuRow)
        StopDecoding(jpeg_error::too_many_blocks);

    for (int ci = 0; ci < m_comps_in_frame; ++ci) {
        frame_component& c = m_comp[ci];
        c.plane_stride = m_mcus_per_row * c.mcu_h * 8;
        // 16 bytes of slack: the SIMD colour conversion may read one register beyond the last MCU.
        c.plane =
            static_cast<std::uint8_t*>(Allocate(static_cast<std::size_t>(c.plane_stride) * c.mcu_v * 8 + 16));
        c.blocks_w = m_mcus_per_row * c.mcu_h;
        c.blocks_h = m_mcus_per_col * c.mcu_v;
        int comp_w = (m_width * c.mcu_h + m_max_h - 1) / m_max_h;
        int comp_h = (m_height * c.mcu_v + m_max_v - 1) / m_max_v;
        c.comp_blocks_w = (comp_w + 7) / 8;
        c.comp_blocks_h = (comp_h + 7) / 8;
    }

    m_bytes_per_pixel = m_comps_in_frame == 3 ? 4 : 1;
    m_bytes_per_line = m_width * m_bytes_per_pixel;
    std::size_t line_bytes = static_cast<std::size_t>((m_width + 15) & ~15) * m_bytes_per_pixel + 16;
    m_line_buf[0] = static_cast<std::uint8_t*>(Allocate(line_bytes));
    m_line_buf[1] = static_cast<std::uint8_t*>(Allocate(line_bytes));
    m_colour = static_cast<colour_tables*>(Allocate(sizeof(colour_tables)));
    BuildColourTables(*m_colour);
    m_block = static_cast<std::int16_t*>(Allocate(kMaxBlocksPerMcu * 64 * sizeof(std::int16_t)));
}

void jpeg_decoder_impl::PrescaleTables() {
    for (int t = 0; t < 4; ++t) {
        if (m_quant_defined[t])
            PrescaleQuantTable(m_quant[t], m_quant_scaled[t]);
        else
            std::memset(m_quant_scaled[t], 0, sizeof m_quant_scaled[t]);
    }
}

void jpeg_decoder_impl::Begin() {
    LayoutFrame();
    if (m_progressive) {
        m_buffered = true;
        DecodeBufferedImage(false);
    } else {
        if (ProcessMarkers() != M_SOS)
            StopDecoding(jpeg_error::unexpected_marker);
        ReadSos();
        CheckScanTables();
        // The streamed path needs every component in this one scan. Otherwise the scans are decoded
        // into coefficient buffers first, as for a progressive image.
        bool all_interleaved = m_comps_in_scan == m_comps_in_frame;
        for (int i = 0; i < m_comps_in_scan && all_interleaved; ++i)
            for (int j = 0; j < i; ++j)
                if (m_scan[i].comp == m_scan[j].comp)
                    all_interleaved = false;
        if (all_interleaved) {
            PrescaleTables();
            StartScan();
        } else {
            m_buffered = true;
            DecodeBufferedImage(true);
        }
    }
    if (m_buffered)
        PrescaleTables();
    m_lines_left = m_height;
    m_mcu_row = 0;
    m_line_in_mcu = 0;
}

namespace {

void NaturalOrder(const std::int16_t* __restrict zigzag, std::int16_t* __restrict natural) {
#pragma GCC unroll 64
    for (int i = 0; i < 64; ++i)
        natural[kZigZag[i]] = zigzag[i];
}

} // namespace

// Progressive scans keep each block's coefficients in zig-zag order (the refinement walks them in that
// order); they are put back in natural order here, two blocks at a time, before the transform.
void jpeg_decoder_impl::ProduceMcuRowBuffered() {
    for (int ci = 0; ci < m_comps_in_frame; ++ci) {
        frame_component& c = m_comp[ci];
        const std::int16_t* qt = m_quant_scaled[c.tq & 3];
        if (c.tq > 3)
            qt = m_quant_scaled[0]; // never defined: refused by every scan, so the buffer holds zeros
        for (int v = 0; v < c.mcu_v; ++v) {
            int by = m_mcu_row * c.mcu_v + v;
            const std::int16_t* blk = c.coef + static_cast<std::size_t>(by) * c.blocks_w * 64;
            std::uint8_t* dst = c.plane + v * 8 * c.plane_stride;
            for (int bx = 0; bx < c.blocks_w; bx += 2, blk += 128, dst += 16) {
                int n = bx + 1 < c.blocks_w ? 2 : 1;
                const std::int16_t* src = blk;
                if (m_progressive) {
                    for (int b = 0; b < n; ++b)
                        NaturalOrder(blk + 64 * b, m_block + 64 * b);
                    src = m_block;
                }
                if (n == 2)
                    m_kernels->idct_pair(src, qt, qt, dst, dst + 8, c.plane_stride);
                else
                    m_kernels->idct(src, qt, dst, c.plane_stride);
            }
        }
    }
}

int jpeg_decoder_impl::NextLine(const void** line, std::uint32_t* bytes) {
    if (m_lines_left == 0)
        return 1;
    if (m_line_in_mcu == 0) {
        if (m_buffered) {
            ProduceMcuRowBuffered();
        } else {
            DecodeMcuRowSequential();
            if (m_mcu_row + 1 == m_mcus_per_col)
                FinishSequentialScan();
        }
        ++m_mcu_row;
    }
    const frame_component& y = m_comp[0];
    int row = m_line_in_mcu;
    const std::uint8_t* out;
    if (m_comps_in_frame == 1) {
        out = y.plane + row * y.plane_stride;
    } else {
        // Chroma is replicated: with V = 2 one chroma row serves two lines, with H = 2 one sample two pixels.
        int crow = y.mcu_v == 2 ? row >> 1 : row;
        std::uint8_t* dst = m_line_buf[m_line_toggle];
        m_line_toggle ^= 1;
        const std::uint8_t* yp = y.plane + row * y.plane_stride;
        const std::uint8_t* cb = m_comp[1].plane + crow * m_comp[1].plane_stride;
        const std::uint8_t* cr = m_comp[2].plane + crow * m_comp[2].plane_stride;
        if (y.mcu_h == 2)
            m_kernels->convert_h2(yp, cb, cr, dst, m_width, *m_colour);
        else
            m_kernels->convert_h1(yp, cb, cr, dst, m_width, *m_colour);
        out = dst;
    }
    if (line != nullptr)
        *line = out;
    if (bytes != nullptr)
        *bytes = static_cast<std::uint32_t>(m_bytes_per_line);
    if (++m_line_in_mcu == m_mcu_height)
        m_line_in_mcu = 0;
    --m_lines_left;
    return 0;
}

} // namespace detail

jpeg_decoder::jpeg_decoder(jpeg_decoder_stream* stream, jpeg_kernels kernels)
    : m_impl(new (std::nothrow) detail::jpeg_decoder_impl(stream, kernels)) {
    if (!m_impl) {
        m_error = jpeg_error::out_of_memory;
        return;
    }
    try {
        m_impl->Construct();
    } catch (const detail::jpeg_failure& f) {
        m_impl->Fail(f.code);
    } catch (const std::bad_alloc&) {
        m_impl->Fail(jpeg_error::out_of_memory);
    }
}

jpeg_decoder::~jpeg_decoder() = default;

int jpeg_decoder::begin_decoding() {
    if (!m_impl || m_impl->m_error != 0)
        return -1;
    if (m_impl->m_ready)
        return 0;
    try {
        m_impl->Begin();
        m_impl->m_ready = true;
        return 0;
    } catch (const detail::jpeg_failure& f) {
        m_impl->Fail(f.code);
    } catch (const std::bad_alloc&) {
        m_impl->Fail(jpeg_error::out_of_memory);
    }
    return -1;
}

int jpeg_decoder::decode(const void** scan_line, std::uint32_t* scan_line_bytes) {
    if (!m_impl || m_impl->m_error != 0 || !m_impl->m_ready)
        return -1;
    try {
        return m_impl->NextLine(scan_line, scan_line_bytes);
    } catch (const detail::jpeg_failure& f) {
        m_impl->Fail(f.code);
    } catch (const std::bad_alloc&) {
        m_impl->Fail(jpeg_error::out_of_memory);
    }
    return jpeg_error::corrupt_data;
}

int jpeg_decoder::get_error_code() const {
    return m_impl ? m_impl->m_error : m_error;
}
int jpeg_decoder::get_width() const {
    return m_impl ? m_impl->m_width : 0;
}
int jpeg_decoder::get_height() const {
    return m_impl ? m_impl->m_height : 0;
}
int jpeg_decoder::get_num_components() const {
    return m_impl ? m_impl->m_comps_in_frame : 0;
}
int jpeg_decoder::get_bytes_per_pixel() const {
    return m_impl ? m_impl->m_bytes_per_pixel : 0;
}
int jpeg_decoder::get_bytes_per_scan_line() const {
    return m_impl ? m_impl->m_bytes_per_line : 0;
}

const char* jpeg_error_text(int code) {
    switch (code) {
    case 0:
        return "no error";
    case jpeg_error::dht_counts:
        return "Huffman table: the code counts add up to more than 255";
    case jpeg_error::dht_slot:
        return "Huffman table: table number out of range";
    case jpeg_error::dht_length:
        return "Huffman table: segment too short";
    case jpeg_error::dqt_length:
        return "quantisation table: segment length below 2";
    case jpeg_error::dqt_table:
        return "quantisation table: table number above 3";
    case jpeg_error::frame_precision:
        return "frame header: sample precision is not 8 bits";
    case jpeg_error::frame_height:
        return "frame header: height is 0 or above 8192";
    case jpeg_error::frame_width:
        return "frame header: width is 0 or above 8192";
    case jpeg_error::frame_components:
        return "frame header: more than 4 components";
    case jpeg_error::frame_length:
        return "frame header: wrong segment length";
    case jpeg_error::segment_length:
        return "marker segment with a length below 2";
    case jpeg_error::dri_length:
        return "restart interval: segment length is not 4";
    case jpeg_error::scan_length:
        return "scan header: bad component count or segment length";
    case jpeg_error::scan_component:
        return "scan header: component not in the frame";
    case jpeg_error::arithmetic_coding:
        return "arithmetic coding is not supported";
    case jpeg_error::unexpected_marker:
        return "marker out of place";
    case jpeg_error::no_start_of_image:
        return "not a JPEG image: no start-of-image marker in the first 512 bytes";
    case jpeg_error::unsupported_frame:
        return "unsupported JPEG process (only baseline, extended 8-bit and progressive Huffman)";
    case jpeg_error::dqt_short:
        return "quantisation table: segment too short";
    case jpeg_error::too_many_allocations:
        return "too many working buffers";
    case jpeg_error::undefined_quant_table:
        return "a quantisation table the scan needs is not defined";
    case jpeg_error::undefined_huffman_table:
        return "a Huffman table the scan needs is not defined";
    case jpeg_error::unsupported_components:
        return "unsupported colour space: only greyscale and 3-component images";
    case jpeg_error::unsupported_sampling:
        return "unsupported sampling factors";
    case jpeg_error::corrupt_data:
        return "corrupt entropy-coded data";
    case jpeg_error::restart_marker:
        return "restart marker missing or out of sequence";
    case jpeg_error::too_many_blocks:
        return "too many blocks per MCU row";
    case jpeg_error::spectral_range:
        return "progressive scan: bad spectral range";
    case jpeg_error::successive_approximation:
        return "progressive scan: bad successive-approximation bits";
    case jpeg_error::stream_read:
        return "reading the input failed";
    case jpeg_error::out_of_memory:
        return "out of memory";
    default:
        return "unknown error";
    }
}

} // namespace mjpeg
