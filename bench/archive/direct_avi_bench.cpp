// The direct AVI writer turns a TAV channel's packets into an AVI file without decoding: its work is
// the headers, the chunk framing, the fill chunks and the index. This times it over a long run of
// packets held in memory (30 pictures a second with a key frame each second, and the sound) against
// the floor: the same payload bytes written in order to a file with write(2) in 1 MiB requests, as a
// copy of them would. Both write into the same folder and delete their file afterwards; neither syncs,
// so the figure is the writer's own cost over the bytes it must move. At the end it prints both times
// and their ratio (floor / writer: 1.0 is the floor; the goal is at least 0.9).
//   direct_avi_bench [--dir DIR] [--seconds N] [benchmark options]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/floor_report.h"
#include "platform/bytes.h"
#include "reader/direct_avi.h"

namespace {

struct Packet {
    BYTE type;
    DWORD seconds, micros;
    DWORD bytes;
};

std::string g_dir = "/tmp";
std::vector<Packet> g_packets;
std::vector<BYTE> g_payload; // one payload's bytes, shared by every packet (no trailing zeros)
std::uint64_t g_payloadSum = 0;

void MakePackets(DWORD seconds) {
    g_payload.resize(24000);
    for (std::size_t i = 0; i < g_payload.size(); ++i)
        g_payload[i] = static_cast<BYTE>(1 + (i * 7) % 251);
    for (DWORD s = 0; s < seconds; ++s) {
        for (DWORD k = 0; k < 30; ++k) {
            const DWORD bytes = k == 0 ? 24000 : 6000 + (k * 131) % 4000;
            g_packets.push_back({k == 0 ? reader::avipkt::kKeyFrame : reader::avipkt::kFrame, 1262304000 + s,
                                 k * 33333, bytes});
            g_payloadSum += bytes;
            if (k % 4 == 0) {
                g_packets.push_back({reader::avipkt::kAudio, 1262304000 + s, k * 33333, 2000});
                g_payloadSum += 2000;
            }
        }
    }
}

// A packet as the source's export lays it out: record header, stream header, elementary stream.
void FillPacket(BYTE* b, const Packet& p) {
    std::memset(b, 0, 64);
    platform::WriteLE32(b + reader::avipkt::kTag, 0x311F42C1);
    b[reader::avipkt::kType] = p.type;
    platform::WriteLE32(b + reader::avipkt::kSeconds, p.seconds);
    platform::WriteLE32(b + reader::avipkt::kMicros, p.micros);
    platform::WriteLE32(b + reader::avipkt::kLength, 32 + p.bytes);
    b[34] = 1;
    b[35] = p.type == reader::avipkt::kAudio ? 0xC0 : 0xE0;
    std::memcpy(b + 64, g_payload.data(), p.bytes);
    std::memset(b + 64 + p.bytes, 0, 8);
}

void BM_FloorWrite(benchmark::State& state) {
    const std::string path = g_dir + "/floor_" + std::to_string(::getpid()) + ".bin";
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::vector<BYTE> chunk(1u << 20);
        std::size_t used = 0;
        for (const Packet& p : g_packets) {
            std::size_t done = 0;
            while (done < p.bytes) {
                const std::size_t n = std::min<std::size_t>(p.bytes - done, chunk.size() - used);
                std::memcpy(chunk.data() + used, g_payload.data() + done, n);
                used += n;
                done += n;
                if (used == chunk.size()) {
                    if (::write(fd, chunk.data(), used) != static_cast<ssize_t>(used))
                        state.SkipWithError("write failed");
                    used = 0;
                }
            }
        }
        if (used && ::write(fd, chunk.data(), used) != static_cast<ssize_t>(used))
            state.SkipWithError("write failed");
        ::close(fd);
        state.PauseTiming();
        std::remove(path.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_payloadSum));
}

void BM_DirectWriter(benchmark::State& state) {
    const std::string path = g_dir + "/direct_" + std::to_string(::getpid()) + ".avi";
    const reader::DirectAviFormat format = reader::DirectAviFormatFor(8, 1, 352, 240, 30);
    for (auto _ : state) {
        std::size_t i = 0;
        const std::string error = reader::WriteDirectAvi(path, format,
                                                         [&](BYTE* b, DWORD) {
                                                             if (i == g_packets.size())
                                                                 return false;
                                                             FillPacket(b, g_packets[i++]);
                                                             return true;
                                                         },
                                                         {});
        if (!error.empty())
            state.SkipWithError(error.c_str());
        state.PauseTiming();
        std::remove(path.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_payloadSum));
}

BENCHMARK(BM_FloorWrite)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_DirectWriter)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

int main(int argc, char** argv) {
    if (const auto dir = bench::TakeOption(argc, argv, "--dir"))
        g_dir = *dir;
    const auto secondsText = bench::TakeOption(argc, argv, "--seconds");
    const DWORD seconds =
        secondsText ? static_cast<DWORD>(std::strtoul(secondsText->c_str(), nullptr, 10)) : 300;
    MakePackets(seconds ? seconds : 300);
    std::fprintf(stderr, "%zu packets, %.1f MB of payload\n", g_packets.size(), g_payloadSum / 1e6);
    benchmark::Initialize(&argc, argv);
    bench::CTimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double floor = 0, writer = 0;
    for (const auto& [name, time] : reporter.times) {
        if (name.rfind("BM_FloorWrite", 0) == 0)
            floor = time;
        if (name.rfind("BM_DirectWriter", 0) == 0)
            writer = time;
    }
    if (floor > 0 && writer > 0)
        std::printf("direct writer %.1f ms, plain write %.1f ms: ratio %.2f (floor / writer)\n", writer,
                    floor, floor / writer);
    return 0;
}
