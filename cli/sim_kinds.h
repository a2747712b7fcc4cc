// `scryde sim KIND ...`: the synthetic recorders. Each kind lives in a file cmd_sim_<kind>.cpp and
// registers itself here, as commands do.
#pragma once

#include <string>
#include <vector>

namespace cli {

struct SimKind {
    const char* name;    // "orma", "tav", ...
    const char* summary; // one line for `scryde sim --help`
    const char* usage;   // full text of `scryde sim KIND --help`
    int (*run)(const std::vector<std::string>& args);
};

struct SimKindRegistrar {
    explicit SimKindRegistrar(const SimKind& kind);
};

} // namespace cli
