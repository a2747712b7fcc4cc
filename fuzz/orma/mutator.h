// Structure-aware mutation of the ORMA fuzz input: the input is read back as its patches, each patch
// is recognised by what it starts with (marker sector, D32M cluster record, Disk01M block header, D88M
// frame), and a mutation changes one field of one of them, moves or copies a structure to another
// block or cluster, drops one, or changes the image size, so most mutants pass the first checks and
// reach the index scan and the frame walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "harness.h"

namespace orma::fuzz {

// Reads an input back into its size selector and patches (the inverse of EncodeInput); trailing
// bytes too short for a record are dropped.
bool DecodeInput(const std::uint8_t* data, std::size_t size, std::uint8_t* sizeSelector,
                 std::vector<Patch>* patches);

// Mutates `data` (of `size` bytes, room for `maxSize`) in place; returns the new size. `rawMutate` is
// the byte-level mutator to fall back on (libFuzzer's LLVMFuzzerMutate in the target).
using RawMutate = std::size_t (*)(std::uint8_t* data, std::size_t size, std::size_t maxSize);
std::size_t MutateStructured(std::uint8_t* data, std::size_t size, std::size_t maxSize, unsigned seed,
                             RawMutate rawMutate);

} // namespace orma::fuzz
