// Opens arbitrary bytes as an AVI file through the file source and the AVI splitter and plays every
// stream the splitter offers: shared by the fuzz target and the test that replays the committed corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace media::fuzz {

// Writes the bytes to `scratchPath`, connects file source -> splitter, captures each stream pin and
// runs until every stream has ended (or a short time-out). Returns whether the splitter took the file.
bool RunAviInput(const std::uint8_t* data, std::size_t size, const std::string& scratchPath);

} // namespace media::fuzz
