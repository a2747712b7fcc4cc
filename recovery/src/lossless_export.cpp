#include "recovery/lossless_export.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <vector>

#include "orma/layout.h"
#include "platform/bytes.h"
#include "tav/layout.h"

namespace recovery {

namespace {

// ISO 8601 of a time in seconds since 1970, for the file's creation time.
std::string IsoTime(long long seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &tm);
    return text;
}

LosslessResult Failed(const std::string& error) {
    LosslessResult r;
    r.error = error;
    return r;
}

std::string ChannelText(int channel) {
    return "CH" + std::to_string(channel + 1);
}

} // namespace

LosslessResult ExportTavLossless(IVTSourceFilter* vts, int channel, const std::string& out,
                                 Container container, const LosslessProgress& progress) {
    BYTE audioType = 0;
    if (!vts || FAILED(vts->PrepareExport(&audioType, static_cast<BYTE>(channel))))
        return Failed("cannot get archive info from the recording");
    DWORD width = 0, height = 0;
    vts->GetFrameSize(&width, &height);
    LosslessResult result;
    const bool withAudio = audioType != 0 && CLosslessMux::CarriesPcm(container);
    result.soundLeftOut = audioType != 0 && !withAudio;
    AudioCoding coding = AudioCoding::PcmS16;
    int audioChannels = 2;
    if (audioType == 6 || audioType == 7) {
        coding = audioType == 6 ? AudioCoding::ALaw : AudioCoding::MuLaw;
        audioChannels = 1;
    }
    const int bytesPerSecond = 8000 * audioChannels * (coding == AudioCoding::PcmS16 ? 2 : 1);

    CLosslessMux mux;
    if (!mux.Open(out, container)) {
        vts->EndExport();
        return Failed(mux.Error());
    }
    std::vector<BYTE> buffer(kVTExportBufferBytes);
    int video = -1, audio = -1;
    long long base = -1;
    auto fail = [&](const std::string& error) {
        vts->EndExport();
        return Failed(error);
    };
    while (vts->ExportNextPacket(buffer.data()) == S_FALSE) {
        const BYTE type = buffer[19];
        const DWORD bytes = platform::ReadLE32(buffer.data() + 28) - 32;
        if (bytes > buffer.size() - 64)
            continue;
        const BYTE* payload = buffer.data() + 64;
        const DWORD seconds = platform::ReadLE32(buffer.data() + 20);
        const long long micros = seconds * 1000000ll + platform::ReadLE32(buffer.data() + 24);
        if (base < 0) {
            // The file opens with the first key frame, whose layer header describes the stream.
            if (type != 0x81)
                continue;
            video = mux.AddVideo(VideoCodec::Mpeg4, static_cast<int>(width), static_cast<int>(height),
                                 Mpeg4StreamHeader(payload, bytes));
            if (withAudio)
                audio = mux.AddAudio(coding, 8000, audioChannels);
            char title[48];
            std::snprintf(title, sizeof title, "CH%02d %s", channel + 1,
                          tav::FormatTime(platform::ReadLE32(buffer.data() + 4)).c_str());
            if (video < 0 || (withAudio && audio < 0) ||
                !mux.Begin(IsoTime(platform::ReadLE32(buffer.data() + 4)), title))
                return fail(out + ": " + mux.Error());
            base = micros;
        }
        if (micros < base)
            continue;
        bool ok = true;
        if (type == 0x84) {
            if (audio >= 0)
                ok =
                    mux.Write(audio, micros - base, bytes * 1000000ll / bytesPerSecond, payload, bytes, true);
        } else {
            ok = mux.Write(video, micros - base, 0, payload, bytes, type == 0x81);
            ++result.frames;
        }
        if (!ok)
            return fail(out + ": " + mux.Error());
        if (progress && !progress(0, seconds))
            return fail("cancelled");
    }
    vts->EndExport();
    if (base < 0)
        return Failed("no key frame of " + ChannelText(channel) + " in the range");
    if (!mux.Finish())
        return Failed(out + ": " + mux.Error());
    result.ok = true;
    return result;
}

