// `scryde play` on a 16-channel simulated ORMA recording at 16x: pictures per second delivered through
// the whole graph (source, sixteen Motion-JPEG decoders and video renderers, audio renderer), and the
// share of the run's CPU time that went into JPEG decoding. The baseline, measured in the same run, is
// the JPEG core decoding pictures of the same size and quality alone on one thread. Fast play reads every
// n-th picture at the pace of the audio clock, so the graph's figure is bounded by that pace, not by CPU.
// The TAV part plays a 16-channel 704 x 480 MPEG-4 stream file at 1x and at 16x for a fixed wall time and
// sets the pictures per second against what 16 real-time channels need. Both speeds are paced by the
// clock (16x reads only every fourth key frame of a channel), so the pictures per CPU second show the
// headroom.
//   play_bench [orma|tav] [--frames N] [--image PATH] [--seconds S]
//   (without --image a temporary ORMA recording is written; the TAV recording is always made)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mjpeg/jpeg_decoder.h"
#include "sim_orma/orma_sim.h"

namespace {

constexpr int kWidth = 352, kHeight = 240, kQuality = 25; // what `scryde sim orma` records

double CpuSeconds(const rusage& u) {
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs scryde with `args`, capturing standard output; returns the exit status and the child's CPU time.
int Run(const std::vector<std::string>& args, std::string* out, double* cpu, double* wall) {
    int pipefd[2];
    if (::pipe(pipefd) != 0)
        return -1;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipefd[1], 1);
        ::close(pipefd[0]);
        ::close(pipefd[1]);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(SCRYDE_EXE));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(SCRYDE_EXE, argv.data());
        ::_exit(127);
    }
    ::close(pipefd[1]);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipefd[0], buf, sizeof buf)) > 0)
        out->append(buf, static_cast<std::size_t>(n));
    ::close(pipefd[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    *wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    *cpu = CpuSeconds(usage);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long SumFrames(const std::string& json) {
    std::size_t at = json.find("\"frames_per_channel\": [");
    if (at == std::string::npos)
        return -1;
    const char* p = json.c_str() + at + 23;
    long total = 0;
    for (int ch = 0; ch < 16; ++ch) {
        char* end = nullptr;
        total += std::strtol(p, &end, 10);
        p = end + 1;
    }
    return total;
}

// CPU seconds per picture for the JPEG core alone, over pictures of every channel.
double DecodeSecondsPerPicture() {
    std::vector<std::vector<std::uint8_t>> pictures;
    for (int ch = 0; ch < 16; ++ch)
        for (int f = 0; f < 4; ++f)
            pictures.push_back(simorma::MakePicture(kWidth, kHeight, kQuality, ch, f, "2009/03/01 08:00:00"));
    rusage before{}, after{};
    long decoded = 0;
    ::getrusage(RUSAGE_SELF, &before);
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) {
        for (const auto& jpeg : pictures) {
            mjpeg::jpeg_decoder_memory_stream stream(jpeg.data(), static_cast<std::int32_t>(jpeg.size()));
            mjpeg::jpeg_decoder dec(&stream);
            if (dec.begin_decoding() != 0)
                return -1;
            const void* line = nullptr;
            std::uint32_t bytes = 0;
            while (dec.decode(&line, &bytes) == 0) {
            }
            ++decoded;
        }
    }
    ::getrusage(RUSAGE_SELF, &after);
    return (CpuSeconds(after) - CpuSeconds(before)) / static_cast<double>(decoded);
}

// The ORMA part: 16 cameras of 352 x 240 Motion-JPEG at 16x.
int BenchOrma(const std::string& dir, long frames, std::string image) {
    std::string out;
    double cpu = 0, wall = 0;
    if (image.empty()) {
        image = dir + "/sixteen.orm";
        if (Run({"sim", "orma", image, "--image", "--channels", "16", "--minutes", "4", "--segments", "2"},
                &out, &cpu, &wall) != 0) {
            std::fprintf(stderr, "play_bench: the ORMA recording could not be written\n");
            return 1;
        }
    }
    out.clear();
    int status = Run({"play", image, "--speed", "16000", "--frames", std::to_string(frames), "--out", dir,
                      "--time-limit", "300", "--json"},
                     &out, &cpu, &wall);
    long played = SumFrames(out);
    if (status != 0 || played <= 0) {
        std::fprintf(stderr, "play_bench: scryde play failed (%d): %s\n", status, out.c_str());
        return 1;
    }
    double perPicture = DecodeSecondsPerPicture();

    const double fps = played / wall;
    const double baselineFps = 1.0 / perPicture;
    const double share = played * perPicture / cpu;
    std::printf(
        "ORMA: scryde play, 16 channels %dx%d Motion-JPEG at 16x: %ld pictures in %.2f s wall, %.2f s CPU\n",
        kWidth, kHeight, played, wall, cpu);
    std::printf("  through the graph:         %8.0f pictures/s (%.0f per channel)\n", fps, fps / 16);
    std::printf(
        "  per CPU second:            %8.0f pictures (the rest of the wall time is waiting for the clock)\n",
        played / cpu);
    std::printf("  baseline, JPEG core alone: %8.0f pictures/s on one thread\n", baselineFps);
    std::printf("  ratio graph / baseline:    %8.2f\n", fps / baselineFps);
    std::printf("  share of CPU time in JPEG decoding: %.0f %%\n", share * 100);
    return 0;
}

// The TAV part: a stream file of 16 cameras of 704 x 480 MPEG-4 at 15 pictures per second each, played
// for a fixed wall time at 1x and at 16x. The baseline is what 16 real-time channels need.
int BenchTav(const std::string& dir, double seconds) {
    constexpr int kFps = 15, kRecordSeconds = 24;
    const std::string stream = dir + "/sixteen.arv";
    std::string out;
    double cpu = 0, wall = 0;
    const long packets = 16L * kFps * kRecordSeconds + kRecordSeconds;
    if (Run({"sim", "tav", "--stream", stream, "--channels", "16", "--size", "704x480", "--pictures", "--fps",
             std::to_string(kFps), "--stream-packets", std::to_string(packets)},
            &out, &cpu, &wall) != 0) {
        std::fprintf(stderr, "play_bench: the TAV recording could not be written\n");
        return 1;
    }
    const double needed = 16.0 * kFps;
    std::printf(
        "TAV: scryde play, 16 channels 704x480 MPEG-4, %d pictures/s each, %.0f s of wall time per speed\n",
        kFps, seconds);
    for (int speed : {1000, 16000}) {
        out.clear();
        int status = Run({"play", stream, "--speed", std::to_string(speed), "--time-limit",
                          std::to_string(static_cast<int>(seconds)), "--out", dir, "--json"},
                         &out, &cpu, &wall);
        long played = SumFrames(out);
        if (status != 0 || played <= 0) {
            std::fprintf(stderr, "play_bench: scryde play failed (%d): %s\n", status, out.c_str());
            return 1;
        }
        // The run includes opening and building the graph; the time limit counts from the start of play.
        const double fps = played / std::max(seconds, 0.001);
        std::printf(
            "  %2dx: %7.0f pictures/s through the graph (%.0f per channel), %.2f s CPU for %ld pictures "
            "(%.0f per CPU second)\n",
            speed / 1000, fps, fps / 16, cpu, played, played / std::max(cpu, 0.001));
        std::printf("       ratio to the %.0f pictures/s 16 real-time channels need: %.2f\n", needed,
                    fps / needed);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    long frames = 4000;
    double seconds = 10;
    std::string image, which = "all";
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "orma") || !std::strcmp(argv[i], "tav"))
            which = argv[i];
        else if (!std::strcmp(argv[i], "--frames") && i + 1 < argc)
            frames = std::atol(argv[++i]);
        else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--image") && i + 1 < argc)
            image = argv[++i];
    }
    char dir[] = "/tmp/play_bench_XXXXXX";
    if (!::mkdtemp(dir))
        return 1;
    int status = 0;
    if (which != "tav")
        status |= BenchOrma(dir, frames, image);
    if (which != "orma")
        status |= BenchTav(dir, seconds);
    std::system(("rm -rf " + std::string(dir)).c_str());
    return status;
}
