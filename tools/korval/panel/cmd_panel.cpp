// korval panel: serves a page that shows the boards, plots their analog inputs live and sets their
// digital ports, analog outputs and counters.
//
//     korval panel [-d N] [--listen ADDR:PORT] [--token-file FILE] [--sim PID[:winusb|:ioctl]...]
//
// It prints the page's address, with a random token that every request must carry; the page is served
// on loopback only unless --listen names another address, which needs --token-file (a token of the
// user's own, in a file only its owner may read). Ctrl-C ends it. --sim attaches simulated boards, run in
// this process, whose analog inputs carry test signals; the page can then set their input levels.
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <random>

#include <CLI/CLI.hpp>

#include "../command.h"
#include "../device_option.h"
#include "korval/sim.h"
#include "panel.h"

namespace korval::tool {

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) { g_stop = true; }


std::string random_token()
{
    std::random_device entropy;
    std::string token;
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        const uint32_t word = entropy();
        for (int j = 0; j < 8; j += 2) {
            token += kHex[(word >> (4 * j)) & 0xF];
            token += kHex[(word >> (4 * j + 4)) & 0xF];
        }
    }
    return token;  // 256 bits
}

// The token in `file`: one line of at least 16 characters that need no escaping in an address, in a
// file that only its owner can read.
bool read_token_file(const std::string& file, std::string& token, std::string& error)
{
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        error = "cannot read the token file '" + file + "'";
        return false;
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        error = "the token file '" + file + "' may be read by others (chmod 600 it)";
        return false;
    }
    std::ifstream in(file);
    std::getline(in, token);
    while (!token.empty() && (token.back() == '\r' || token.back() == ' ' || token.back() == '\t')) token.pop_back();
    const bool plain = token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~") ==
                       std::string::npos;
    if (token.size() < 16 || !plain) {
        error = "the token file must hold one line of at least 16 letters, digits or -._~";
        return false;
    }
    return true;
}

// "ADDR:PORT" or "[IPv6]:PORT".
bool parse_listen(const std::string& text, panel::ServerOptions& o)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    uint64_t port = 0;
    if (!parse_bounded(text.substr(colon + 1), 65535, port)) return false;
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    o.host = host;
    o.port = static_cast<int>(port);
    o.loopback = host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
    return true;
}

// Test signals for the simulated boards' analog inputs: a sine on every channel, each of its own
// amplitude and frequency, so that the plot shows them apart.
void give_test_signals(KorvalSim* sim, uint32_t board)
{
    for (uint32_t c = 0; c < 256; ++c) {
        KorvalSimAdcSignal signal{};
        signal.kind = KORVAL_SIM_SIGNAL_SINE;
        signal.amplitude = 8.0 - 0.45 * (c % 16);
        signal.frequency = 0.5 + 0.25 * (c % 16);
        KorvalSim_SetAdcSignal(sim, board, c, &signal);
    }
}

// The simulated board behind each slot, matched by serial number (0: not simulated).
uint32_t sim_board_of(KorvalSim* sim, uint32_t slot)
{
    uint64_t serial = 0;
    if (sim == nullptr || GetDeviceSerialNumber(slot, &serial) != ERROR_SUCCESS) return 0;
    for (uint32_t board = 1; board <= KORVAL_SLOT_COUNT; ++board) {
        uint64_t held = 0;
        if (KorvalSim_EepromRead(sim, board, 0x1DF8, sizeof held, &held) == ERROR_SUCCESS && held == serial)
            return board;
    }
    return 0;
}

void announce(const panel::ServerOptions& o, int port)
{
    std::string host = o.host.find(':') != std::string::npos ? "[" + o.host + "]" : o.host;
    if (host == "0.0.0.0" || host == "[::]") host = "HOST";  // any of the machine's names
    std::printf("korval panel: open http://%s:%d/?token=%s\n", host.c_str(), port,
                o.show_token ? o.token.c_str() : "TOKEN");
    if (!o.show_token) std::printf("korval panel: TOKEN is the token in the token file\n");
    std::printf("korval panel: Ctrl-C ends it\n");
    std::fflush(stdout);
}

// The panel's server options from the command line. 0, or a usage error's status.
int server_options(const std::string& listen, const std::string& token_file, panel::ServerOptions& o)
{
    std::string error;
    if (!listen.empty() && !parse_listen(listen, o)) return usage_error("bad address '" + listen + "' (ADDR:PORT)");
    if (!o.loopback && token_file.empty())
        return usage_error("listening beyond loopback needs --token-file FILE (a token only you can read)");
    if (!token_file.empty()) {
        if (!read_token_file(token_file, o.token, error)) return usage_error(error);
        o.show_token = false;
    } else {
        o.token = random_token();
    }
    return 0;
}

int run(const Options& options, const std::string& listen, const std::string& token_file)
{
    const uint32_t index = options.device;
    const bool one_board = options.device_given;
    std::string error;
    panel::ServerOptions o;
    if (const int status = server_options(listen, token_file, o)) return status;
    KorvalSim* sim = options.sim;  // the --sim boards, or none
    o.sim = sim;
    o.add_arriving = !one_board;

    const uint32_t mask = GetDevices();
    std::vector<std::unique_ptr<panel::Board>> boards;
    if (one_board) {
        const uint32_t slot = ResolveDeviceIndex(index);
        if (slot == KORVAL_NO_SLOT) return report_error(KORVAL_GetLastError(), "device");
        if ((mask & (1u << slot)) == 0)
            return report_error(ERROR_DEVICE_NOT_CONNECTED, "device " + std::to_string(slot));
        boards.push_back(std::make_unique<panel::Board>(slot, sim, sim_board_of(sim, slot)));
    } else {
        for (uint32_t slot = 0; slot < KORVAL_SLOT_COUNT; ++slot)
            if (mask & (1u << slot))
                boards.push_back(std::make_unique<panel::Board>(slot, sim, sim_board_of(sim, slot)));
    }
    if (boards.empty()) std::fprintf(stderr, "korval panel: no boards (the page says so; Ctrl-C ends the panel)\n");
    for (auto& b : boards)
        if (b->sim_board() != 0) give_test_signals(sim, b->sim_board());

    struct sigaction action {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (!panel::serve(o, boards, g_stop, announce, error)) {
        std::fprintf(stderr, "korval panel: %s\n", error.c_str());
        return 1;
    }
    boards.clear();  // ends every acquisition before the simulation goes
    std::printf("korval panel: ended\n");
    return 0;
}

void define(CLI::App& panel)
{
    static std::string listen, token_file;
    panel.add_option("--listen", listen, "the address to serve the page on (loopback by default)")
        ->type_name("ADDR:PORT");
    panel.add_option("--token-file", token_file, "a file holding the page's token (needed beyond loopback)")
        ->type_name("FILE");
    panel.callback([] { queue_action([](const Options& o) { return run(o, listen, token_file); }); });
}

const RegisterCommand kPanel{{"panel", "[-d N] [--listen ADDR:PORT] [--token-file FILE] [--sim PID...]",
                              "a page in the browser: live analog inputs, digital ports, analog outputs, counters",
                              define, true}};

}  // namespace

}  // namespace korval::tool
