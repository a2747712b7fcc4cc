// Writes the blue-screen picture the ORMA source sends to channels that have no picture yet: one
// PAL field (720 × 288) of plain blue, a baseline JPEG that starts with its quantisation tables as
// the recorder's own pictures do.
//
//   make_bluescreen OUTPUT
#include <turbojpeg.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_bluescreen OUTPUT\n");
        return 2;
    }
    constexpr int kWidth = 720, kHeight = 288;
    std::vector<unsigned char> rgb(static_cast<std::size_t>(kWidth) * kHeight * 3);
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = 0;
        rgb[i + 1] = 0;
        rgb[i + 2] = 200;
    }
    tjhandle tj = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    const int rc = tjCompress2(tj, rgb.data(), kWidth, 0, kHeight, TJPF_RGB, &jpeg, &size, TJSAMP_420, 75, 0);
    if (rc != 0 || size < 4) {
        std::fprintf(stderr, "make_bluescreen: %s\n", tjGetErrorStr2(tj));
        tjDestroy(tj);
        return 1;
    }
    // Drop the JFIF APP0 segment after SOI (ITU-T T.81 B.2.4.6 application data is optional).
    std::vector<unsigned char> out(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(tj);
    if (out.size() > 6 && out[2] == 0xFF && out[3] == 0xE0) {
        const std::size_t length = (std::size_t(out[4]) << 8) | out[5];
        if (4 + length <= out.size())
            out.erase(out.begin() + 2, out.begin() + 2 + static_cast<std::ptrdiff_t>(length) + 2);
    }
    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
