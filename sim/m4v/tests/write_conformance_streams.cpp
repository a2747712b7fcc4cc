// Writes the conformance streams (NAME.m4v) into the directory given, for data/make_reference.sh.
#include <cstdio>
#include <string>

#include "conformance_streams.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    for (const simm4v::test::ConformanceStream& s : simm4v::test::ConformanceStreams()) {
        const std::string path = std::string(argv[1]) + "/" + s.name + ".m4v";
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!f)
            return 1;
        for (const std::vector<uint8_t>& frame : simm4v::test::ConformanceFrames(s))
            std::fwrite(frame.data(), 1, frame.size(), f);
        std::fclose(f);
        std::printf("%s %d %d\n", s.name.c_str(), s.width, s.height);
    }
    return 0;
}
