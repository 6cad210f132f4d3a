// korval serve: offers this machine's boards (or simulated ones) to programs on other machines.
//
//     korval serve [--listen ADDR:PORT] [--token-file F] [--tls-cert F --tls-key F] [--sim PID[:ioctl]]...
//
// Runs until interrupted (Ctrl-C or SIGTERM), logging sessions and refusals to stderr.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "command.h"
#include "device_option.h"
#include "host/remote/server.h"
#include "korval/host.h"
#include "korval/korval.h"
#include "korval/sim.h"

namespace korval::tool {

namespace {

bool read_file(const std::string& path, std::string& text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}

void log_line(const std::string& line)
{
    static std::mutex mutex;
    const std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::lock_guard lock(mutex);
    std::fprintf(stderr, "%s korval serve: %s\n", stamp, line.c_str());
}

struct SimDestroy {
    void operator()(KorvalSim* sim) const { KorvalSim_Destroy(sim); }
};

int run(const Options& options, const Args& args)
{
    remote::ServerOptions server_options;
    server_options.log = log_line;
    std::string token_file, cert_file, key_file;
    std::vector<std::pair<uint32_t, uint32_t>> sims;  // product ID, driver path
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size();
        if ((a == "--listen" || a == "--token-file" || a == "--tls-cert" || a == "--tls-key" || a == "--sim") &&
            !has_value)
            return usage_error(a + " needs a value");
        if (a == "--listen")
            server_options.listen = args[++i];
        else if (a == "--token-file")
            token_file = args[++i];
        else if (a == "--tls-cert")
            cert_file = args[++i];
        else if (a == "--tls-key")
            key_file = args[++i];
        else if (a == "--sim") {
            uint32_t pid = 0, path = 0;
            if (const std::string wrong = parse_sim_board(args[++i], pid, path); !wrong.empty())
                return usage_error(wrong);
            sims.emplace_back(pid, path);
        } else {
            return usage_error("serve: unknown argument '" + a + "'");
        }
    }
    if (!token_file.empty()) {
        if (!read_file(token_file, server_options.token)) return usage_error("cannot read " + token_file);
        while (!server_options.token.empty() &&
               std::string(" \t\r\n").find(server_options.token.back()) != std::string::npos)
            server_options.token.pop_back();
        if (server_options.token.empty()) return usage_error(token_file + " holds no token");
    }
    if (!cert_file.empty() && !read_file(cert_file, server_options.tls_cert_pem))
        return usage_error("cannot read " + cert_file);
    if (!key_file.empty() && !read_file(key_file, server_options.tls_key_pem))
        return usage_error("cannot read " + key_file);

    // The boards served: simulated ones (the tool's --sim boards and serve's own), else the system's.
    // The library lets go of them first, so that the server can open each one.
    std::unique_ptr<KorvalSim, SimDestroy> own_sim;
    KorvalSim* sim = options.sim;
    KorvalHost host{};
    if (sim != nullptr || !sims.empty()) {
        for (uint32_t slot = 0; slot < KORVAL_SLOT_COUNT; ++slot) KORVAL_CloseDevice(slot);
        KorvalHost none{};
        none.version = KORVAL_HOST_VERSION;
        KORVAL_InstallHost(&none);
        if (sim == nullptr) {
            own_sim.reset(KorvalSim_Create());
            sim = own_sim.get();
        }
        for (const auto& [pid, path] : sims) KorvalSim_AddBoard(sim, pid, path);
        host = *KorvalSim_Host(sim);
    } else if (const uint32_t r = KORVAL_SystemHost(&host)) {
        return report_error(r, "the system's boards");
    }

    // SIGINT and SIGTERM end the server; the main thread waits for them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    std::string error;
    auto server = remote::Server::start(host, server_options, error);
    if (!server) {
        std::fprintf(stderr, "korval serve: %s\n", error.c_str());
        return 1;
    }
    const std::string where = server_options.listen.substr(0, server_options.listen.rfind(':'));
    log_line("serving " + std::string(sim != nullptr ? "simulated boards" : "this machine's boards") + " on " + where +
             ":" + std::to_string(server->port()) + (server_options.tls_cert_pem.empty() ? "" : " (TLS)") +
             (server_options.token.empty() ? " without a token" : " with a token"));
    std::fflush(stderr);
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    log_line("stopping");
    server->stop();
    return 0;
}

const RegisterCommand kServe{{"serve",
                              "[--listen ADDR:PORT] [--token-file F] [--tls-cert F --tls-key F] [--sim PID]...",
                              "offer the boards to programs on other machines (gRPC; loopback only by default)", run}};

}  // namespace

}  // namespace korval::tool