LosslessResult ExportOrmaLossless(orma::COrmaDisk& disk, orma::COrmaSlotBank& bank, BYTE y0, DWORD t0,
                                  BYTE y1, DWORD t1, int channel, const std::string& out, Container container,
                                  const LosslessProgress& progress) {
    disk.SetVideoTimestamp(1); // every stored picture is delivered, second fields too
    if (FAILED(disk.SetPointerTime(y0, t0)))
        return Failed("cannot move to " + orma::FormatTime(y0, t0));
    disk.StartPlayback();

    LosslessResult result;
    const bool withAudio = CLosslessMux::CarriesPcm(container);
    result.soundLeftOut = !withAudio;
    CLosslessMux mux;
    if (!mux.Open(out, container))
        return Failed(mux.Error());
    int video = -1, audioTrack = -1;
    long long firstSecond = -1, pendingSecond = -1, lastSecond = -1;
    std::vector<std::vector<BYTE>> pending; // the pictures of the second being gathered
    std::uint64_t samples = 0;
    auto flush = [&]() {
        const long long n = static_cast<long long>(pending.size());
        for (long long k = 0; k < n; ++k) {
            const long long micros = (pendingSecond - firstSecond) * 1000000ll + k * 1000000ll / n;
            const auto& picture = pending[static_cast<std::size_t>(k)];
            if (!mux.Write(video, micros, 1000000ll / n, picture.data(), picture.size(), true))
                return false;
            ++result.frames;
        }
        pending.clear();
        return true;
    };
    std::vector<BYTE> audio(51040);
    for (;;) {
        LONG audioBytes = static_cast<LONG>(audio.size());
        BYTE ch = 0;
        const DWORD counter = disk.FrameCounter();
        if (disk.GetFrame(audio.data(), &audioBytes, &ch) != S_OK)
            break;
        const BYTE year = disk.LastFrameYear();
        const DWORD time = disk.LastFrameTime();
        if (orma::CompareTime(year, time, y1, t1) > 0)
            break;
        if (orma::CompareTime(year, time, y0, t0) < 0)
            continue;
        const long long second = orma::UnixSeconds(year, time);
        if (lastSecond >= 0 && second < lastSecond)
            break; // played on into an older segment: the range has ended
        lastSecond = second;
        const orma::COrmaSlot& slot = bank.Slot(ch);
        const bool picture = ch == channel && slot.stamp == counter && slot.length > 0;
        if (firstSecond < 0) {
            if (!picture)
                continue;
            int width = 0, height = 0;
            JpegPictureSize(slot.picture, static_cast<std::size_t>(slot.length), &width, &height);
            video = mux.AddVideo(VideoCodec::Mjpeg, width, height, {});
            if (withAudio)
                audioTrack = mux.AddAudio(AudioCoding::PcmU8, 8820, 2);
            char title[48];
            std::snprintf(title, sizeof title, "CH%02d %s", channel + 1,
                          orma::FormatTime(year, time).c_str());
            firstSecond = second;
            if (video < 0 || (withAudio && audioTrack < 0) || !mux.Begin(IsoTime(second), title))
                return Failed(out + ": " + mux.Error());
        }
        if (picture) {
            if (second != pendingSecond && !flush())
                return Failed(out + ": " + mux.Error());
            pendingSecond = second;
            pending.emplace_back(slot.picture, slot.picture + slot.length);
        }
        if (audioTrack >= 0 && audioBytes > 0) {
            if (!mux.Write(audioTrack, static_cast<long long>(samples * 1000000 / 8820),
                           audioBytes / 2 * 1000000ll / 8820, audio.data(),
                           static_cast<std::size_t>(audioBytes), true))
                return Failed(out + ": " + mux.Error());
            samples += static_cast<std::uint64_t>(audioBytes) / 2;
        }
        if (progress && !progress(year, time))
            return Failed("cancelled");
    }
    if (firstSecond < 0)
        return Failed("no picture of " + ChannelText(channel) + " in the range");
    if (!flush() || !mux.Finish())
        return Failed(out + ": " + mux.Error());
    result.ok = true;
    return result;
}

} // namespace recovery
