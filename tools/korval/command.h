// The korval tool's commands. Each command lives in its own file and registers itself here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "korval/sim.h"

namespace korval::tool {

struct Options {
    bool json = false;
    KorvalSim* sim = nullptr;  // the simulation of --sim, when there is one
};

using Args = std::vector<std::string>;

struct Command {
    const char* name;
    const char* usage;    // argument synopsis, shown in the help
    const char* summary;  // one line
    int (*run)(const Options& options, const Args& args);
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

// Text quoted for JSON output.
std::string json_string(const std::string& text);

}  // namespace korval::tool
