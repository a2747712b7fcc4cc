#include "recovery/lossless_mux.h"

#include <cstdio>

extern "C" {
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace recovery {

namespace {
constexpr AVRational kMicros{1, 1000000};
}

struct CLosslessMux::State {
    AVFormatContext* context = nullptr;
    AVPacket* packet = nullptr;
    bool ioOpen = false;
    ~State() {
        if (packet)
            av_packet_free(&packet);
        if (context) {
            if (ioOpen)
                avio_closep(&context->pb);
            avformat_free_context(context);
        }
    }
};

CLosslessMux::CLosslessMux() = default;

CLosslessMux::~CLosslessMux() {
    const bool remove = m_s && !m_finished;
    m_s.reset();
    if (remove)
        std::remove(m_path.c_str());
}

bool CLosslessMux::CarriesPcm(Container container) {
    return container == Container::Matroska;
}

bool CLosslessMux::Failed(const std::string& what, int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    m_error = what + (code ? std::string(": ") + text : std::string());
    return false;
}

bool CLosslessMux::Open(const std::string& path, Container container) {
    m_s = std::make_unique<State>();
    m_path = path;
    const char* format = container == Container::Matroska ? "matroska" : "mp4";
    int r = avformat_alloc_output_context2(&m_s->context, nullptr, format, path.c_str());
    if (r < 0 || !m_s->context)
        return Failed("no container writer for " + std::string(format), r);
    m_s->packet = av_packet_alloc();
    if (!m_s->packet)
        return Failed("out of memory", 0);
    return true;
}

int CLosslessMux::AddVideo(VideoCodec codec, int width, int height, const std::vector<std::uint8_t>& header) {
    AVStream* s = avformat_new_stream(m_s->context, nullptr);
    if (!s)
        return -1;
    s->time_base = kMicros;
    AVCodecParameters* p = s->codecpar;
    p->codec_type = AVMEDIA_TYPE_VIDEO;
    p->codec_id = codec == VideoCodec::Mjpeg ? AV_CODEC_ID_MJPEG : AV_CODEC_ID_MPEG4;
    p->width = width;
    p->height = height;
    if (!header.empty()) {
        p->extradata = static_cast<std::uint8_t*>(av_mallocz(header.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!p->extradata)
            return -1;
        std::copy(header.begin(), header.end(), p->extradata);
        p->extradata_size = static_cast<int>(header.size());
    }
    return s->index;
}

int CLosslessMux::AddAudio(AudioCoding coding, int sampleRate, int channels) {
    AVStream* s = avformat_new_stream(m_s->context, nullptr);
    if (!s)
        return -1;
    s->time_base = kMicros;
    AVCodecParameters* p = s->codecpar;
    p->codec_type = AVMEDIA_TYPE_AUDIO;
    switch (coding) {
    case AudioCoding::PcmU8:
        p->codec_id = AV_CODEC_ID_PCM_U8;
        p->bits_per_coded_sample = 8;
        break;
    case AudioCoding::PcmS16:
        p->codec_id = AV_CODEC_ID_PCM_S16LE;
        p->bits_per_coded_sample = 16;
        break;
    case AudioCoding::ALaw:
        p->codec_id = AV_CODEC_ID_PCM_ALAW;
        p->bits_per_coded_sample = 8;
        break;
    case AudioCoding::MuLaw:
        p->codec_id = AV_CODEC_ID_PCM_MULAW;
        p->bits_per_coded_sample = 8;
        break;
    }
    p->sample_rate = sampleRate;
    av_channel_layout_default(&p->ch_layout, channels);
    p->block_align = channels * p->bits_per_coded_sample / 8;
    return s->index;
}

bool CLosslessMux::Begin(const std::string& startTime, const std::string& title) {
    AVFormatContext* c = m_s->context;
    av_dict_set(&c->metadata, "creation_time", startTime.c_str(), 0);
    if (!title.empty())
        av_dict_set(&c->metadata, "title", title.c_str(), 0);
    int r = avio_open(&c->pb, m_path.c_str(), AVIO_FLAG_WRITE);
    if (r < 0)
        return Failed(m_path, r);
    m_s->ioOpen = true;
    r = avformat_write_header(c, nullptr);
    if (r < 0)
        return Failed("cannot write the file header", r);
    return true;
}

bool CLosslessMux::Write(int track, std::int64_t micros, std::int64_t durationMicros,
                         const std::uint8_t* data, std::size_t bytes, bool key) {
    AVFormatContext* c = m_s->context;
    if (track < 0 || track >= static_cast<int>(c->nb_streams) || bytes > 0x7FFFFFFF)
        return Failed("bad packet", 0);
    AVPacket* pkt = m_s->packet;
    int r = av_new_packet(pkt, static_cast<int>(bytes));
    if (r < 0)
        return Failed("out of memory", r);
    std::copy(data, data + bytes, pkt->data);
    AVStream* s = c->streams[track];
    pkt->stream_index = track;
    pkt->pts = pkt->dts = av_rescale_q(micros, kMicros, s->time_base);
    pkt->duration = av_rescale_q(durationMicros, kMicros, s->time_base);
    if (key)
        pkt->flags |= AV_PKT_FLAG_KEY;
    r = av_interleaved_write_frame(c, pkt); // takes the packet's data and leaves pkt blank
    if (r < 0)
        return Failed("cannot write a packet", r);
    return true;
}

bool CLosslessMux::Finish() {
    int r = av_write_trailer(m_s->context);
    if (r < 0)
        return Failed("cannot finish the file", r);
    avio_closep(&m_s->context->pb);
    m_s->ioOpen = false;
    m_finished = true;
    m_s.reset();
    return true;
}

std::vector<std::uint8_t> Mpeg4StreamHeader(const std::uint8_t* frame, std::size_t bytes) {
    for (std::size_t i = 0; i + 3 < bytes; ++i)
        if (frame[i] == 0 && frame[i + 1] == 0 && frame[i + 2] == 1 && frame[i + 3] == 0xB6)
            return std::vector<std::uint8_t>(frame, frame + i);
    return {};
}

// ITU-T T.81 B.1.1.4 markers and B.2.2 frame header: the segments before the first SOFn are stepped
// over by their lengths; SOF0..SOF2 give the number of lines and samples per line.
bool JpegPictureSize(const std::uint8_t* jpeg, std::size_t bytes, int* width, int* height) {
    if (bytes < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return false;
    std::size_t at = 2;
    while (at + 4 <= bytes) {
        if (jpeg[at] != 0xFF)
            return false;
        const std::uint8_t marker = jpeg[at + 1];
        const std::size_t length = std::size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
        if (marker >= 0xC0 && marker <= 0xC2) {
            if (at + 9 > bytes)
                return false;
            *height = jpeg[at + 5] << 8 | jpeg[at + 6];
            *width = jpeg[at + 7] << 8 | jpeg[at + 8];
            return *width > 0 && *height > 0;
        }
        if (length < 2)
            return false;
        at += 2 + length;
    }
    return false;
}

} // namespace recovery
