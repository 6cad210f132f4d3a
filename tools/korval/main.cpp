// korval: the library's command-line tool. Lists and drives boards, on hardware or on simulated boards.
//
//     korval [--sim PID[:winusb|:ioctl]]... [--json] [-d N] COMMAND [ARGS...]
//
// The global options may also follow the command or its operation.
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

const char* const kDescription =
    "korval: lists and drives Korval boards, on hardware or on simulated boards.\n"
    "usage: korval [--sim PID[:winusb|:ioctl]]... [--remote HOST:PORT]... [--json] [-d N] COMMAND [ARGS...]\n"
    "(--sim, --remote, --json and -d may also follow the command)";

const char* const kFooter =
    "Commands that work on one board take -d N (a slot, 'first' or 'only'; the first board by default).\n"
    "dio and ctr chain operations with 'then', e.g. korval --sim 0x8020 ctr mode 0 4 2 1000 then read 0 4.\n"
    "korval COMMAND --help and korval COMMAND OP --help describe a command and its operations.";

struct Parsed {
    CLI::App* command = nullptr;  // the command's sub-command
    const Command* entry = nullptr;
    CLI::App* operation = nullptr;
};

// "korval 1.2.3": the version of the library the tool runs on.
std::string version_text()
{
    const uint32_t v = KORVAL_GetVersion();
    return "korval " + std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xFF) + "." + std::to_string(v & 0xFF);
}

// The tool's command line: the global options, then one sub-command per registered command, each with
// a sub-command per operation. A command that defines its options (Command::define) is parsed here
// whole; the others keep every argument CLI11 does not know (prefix_command) and hand them unchanged
// to the command's own parser, which keeps the "then" chains and their word grammar as they are.
void build(CLI::App& app, std::vector<std::string>& sims, std::vector<std::string>& remotes, bool& json,
           std::string& device, std::vector<std::pair<CLI::App*, const Command*>>& entries)
{
    app.description(kDescription);
    app.footer(kFooter);
    app.allow_extras();
    app.add_option("--sim", sims,
                   "attach a simulated board with this USB product ID (repeatable); the board is reached "
                   "through WinUSB unless ':ioctl' follows the ID")
        ->type_name("PID[:winusb|:ioctl]")
        ->allow_extra_args(false);
    app.add_option("--remote", remotes,
                   "add the boards of a 'korval serve' server (repeatable); its token and CA come from "
                   "KORVAL_REMOTE_TOKEN_FILE and KORVAL_REMOTE_CA")
        ->type_name("HOST:PORT")
        ->allow_extra_args(false);
    app.add_flag("--json", json, "print results as JSON");
    app.set_version_flag("--version", version_text, "print the library's version and exit");
    for (const Command& c : commands()) {
        CLI::App* sub = app.add_subcommand(c.name, c.summary);
        if (c.define == nullptr) sub->prefix_command();
        sub->footer(std::string("usage: korval ") + c.name + (c.usage[0] != '\0' ? " " : "") + c.usage);
        if (c.device)
            sub->add_option("-d,--device", device, "the board: a slot, 'first' or 'only' (default: the first board)")
                ->type_name("N");
        for (const Operation& op : c.operations) {
            CLI::App* child = sub->add_subcommand(op.name, op.summary);
            if (c.define == nullptr)
                child->prefix_command();
            else
                child->allow_extras(false);  // every word is defined: anything else is an error
            child->footer(std::string("usage: korval ") + c.name + (c.device ? " [-d N] " : " ") + op.name +
                          (op.usage[0] != '\0' ? " " : "") + op.usage);
        }
        if (c.define != nullptr) {
            sub->allow_extras(false);
            sub->require_subcommand(0, 1);
            c.define(*sub);
        }
        entries.emplace_back(sub, &c);
    }
}

// The arguments a command's parser sees, in the order they were given.
Args command_args(const Parsed& parsed, const std::string& device)
{
    Args args;
    if (!device.empty()) args = {"-d", device};
    for (const std::string& a : parsed.command->remaining()) args.push_back(a);
    if (parsed.operation != nullptr) {
        args.push_back(parsed.operation->get_name());
        for (const std::string& a : parsed.operation->remaining()) args.push_back(a);
    }
    return args;
}

}  // namespace

}  // namespace korval::tool

