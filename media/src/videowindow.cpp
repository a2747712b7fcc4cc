#include "media/videowindow.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/bytes.h"

namespace media {

namespace {

std::mutex g_factoryMutex;
VideoWindowBackendFactory& Factory() {
    static VideoWindowBackendFactory factory;
    return factory;
}

// The headless backend: pictures stay in the renderer's frame store; window settings are kept only.
class CHeadlessBackend final : public IVideoWindowBackend {
public:
    void Present(const VideoFrame&) override {}
    void SetOwner(OAHWND) override {}
    void SetWindowStyle(LONG) override {}
    void SetWindowPosition(LONG, LONG, LONG, LONG) override {}
    void SetVisible(bool) override {}
    void SetCaption(const std::string&) override {}
};

// CRC-32 (ISO 3309) over PNG chunk types and data.
std::uint32_t Crc32(std::uint32_t crc, const BYTE* p, std::size_t n) {
    static std::uint32_t table[256];
    static std::once_flag once;
    std::call_once(once, [] {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
    });
    crc = ~crc;
    for (std::size_t i = 0; i < n; ++i)
        crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void PutChunk(std::vector<BYTE>& out, const char* type, const std::vector<BYTE>& data) {
    BYTE len[4];
    platform::WriteBE32(len, static_cast<std::uint32_t>(data.size()));
    out.insert(out.end(), len, len + 4);
    std::size_t typeAt = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    BYTE crc[4];
    platform::WriteBE32(crc, Crc32(0, out.data() + typeAt, 4 + data.size()));
    out.insert(out.end(), crc, crc + 4);
}

} // namespace

void SetVideoWindowBackendFactory(VideoWindowBackendFactory factory) {
    std::lock_guard lock(g_factoryMutex);
    Factory() = std::move(factory);
}

std::unique_ptr<IVideoWindowBackend> CreateVideoWindowBackend() {
    VideoWindowBackendFactory f;
    {
        std::lock_guard lock(g_factoryMutex);
        f = Factory();
    }
    if (f) {
        if (auto backend = f())
            return backend;
    }
    return std::make_unique<CHeadlessBackend>();
}

bool IsPlainFrame(const VideoFrame& frame) {
    const std::size_t pixels = std::size_t(std::max<LONG>(frame.width, 0)) * std::max<LONG>(frame.height, 0);
    if (pixels == 0 || frame.pixels.size() < pixels * 4)
        return false;
    const BYTE* p = frame.pixels.data();
    // A recorded picture differs from its first pixel within a few pixels; only a plain one is read whole.
    for (std::size_t i = 1; i < pixels; ++i)
        if (p[4 * i] != p[0] || p[4 * i + 1] != p[1] || p[4 * i + 2] != p[2])
            return false;
    return true;
}

bool WritePng(const std::string& path, const VideoFrame& frame) {
    if (frame.width <= 0 || frame.height <= 0 ||
        frame.pixels.size() < std::size_t(frame.width) * std::size_t(frame.height) * 4)
        return false;
    // Raw scanlines (filter type 0, RGB), stored in uncompressed deflate blocks (RFC 1951 3.2.4)
    // inside a zlib stream (RFC 1950).
    std::vector<BYTE> raw;
    raw.reserve(std::size_t(frame.height) * (std::size_t(frame.width) * 3 + 1));
    for (LONG y = 0; y < frame.height; ++y) {
        raw.push_back(0);
        const BYTE* row = frame.pixels.data() + std::size_t(y) * std::size_t(frame.width) * 4;
        for (LONG x = 0; x < frame.width; ++x) {
            raw.push_back(row[x * 4 + 2]);
            raw.push_back(row[x * 4 + 1]);
            raw.push_back(row[x * 4 + 0]);
        }
    }
    std::vector<BYTE> z = {0x78, 0x01};
    std::size_t pos = 0;
    do {
        std::size_t n = std::min<std::size_t>(65535, raw.size() - pos);
        bool last = pos + n == raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back(static_cast<BYTE>(n));
        z.push_back(static_cast<BYTE>(n >> 8));
        z.push_back(static_cast<BYTE>(~n));
        z.push_back(static_cast<BYTE>(~n >> 8));
        z.insert(z.end(), raw.begin() + static_cast<long>(pos), raw.begin() + static_cast<long>(pos + n));
        pos += n;
    } while (pos < raw.size());
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    for (BYTE v : raw) {
        a = (a + v) % 65521;
        b = (b + a) % 65521;
    }
    BYTE adler[4];
    platform::WriteBE32(adler, (b << 16) | a);
    z.insert(z.end(), adler, adler + 4);

    std::vector<BYTE> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<BYTE> ihdr(13);
    platform::WriteBE32(ihdr.data(), static_cast<std::uint32_t>(frame.width));
    platform::WriteBE32(ihdr.data() + 4, static_cast<std::uint32_t>(frame.height));
    ihdr[8] = 8; // bit depth
    ihdr[9] = 2; // colour type RGB
    PutChunk(png, "IHDR", ihdr);
    PutChunk(png, "IDAT", z);
    PutChunk(png, "IEND", {});
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(png.data(), 1, png.size(), f) == png.size();
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

bool ConvertToFrame(const GUID& subtype, const BITMAPINFOHEADER& bih, const BYTE* data, LONG length,
                    VideoFrame* out) {
    LONG w = bih.biWidth;
    LONG h = bih.biHeight < 0 ? -bih.biHeight : bih.biHeight;
    if (w <= 0 || h <= 0 || w > 16384 || h > 16384)
        return false;
    bool yuv = subtype == MEDIASUBTYPE_YUY2 || subtype == MEDIASUBTYPE_UYVY;
    int bpp = subtype == MEDIASUBTYPE_RGB32                                               ? 32
              : subtype == MEDIASUBTYPE_RGB24                                             ? 24
              : (subtype == MEDIASUBTYPE_RGB565 || subtype == MEDIASUBTYPE_RGB555 || yuv) ? 16
                                                                                          : 0;
    if (bpp == 0)
        return false;
    std::size_t stride = ((std::size_t(w) * std::size_t(bpp) / 8) + 3) & ~std::size_t(3);
    if (length < 0 || std::size_t(length) < stride * std::size_t(h))
        return false;
    bool bottomUp = !yuv && bih.biHeight > 0;
    out->width = w;
    out->height = h;
    out->pixels.resize(std::size_t(w) * std::size_t(h) * 4);
    auto clamp = [](int v) { return static_cast<BYTE>(v < 0 ? 0 : v > 255 ? 255 : v); };
    for (LONG y = 0; y < h; ++y) {
        const BYTE* src = data + stride * std::size_t(bottomUp ? h - 1 - y : y);
        BYTE* dst = out->pixels.data() + std::size_t(y) * std::size_t(w) * 4;
        if (bpp == 32) {
            // Whole rows at once; the fourth byte of every pixel is cleared as the frame format has it.
            std::memcpy(dst, src, std::size_t(w) * 4);
            for (LONG x = 0; x < w; ++x)
                dst[x * 4 + 3] = 0;
            continue;
        }
        for (LONG x = 0; x < w; ++x) {
            BYTE* d = dst + x * 4;
            if (bpp == 24) {
                std::memcpy(d, src + x * 3, 3);
            } else if (!yuv) {
                std::uint16_t v = platform::ReadLE16(src + x * 2);
                if (subtype == MEDIASUBTYPE_RGB565) {
                    d[2] = static_cast<BYTE>((v >> 11) << 3);
                    d[1] = static_cast<BYTE>(((v >> 5) & 0x3F) << 2);
                } else {
                    d[2] = static_cast<BYTE>(((v >> 10) & 0x1F) << 3);
                    d[1] = static_cast<BYTE>(((v >> 5) & 0x1F) << 3);
                }
                d[0] = static_cast<BYTE>((v & 0x1F) << 3);
            } else {
                // Two pixels share U and V (ITU-R BT.601 ranges).
                const BYTE* pair = src + (x & ~1) * 2;
                int yv = subtype == MEDIASUBTYPE_YUY2 ? pair[(x & 1) * 2] : pair[(x & 1) * 2 + 1];
                int u = (subtype == MEDIASUBTYPE_YUY2 ? pair[1] : pair[0]) - 128;
                int v = (subtype == MEDIASUBTYPE_YUY2 ? pair[3] : pair[2]) - 128;
                int c = (yv - 16) * 298;
                d[2] = clamp((c + 409 * v + 128) >> 8);
                d[1] = clamp((c - 100 * u - 208 * v + 128) >> 8);
                d[0] = clamp((c + 516 * u + 128) >> 8);
            }
            d[3] = 0;
        }
    }
    return true;
}

} // namespace media
