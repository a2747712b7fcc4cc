// Decoding speed of the MPEG-4 core against FFmpeg's mpeg4 decoder with libswscale converting to the
// same pixel format, both on one thread, over the same streams in the same run. The streams are made
// at start-up with libavcodec's mpeg4 encoder from a synthetic moving picture (GOP 20, no B-frames):
// 352 × 240, 704 × 480 progressive and interlaced (field DCT and field prediction), 720 × 576
// interlaced, and 720 × 576 progressive with quarter-sample motion vectors. After the runs a table gives
// frames per second and the ratio time ours / time theirs, both measured in CPU time of the benchmark thread:
// against FFmpeg's decoder with the conversion, and against its decoder alone (its planar picture, no
// conversion).
#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "mpeg4/mpeg4_core.h"

namespace {

struct Stream {
    std::string name;
    int width, height;
    bool interlaced;
    bool quarterSample;
    std::vector<std::vector<uint8_t>> frames; // one encoded frame each
};

// A moving test picture with gradients, texture and edges; interlaced pictures take their fields
// from two instants, as a camera does.
void Paint(AVFrame* f, int t, bool interlaced) {
    for (int y = 0; y < f->height; ++y) {
        int tt = interlaced ? 2 * t + (y & 1) : 2 * t;
        uint8_t* row = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
        for (int x = 0; x < f->width; ++x) {
            unsigned h = static_cast<unsigned>((x + 3 * tt) / 4 * 73856093u) ^
                         static_cast<unsigned>(y / 4 * 19349663u);
            int v = (x * 2 + y + tt * 3) & 255;
            if (((x + tt * 4) / 48 + y / 48) & 1)
                v = (v + (h >> 28) * 6) & 255;
            int bx = (tt * 5) % f->width;
            if (x >= bx && x < bx + 64 && y > f->height / 3 && y < f->height / 3 + 64)
                v = 235;
            row[x] = static_cast<uint8_t>(16 + v * 219 / 255);
        }
    }
    for (int p = 1; p < 3; ++p)
        for (int y = 0; y < f->height / 2; ++y) {
            uint8_t* row = f->data[p] + static_cast<ptrdiff_t>(y) * f->linesize[p];
            for (int x = 0; x < f->width / 2; ++x)
                row[x] = static_cast<uint8_t>(128 + ((p == 1 ? x : y) + t) % 64 - 32);
        }
}

Stream Encode(const std::string& name, int w, int h, bool interlaced, bool quarterSample = false) {
    Stream s{name, w, h, interlaced, quarterSample, {}};
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->width = w;
    c->height = h;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1001, 30000};
    c->gop_size = 20;
    c->max_b_frames = 0;
    c->thread_count = 1;
    c->flags |= AV_CODEC_FLAG_QSCALE;
    c->global_quality = FF_QP2LAMBDA * 8;
    if (interlaced)
        c->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
    if (quarterSample)
        c->flags |= AV_CODEC_FLAG_QPEL;
    if (avcodec_open2(c, codec, nullptr) < 0) {
        std::fprintf(stderr, "cannot open the mpeg4 encoder\n");
        std::exit(1);
    }
    AVFrame* f = av_frame_alloc();
    f->format = AV_PIX_FMT_YUV420P;
    f->width = w;
    f->height = h;
    av_frame_get_buffer(f, 32);
    AVPacket* pkt = av_packet_alloc();
    auto drain = [&] {
        while (avcodec_receive_packet(c, pkt) == 0) {
            s.frames.emplace_back(pkt->data, pkt->data + pkt->size);
            av_packet_unref(pkt);
        }
    };
    for (int t = 0; t < 40; ++t) {
        av_frame_make_writable(f);
        Paint(f, t, interlaced);
        f->pts = t;
        f->interlaced_frame = interlaced;
        f->top_field_first = 1;
        f->quality = c->global_quality;
        avcodec_send_frame(c, f);
        drain();
    }
    avcodec_send_frame(c, nullptr);
    drain();
    // The first packet carries the headers inline only with the global-header flag off (the default).
    av_packet_free(&pkt);
    av_frame_free(&f);
    avcodec_free_context(&c);
    return s;
}

const std::vector<Stream>& Streams() {
    static const std::vector<Stream> streams = {
        Encode("352x240", 352, 240, false), Encode("704x480", 704, 480, false),
        Encode("704x480i", 704, 480, true), Encode("720x576i", 720, 576, true),
        Encode("720x576q", 720, 576, false, true)};
    return streams;
}

// CPU time of this thread: the machine may be shared, and both decoders run on one thread.
double ThreadSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Seconds per frame of each (stream, format, decoder), for the closing table.
std::map<std::string, double>& Results() {
    static std::map<std::string, double> r;
    return r;
}

const char* kFormatNames[] = {"RGB32", "YUY2"};

void Record(benchmark::State& state, const std::string& key, double seconds, size_t frames) {
    state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    Results()[key] = seconds / static_cast<double>(frames);
}

