// korval: the library's command-line tool. Lists and drives boards, on hardware or on simulated boards.
//
//     korval [--sim PID[:winusb|:ioctl]]... [--json] [-d N] COMMAND [ARGS...]
//
// The global options may also follow the command or its operation. The whole command line is one CLI11
// definition: each command adds its options, operations and callbacks (Command::define); the callbacks
// queue what is to be done, which runs once the line is parsed and the boards are attached.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <CLI/CLI.hpp>

#include "command.h"
#include "device_option.h"
#include "json_out.h"
#include "korval/korval.h"
#include "korval/sim.h"

namespace korval::tool {

namespace {

std::vector<Command>& registry()
{
    static std::vector<Command> list;
    return list;
}

struct SimDeleter {
    void operator()(KorvalSim* sim) const
    {
        KORVAL_InstallHost(nullptr);
        KorvalSim_Destroy(sim);
    }
};

}  // namespace

const std::vector<Command>& commands() { return registry(); }

RegisterCommand::RegisterCommand(Command command) { registry().push_back(command); }

namespace {

bool g_json = false;    // --json: errors are JSON objects on stdout too
std::string g_command;  // the command and its first word, for what an error means

const char* feature_of(const std::string& command)
{
    if (command.rfind("dio stream", 0) == 0) return "digital streaming";
    if (command.rfind("dac wave", 0) == 0) return "waveform output";
    if (command.rfind("adc", 0) == 0) return "analog inputs";
    if (command.rfind("dac", 0) == 0) return "analog outputs";
    if (command.rfind("dio", 0) == 0) return "digital ports";
    if (command.rfind("ctr", 0) == 0) return "counters";
    if (command.rfind("flash", 0) == 0) return "flash";
    return nullptr;
}

std::string board_words(uint32_t index)
{
    if (index == FirstDeviceIndex) return "the first board";
    if (index == OnlyDeviceIndex) return "the only board";
    return "the board in slot " + std::to_string(index);
}

// "board 0x8140", by its product ID.
std::string board_name(uint32_t index)
{
    uint32_t pid = 0;
    if (QueryDeviceInfo(index, &pid, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return "the board";
    char name[32];
    std::snprintf(name, sizeof name, "board 0x%04X", static_cast<unsigned>(pid));
    return name;
}

// What a result code means here, where its Win32 name says something else; empty when the name says it.
std::string meaning(uint32_t code)
{
    const uint32_t index = current_device();
    uint32_t pid = 0;
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
            // Only when the board is what is missing (the code also means "nothing running", "no file").
            if (QueryDeviceInfo(index, &pid, nullptr, nullptr, nullptr, nullptr) != ERROR_FILE_NOT_FOUND) return "";
            return index < KORVAL_SLOT_COUNT ? "no board in slot " + std::to_string(index) : "no board";
        case ERROR_BAD_TOKEN_TYPE: {
            const char* feature = feature_of(g_command);
            return board_name(index) + (feature != nullptr ? std::string(" has no ") + feature : " lacks this feature");
        }
        case ERROR_DEVICE_REMOVED:
            return board_words(index) + " was unplugged";
        case ERROR_INVALID_INDEX:
            return "there is no slot " + std::to_string(index) + " (slots are 0 to 31)";
        case ERROR_DUP_NAME:
            return "more than one board is attached: name one with -d N";
        case ERROR_NOT_SUPPORTED:
            return "this board's firmware or driver path does not offer it";
        default:
            return "";
    }
}

}  // namespace

int report_error(uint32_t code, const std::string& what)
{
    const char* name = KORVAL_ResultName(code);
    // A message that says already what the board lacks gets the board's name, and no second saying.
    const std::string this_board = "this board has no ";
    std::string message = what;
    std::string means;
    if (code == ERROR_BAD_TOKEN_TYPE && what.rfind(this_board, 0) == 0)
        message = means = board_name(current_device()) + what.substr(this_board.size() - 8);
    else if (what.find(" has no ") == std::string::npos && !(means = meaning(code)).empty())
        message = what + ": " + means;
    const std::string code_text = "error " + std::to_string(code) + " " + (name != nullptr ? name : "(system error)");
    if (means.empty())
        std::fprintf(stderr, "korval: %s: %s\n", message.c_str(), code_text.c_str());
    else
        std::fprintf(stderr, "korval: %s (%s)\n", message.c_str(), code_text.c_str());
    if (g_json)
        print_json(
            {{"error", {{"code", code}, {"name", name != nullptr ? Json(name) : Json()}, {"message", message}}}});
    return 1;
}

int usage_error(const std::string& message)
{
    std::fprintf(stderr, "korval: %s (korval --help shows the usage)\n", message.c_str());
    if (g_json) print_json({{"error", {{"code", nullptr}, {"name", "usage"}, {"message", message}}}});
    return 2;
}

bool parse_number(const std::string& text, uint64_t& value)
{
    if (text.empty()) return false;
    char* end = nullptr;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    value = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    return end != nullptr && *end == '\0' && text[0] != '-';
}

namespace {

std::vector<Action>& actions()
{
    static std::vector<Action> queued;
    return queued;
}

}  // namespace

void queue_action(Action action) { actions().push_back(std::move(action)); }

void on_operation(CLI::App& operation, std::function<Action()> make)
{
    // Each occurrence in a chain is parsed afresh (its options cleared) and queues its own action.
    operation.immediate_callback();
    operation.callback([make = std::move(make)] { queue_action(make()); });
}

namespace {

const char* const kDescription =
    "korval: lists and drives Korval boards, on hardware or on simulated boards.\n"
    "usage: korval [--sim PID[:winusb|:ioctl]]... [--remote HOST:PORT]... [--json] [-d N] COMMAND [ARGS...]\n"
    "(--sim, --remote, --json and -d may also follow the command)";

const char* const kFooter =
    "Commands that work on one board take -d N (a slot, 'first' or 'only'; the first board by default).\n"
    "dio and ctr chain operations with 'then', e.g. korval --sim 0x8020 ctr mode 0 4 2 1000 then read 0 4.\n"
    "korval COMMAND --help and korval COMMAND OP --help describe a command and its operations.";

// "korval 1.2.3": the version of the library the tool runs on.
std::string version_text()
{
    const uint32_t v = KORVAL_GetVersion();
    return "korval " + std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xFF) + "." + std::to_string(v & 0xFF);
}

// The global options, in the order given wherever they stand.
struct Globals {
    bool json = false;
    std::vector<std::string> sims;
    std::vector<std::string> remotes;
    std::vector<std::string> devices;
};

// The global options, on the tool and on every command and operation (where they are left out of the
// help), so that one given after the command or its operation is taken too, never silently ignored.
void add_globals(CLI::App& app, Globals& g, bool shown, bool device_shown)
{
    const std::string group = shown ? "Options" : "";
    auto append = [](std::vector<std::string>& into) {
        return
            [&into](const std::vector<std::string>& values) { into.insert(into.end(), values.begin(), values.end()); };
    };
    app.add_option_function<std::vector<std::string>>(
           "--sim", append(g.sims),
           "attach a simulated board with this USB product ID (repeatable); the board is reached "
           "through WinUSB unless ':ioctl' follows the ID")
        ->type_name("PID[:winusb|:ioctl]")
        ->allow_extra_args(false)
        ->group(group);
    app.add_option_function<std::vector<std::string>>(
           "--remote", append(g.remotes),
           "add the boards of a 'korval serve' server (repeatable); its token and CA come from "
           "KORVAL_REMOTE_TOKEN_FILE and KORVAL_REMOTE_CA")
        ->type_name("HOST:PORT")
        ->allow_extra_args(false)
        ->group(group);
    app.add_flag_callback(
           "--json", [&g] { g.json = true; }, "print results as JSON")
        ->group(group);
    app.add_option_function<std::vector<std::string>>("-d,--device", append(g.devices),
                                                      "the board: a slot, 'first' or 'only' (default: the first board)")
        ->type_name("N")
        ->allow_extra_args(false)
        ->group(device_shown ? "Options" : "");
}

// The tool's command line: the global options, then one sub-command per registered command, each with
// a sub-command per operation, which the command's define() fills in.
void build(CLI::App& app, Globals& g, std::vector<std::pair<CLI::App*, const Command*>>& entries)
{
    app.description(kDescription);
    app.footer(kFooter);
    add_globals(app, g, true, true);
    app.set_version_flag("--version", version_text, "print the library's version and exit");
    app.require_subcommand(0, 1);
    for (const Command& c : commands()) {
        CLI::App* sub = app.add_subcommand(c.name, c.summary);
        sub->footer(std::string("usage: korval ") + c.name + (c.usage[0] != '\0' ? " " : "") + c.usage);
        add_globals(*sub, g, false, c.device);
        for (const Operation& op : c.operations) {
            CLI::App* child = sub->add_subcommand(op.name, op.summary);
            child->footer(std::string("usage: korval ") + c.name + (c.device ? " [-d N] " : " ") + op.name +
                          (op.usage[0] != '\0' ? " " : "") + op.usage);
            add_globals(*child, g, false, false);
        }
        // A chain may name one operation more than once; any other command takes one operation.
        if (!c.operations.empty()) sub->require_subcommand(1, c.chains ? 0 : 1);
        c.define(*sub);
        entries.emplace_back(sub, &c);
    }
}

// "then" separates the operations of a chain. To the parser it is "++", the word that ends a
// sub-command (an operation's optional arguments stop there), after which the next operation starts.
std::vector<std::string> chain_words(int argc, char** argv)
{
    std::vector<std::string> words(argv, argv + argc);
    bool chaining = false;
    for (size_t i = 1; i < words.size(); ++i) {
        for (const Command& c : commands())
            if (words[i] == c.name && !chaining) chaining = c.chains;
        if (chaining && words[i] == "then") words[i] = "++";
    }
    return words;
}

// The -d given (once, or the same each time): the board the command works on. 0, or a usage error's status.
int take_device(const Globals& g, const Command* entry, Options& options)
{
    std::string text;
    for (const std::string& d : g.devices) {
        if (!text.empty() && d != text) return usage_error("-d given twice ('" + text + "' and '" + d + "')");
        text = d;
    }
    options.device = current_device() = FirstDeviceIndex;
    if (text.empty()) return 0;
    if (entry != nullptr && !entry->device)
        return usage_error(std::string(entry->name) + " works on no single board: it takes no -d");
    uint64_t value = 0;
    if (text == "first")
        value = FirstDeviceIndex;
    else if (text == "only")
        value = OnlyDeviceIndex;
    else if (!parse_number(text, value) || value > 0xFFFFFFFF)
        return usage_error("bad device index '" + text + "'");
    options.device = current_device() = static_cast<uint32_t>(value);
    options.device_given = true;
    return 0;
}

// Attaches the --sim and --remote boards. 0, or the failure's exit status.
int attach_boards(const Globals& g, std::unique_ptr<KorvalSim, SimDeleter>& sim, Options& options)
{
    for (const std::string& board : g.sims) {
        uint32_t pid = 0, path = 0;
        if (const std::string wrong = parse_sim_board(board, pid, path); !wrong.empty()) return usage_error(wrong);
        if (!sim) sim.reset(KorvalSim_Create());
        KorvalSim_AddBoard(sim.get(), pid, path);
    }
    options.sim = sim.get();
    if (sim) {
        give_sim_signals(sim.get(), 0.0, 10.0);
        if (const uint32_t r = KORVAL_InstallHost(KorvalSim_Host(sim.get()))) return report_error(r, "simulation");
    }
    for (const std::string& address : g.remotes) {
        const uint32_t r =
            KORVAL_AddRemote(address.c_str(), std::getenv("KORVAL_REMOTE_TOKEN_FILE"), std::getenv("KORVAL_REMOTE_CA"));
        if (r != 0 && r != ERROR_ALREADY_EXISTS) return report_error(r, "remote " + address);
    }
    return 0;
}

// Parses the command line. -1 when it is parsed, else the exit status (help, version, a usage error).
int parse(CLI::App& app, const std::vector<std::string>& words)
{
    std::vector<std::string> reversed(words.rbegin(), words.rend() - 1);
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return usage_error(e.what());
    }
    return -1;
}

// Runs the command line; its exit status.
int run(CLI::App& app, Globals& g, const std::vector<std::pair<CLI::App*, const Command*>>& entries,
        const std::vector<std::string>& words)
{
    if (const int status = parse(app, words); status >= 0) return status;
    const Command* entry = nullptr;
    for (const auto& [sub, e] : entries) {
        if (!sub->parsed()) continue;
        entry = e;
        g_command = e->name;
        if (!sub->get_subcommands().empty()) g_command += " " + sub->get_subcommands().front()->get_name();
    }
    Options options;
    options.json = g.json;
    if (const int status = take_device(g, entry, options)) return status;
    std::unique_ptr<KorvalSim, SimDeleter> sim;
    if (const int status = attach_boards(g, sim, options)) return status;
    if (entry == nullptr) {
        std::printf("%s", app.help().c_str());
        return 2;
    }
    for (const Action& action : actions())
        if (const int status = action(options)) return status;
    return 0;
}

}  // namespace

}  // namespace korval::tool

int main(int argc, char** argv)
{
    using namespace korval::tool;
    CLI::App app{"", "korval"};
    Globals globals;
    std::vector<std::pair<CLI::App*, const Command*>> entries;
    build(app, globals, entries);
    const std::vector<std::string> words = chain_words(argc, argv);
    // --json is known before parsing, so that a usage error is a JSON document too.
    for (const std::string& w : words) g_json = g_json || w == "--json";
    if (g_json) begin_json_document();
    const int status = run(app, globals, entries, words);
    finish_json_document();
    return status;
}
