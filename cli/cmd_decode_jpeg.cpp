// scryde decode-jpeg: decodes one JPEG file with the project's own JPEG core into a PPM or PGM file.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli/command.h"
#include "mjpeg/jpeg_decoder.h"

namespace cli {
namespace {

int RunDecodeJpeg(const std::vector<std::string>& args) {
    std::vector<std::string> files;
    bool scalar = false;
    for (const std::string& a : args) {
        if (a == "--scalar")
            scalar = true;
        else if (!a.empty() && a[0] == '-' && a != "-")
            return Fail(kUsage, "decode-jpeg: unknown option \"" + a + "\"");
        else
            files.push_back(a);
    }
    if (files.size() != 2)
        return Fail(kUsage, "decode-jpeg: expected IN.jpg OUT.ppm");

    std::ifstream in(files[0], std::ios::binary);
    if (!in)
        return Fail(kFailure, "decode-jpeg: cannot open \"" + files[0] + "\"");
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() > 0x7FFFFFFF)
        return Fail(kFailure, "decode-jpeg: \"" + files[0] + "\" is too large");

    mjpeg::jpeg_decoder_memory_stream stream(data.data(), static_cast<std::int32_t>(data.size()));
    mjpeg::jpeg_decoder decoder(&stream, scalar ? mjpeg::jpeg_kernels::scalar : mjpeg::jpeg_kernels::fast);
    auto failure = [&](int result) {
        int code = decoder.get_error_code();
        if (code == 0)
            code = result;
        return Fail(kFailure, "decode-jpeg: " + files[0] + ": error " + std::to_string(code) + ": " +
                                  mjpeg::jpeg_error_text(code));
    };
    if (decoder.begin_decoding() != 0)
        return failure(-1);

    const int width = decoder.get_width();
    const int height = decoder.get_height();
    const bool grey = decoder.get_num_components() == 1;
    std::vector<std::uint8_t> pixels;
    pixels.reserve(static_cast<std::size_t>(width) * height * (grey ? 1 : 3));
    int lines = 0;
    int result = 0;
    for (;;) {
        const void* line = nullptr;
        std::uint32_t bytes = 0;
        result = decoder.decode(&line, &bytes);
        if (result != 0)
            break;
        const auto* p = static_cast<const std::uint8_t*>(line);
        if (grey) {
            pixels.insert(pixels.end(), p, p + width);
        } else {
            for (int x = 0; x < width; ++x)
                pixels.insert(pixels.end(), p + 4 * x, p + 4 * x + 3);
        }
        ++lines;
    }

    // The lines decoded before a failure are still written: they are what the picture holds.
    std::string out_name = files[1];
    FILE* out = std::fopen(out_name.c_str(), "wb");
    if (out == nullptr)
        return Fail(kFailure, "decode-jpeg: cannot write \"" + out_name + "\"");
    std::fprintf(out, "P%c\n%d %d\n255\n", grey ? '5' : '6', width, lines);
    bool ok = std::fwrite(pixels.data(), 1, pixels.size(), out) == pixels.size();
    ok = (std::fclose(out) == 0) && ok;
    if (!ok)
        return Fail(kFailure, "decode-jpeg: writing \"" + out_name + "\" failed");
    if (result != 1) {
        std::printf("%s: %d of %d lines decoded\n", files[0].c_str(), lines, height);
        return failure(result);
    }
    std::printf("%s: %d x %d, %s, %d lines\n", files[0].c_str(), width, height, grey ? "greyscale" : "colour",
                lines);
    return kSuccess;
}

const CommandRegistrar reg({"decode-jpeg", "decode a JPEG file with the project's own decoder",
                            "Usage: scryde decode-jpeg IN.jpg OUT.ppm [--scalar]\n"
                            "\n"
                            "Decodes IN.jpg (baseline, extended 8-bit or progressive Huffman JPEG) with the\n"
                            "JPEG core of the Motion-JPEG decoder and writes the picture as a binary PPM\n"
                            "for colour images or PGM for greyscale ones (name OUT .pgm for those). On\n"
                            "failure it prints the decoder's error code and its meaning; when the failure\n"
                            "comes part-way through the picture, the lines decoded so far are written.\n"
                            "--scalar uses the portable inner loops instead of the SIMD ones (the output\n"
                            "is the same).\n",
                            RunDecodeJpeg});

} // namespace
} // namespace cli
