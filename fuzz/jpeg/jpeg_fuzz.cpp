// Fuzz target: arbitrary bytes through the JPEG core's whole life (construct, begin decoding, every
// line), with the SIMD and the portable inner loops run side by side, which must agree byte for byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mjpeg/jpeg_decoder.h"

namespace {
// Pictures above this many pixels are legal but only slow the search down.
constexpr long kMaxFuzzPixels = 1L << 21;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20))
        return 0;
    mjpeg::jpeg_decoder_memory_stream fast_stream(data, static_cast<std::int32_t>(size));
    mjpeg::jpeg_decoder_memory_stream scalar_stream(data, static_cast<std::int32_t>(size));
    mjpeg::jpeg_decoder fast(&fast_stream, mjpeg::jpeg_kernels::fast);
    if (fast.get_error_code() != 0) {
        // A failed construction is reported by the next call and nothing more happens.
        if (fast.begin_decoding() != -1 || fast.decode(nullptr, nullptr) != -1)
            std::abort();
        return 0;
    }
    if (static_cast<long>(fast.get_width()) * fast.get_height() > kMaxFuzzPixels)
        return 0;
    mjpeg::jpeg_decoder scalar(&scalar_stream, mjpeg::jpeg_kernels::scalar);

    int a = fast.begin_decoding();
    int b = scalar.begin_decoding();
    if (a != b || fast.get_error_code() != scalar.get_error_code())
        std::abort();
    if (a != 0)
        return 0;
    for (;;) {
        const void* la = nullptr;
        const void* lb = nullptr;
        std::uint32_t na = 0, nb = 0;
        a = fast.decode(&la, &na);
        b = scalar.decode(&lb, &nb);
        if (a != b || fast.get_error_code() != scalar.get_error_code())
            std::abort();
        if (a != 0)
            break;
        if (na != nb || na != static_cast<std::uint32_t>(fast.get_bytes_per_scan_line()) ||
            std::memcmp(la, lb, na) != 0)
            std::abort();
    }
    // After the end or an error the decoder stays put.
    if (fast.decode(nullptr, nullptr) != (fast.get_error_code() ? -1 : 1))
        std::abort();
    return 0;
}
