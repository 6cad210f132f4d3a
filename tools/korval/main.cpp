// korval: the library's command-line tool. Lists and drives boards, on hardware or on simulated boards.
//
//     korval [--sim PID[:winusb|:ioctl]]... [--json] COMMAND [ARGS...]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <CLI/CLI.hpp>

#include "command.h"
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

int report_error(uint32_t code, const std::string& what)
{
    const char* name = KORVAL_ResultName(code);
    std::fprintf(stderr, "korval: %s: error %u %s\n", what.c_str(), static_cast<unsigned>(code),
                 name != nullptr ? name : "(system error)");
    return 1;
}

int usage_error(const std::string& message)
{
    std::fprintf(stderr, "korval: %s (korval --help shows the usage)\n", message.c_str());
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
    "usage: korval [--sim PID[:winusb|:ioctl]]... [--remote HOST:PORT]... [--json] COMMAND [ARGS...]";

const char* const kFooter =
    "Commands that work on one board take -d N (a slot, 'first' or 'only'; the first board by default).\n"
    "dio and ctr chain operations with 'then', e.g. korval --sim 0x8020 ctr mode 0 4 2 1000 then read 0 4.\n"
    "korval COMMAND --help and korval COMMAND OP --help describe a command and its operations.";

struct Parsed {
    CLI::App* command = nullptr;  // the command's sub-command
    const Command* entry = nullptr;
    CLI::App* operation = nullptr;
};

// The tool's command line: the global options, then one sub-command per registered command, each with
// a sub-command per operation. A command and an operation keep every argument CLI11 does not know
// (prefix_command) and hand them unchanged to the command's own parser, which keeps the "then" chains
// and the commands' own option grammar as they are.
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
    for (const Command& c : commands()) {
        CLI::App* sub = app.add_subcommand(c.name, c.summary);
        sub->prefix_command();
        sub->footer(std::string("usage: korval ") + c.name + (c.usage[0] != '\0' ? " " : "") + c.usage);
        if (c.device)
            sub->add_option("-d,--device", device, "the board: a slot, 'first' or 'only' (default: the first board)")
                ->type_name("N");
        for (const Operation& op : c.operations) {
            CLI::App* child = sub->add_subcommand(op.name, op.summary);
            child->prefix_command();
            child->footer(std::string("usage: korval ") + c.name + (c.device ? " [-d N] " : " ") + op.name +
                          (op.usage[0] != '\0' ? " " : "") + op.usage);
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

int main(int argc, char** argv)
{
    using namespace korval::tool;
    Options options;
    CLI::App app{"", "korval"};
    std::vector<std::string> sims, remotes;
    std::string device;
    std::vector<std::pair<CLI::App*, const Command*>> entries;
    build(app, sims, remotes, options.json, device, entries);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
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
    if (parsed.command == nullptr) {
        const std::vector<std::string> extra = app.remaining();
        if (!extra.empty()) {
            if (extra[0].size() > 1 && extra[0][0] == '-') return usage_error("unknown option '" + extra[0] + "'");
            return usage_error("unknown command '" + extra[0] + "'");
        }
    }

    std::unique_ptr<KorvalSim, SimDeleter> sim;
    for (std::string board : sims) {
        uint32_t path = KORVAL_SIM_WINUSB;
        if (const auto colon = board.find(':'); colon != std::string::npos) {
            const std::string kind = board.substr(colon + 1);
            if (kind == "ioctl") path = KORVAL_SIM_IOCTL;
            else if (kind != "winusb") return usage_error("unknown driver path '" + kind + "'");
            board.resize(colon);
        }
        uint64_t pid = 0;
        if (!parse_number(board, pid) || pid > 0xFFFF) return usage_error("bad product ID '" + board + "'");
        if (!sim) sim.reset(KorvalSim_Create());
        KorvalSim_AddBoard(sim.get(), static_cast<uint32_t>(pid), path);
    }
    options.sim = sim.get();
    if (sim) {
        if (const uint32_t r = KORVAL_InstallHost(KorvalSim_Host(sim.get()))) return report_error(r, "simulation");
    }
    for (const std::string& address : remotes) {
        const uint32_t r = KORVAL_AddRemote(address.c_str(), std::getenv("KORVAL_REMOTE_TOKEN_FILE"),
                                            std::getenv("KORVAL_REMOTE_CA"));
        if (r != 0 && r != ERROR_ALREADY_EXISTS) return report_error(r, "remote " + address);
    }
    if (parsed.command == nullptr) {
        std::printf("%s", app.help().c_str());
        return 2;
    }
    return parsed.entry->run(options, command_args(parsed, device));
}
