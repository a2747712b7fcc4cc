// Lossless archive files: the recorded frames and sound copied unchanged into Matroska or MP4, each
// packet stamped with its recorded time. FFmpeg's libavformat does the container work; nothing is
// decoded or encoded here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace recovery {

enum class Container { Matroska, Mp4 };
enum class VideoCodec { Mjpeg, Mpeg4 };
enum class AudioCoding { PcmU8, PcmS16, ALaw, MuLaw };

class CLosslessMux {
public:
    CLosslessMux();
    ~CLosslessMux(); // an unfinished file is closed and removed
    CLosslessMux(const CLosslessMux&) = delete;
    CLosslessMux& operator=(const CLosslessMux&) = delete;

    // Whether the container can carry PCM sound (this libavformat's MP4 writer cannot).
    static bool CarriesPcm(Container container);

    bool Open(const std::string& path, Container container);
    // `header`: the codec's stream header (the MPEG-4 video object and layer headers), or empty.
    int AddVideo(VideoCodec codec, int width, int height, const std::vector<std::uint8_t>& header);
    int AddAudio(AudioCoding coding, int sampleRate, int channels);
    // Writes the file header; `startTime` (ISO 8601, "2010-01-01T00:00:00Z") becomes the file's creation
    // time.
    bool Begin(const std::string& startTime, const std::string& title);
    // One packet; `micros` counts from the recording's start and must not go back within a track.
    bool Write(int track, std::int64_t micros, std::int64_t durationMicros, const std::uint8_t* data,
               std::size_t bytes, bool key);
    bool Finish();
    const std::string& Error() const { return m_error; }

private:
    struct State;
    bool Failed(const std::string& what, int code);
    std::unique_ptr<State> m_s;
    std::string m_path;
    std::string m_error;
    bool m_finished = false;
};

// The video object and layer headers that open an MPEG-4 key frame (everything before its first
// VOP start code); empty when the frame carries none.
std::vector<std::uint8_t> Mpeg4StreamHeader(const std::uint8_t* frame, std::size_t bytes);

// Width and height from a JPEG picture's frame header (ITU-T T.81 B.2.2); false when it has none.
bool JpegPictureSize(const std::uint8_t* jpeg, std::size_t bytes, int* width, int* height);

} // namespace recovery
