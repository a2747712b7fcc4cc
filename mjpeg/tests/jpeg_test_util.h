// Helpers for the JPEG core tests: whole-image decodes, picture comparison, and a small JPEG writer and
// segment editor for crafted inputs.
#pragma once

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "mjpeg/jpeg_decoder.h"
#include "testsupport/files.h"

namespace mjpeg::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes ReadFile(const std::string& path) {
    return testsupport::ReadFileBytes(path);
}

inline std::string DataPath(const std::string& name) {
    return std::string(MJPEG_TEST_DATA) + "/" + name;
}

struct Decoded {
    int begin = 0; // begin_decoding() result
    int last = 0;  // the decode() result that ended the loop
    int error = 0; // get_error_code() at the end
    int width = 0, height = 0, components = 0;
    int lines = 0;
    std::vector<std::uint32_t> line_bytes;
    Bytes pixels; // RGB (or grey) as returned, the fourth byte dropped
};

inline Decoded DecodeAll(const Bytes& data, jpeg_kernels kernels = jpeg_kernels::fast) {
    Decoded d;
    jpeg_decoder_memory_stream stream(data.data(), static_cast<std::int32_t>(data.size()));
    jpeg_decoder dec(&stream, kernels);
    d.begin = dec.begin_decoding();
    d.width = dec.get_width();
    d.height = dec.get_height();
    d.components = dec.get_num_components();
    if (d.begin == 0) {
        for (;;) {
            const void* line = nullptr;
            std::uint32_t bytes = 0;
            d.last = dec.decode(&line, &bytes);
            if (d.last != 0)
                break;
            ++d.lines;
            d.line_bytes.push_back(bytes);
            const auto* p = static_cast<const std::uint8_t*>(line);
            if (d.components == 1) {
                d.pixels.insert(d.pixels.end(), p, p + bytes);
            } else {
                for (std::uint32_t x = 0; x + 3 < bytes; x += 4)
                    d.pixels.insert(d.pixels.end(), p + x, p + x + 3);
            }
        }
    }
    d.error = dec.get_error_code();
    return d;
}

// Pixels of a binary PPM or PGM.
inline Bytes PnmPixels(const Bytes& file, int* width, int* height) {
    std::size_t pos = 0;
    int fields[4] = {};
    for (int f = 0; f < 4; ++f) {
        while (pos < file.size() && std::isspace(file[pos]))
            ++pos;
        std::string tok;
        while (pos < file.size() && !std::isspace(file[pos]))
            tok += static_cast<char>(file[pos++]);
        fields[f] = f == 0 ? tok[1] - '0' : std::stoi(tok);
    }
    ++pos;
    *width = fields[1];
    *height = fields[2];
    return Bytes(file.begin() + static_cast<std::ptrdiff_t>(pos), file.end());
}

inline double Psnr(const Bytes& a, const Bytes& b, int* max_error) {
    double se = 0;
    *max_error = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        int e = static_cast<int>(a[i]) - static_cast<int>(b[i]);
        se += e * e;
        *max_error = std::max(*max_error, std::abs(e));
    }
    if (se == 0)
        return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / se);
}

// A JPEG byte stream written segment by segment.
struct JpegWriter {
    Bytes out;
    JpegWriter& Marker(int code) {
        out.push_back(0xFF);
        out.push_back(static_cast<std::uint8_t>(code));
        return *this;
    }
    JpegWriter& Segment(int code, const Bytes& payload) {
        Marker(code);
        std::size_t len = payload.size() + 2;
        out.push_back(static_cast<std::uint8_t>(len >> 8));
        out.push_back(static_cast<std::uint8_t>(len));
        out.insert(out.end(), payload.begin(), payload.end());
        return *this;
    }
    // A segment with an explicit (possibly wrong) length field.
    JpegWriter& SegmentWithLength(int code, int length, const Bytes& payload) {
        Marker(code);
        out.push_back(static_cast<std::uint8_t>(length >> 8));
        out.push_back(static_cast<std::uint8_t>(length));
        out.insert(out.end(), payload.begin(), payload.end());
        return *this;
    }
    JpegWriter& Raw(const Bytes& b) {
        out.insert(out.end(), b.begin(), b.end());
        return *this;
    }
};

