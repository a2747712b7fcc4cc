// Writes "mjpeg.avi", the short Motion-JPEG clip the archive encoder selection plays through each
// installed compressor to see which ones work: one second of 320 × 240 test pictures at 25 frames a
// second in an AVI 1.0 file with an index.
//
//   make_sample_clip OUTPUT
#include <turbojpeg.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "sim_draw/draw.h"

namespace {

constexpr int kWidth = 320, kHeight = 240, kFrames = 25, kRate = 25;

void Put32(std::vector<unsigned char>& out, unsigned v) {
    unsigned char b[4];
    platform::WriteLE32(b, v);
    out.insert(out.end(), b, b + 4);
}
void PutId(std::vector<unsigned char>& out, const char* id) {
    out.insert(out.end(), id, id + 4);
}
void Put16(std::vector<unsigned char>& out, unsigned v) {
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sample_clip OUTPUT\n");
        return 2;
    }
    tjhandle tj = tjInitCompress();
    std::vector<std::vector<unsigned char>> frames;
    unsigned largest = 0;
    for (int k = 0; k < kFrames; ++k) {
        simdraw::RgbImage picture(kWidth, kHeight);
        simdraw::DrawTestPicture(picture, 0, k, {"SAMPLE", std::to_string(k + 1)});
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        if (tjCompress2(tj, picture.pixels.data(), kWidth, 0, kHeight, TJPF_RGB, &jpeg, &size, TJSAMP_420, 80,
                        0) != 0) {
            std::fprintf(stderr, "make_sample_clip: %s\n", tjGetErrorStr2(tj));
            tjDestroy(tj);
            return 1;
        }
        frames.emplace_back(jpeg, jpeg + size);
        largest = std::max(largest, static_cast<unsigned>(size));
        tjFree(jpeg);
    }
    tjDestroy(tj);

    std::vector<unsigned char> strl;
    PutId(strl, "strh");
    Put32(strl, 56);
    PutId(strl, "vids");
    PutId(strl, "MJPG");
    Put32(strl, 0);           // flags
    Put32(strl, 0);           // priority, language
    Put32(strl, 0);           // initial frames
    Put32(strl, 1);           // scale
    Put32(strl, kRate);       // rate
    Put32(strl, 0);           // start
    Put32(strl, kFrames);     // length
    Put32(strl, largest);     // suggested buffer size
    Put32(strl, 0xFFFFFFFFu); // quality
    Put32(strl, 0);           // sample size
    Put16(strl, 0), Put16(strl, 0), Put16(strl, kWidth), Put16(strl, kHeight);
    PutId(strl, "strf");
    Put32(strl, 40);
    Put32(strl, 40);
    Put32(strl, kWidth);
    Put32(strl, kHeight);
    Put16(strl, 1), Put16(strl, 24);
    PutId(strl, "MJPG");
    Put32(strl, kWidth * kHeight * 3);
    for (int i = 0; i < 4; ++i)
        Put32(strl, 0);

    std::vector<unsigned char> hdrl;
    PutId(hdrl, "avih");
    Put32(hdrl, 56);
    Put32(hdrl, 1000000 / kRate);
    Put32(hdrl, largest * kRate);
    Put32(hdrl, 0);
    Put32(hdrl, 0x10); // has an index
    Put32(hdrl, kFrames);
    Put32(hdrl, 0);
    Put32(hdrl, 1);
    Put32(hdrl, largest + 8);
    Put32(hdrl, kWidth);
    Put32(hdrl, kHeight);
    for (int i = 0; i < 4; ++i)
        Put32(hdrl, 0);
    PutId(hdrl, "LIST");
    Put32(hdrl, static_cast<unsigned>(4 + strl.size()));
    PutId(hdrl, "strl");
    hdrl.insert(hdrl.end(), strl.begin(), strl.end());

    std::vector<unsigned char> movi, idx;
    PutId(movi, "movi");
    for (const auto& f : frames) {
        PutId(idx, "00dc");
        Put32(idx, 0x10); // key frame
        Put32(idx, static_cast<unsigned>(movi.size()));
        Put32(idx, static_cast<unsigned>(f.size()));
        PutId(movi, "00dc");
        Put32(movi, static_cast<unsigned>(f.size()));
        movi.insert(movi.end(), f.begin(), f.end());
        if (f.size() % 2)
            movi.push_back(0);
    }

    std::vector<unsigned char> file;
    PutId(file, "RIFF");
    Put32(file, 0);
    PutId(file, "AVI ");
    PutId(file, "LIST");
    Put32(file, static_cast<unsigned>(4 + hdrl.size()));
    PutId(file, "hdrl");
    file.insert(file.end(), hdrl.begin(), hdrl.end());
    PutId(file, "LIST");
    Put32(file, static_cast<unsigned>(movi.size()));
    file.insert(file.end(), movi.begin(), movi.end());
    PutId(file, "idx1");
    Put32(file, static_cast<unsigned>(idx.size()));
    file.insert(file.end(), idx.begin(), idx.end());
    platform::WriteLE32(file.data() + 4, static_cast<unsigned>(file.size() - 8));

    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f || std::fwrite(file.data(), 1, file.size(), f) != file.size() || std::fclose(f) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
