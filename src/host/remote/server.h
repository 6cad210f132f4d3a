// The remote-board server: offers the boards of a host (korval/host.h) to remote clients over gRPC, by
// making the host calls they send and answering with the results. A user of the seam and nothing else.
//
// Each client holds a session; the boards it opens are its own (a call naming another session's handle
// fails with ERROR_INVALID_HANDLE), and when the client goes, its transfers are cancelled and its boards
// closed. With a token, every call must carry it; with a certificate and key, the server speaks TLS only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "korval/host.h"

namespace korval::remote {

struct ServerOptions {
    std::string listen = "127.0.0.1:50051";       // ADDR:PORT; port 0 picks a free one
    std::string token;                            // empty: calls need none (allowed on loopback only)
    std::string tls_cert_pem, tls_key_pem;        // both set: TLS only
    std::function<void(const std::string&)> log;  // connections and refusals, one line each
};

// True when ADDR:PORT names a loopback address (127.0.0.0/8, ::1, localhost).
__attribute__((visibility("default"))) bool is_loopback(const std::string& listen);

class __attribute__((visibility("default"))) Server {
public:
    // Starts serving `host` (the struct is copied; its context must outlive the server). On failure
    // returns null and says why in `error`: a non-loopback address without a token, a half-given TLS
    // pair, or an address that cannot be listened on.
    static std::unique_ptr<Server> start(const KorvalHost& host, const ServerOptions& options, std::string& error);
    virtual ~Server() = default;

    virtual int port() const = 0;
    // Serves another host from now on; the sessions' handles on the previous one are forgotten (not
    // closed). For tests that give each case a new simulation behind one server.
    virtual void set_host(const KorvalHost& host) = 0;
    // Cancels every transfer, closes every board, ends every session and stops; the destructor does it too.
    virtual void stop() = 0;
    // Blocks until stop() has run.
    virtual void wait() = 0;
};

}  // namespace korval::remote
