// Writes the seed inputs of the ORMA image fuzz target: small recordings from the synthetic recorder,
// each reduced to its non-zero sector runs in the fuzz input format.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/orma/harness.h"
#include "sim_orma/orma_sim.h"

namespace {

std::vector<orma::fuzz::Patch> NonZeroRuns(const std::vector<unsigned char>& image) {
    std::vector<orma::fuzz::Patch> out;
    for (std::size_t s = 0; s * 512 < image.size(); ++s) {
        const unsigned char* p = image.data() + s * 512;
        std::size_t used = 512;
        while (used > 0 && p[used - 1] == 0)
            --used;
        if (used == 0)
            continue;
        // A run grows only while its last sector was whole.
        if (!out.empty() && out.back().sector + out.back().bytes.size() / 512 == s &&
            out.back().bytes.size() % 512 == 0 && out.back().bytes.size() < 4096) {
            out.back().bytes.insert(out.back().bytes.end(), p, p + used);
        } else {
            out.push_back({static_cast<std::uint32_t>(s), std::vector<std::uint8_t>(p, p + used)});
        }
    }
    return out;
}

bool Seed(const std::string& dir, const std::string& name, simorma::Options o) {
    const std::string tmp = dir + "/." + name + ".img";
    simorma::Result r = simorma::Write(tmp, o);
    if (!r.error.empty()) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), r.error.c_str());
        return false;
    }
    std::ifstream in(tmp, std::ios::binary);
    std::vector<unsigned char> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::remove(tmp.c_str());
    auto input = orma::fuzz::EncodeInput(static_cast<std::uint8_t>(r.clusterCount - 1), NonZeroRuns(image));
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
    std::printf("%s: %zu bytes\n", name.c_str(), input.size());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: orma_fuzz_seed OUTDIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    simorma::Options base;
    base.image = true;
    base.width = 16;
    base.height = 16;
    base.quality = 10;
    base.framesPerBlock = 2;
    base.imageFirstCluster = 7;
    base.segments = {{1, 1, simorma::SecondsOf(2009, 3, 1, 8, 0, 0), 60, 2, 3}};
    bool ok = true;
    {
        simorma::Options o = base;
        o.extraAudioEvery = 2;
        ok &= Seed(dir, "seed_one_cluster", o);
    }
    {
        simorma::Options o = base;
        o.model = 4;
        o.fieldsPerPicture = 2;
        o.sparseContent = true;
        o.framesPerBlock = 1;
        o.segments = {{1, 2, simorma::SecondsOf(2008, 12, 31, 23, 59, 0), 120, 1, 2},
                      {2, 1, simorma::SecondsOf(2009, 1, 1, 8, 0, 0), 60, -1, 2}};
        ok &= Seed(dir, "seed_two_segments", o);
    }
    {
        simorma::Options o = base;
        o.damage.smallFrameSizeEvery = 3;
        o.damage.missingFrameMagicEvery = 4;
        o.damage.brokenDisk01M = {{0, 1}};
        ok &= Seed(dir, "seed_damaged", o);
    }
    return ok ? 0 : 1;
}
