// The commands of `scryde`. Each command lives in a file cmd_<name>.cpp of its own and registers itself
// with a static CommandRegistrar, so adding a command touches no shared file.
#pragma once

#include <string>
#include <vector>

namespace cli {

// Exit statuses of every command.
constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

struct Command {
    const char* name;
    const char* summary; // one line for `scryde --help`
    const char* usage;   // the full text of `scryde NAME --help`
    // Runs with the arguments after the command name. Errors go to standard error in one line.
    int (*run)(const std::vector<std::string>& args);
};

struct CommandRegistrar {
    explicit CommandRegistrar(const Command& command);
};

const std::vector<Command>& Commands();

// Prints "scryde: message" on standard error and returns `status`.
int Fail(int status, const std::string& message);
// True when `args` asks for the command's help (and prints it).
bool WantsHelp(const Command& command, const std::vector<std::string>& args);

} // namespace cli
