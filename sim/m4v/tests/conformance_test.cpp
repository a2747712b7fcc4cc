// Our streams against an independent decoder's reading of them (data/independent_decode.txt, made by
// data/make_reference.sh): the streams are still the bytes that decoder accepted without error, and
// the MPEG-4 core's pictures of them agree with its pictures to within IDCT rounding.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "conformance_streams.h"
#include "decode_helpers.h"
#include "testsupport/checksum.h"

namespace simm4v {
namespace {

struct Reference {
    uint64_t streamChecksum = 0;
    int frames = 0;
    std::vector<std::string> samples; // per frame: luma, Cb and Cr samples as hex
};

std::map<std::string, Reference> LoadReferences() {
    std::map<std::string, Reference> refs;
    std::ifstream in(std::string(SIM_M4V_TEST_DATA) + "/independent_decode.txt");
    std::string line;
    Reference* current = nullptr;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string word, name, checksum, y, u, v;
        words >> word;
        if (word == "stream") {
            words >> name >> checksum >> word;
            current = &refs[name];
            current->streamChecksum = std::stoull(checksum, nullptr, 16);
            words >> current->frames;
        } else if (word == "frame" && current) {
            int n;
            words >> n >> y >> u >> v;
            current->samples.push_back(y + u + v);
        }
    }
    return refs;
}

int HexByte(const std::string& s, size_t i) {
    return std::stoi(s.substr(i * 2, 2), nullptr, 16);
}

TEST(Conformance, StreamsMatchTheIndependentDecode) {
    const std::map<std::string, Reference> refs = LoadReferences();
    ASSERT_EQ(refs.size(), test::ConformanceStreams().size());
    for (const test::ConformanceStream& s : test::ConformanceStreams()) {
        SCOPED_TRACE(s.name);
        const Reference& ref = refs.at(s.name);
        std::vector<std::vector<uint8_t>> frames = test::ConformanceFrames(s);
        std::vector<uint8_t> all;
        for (const auto& f : frames)
            all.insert(all.end(), f.begin(), f.end());
        // A changed stream must be checked again with make_reference.sh.
        ASSERT_EQ(testsupport::Fnv1a64(all.data(), all.size()), ref.streamChecksum);
        ASSERT_EQ(ref.frames, 3); // the not-coded VOP gives no picture there
        ASSERT_EQ(ref.samples.size(), 3u);

        test::CDecoder decoder(s.width, s.height);
        const size_t lumaSize = size_t(s.width) * s.height, chromaSize = lumaSize / 4;
        for (int n = 0; n < 3; ++n) {
            ASSERT_EQ(decoder.Decode(frames[n]), mpeg4::kOk) << "frame " << n;
            const std::string& hex = ref.samples[n];
            int worst = 0;
            for (int i = 0; i < test::kLumaSamples + 2 * test::kChromaSamples; ++i) {
                int ours;
                if (i < test::kLumaSamples) {
                    const size_t at = test::SamplePosition(i, lumaSize);
                    ours = decoder.output[at * 2];
                } else {
                    // Chroma sample (x, y) of a YUY2 output sits in picture row 2y at pixel pair x.
                    const bool cr = i >= test::kLumaSamples + test::kChromaSamples;
                    const int k = (i - test::kLumaSamples) % test::kChromaSamples;
                    const size_t at = test::SamplePosition(k, chromaSize);
                    const size_t x = at % (s.width / 2), y = at / (s.width / 2);
                    ours = decoder.output[(2 * y * s.width + 2 * x) * 2 + (cr ? 3 : 1)];
                }
                worst = std::max(worst, std::abs(ours - HexByte(hex, i)));
            }
            EXPECT_LE(worst, 1) << "frame " << n;
        }
        int channel = -1;
        uint32_t value = 0;
        EXPECT_TRUE(ReadTag(decoder.Luma().data(), s.width, s.height, s.width, &channel, &value));
        EXPECT_EQ(channel, 2);
        EXPECT_EQ(value, 0xA5000001u);
    }
}

} // namespace
} // namespace simm4v
