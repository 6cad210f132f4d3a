// korval: the library's command-line tool. Lists and drives boards, on hardware or on simulated boards.
//
//     korval [--sim PID[:winusb|:ioctl]]... [--json] COMMAND [ARGS...]
#include <cstdio>
#include <cstring>
#include <memory>

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

void print_help()
{
    std::printf("usage: korval [--sim PID[:winusb|:ioctl]]... [--json] COMMAND [ARGS...]\n\n"
                "  --sim PID   attach a simulated board with this USB product ID (repeatable); the\n"
                "              board is reached through WinUSB unless ':ioctl' follows the ID\n"
                "  --json      print results as JSON\n\ncommands:\n");
    for (const Command& c : commands()) std::printf("  %-8s %-28s %s\n", c.name, c.usage, c.summary);
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

std::string json_string(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace korval::tool

int main(int argc, char** argv)
{
    using namespace korval::tool;
    Options options;
    std::unique_ptr<KorvalSim, SimDeleter> sim;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            print_help();
            return 0;
        }
        if (arg == "--json") {
            options.json = true;
        } else if (arg == "--sim" && i + 1 < argc) {
            std::string board = argv[++i];
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
        } else {
            return usage_error("unknown option '" + arg + "'");
        }
    }
    options.sim = sim.get();
    if (sim) {
        if (const uint32_t r = KORVAL_InstallHost(KorvalSim_Host(sim.get()))) return report_error(r, "simulation");
    }
    if (i >= argc) {
        print_help();
        return 2;
    }
    const std::string name = argv[i];
    for (const Command& c : commands())
        if (name == c.name) return c.run(options, Args(argv + i + 1, argv + argc));
    return usage_error("unknown command '" + name + "'");
}
