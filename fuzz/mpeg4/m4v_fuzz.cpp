// libFuzzer target: arbitrary frames fed to one MPEG-4 decoder instance in sequence.
#include "fuzz/mpeg4/frame_feeder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return mpeg4::fuzz::FeedFrames(data, size);
}
