// The archive's compressor choice: the installed compressors tried on the sample clip, the row the
// list opens on, the information text, and a choice used once or every time.
#include <gtest/gtest.h>

#include <cstdlib>

#include "reader/encoder_select.h"
#include "reader_test_util.h"

namespace {

using namespace reader;

TEST(EncoderSelect, TheSampleClipShowsWhichCompressorsWork) {
    readertest::Scratch scratch;
    readertest::Boxes boxes;
    const std::vector<CompressorChoice> list = DiscoverCompressors();
    ASSERT_FALSE(list.empty()) << (boxes.Seen().empty() ? "" : boxes.Seen()[0].text);
    EXPECT_TRUE(boxes.Seen().empty());
    const int row = DefaultCompressorRow(list, "");
    ASSERT_GE(row, 0);
    const CompressorChoice& mjpeg = list[static_cast<std::size_t>(row)];
    EXPECT_EQ(mjpeg.name, "MJPEG Compressor");
    EXPECT_EQ(mjpeg.fourcc, MAKEFOURCC('M', 'J', 'P', 'G'));
    const std::string info = CompressorInfoText(mjpeg);
    EXPECT_EQ(info.rfind("CLSID:\r\n{", 0), 0u) << info;
    EXPECT_NE(info.find("\r\nMedia type FourCC:\r\nMJPG, 47504a4dH\r\n\r\nServer file name:\r\n"),
              std::string::npos)
        << info;
    EXPECT_NE(info.find("libMediaStock.so"), std::string::npos) << info; // the stock filters' module

    // Without the clip nothing can be tried: the archive falls back on the default compressor.
    ::setenv("SCRYDE_DATA", scratch.Path().c_str(), 1);
    boxes.Clear();
    EXPECT_TRUE(DiscoverCompressors().empty());
    ::unsetenv("SCRYDE_DATA");
    ASSERT_EQ(boxes.Seen().size(), 2u);
    EXPECT_EQ(boxes.Seen()[0].text.rfind("Certain application file missed.", 0), 0u);
    EXPECT_EQ(
        boxes.Seen()[1].text,
        "Unable to create directshow graph for testing compatible compressor.\n The default MJPEG compressor "
        "will be applied.");
}

TEST(EncoderSelect, RowAndChoiceRules) {
    const std::vector<CompressorChoice> list = {
        {"A", {}, 0, ""}, {"MJPEG Compressor", {}, 0, ""}, {"B", {}, 0, ""}};
    struct Case {
        std::vector<CompressorChoice> list;
        std::string last;
        int row;
    } cases[] = {
        {list, "B", 2}, {list, "", 1}, {list, "gone", 1}, {{list[0], list[2]}, "", 0}, {{}, "A", -1}};
    for (const Case& c : cases)
        EXPECT_EQ(DefaultCompressorRow(c.list, c.last), c.row) << c.last;

    EncoderChoiceState state;
    state.chosen = state.lastChosen = "B";
    EXPECT_EQ(state.TakeForArchive(), "B");
    EXPECT_EQ(state.TakeForArchive(), ""); // used once, then forgotten
    state.useWithoutAsking = true;
    EXPECT_EQ(state.TakeForArchive(), "B");
    EXPECT_EQ(state.TakeForArchive(), "B");
}

} // namespace
