// Loading the committed conformance streams and their reference files.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "testsupport/files.h"

namespace mpeg4::test {

inline std::string DataPath(const std::string& name) {
    return std::string(MPEG4_TEST_DATA) + "/" + name;
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
    return testsupport::ReadFileBytes(path);
}

// NAME.ref: the reference decode's size, per-frame plane checksums and luma sampling plan.
struct Reference {
    int width = 0, height = 0, frames = 0, samples = 0, step = 1;
    std::vector<uint64_t> lumaChecksum;
    std::vector<uint8_t> lumaSamples; // (frames / step) × samples

    bool Load(const std::string& name) {
        std::ifstream in(DataPath(name + ".ref"));
        std::string word;
        while (in >> word) {
            if (word == "size") {
                in >> width >> height;
            } else if (word == "frames") {
                in >> frames;
            } else if (word == "samples") {
                in >> samples >> step;
            } else if (word == "frame") {
                int n;
                std::string y, u, v;
                in >> n >> y >> u >> v;
                lumaChecksum.push_back(std::stoull(y, nullptr, 16));
            }
        }
        lumaSamples = ReadFile(DataPath(name + ".ysamp"));
        return width > 0 && frames > 0 &&
               lumaSamples.size() == static_cast<size_t>((frames + step - 1) / step) * samples;
    }

    size_t Position(int i) const {
        return static_cast<size_t>(static_cast<uint32_t>(static_cast<uint32_t>(i) * 2654435761u)) %
               (static_cast<size_t>(width) * height);
    }
};

} // namespace mpeg4::test
