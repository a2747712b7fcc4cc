// Opens arbitrary bytes as a TAV drive image, loads its index and walks every entry of every section,
// reading each packet as a sample and converting audio.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/system.h"
#include "tav/disk_source.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool quiet = [] {
        platform::SetMessageBoxHandler([](const platform::MessageBoxRequest&) { return IDOK; });
        platform::SetDebugSink([](const std::string&) {});
        return true;
    }();
    (void)quiet;
    static std::string path = "/tmp/tav-fuzz-" + std::to_string(::getpid()) + ".tav";
    // The input is the image's header and trailer copy (sectors 0..10), then bytes that go both to the
    // start of the copied sectors (packets) and to where the header puts the first block's index, so
    // small inputs reach the index and packet parsers of an image that is mostly holes.
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    const std::size_t head = std::min<std::size_t>(size, 11 * 512);
    std::fwrite(data, 1, head, f);
    if (size > head && size >= 512) {
        auto le32 = [&](std::size_t at) {
            return std::uint32_t(data[at]) | std::uint32_t(data[at + 1]) << 8 |
                   std::uint32_t(data[at + 2]) << 16 | std::uint32_t(data[at + 3]) << 24;
        };
        std::fwrite(data + head, 1, size - head, f);
        std::uint32_t S = le32(152), seg = le32(168), block = le32(172), off = le32(148);
        std::uint32_t index =
            static_cast<std::uint32_t>(std::uint64_t(seg) * S + block * 2048u + 2008u) - off;
        if (index > 11 && index < 65536) {
            std::fseek(f, static_cast<long>(index) * 512, SEEK_SET);
            std::fwrite(data + head, 1, size - head, f);
        }
    }
    std::fclose(f);
    tav::CTavDiskSource src(4);
    if (src.Open(tav::kOpenImage, 0, path.c_str()) < 0)
        return 0;
    if (src.LoadIndex() != S_OK)
        return 0;
    static std::vector<BYTE> sample(tav::kMaxPacketReadBytes);
    static std::vector<BYTE> pcm(40960);
    int steps = 0;
    for (int s = 0; s < src.SectionCount() && steps < 20000; ++s) {
        src.SelectSection(s);
        for (int c = 0; c < 16; ++c)
            src.SetDisplayCounter(c, 1);
        while (steps++ < 20000 && src.NextEntry()) {
            auto p = src.CurrentPacket();
            LONG n = src.GetFrame(sample.data(), static_cast<DWORD>(sample.size()), p.channel);
            if (n > 0 && p.type == tav::kTypeAudio)
                tav::ConvertAudio(sample.data(), static_cast<DWORD>(n), src.AudioFormat(), pcm.data(),
                                  static_cast<DWORD>(pcm.size()));
        }
        src.SeekToFraction(1, 2);
        src.GoToEnd();
        LONG pm;
        DWORD t;
        src.GetPosition(&pm, &t);
    }
    return 0;
}
