// Error model: internal exceptions, caught at each public entry point and kept as the error code below,
// because a corrupt scan can fail anywhere deep in the entropy decoder. No exception leaves the core.
//
// JPEG decoding core: one JPEG image held in memory (or behind any byte stream) into 8-bit scan lines,
// top line first. Huffman-coded processes of ITU-T T.81: baseline sequential (SOF0), extended sequential
// with 8-bit samples (SOF1) and progressive (SOF2).
//
// A caller constructs a decoder on a stream, calls begin_decoding(), asks for lines with decode() until
// the result is not 0, and destroys the decoder. Colour images come out as 4 bytes per pixel (red, green,
// blue and a fourth byte that stays 0), greyscale images as 1 byte per pixel.
//
// No operation throws. Any failure, at any depth, records a negative error code (jpeg_error below),
// closes the stream and frees every working buffer; from then on begin_decoding() and decode() return -1.
#pragma once

#include <cstdint>
#include <memory>

namespace mjpeg {

// Error codes, recorded by the decoder and readable through get_error_code().
namespace jpeg_error {
inline constexpr int dht_counts = -200;               // DHT: the 16 counts add up to more than 255
inline constexpr int dht_slot = -201;                 // DHT: table slot above 7
inline constexpr int dht_length = -202;               // DHT: length below 2, or too short for a table
inline constexpr int dqt_length = -203;               // DQT: segment length below 2
inline constexpr int dqt_table = -204;                // DQT: table number above 3
inline constexpr int frame_precision = -205;          // frame header: precision not 8
inline constexpr int frame_height = -206;             // frame header: height 0 or above 8192
inline constexpr int frame_width = -207;              // frame header: width 0 or above 8192
inline constexpr int frame_components = -208;         // frame header: more than 4 components
inline constexpr int frame_length = -209;             // frame header: length not 8 + 3 x components
inline constexpr int segment_length = -210;           // skipped segment with length below 2
inline constexpr int dri_length = -211;               // DRI: length not 4
inline constexpr int scan_length = -212;              // scan header: count not 1..4 or length not 6 + 2n
inline constexpr int scan_component = -213;           // scan header: component identifier not in the frame
inline constexpr int arithmetic_coding = -215;        // DAC marker or SOF9
inline constexpr int unexpected_marker = -216;        // TEM, JPG or RSTn in the marker loop; no SOS
inline constexpr int no_start_of_image = -217;        // no SOI within the first 512 bytes
inline constexpr int unsupported_frame = -218;        // a frame type other than SOF0, SOF1, SOF2 or SOF9
inline constexpr int dqt_short = -219;                // DQT: segment too short for a table
inline constexpr int too_many_allocations = -221;     // more than 100 working buffers
inline constexpr int undefined_quant_table = -222;    // a scan component's quantisation table is missing
inline constexpr int undefined_huffman_table = -223;  // a Huffman table a scan needs is missing
inline constexpr int unsupported_components = -225;   // component count other than 1 or 3
inline constexpr int unsupported_sampling = -226;     // sampling factors outside the MCU layouts
inline constexpr int corrupt_data = -227;             // corrupt entropy-coded data; any error in decode()
inline constexpr int restart_marker = -228;           // restart marker missing or out of sequence
inline constexpr int too_many_blocks = -229;          // more than 6144 blocks per MCU row
inline constexpr int spectral_range = -230;           // progressive scan with a bad spectral range
inline constexpr int successive_approximation = -231; // progressive scan with a bad Ah/Al pair
inline constexpr int stream_read = -232;              // the stream's read failed
inline constexpr int out_of_memory = -233;            // out of memory
} // namespace jpeg_error

// A short English text for an error code ("unknown error" for codes the decoder never records).
const char* jpeg_error_text(int code);

// The decoder's input. The decoder calls on_open() once when it starts using the stream and on_close()
// when it stops (on any error and on destruction), after which it forgets the stream.
class jpeg_decoder_stream {
public:
    virtual ~jpeg_decoder_stream() = default;
    // Copies up to max_bytes into buffer; returns the count copied (0..max_bytes) or -1 on failure, and
    // sets *eof_flag to 1 once the input is exhausted.
    virtual int read(std::uint8_t* buffer, int max_bytes, std::uint8_t* eof_flag) = 0;
    virtual void on_open() {}
    virtual void on_close() {}
};

// A view of caller-owned memory; owns nothing.
class jpeg_decoder_memory_stream : public jpeg_decoder_stream {
public:
    jpeg_decoder_memory_stream() = default;
    jpeg_decoder_memory_stream(const std::uint8_t* data, std::int32_t size) { open(data, size); }

    // Aims the view at new data, read position 0.
    void open(const std::uint8_t* data, std::int32_t size) {
        m_data = data;
        m_size = size < 0 ? 0 : size;
        m_ofs = 0;
    }

    int read(std::uint8_t* buffer, int max_bytes, std::uint8_t* eof_flag) override;

    std::int32_t position() const { return m_ofs; }

private:
    const std::uint8_t* m_data = nullptr;
    std::int32_t m_size = 0;
    std::int32_t m_ofs = 0;
};

// Which inner loops the decoder runs: the SIMD ones where the machine has them, or the portable ones.
// Both give identical bytes.
enum class jpeg_kernels { fast, scalar };

namespace detail {
class jpeg_decoder_impl;
}

class jpeg_decoder {
public:
    // Reads up to and including the frame header. A failure does not escape: it leaves the error code
    // set, and begin_decoding() reports it.
    explicit jpeg_decoder(jpeg_decoder_stream* stream, jpeg_kernels kernels = jpeg_kernels::fast);
    ~jpeg_decoder();
    jpeg_decoder(const jpeg_decoder&) = delete;
    jpeg_decoder& operator=(const jpeg_decoder&) = delete;

    // 0 once decoding has begun (at once if it already had), -1 when the error code is or becomes set.
    // A progressive image is decoded in full here.
    int begin_decoding();

    // 0 with the next line (top to bottom; valid until the next call), 1 when every line has been
    // returned, -1 when the error code is set or decoding has not begun, -227 when an error occurs
    // while decoding this line (get_error_code() then tells which).
    int decode(const void** scan_line, std::uint32_t* scan_line_bytes);

    int get_error_code() const;
    int get_width() const;
    int get_height() const;
    int get_num_components() const;
    int get_bytes_per_pixel() const;
    int get_bytes_per_scan_line() const;

private:
    std::unique_ptr<detail::jpeg_decoder_impl> m_impl;
    int m_error = 0; // only used when the decoder's state itself could not be allocated
};

} // namespace mjpeg