// Ours into the given format, de-interlaced when asked.
void RunOurs(benchmark::State& state, bool yuy2, bool deinterlace) {
    const Stream& s = Streams()[static_cast<size_t>(state.range(0))];
    mpeg4::CMp4Codec* codec = nullptr;
    mpeg4::Create(s.width, s.height, &codec);
    std::vector<uint8_t> out(static_cast<size_t>(s.width) * s.height * 4);
    mpeg4::DecodeParams p;
    p.width = s.width;
    p.height = s.height;
    p.output = out.data();
    p.format = yuy2 ? mpeg4::kYuy2 : mpeg4::kRgb32;
    p.stride = s.width;
    p.deinterlace = deinterlace ? mpeg4::kDeinterlaceBlend : mpeg4::kDeinterlaceNone;
    size_t frames = 0;
    const double start = ThreadSeconds();
    for (auto _ : state) {
        for (const auto& f : s.frames) {
            p.data = f.data();
            p.length = static_cast<int32_t>(f.size());
            if (mpeg4::DecodeFrame(codec, p) != mpeg4::kOk)
                state.SkipWithError("decode failed");
            ++frames;
        }
        benchmark::DoNotOptimize(out.data());
    }
    const double seconds = ThreadSeconds() - start;
    mpeg4::Destroy(codec);
    Record(state, s.name + " " + kFormatNames[yuy2] + (deinterlace ? " blended" : "") + " ours", seconds,
           frames);
}

void BM_Scryde(benchmark::State& state) {
    RunOurs(state, state.range(1) != 0, false);
}

// RGB32 de-interlaced, as the decoder filter gives interlaced streams: in Google Benchmark's lines
// only, since FFmpeg's side has no de-interlacer to set against it.
void BM_ScrydeBlended(benchmark::State& state) {
    RunOurs(state, false, true);
}

void BM_FFmpeg(benchmark::State& state) {
    const Stream& s = Streams()[static_cast<size_t>(state.range(0))];
    const bool yuy2 = state.range(1) != 0;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->thread_count = 1;
    avcodec_open2(c, codec, nullptr);
    AVFrame* f = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    const AVPixelFormat dstFormat = yuy2 ? AV_PIX_FMT_YUYV422 : AV_PIX_FMT_BGRA;
    SwsContext* sws = sws_getContext(s.width, s.height, AV_PIX_FMT_YUV420P, s.width, s.height, dstFormat,
                                     SWS_BILINEAR, nullptr, nullptr, nullptr);
    std::vector<uint8_t> out(static_cast<size_t>(s.width) * s.height * 4);
    uint8_t* dst[4] = {out.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {s.width * (yuy2 ? 2 : 4), 0, 0, 0};
    size_t frames = 0;
    const double start = ThreadSeconds();
    for (auto _ : state) {
        for (const auto& data : s.frames) {
            pkt->data = const_cast<uint8_t*>(data.data());
            pkt->size = static_cast<int>(data.size());
            avcodec_send_packet(c, pkt);
            while (avcodec_receive_frame(c, f) == 0) {
                sws_scale(sws, f->data, f->linesize, 0, s.height, dst, dstStride);
                ++frames;
            }
        }
        benchmark::DoNotOptimize(out.data());
    }
    const double seconds = ThreadSeconds() - start;
    sws_freeContext(sws);
    av_packet_free(&pkt);
    av_frame_free(&f);
    avcodec_free_context(&c);
    Record(state, s.name + " " + kFormatNames[yuy2] + " ffmpeg", seconds, frames ? frames : 1);
}

// FFmpeg's decoder alone: the planar picture it gives, with no conversion.
void BM_FFmpegDecode(benchmark::State& state) {
    const Stream& s = Streams()[static_cast<size_t>(state.range(0))];
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->thread_count = 1;
    avcodec_open2(c, codec, nullptr);
    AVFrame* f = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    size_t frames = 0;
    const double start = ThreadSeconds();
    for (auto _ : state) {
        for (const auto& data : s.frames) {
            pkt->data = const_cast<uint8_t*>(data.data());
            pkt->size = static_cast<int>(data.size());
            avcodec_send_packet(c, pkt);
            while (avcodec_receive_frame(c, f) == 0) {
                benchmark::DoNotOptimize(f->data[0]);
                ++frames;
            }
        }
    }
    const double seconds = ThreadSeconds() - start;
    av_packet_free(&pkt);
    av_frame_free(&f);
    avcodec_free_context(&c);
    Record(state, s.name + " decode ffmpeg", seconds, frames ? frames : 1);
}

void Args(benchmark::internal::Benchmark* b) {
    b->ArgNames({"stream", "yuy2"});
    for (int s = 0; s < 5; ++s)
        for (int fmt = 0; fmt < 2; ++fmt)
            b->Args({s, fmt});
    b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Scryde)->Apply(Args);
BENCHMARK(BM_ScrydeBlended)->ArgName("stream")->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FFmpeg)->Apply(Args);
BENCHMARK(BM_FFmpegDecode)->ArgName("stream")->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Streams();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\n%-10s %-6s %12s %12s %14s %14s\n", "stream", "format", "ours fps", "ffmpeg fps",
                "ours/ffmpeg", "ours/decode");
    for (const Stream& s : Streams())
        for (const char* fmt : kFormatNames) {
            std::string key = s.name + " " + fmt;
            auto ours = Results().find(key + " ours"), theirs = Results().find(key + " ffmpeg");
            if (ours == Results().end() || theirs == Results().end())
                continue;
            // The second ratio: against FFmpeg's decoder alone, without its conversion.
            auto decode = Results().find(s.name + " decode ffmpeg");
            const double alone = decode == Results().end() ? 0.0 : ours->second / decode->second;
            std::printf("%-10s %-6s %12.1f %12.1f %14.2f %14.2f\n", s.name.c_str(), fmt, 1.0 / ours->second,
                        1.0 / theirs->second, ours->second / theirs->second, alone);
        }
    return 0;
}