namespace korval::tool {

namespace {

// The global options, taken from anywhere on the command line (before the command, after it, or
// after its operation), so that none is silently ignored: --json, --sim PID (repeatable) and -d N
// (one board, for the commands that work on one). What is left goes to the command line parser.
struct Globals {
    bool json = false;
    std::vector<std::string> sims;
    std::vector<std::string> remotes;
    std::vector<std::string> devices;
    std::vector<std::string> rest;
    std::string error;
};

Globals take_globals(int argc, char** argv)
{
    Globals g;
    g.rest.push_back(argv[0]);
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* option, std::vector<std::string>& into) {
            if (i + 1 >= argc)
                g.error = std::string(option) + " needs a value";
            else
                into.push_back(argv[++i]);
        };
        if (a == "--json")
            g.json = true;
        else if (a == "--sim")
            value("--sim", g.sims);
        else if (a.rfind("--sim=", 0) == 0)
            g.sims.push_back(a.substr(6));
        else if (a == "--remote")
            value("--remote", g.remotes);
        else if (a.rfind("--remote=", 0) == 0)
            g.remotes.push_back(a.substr(9));
        else if (a == "-d" || a == "--device")
            value("-d", g.devices);
        else if (a.rfind("--device=", 0) == 0)
            g.devices.push_back(a.substr(9));
        else
            g.rest.push_back(a);
    }
    return g;
}

}  // namespace

}  // namespace korval::tool

int main(int argc, char** argv)
{
    using namespace korval::tool;
    Options options;
    CLI::App app{"", "korval"};
    std::vector<std::string> sims_unused, remotes_unused;
    std::string device_unused;
    std::vector<std::pair<CLI::App*, const Command*>> entries;
    build(app, sims_unused, remotes_unused, options.json, device_unused, entries);

    Globals globals = take_globals(argc, argv);
    options.json = g_json = globals.json;
    if (g_json) begin_json_document();
    const int status = [&]() -> int {
        if (!globals.error.empty()) return usage_error(globals.error);
        std::vector<char*> rest;
        for (std::string& a : globals.rest) rest.push_back(a.data());
        try {
            app.parse(static_cast<int>(rest.size()), rest.data());
        } catch (const CLI::CallForHelp& e) {
            return app.exit(e);
        } catch (const CLI::CallForAllHelp& e) {
            return app.exit(e);
        } catch (const CLI::CallForVersion& e) {
            return app.exit(e);
        } catch (const CLI::ParseError& e) {
            return usage_error(e.what());
        }

        Parsed parsed;
        for (const auto& [sub, entry] : entries) {
            if (sub->parsed()) {
                parsed.command = sub;
                parsed.entry = entry;
                for (CLI::App* op : sub->get_subcommands()) parsed.operation = op;
            }
        }
        // Anything the parser did not place is an error, never ignored.
        const std::vector<std::string> extra = app.remaining();
        if (!extra.empty()) {
            if (extra[0].size() > 1 && extra[0][0] == '-') return usage_error("unknown option '" + extra[0] + "'");
            return usage_error("unknown command '" + extra[0] + "'");
        }
        std::string device;
        for (const std::string& d : globals.devices) {
            if (!device.empty() && d != device) return usage_error("-d given twice ('" + device + "' and '" + d + "')");
            device = d;
        }
        if (parsed.command != nullptr) {
            g_command = parsed.entry->name;
            if (parsed.operation != nullptr) g_command += " " + parsed.operation->get_name();
            if (!device.empty() && !parsed.entry->device)
                return usage_error(std::string(parsed.entry->name) + " works on no single board: it takes no -d");
        }

        std::unique_ptr<KorvalSim, SimDeleter> sim;
        for (const std::string& board : globals.sims) {
            uint32_t pid = 0, path = 0;
            if (const std::string wrong = parse_sim_board(board, pid, path); !wrong.empty()) return usage_error(wrong);
            if (!sim) sim.reset(KorvalSim_Create());
            KorvalSim_AddBoard(sim.get(), pid, path);
        }
        options.sim = sim.get();
        if (sim) {
            if (const uint32_t r = KORVAL_InstallHost(KorvalSim_Host(sim.get()))) return report_error(r, "simulation");
        }
        for (const std::string& address : globals.remotes) {
            const uint32_t r = KORVAL_AddRemote(address.c_str(), std::getenv("KORVAL_REMOTE_TOKEN_FILE"),
                                                std::getenv("KORVAL_REMOTE_CA"));
            if (r != 0 && r != ERROR_ALREADY_EXISTS) return report_error(r, "remote " + address);
        }
        if (parsed.command == nullptr) {
            std::printf("%s", app.help().c_str());
            return 2;
        }
        return parsed.entry->run(options, command_args(parsed, device));
    }();
    finish_json_document();
    return status;
}
