// SHA-256 (FIPS 180-4) of a file, printed by the exporting commands so a copy can be checked.
#pragma once

#include <optional>
#include <string>

namespace cli {

// Lower-case hex digest of the file's bytes; nothing when it cannot be read.
std::optional<std::string> Sha256OfFile(const std::string& path);
std::string Sha256Hex(const void* data, std::size_t size);

}  // namespace cli
