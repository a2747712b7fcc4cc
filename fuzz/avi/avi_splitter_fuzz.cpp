// libFuzzer target: arbitrary bytes as an AVI file, parsed by the AVI splitter and every stream played.
#include <unistd.h>

#include <string>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/avi-fuzz-" + std::to_string(::getpid()) + ".avi";
    media::fuzz::RunAviInput(data, size, path);
    return 0;
}
