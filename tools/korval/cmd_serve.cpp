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

#include <CLI/CLI.hpp>

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

// What the command line gave korval serve.
struct Request {
    std::string listen, token_file, cert_file, key_file;
};

// Reads the token and the TLS files into the server's options. 0, or a usage error's status.
int read_secrets(const Request& q, remote::ServerOptions& server_options)
{
    const std::string& token_file = q.token_file;
    const std::string& cert_file = q.cert_file;
    const std::string& key_file = q.key_file;
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
    return 0;
}

int run(const Options& options, const Request& q)
{
    remote::ServerOptions server_options;
    server_options.log = log_line;
    if (!q.listen.empty()) server_options.listen = q.listen;
    if (const int status = read_secrets(q, server_options)) return status;

    // The boards served: the --sim boards, else the system's. The library lets go of them first, so
    // that the server can open each one.
    KorvalSim* sim = options.sim;
    KorvalHost host{};
    if (sim != nullptr) {
        for (uint32_t slot = 0; slot < KORVAL_SLOT_COUNT; ++slot) KORVAL_CloseDevice(slot);
        KorvalHost none{};
        none.version = KORVAL_HOST_VERSION;
        KORVAL_InstallHost(&none);
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

void define(CLI::App& serve)
{
    static Request q;
    serve.add_option("--listen", q.listen, "the address to listen on (loopback by default)")->type_name("ADDR:PORT");
    serve.add_option("--token-file", q.token_file, "a file holding the token clients must give")->type_name("F");
    serve.add_option("--tls-cert", q.cert_file, "the server's TLS certificate (PEM)")->type_name("F");
    serve.add_option("--tls-key", q.key_file, "its private key (PEM)")->type_name("F");
    serve.callback([] { queue_action([](const Options& o) { return run(o, q); }); });
}

const RegisterCommand kServe{
    {"serve", "[--listen ADDR:PORT] [--token-file F] [--tls-cert F --tls-key F] [--sim PID]...",
     "offer the boards to programs on other machines (gRPC; loopback only by default)", define}};

}  // namespace

}  // namespace korval::tool
