// scryde decode-m4v: decodes a raw MPEG-4 Visual elementary stream with the project's own core.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli/command.h"
#include "mpeg4/m4v_split.h"
#include "mpeg4/mpeg4_core.h"

namespace cli {
namespace {

bool ParseSize(const std::string& s, int& w, int& h) {
    size_t x = s.find('x');
    if (x == std::string::npos)
        return false;
    char* end = nullptr;
    long a = std::strtol(s.c_str(), &end, 10);
    if (end != s.c_str() + x)
        return false;
    long b = std::strtol(s.c_str() + x + 1, &end, 10);
    if (*end != '\0' || a <= 0 || b <= 0 || a > 4096 || b > 4096)
        return false;
    w = static_cast<int>(a);
    h = static_cast<int>(b);
    return true;
}

int RunDecodeM4v(const std::vector<std::string>& args) {
    std::string in, out, size, format;
    bool bottomUp = false, deinterlace = false;
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--size" && i + 1 < args.size())
            size = args[++i];
        else if (a == "--format" && i + 1 < args.size())
            format = args[++i];
        else if (a == "--bottom-up")
            bottomUp = true;
        else if (a == "--deinterlace")
            deinterlace = true;
        else if (!a.empty() && a[0] == '-')
            return Fail(kUsage, "decode-m4v: unknown option \"" + a + "\"");
        else
            positional.push_back(a);
    }
    if (positional.size() != 2 || size.empty() || format.empty())
        return Fail(kUsage, "decode-m4v: usage: scryde decode-m4v IN.m4v OUT --size WxH --format F");
    in = positional[0];
    out = positional[1];
    int w = 0, h = 0;
    if (!ParseSize(size, w, h))
        return Fail(kUsage, "decode-m4v: bad size \"" + size + "\" (expected WxH)");
    int32_t code;
    if (format == "yuy2")
        code = mpeg4::kYuy2;
    else if (format == "uyvy")
        code = mpeg4::kUyvy;
    else if (format == "rgb24")
        code = bottomUp ? mpeg4::kRgb24BottomUp : mpeg4::kRgb24;
    else if (format == "rgb32")
        code = bottomUp ? mpeg4::kRgb32BottomUp : mpeg4::kRgb32;
    else if (format == "rgb565")
        code = bottomUp ? mpeg4::kRgb565BottomUp : mpeg4::kRgb565;
    else
        return Fail(kUsage, "decode-m4v: unknown format \"" + format + "\"");
    if (bottomUp && (code == mpeg4::kYuy2 || code == mpeg4::kUyvy))
        return Fail(kUsage, "decode-m4v: --bottom-up applies to the RGB formats only");

    std::ifstream file(in, std::ios::binary);
    if (!file)
        return Fail(kFailure, "decode-m4v: cannot read \"" + in + "\"");
    std::vector<uint8_t> stream((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    FILE* dst = std::fopen(out.c_str(), "wb");
    if (!dst)
        return Fail(kFailure, "decode-m4v: cannot write \"" + out + "\"");

    mpeg4::CMp4Codec* codec = nullptr;
    if (mpeg4::Create(w, h, &codec) != mpeg4::kOk) {
        std::fclose(dst);
        return Fail(kFailure, "decode-m4v: out of memory for " + size);
    }
    const size_t pictureBytes = static_cast<size_t>(w) * h * mpeg4::BytesPerPixel(code);
    std::vector<uint8_t> picture(pictureBytes);
    std::vector<mpeg4::FrameSpan> frames = mpeg4::SplitElementaryStream(stream.data(), stream.size());
    int written = 0, failed = 0;
    bool writeError = false;
    for (size_t f = 0; f < frames.size(); ++f) {
        mpeg4::DecodeParams p;
        p.width = w;
        p.height = h;
        p.data = stream.data() + frames[f].offset;
        p.length = static_cast<int32_t>(frames[f].length);
        p.output = picture.data();
        p.format = code;
        p.stride = w;
        p.deinterlace = deinterlace ? mpeg4::kDeinterlaceBlend : mpeg4::kDeinterlaceNone;
        int r = mpeg4::DecodeFrame(codec, p);
        if (r != mpeg4::kOk) {
            std::printf("frame %zu: error %d\n", f, r);
            ++failed;
            continue;
        }
        if (std::fwrite(picture.data(), 1, pictureBytes, dst) != pictureBytes)
            writeError = true;
        ++written;
    }
    mpeg4::Destroy(codec);
    if (std::fclose(dst) != 0 || writeError)
        return Fail(kFailure, "decode-m4v: writing \"" + out + "\" failed");
    std::fprintf(stderr, "%zu frames, %d pictures written, %d failed\n", frames.size(), written, failed);
    if (written == 0)
        return Fail(kFailure, "decode-m4v: no frame of \"" + in + "\" decoded");
    return kSuccess;
}

const CommandRegistrar
    reg({"decode-m4v", "decode a raw MPEG-4 elementary stream with the built-in core",
         "Usage: scryde decode-m4v IN.m4v OUT --size WxH --format yuy2|uyvy|rgb24|rgb32|rgb565\n"
         "                         [--bottom-up] [--deinterlace]\n"
         "\n"
         "Splits IN into frames at VOP start codes (headers travel with the frame they\n"
         "precede), decodes them in order with one decoder instance and writes the\n"
         "pictures back to back into OUT (rows of W pixels). Each frame that fails is\n"
         "reported on a line with its result code and written as nothing. --bottom-up\n"
         "writes RGB pictures last row first; --deinterlace blends combing odd lines.\n",
         RunDecodeM4v});

} // namespace
} // namespace cli
