// Runs the scryde program as a user would, for end-to-end tests.
#pragma once

#include <string>
#include <vector>

namespace clitest {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `scryde args...` with extra environment assignments ("NAME=value"; "NAME=" alone removes it).
Result RunScryde(const std::vector<std::string>& args, const std::vector<std::string>& env = {});

// The whole file, byte for byte (empty when it cannot be read).
std::string Slurp(const std::string& path);

} // namespace clitest
