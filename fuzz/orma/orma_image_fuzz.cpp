// libFuzzer target: arbitrary bytes as an ORMA drive image, opened and walked frame by frame.
#include <unistd.h>

#include <string>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/orma-fuzz-" + std::to_string(::getpid()) + ".img";
    orma::fuzz::RunImageInput(data, size, path);
    return 0;
}
