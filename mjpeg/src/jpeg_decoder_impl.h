// The decoder's state and its steps. Errors at any depth throw jpeg_failure, which every public operation
// of jpeg_decoder catches (the decoder's "unwind to the public entry").
#pragma once

#include <array>
#include <cstdint>

#include "mjpeg/jpeg_decoder.h"
#include "mjpeg/src/jpeg_kernels.h"

namespace mjpeg::detail {

struct jpeg_failure {
    int code;
};

[[noreturn]] inline void StopDecoding(int code) {
    throw jpeg_failure{code};
}

// Limits. Frames of up to 8192 x 8192 pixels; a row of MCUs of at most 6144 blocks (8192 pixels of
// 4:4:4 need 3072, so this only refuses absurd sampling); at most 100 working buffers per image.
inline constexpr int kMaxDimension = 8192;
inline constexpr int kMaxBlocksPerMcuRow = 6144;
inline constexpr int kMaxAllocations = 100;
inline constexpr int kMaxComponents = 4;
inline constexpr int kMaxBlocksPerMcu = 6; // Y at 2x2 with Cb and Cr
// Input buffering: 4096 bytes of data, 128 bytes of slack in front for pushed-back bytes and 128 bytes of
// end padding behind (FF D9 repeated), so the bit reader can look 8 bytes ahead without a bounds check.
inline constexpr int kInBufSize = 4096;
inline constexpr int kInSlack = 128;
inline constexpr int kInPad = 128;
// How far restart processing looks for the marker.
inline constexpr int kRestartSearchBytes = 1536;

// Marker codes (T.81 Table B.1).
enum marker : int {
    M_SOF0 = 0xC0,
    M_SOF1 = 0xC1,
    M_SOF2 = 0xC2,
    M_SOF3 = 0xC3,
    M_DHT = 0xC4,
    M_SOF5 = 0xC5,
    M_SOF6 = 0xC6,
    M_SOF7 = 0xC7,
    M_JPG = 0xC8,
    M_SOF9 = 0xC9,
    M_SOF10 = 0xCA,
    M_SOF11 = 0xCB,
    M_DAC = 0xCC,
    M_SOF13 = 0xCD,
    M_SOF14 = 0xCE,
    M_SOF15 = 0xCF,
    M_RST0 = 0xD0,
    M_RST7 = 0xD7,
    M_SOI = 0xD8,
    M_EOI = 0xD9,
    M_SOS = 0xDA,
    M_DQT = 0xDB,
    M_DRI = 0xDD,
    M_TEM = 0x01,
};

// T.81 Figure A.6: zig-zag position k to natural (row-major) index.
inline constexpr std::uint8_t kZigZag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// A Huffman table as DHT carries it, with its lookup structure (T.81 Annex C and F.2.2.3).
struct huffman_table {
    bool defined = false;
    std::uint8_t counts[17] = {}; // counts[1..16]
    std::uint8_t values[256] = {};
    // Codes of up to kLookBits bits: (length << 8) | symbol, 0 when the leading bits are not such a code.
    static constexpr int kLookBits = 10;
    std::uint16_t look[1 << kLookBits] = {};
    // AC tables only: a code and its coefficient bits together within kLookBits bits:
    // (value << 16) | (run << 8) | total length, 0 when not available.
    std::int32_t look_ac[1 << kLookBits] = {};
    // Canonical code ranges per length for longer codes.
    std::int32_t mincode[17] = {};
    std::int32_t maxcode[18] = {};
    std::int32_t valptr[17] = {};
};

struct frame_component {
    int id = 0;
    int h = 1, v = 1;         // sampling factors as coded
    int tq = 0;               // quantisation table number
    int mcu_h = 1, mcu_v = 1; // blocks across and down in one MCU
    // Sample plane for one MCU row.
    std::uint8_t* plane = nullptr;
    int plane_stride = 0;
    // Coefficient buffer of a progressive (or multi-scan) image, 64 coefficients per block.
    std::int16_t* coef = nullptr;
    int blocks_w = 0, blocks_h = 0;           // the buffer's extent
    int comp_blocks_w = 0, comp_blocks_h = 0; // blocks that hold the component's own samples
};

struct scan_component {
    int comp = 0; // frame component index
    int dc_slot = 0, ac_slot = 4;
};

class jpeg_decoder_impl {
public:
    jpeg_decoder_impl(jpeg_decoder_stream* stream, jpeg_kernels kernels);
    ~jpeg_decoder_impl();

    // Public steps; each may throw jpeg_failure.
    void Construct();
    void Begin();
    int NextLine(const void** line, std::uint32_t* bytes);

    // Records a failure: closes the stream and frees every working buffer.
    void Fail(int code);

    int m_error = 0;
    bool m_ready = false;
    int m_width = 0, m_height = 0;
    int m_comps_in_frame = 0;
    int m_bytes_per_pixel = 0;
    int m_bytes_per_line = 0;

private:
    // Working memory: zero-filled, 16-byte aligned, recorded, freed together.
    void* Allocate(std::size_t bytes);
    void FreeAll();

