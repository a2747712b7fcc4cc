// Whole files read back for comparison: as bytes, or as text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// The file's bytes; empty when it cannot be opened.
std::vector<std::uint8_t> ReadFileBytes(const std::string& path);

// The file's bytes as a string (text files, or bytes compared as a whole); empty when it cannot be
// opened.
std::string ReadFileText(const std::string& path);

} // namespace testsupport
