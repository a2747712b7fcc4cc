// libFuzzer target: arbitrary bytes as an ORMA drive image, opened and walked frame by frame. Mutation
// is structure-aware (mutator.h), with libFuzzer's byte mutator beneath it.
#include <unistd.h>

#include <string>

#include "harness.h"
#include "mutator.h"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // In memory where the system has it: recreating a sparse image on a disk file system costs a block
    // release per input and held a run near a hundred inputs a second.
    static const std::string path = std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                    "/orma-fuzz-" + std::to_string(::getpid()) + ".img";
    orma::fuzz::RunImageInput(data, size, path);
    return 0;
}

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t maxSize,
                                               unsigned int seed) {
    return orma::fuzz::MutateStructured(data, size, maxSize, seed, LLVMFuzzerMutate);
}