    // Input (jpeg_input.cpp).
    void FillInput();
    std::uint8_t GetByte() {
        if (m_in_left == 0) {
            FillInput();
            if (m_in_left == 0) {
                m_flip = !m_flip;
                return m_flip ? 0xFF : 0xD9;
            }
        }
        --m_in_left;
        return *m_in_ptr++;
    }
    void PushBack(std::uint8_t c);
    int Get16() {
        int hi = GetByte();
        return (hi << 8) | GetByte();
    }

    // Bit reader over entropy-coded data (jpeg_input.cpp).
    void ResetBitReader();
    void FillBits();
    std::uint8_t EntropyByte();
    std::uint32_t GetBits(int n) {
        if (n == 0)
            return 0;
        if (m_bit_count < n)
            FillBits();
        std::uint32_t r = static_cast<std::uint32_t>(m_bits >> (64 - n));
        m_bits <<= n;
        m_bit_count -= n;
        return r;
    }
    int GetBit() { return static_cast<int>(GetBits(1)); }
    // T.81 F.2.2.3 DECODE: the first kLookBits bits are looked up; longer codes take the canonical ranges.
    int DecodeSymbol(const huffman_table& t) {
        if (m_bit_count < 16)
            FillBits();
        std::uint16_t e = t.look[m_bits >> (64 - huffman_table::kLookBits)];
        if (e == 0)
            return DecodeLongSymbol(t);
        int len = e >> 8;
        m_bits <<= len;
        m_bit_count -= len;
        return e & 0xFF;
    }
    int DecodeLongSymbol(const huffman_table& t);
    static int Extend(std::uint32_t v, int s) {
        return v < (1u << (s - 1)) ? static_cast<int>(v) - (1 << s) + 1 : static_cast<int>(v);
    }

    // Markers (jpeg_markers.cpp).
    void LocateSoi();
    int NextMarker();
    int ProcessMarkers();
    void LocateSof();
    void ReadSof();
    void ReadDht();
    void ReadDqt();
    void ReadDri();
    void ReadSos();
    void SkipVariableMarker();
    void CheckScanTables();
    void CheckProgressiveScan();
    static void BuildHuffman(huffman_table& t, bool ac);

    // Entropy decoding (jpeg_entropy.cpp).
    void StartScan();
    void ProcessRestart();
    bool RestartDue();
    int DecodeBlockSequential(std::int16_t* blk, int sc);
    void DecodeDcFirst(std::int16_t* blk, int sc);
    void DecodeDcRefine(std::int16_t* blk);
    void DecodeAcFirst(std::int16_t* blk, int sc);
    void DecodeAcRefine(std::int16_t* blk, int sc);
    void DecodeBufferedBlock(std::int16_t* blk, int sc);
    void DecodeBufferedScan();
    void DecodeBufferedImage(bool first_scan_read);
    void DecodeMcuRowSequential();
    void FinishSequentialScan();

    // Layout and output (jpeg_decoder.cpp).
    void LayoutFrame();
    void PrescaleTables();
    void ProduceMcuRowBuffered();

    jpeg_decoder_stream* m_stream;
    const jpeg_kernel_set* m_kernels;

    std::array<void*, kMaxAllocations> m_allocs{};
    int m_alloc_count = 0;

    // Input buffer.
    std::uint8_t* m_in_base = nullptr; // start of the slack area
    std::uint8_t* m_in_buf = nullptr;  // start of the data area
    std::uint8_t* m_in_ptr = nullptr;
    int m_in_left = 0;
    std::uint8_t m_eof = 0;
    bool m_flip = false;
    std::int64_t m_total_bytes = 0;

    // Bit buffer: the next bit is bit 63.
    std::uint64_t m_bits = 0;
    int m_bit_count = 0;
    bool m_marker_hit = false; // the entropy-coded data ran into a marker; 1-bits are fed from here on

    // Frame.
    bool m_progressive = false;
    bool m_buffered = false; // coefficients kept for the whole image (progressive, or scans not interleaved)
    frame_component m_comp[kMaxComponents];
    std::uint16_t m_quant[4][64] = {}; // natural order
    bool m_quant_defined[4] = {};
    alignas(16) std::int16_t m_quant_scaled[4][64] = {};
    huffman_table m_huff[8];

    // Scan.
    int m_comps_in_scan = 0;
    scan_component m_scan[kMaxComponents];
    int m_spectral_start = 0, m_spectral_end = 63;
    int m_approx_high = 0, m_approx_low = 0;
    int m_restart_interval = 0, m_restarts_left = 0, m_next_restart = 0;
    int m_eob_run = 0;
    int m_dc_pred[kMaxComponents] = {};

    // MCU layout.
    int m_max_h = 1, m_max_v = 1;
    int m_mcu_width = 8, m_mcu_height = 8;
    int m_mcus_per_row = 0, m_mcus_per_col = 0;
    int m_blocks_per_mcu = 0, m_blocks_per_mcu_row = 0;
    int m_mcu_row = 0;     // next MCU row to produce
    int m_line_in_mcu = 0; // next line within the current MCU row
    int m_lines_left = 0;
    bool m_scan_finished = false;

    // Output.
    std::uint8_t* m_line_buf[2] = {};
    int m_line_toggle = 0;
    colour_tables* m_colour = nullptr;
    std::int16_t* m_block = nullptr; // the blocks of one MCU, for sequential decoding
};

} // namespace mjpeg::detail