inline Bytes DqtPayload(int table, std::uint8_t value) {
    Bytes p(65, value);
    p[0] = static_cast<std::uint8_t>(table);
    return p;
}

// A DHT table: class 0 (DC) or 1 (AC), number, codes of the given lengths (1..16) for the symbols.
inline Bytes DhtPayload(int cls, int number, const std::vector<std::pair<int, std::uint8_t>>& codes) {
    Bytes p(17, 0);
    p[0] = static_cast<std::uint8_t>((cls << 4) | number);
    for (auto& c : codes)
        ++p[static_cast<std::size_t>(c.first)];
    for (int len = 1; len <= 16; ++len)
        for (auto& c : codes)
            if (c.first == len)
                p.push_back(c.second);
    return p;
}

struct FrameComponent {
    int id, hv, tq;
};
inline Bytes SofPayload(int width, int height, const std::vector<FrameComponent>& comps, int precision = 8) {
    Bytes p{static_cast<std::uint8_t>(precision), static_cast<std::uint8_t>(height >> 8),
            static_cast<std::uint8_t>(height),    static_cast<std::uint8_t>(width >> 8),
            static_cast<std::uint8_t>(width),     static_cast<std::uint8_t>(comps.size())};
    for (auto& c : comps) {
        p.push_back(static_cast<std::uint8_t>(c.id));
        p.push_back(static_cast<std::uint8_t>(c.hv));
        p.push_back(static_cast<std::uint8_t>(c.tq));
    }
    return p;
}

struct ScanComponent {
    int id, tables;
};
inline Bytes SosPayload(const std::vector<ScanComponent>& comps, int ss = 0, int se = 63, int ahal = 0) {
    Bytes p{static_cast<std::uint8_t>(comps.size())};
    for (auto& c : comps) {
        p.push_back(static_cast<std::uint8_t>(c.id));
        p.push_back(static_cast<std::uint8_t>(c.tables));
    }
    p.push_back(static_cast<std::uint8_t>(ss));
    p.push_back(static_cast<std::uint8_t>(se));
    p.push_back(static_cast<std::uint8_t>(ahal));
    return p;
}

// Bits packed MSB first, the last byte filled with 1-bits, FF bytes stuffed.
inline Bytes PackBits(const std::string& bits) {
    Bytes out;
    int acc = 0, n = 0;
    auto flush = [&](int byte) {
        out.push_back(static_cast<std::uint8_t>(byte));
        if (byte == 0xFF)
            out.push_back(0x00);
    };
    for (char c : bits) {
        acc = (acc << 1) | (c == '1');
        if (++n == 8) {
            flush(acc);
            acc = n = 0;
        }
    }
    if (n > 0)
        flush(((acc << (8 - n)) | ((1 << (8 - n)) - 1)) & 0xFF);
    return out;
}

// Splits a JPEG file into its segments before the first SOS (marker code and payload) and the rest.
struct JpegSegments {
    std::vector<std::pair<int, Bytes>> segments;
    Bytes scan_and_rest; // from the first SOS marker on

    static JpegSegments Parse(const Bytes& f) {
        JpegSegments s;
        std::size_t pos = 2; // after SOI
        while (pos + 4 <= f.size() && f[pos] == 0xFF && f[pos + 1] != 0xDA) {
            int code = f[pos + 1];
            std::size_t len = (static_cast<std::size_t>(f[pos + 2]) << 8) | f[pos + 3];
            s.segments.emplace_back(code, Bytes(f.begin() + static_cast<std::ptrdiff_t>(pos + 4),
                                                f.begin() + static_cast<std::ptrdiff_t>(pos + 2 + len)));
            pos += 2 + len;
        }
        s.scan_and_rest.assign(f.begin() + static_cast<std::ptrdiff_t>(pos), f.end());
        return s;
    }
    Bytes Build() const {
        JpegWriter w;
        w.Marker(0xD8);
        for (auto& seg : segments)
            w.Segment(seg.first, seg.second);
        w.Raw(scan_and_rest);
        return w.out;
    }
    Bytes* Find(int code) {
        for (auto& seg : segments)
            if (seg.first == code)
                return &seg.second;
        return nullptr;
    }
    void Remove(int code) {
        std::erase_if(segments, [code](const auto& seg) { return seg.first == code; });
    }
};

} // namespace mjpeg::test
