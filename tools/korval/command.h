// The korval tool's commands. Each command lives in its own file and registers itself here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

typedef struct KorvalSim KorvalSim;

namespace CLI {
class App;
}

namespace korval::tool {

struct Options {
    bool json = false;
    KorvalSim* sim = nullptr;  // the simulation holding the --sim boards, or none
};

using Args = std::vector<std::string>;

// An operation of a command ("dio read", "ctr mode"), listed in the command's generated help and with
// help of its own ("korval dio read --help").
struct Operation {
    const char* name;
    const char* usage;    // its arguments
    const char* summary;  // one line
};

struct Command {
    const char* name;
    const char* usage;    // argument synopsis, shown in the help
    const char* summary;  // one line
    int (*run)(const Options& options, const Args& args);
    bool device = false;  // takes "-d N" before its operation
    std::vector<Operation> operations = {};
    // Adds the command's options and arguments to its sub-command and those of its operations, bound
    // to the command's own storage, which run() then reads. Without it, every word after the command
    // reaches run() as it was given.
    void (*define)(CLI::App& command) = nullptr;
};

const std::vector<Command>& commands();

struct RegisterCommand {
    explicit RegisterCommand(Command command);
};

// Prints "error CODE NAME: what" to stderr and returns the tool's exit status for a failed call.
int report_error(uint32_t code, const std::string& what);
// Prints a usage error to stderr and returns the tool's exit status for it.
int usage_error(const std::string& message);

// Parses a number in C notation (0x.. hexadecimal, otherwise decimal). False when it is not one.
bool parse_number(const std::string& text, uint64_t& value);

}  // namespace korval::tool
