// Opens arbitrary bytes as an ORMA drive image and walks its frames: shared by the fuzz target and the
// regular test that replays the committed corpus.
//
// Input: one byte choosing the image size ((1 + b % 3) × 65536 + 1 sectors: one to three 32 MiB
// clusters and the marker sector), then records of a 32-bit little-endian sector number (taken modulo
// the image size), a 16-bit length (at most 4096) and that many bytes, written at the sector. The
// rest of the image is zeros (a sparse file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orma::fuzz {

// One record of the input format.
struct Patch {
    std::uint32_t sector;
    std::vector<std::uint8_t> bytes;
};
std::vector<std::uint8_t> EncodeInput(std::uint8_t sizeSelector, const std::vector<Patch>& patches);

// Writes the image to `scratchPath`, opens and walks it. Returns whether the open succeeded.
bool RunImageInput(const std::uint8_t* data, std::size_t size, const std::string& scratchPath);

} // namespace orma::fuzz
