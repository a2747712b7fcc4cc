// Opens arbitrary bytes as a TAV stream file, lists its records, walks them forwards and backwards
// reading each as a sample (converting audio), and seeks by fraction and by time.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/system.h"
#include "tav/file_source.h"

namespace {

void Walk(tav::CFileSource& src, std::vector<BYTE>& sample, std::vector<BYTE>& pcm) {
    for (int c = 0; c < 16; ++c)
        src.SetDisplayCounter(c, 1);
    while (src.NextEntry()) {
        auto p = src.CurrentPacket();
        LONG n = src.GetFrame(sample.data(), static_cast<DWORD>(sample.size()), p.channel);
        if (n > 0 && p.type == tav::kTypeAudio)
            tav::ConvertAudio(sample.data(), static_cast<DWORD>(n), src.AudioFormat(), pcm.data(),
                              static_cast<DWORD>(pcm.size()));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool quiet = [] {
        platform::SetMessageBoxHandler([](const platform::MessageBoxRequest&) { return IDOK; });
        platform::SetDebugSink([](const std::string&) {});
        return true;
    }();
    (void)quiet;
    static std::string path = "/tmp/tav-stream-fuzz-" + std::to_string(::getpid()) + ".arv";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    tav::CFileSource src(5);
    if (src.Open(tav::kOpenStreamFile, 0, path.c_str()) < 0 || src.LoadIndex() != S_OK)
        return 0;
    static std::vector<BYTE> sample(tav::kMaxPacketReadBytes);
    static std::vector<BYTE> pcm(40960);
    Walk(src, sample, pcm);
    src.SetDirection(-1);
    src.InitSection();
    Walk(src, sample, pcm);
    src.SetDirection(1);
    src.SeekToFraction(1, 2);
    LONG perMille = 0;
    DWORD time = 0;
    src.GetPosition(&perMille, &time);
    src.SeekToTime(time + 1);
    src.SeekToSectionTime(time);
    src.GoToEnd();
    src.MarkStart(&time);
    return 0;
}
