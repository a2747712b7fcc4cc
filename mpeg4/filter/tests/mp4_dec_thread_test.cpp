// The bitmap export on the application's thread against decoding, size changes and stops on the
// streaming thread: the process-wide lock keeps the exported picture whole, and a stop never leaves
// the export reading freed buffers.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "media/harness.h"
#include "mp4_dec_filter.h"
#include "mpeg4/m4v_split.h"
#include "platform/bytes.h"
#include "testsupport/files.h"

namespace {

std::vector<std::vector<BYTE>> Frames(const char* name) {
    const std::vector<BYTE> bytes = testsupport::ReadFileBytes(std::string(MPEG4_TEST_DATA) + "/" + name);
    std::vector<std::vector<BYTE>> frames;
    for (const auto& s : mpeg4::SplitElementaryStream(bytes.data(), bytes.size()))
        frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(s.offset),
                            bytes.begin() + static_cast<std::ptrdiff_t>(s.offset + s.length));
    return frames;
}

std::vector<BYTE> QrvaSample(const std::vector<BYTE>& frame, int width, int height, bool key) {
    std::vector<BYTE> v(64 + frame.size() + 512, 0);
    platform::WriteLE32(&v[0], platform::FourCC("QRVA"));
    platform::WriteLE16(&v[12], static_cast<std::uint16_t>(width));
    platform::WriteLE16(&v[14], static_cast<std::uint16_t>(height));
    v[19] = key ? 0x81 : 0x82;
    platform::WriteLE32(&v[28], static_cast<std::uint32_t>(frame.size()));
    std::copy(frame.begin(), frame.end(), v.begin() + 64);
    return v;
}

TEST(Mp4DecFilterThreads, BitmapExportAgainstStreamingSizeChangesAndStops) {
    const auto small = Frames("bare_352x240.m4v");
    const auto large = Frames("bare_704x480.m4v");
    ASSERT_FALSE(small.empty());
    ASSERT_FALSE(large.empty());
    HRESULT hr = S_OK;
    auto* filter = static_cast<CVTMP4DecFilter*>(CVTMP4DecFilter::CreateInstance(nullptr, &hr));
    ComPtr<IBaseFilter> ref(static_cast<IBaseFilter*>(filter));
    media::CFilterHarness h(ref.Get());
    CMediaType in;
    in.SetType(&MEDIATYPE_Stream);
    in.SetSubtype(&MEDIASUBTYPE_VTMp4Video);
    in.SetFormatType(&FORMAT_VideoInfo);
    VIDEOINFOHEADER vih;
    vih.bmiHeader.biWidth = 352;
    vih.bmiHeader.biHeight = 240;
    in.AllocFormatBuffer(VIDEOINFOHEADER::kSize);
    vih.Write(in.Format());
    ALLOCATOR_PROPERTIES props{1, 256 * 1024, 1, 0};
    ASSERT_EQ(h.ConnectInput(in, props), S_OK);
    ASSERT_EQ(h.ConnectOutput(), S_OK);
    ASSERT_EQ(h.Run(), S_OK);

    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::thread streaming([&] {
        for (int i = 0; i < 240; ++i) {
            const bool isLarge = (i / 12) % 2 == 1;
            const auto& frames = isLarge ? large : small;
            const std::size_t n = static_cast<std::size_t>(i % 12) % frames.size();
            auto sample = QrvaSample(frames[n], isLarge ? 704 : 352, isLarge ? 480 : 240, n == 0);
            if (h.Push(sample.data(), static_cast<LONG>(sample.size())) != S_OK)
                ++failures;
            h.ClearReceived();
            if (i % 40 == 39 && (h.Stop() != S_OK || h.Run() != S_OK))
                ++failures;
        }
        done = true;
    });
    // The largest image any picture of this stream can need.
    std::vector<BYTE> bitmap(54 + 704 * 480 * 4);
    int exports = 0;
    while (!done) {
        int w = 0, ht = 0, bytes = 0;
        filter->GetPictureInfo(&w, &ht, &bytes);
        ASSERT_LE(bytes, static_cast<int>(bitmap.size()));
        ASSERT_EQ(filter->GetPictureBitmap(bitmap.data()), S_OK);
        ASSERT_EQ(bitmap[0], 'B');
        ++exports;
    }
    streaming.join();
    EXPECT_EQ(failures, 0);
    EXPECT_GT(exports, 0);
    EXPECT_EQ(h.Stop(), S_OK);
}

} // namespace
