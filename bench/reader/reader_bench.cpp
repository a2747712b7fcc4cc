// The desktop reader off-screen playing a 16-channel 704 x 480 MPEG-4 stream file at 1x: pictures
// painted into the boxes per second against the 240 that sixteen channels at 15 pictures per second
// need, and the share of this machine's CPU the whole program took (source, sixteen decoders and
// renderers, audio, painting). The baseline is the recording's own picture rate.
//   reader_bench [--seconds S] [--layout 0..3]
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "player_app.h"
#include "player_dlg.h"
#include "sim_tav/tav_recorder.h"

namespace {

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 20;
    int layout = 3;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--layout") && i + 1 < argc)
            layout = std::atoi(argv[++i]);
    }
    char tmpl[] = "/tmp/reader-bench-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    for (const char* sub : {"home", "config", "docs"})
        std::filesystem::create_directories(dir + "/" + sub);
    ::setenv("SCRYDE_HOME", (dir + "/home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    ::setenv("XDG_DOCUMENTS_DIR", (dir + "/docs").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("SDL_AUDIODRIVER", "dummy", 0);
    {
        std::filesystem::create_directories(dir + "/config/Veltrix");
        std::FILE* f = std::fopen((dir + "/config/Veltrix/GLM500.conf").c_str(), "w");
        if (f) {
            std::fprintf(f, "DisplayMode=%d\n", layout);
            std::fclose(f);
        }
    }

    sim_tav::RecorderOptions o;
    o.channels = 16;
    o.width = 704, o.height = 480;
    o.framesPerSecond = 15;
    o.keyInterval = 15;
    o.audioFormat = 1;
    o.realPictures = true;
    o.streamPackets = static_cast<std::uint32_t>((seconds + 10) * (16 * 15 + 2));
    const std::string stream = dir + "/sixteen.arv";
    std::fprintf(stderr, "writing a 16-channel 704x480 recording of %.0f s ...\n", seconds + 10);
    sim_tav::WriteTavStream(stream, o);

    QApplication app(argc, argv);
    player::InstallReaderPlatform(false);
    player::CPlayerDlg dlg;
    int code = 0;
    if (!dlg.Initialise(&code))
        return code;
    dlg.show();
    if (!dlg.OpenPath(stream)) {
        std::fprintf(stderr, "cannot open %s\n", stream.c_str());
        return 1;
    }
    // Measure once playback runs: the first second is start-up.
    QEventLoop settle;
    QTimer::singleShot(1000, &settle, &QEventLoop::quit);
    settle.exec();
    const long paints0 = player::CVideoSurface::PaintCount();
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    QEventLoop run;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &run, &QEventLoop::quit);
    run.exec();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    const long paints = player::CVideoSurface::PaintCount() - paints0;
    dlg.close();
    std::filesystem::remove_all(dir);

    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const double perSecond = paints / wall;
    const double needed = 16 * 15;
    const double share = cpu / (wall * cores);
    std::printf("reader, 16 channels 704x480 at 1x, layout %d, %.1f s\n", layout, wall);
    std::printf("  pictures painted per second   %8.1f  (needed %.0f)  ratio %.2f\n", perSecond, needed,
                perSecond / needed);
    std::printf("  CPU share of the machine      %7.1f %%  (%u cores; %.1f %% left, goal >= 40 %%)\n",
                share * 100, cores, (1 - share) * 100);
    return 0;
}
