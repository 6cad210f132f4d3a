// The korval tool's commands. Each command lives in its own file and registers itself here.
#pragma once

#include <cstdint>
#include <functional>
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
    uint32_t device = 0;       // -d N: the board of a command that works on one (FirstDeviceIndex by default)
    bool device_given = false;
};

using Args = std::vector<std::string>;

// Gives every simulated board's inputs sines sized for the range from low to high volts.
void give_sim_signals(KorvalSim* sim, double low, double high);

// An operation of a command ("dio read", "ctr mode"), listed in the command's generated help and with
// help of its own ("korval dio read --help").
struct Operation {
    const char* name;
    const char* usage;    // its arguments
    const char* summary;  // one line
};

// What one parsed command or operation does, with the values the command line gave it bound in. The
// parser's callbacks queue them; they run in the order given once the whole command line, the global
// options among it, is parsed and the boards are attached. The first that fails ends the run.
using Action = std::function<int(const Options& options)>;
void queue_action(Action action);

struct Command {
    const char* name;
    const char* usage;    // argument synopsis, shown in the help
    const char* summary;  // one line
    // Adds the command's options, arguments and callbacks to its sub-command (and to those of its
    // operations, made from `operations` before it is called). The callbacks queue the actions.
    void (*define)(CLI::App& command);
    bool device = false;  // takes "-d N"
    std::vector<Operation> operations = {};
    // Its operations chain: "dio read all then write all 0" runs both, in order.
    bool chains = false;
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

// Adds an operation's callback: it queues `action` with the values parsed for this occurrence of the
// operation (an operation may come more than once in a chain).
void on_operation(CLI::App& operation, std::function<Action()> make);

}  // namespace korval::tool
