#include "host/remote/server.h"

#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "host/remote/wire.h"
#include "korval/korval.h"
#include "remote.grpc.pb.h"

namespace korval::remote {

namespace {

using grpc::ServerContext;
using grpc::Status;
using grpc::StatusCode;

// Compares a presented token with the expected one in time that depends only on the expected one.
bool same_token(const std::string& presented, const std::string& expected)
{
    volatile unsigned char diff = presented.size() != expected.size() ? 1 : 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        const unsigned char p = i < presented.size() ? static_cast<unsigned char>(presented[i]) : 0;
        diff = diff | (p ^ static_cast<unsigned char>(expected[i]));
    }
    return diff == 0;
}

std::string metadata(const ServerContext& context, const char* key)
{
    const auto& md = context.client_metadata();
    const auto it = md.find(key);
    return it == md.end() ? std::string() : std::string(it->second.data(), it->second.size());
}

// A handle a session opened: the host's handle, and whether it is a WinUSB interface (else a file).
struct Entry {
    KorvalHandle host_handle = 0;
    bool is_interface = false;
};

struct Session {
    uint64_t id = 0;
    std::string peer;
    std::mutex mutex;
    std::map<uint32_t, Entry> handles;            // by the number the client knows it by
    std::map<uint32_t, std::set<uint8_t>> pipes;  // the pipes each interface moved data on
    std::set<uint32_t> closed_handles;            // closed by the client: a call racing the close
    uint32_t next_handle = 1;
    bool closed = false;
    uint32_t in_flight = 0;
    std::condition_variable idle;
};

class ServerImpl final : public Server, public korval::remote::Host::Service {
public:
    ServerImpl(const KorvalHost& host, ServerOptions options) : host_(host), options_(std::move(options)) {}
    ~ServerImpl() override { stop(); }

    bool listen(std::string& error)
    {
        std::shared_ptr<grpc::ServerCredentials> credentials;
        if (!options_.tls_cert_pem.empty()) {
            grpc::SslServerCredentialsOptions ssl;
            ssl.pem_key_cert_pairs.push_back({options_.tls_key_pem, options_.tls_cert_pem});
            credentials = grpc::SslServerCredentials(ssl);
        } else {
            credentials = grpc::InsecureServerCredentials();
        }
        grpc::ServerBuilder builder;
        builder.AddListeningPort(options_.listen, credentials, &port_);
        builder.RegisterService(this);
        builder.SetMaxReceiveMessageSize(static_cast<int>(kMaxTransfer + kMessageOverhead));
        builder.SetMaxSendMessageSize(static_cast<int>(kMaxTransfer + kMessageOverhead));
        // Pings find clients that vanished without closing their connection; clients ping too.
        builder.AddChannelArgument(GRPC_ARG_KEEPALIVE_TIME_MS, kKeepAliveMs);
        builder.AddChannelArgument(GRPC_ARG_KEEPALIVE_TIMEOUT_MS, kKeepAliveTimeoutMs);
        builder.AddChannelArgument(GRPC_ARG_KEEPALIVE_PERMIT_WITHOUT_CALLS, 1);
        builder.AddChannelArgument(GRPC_ARG_HTTP2_MIN_RECV_PING_INTERVAL_WITHOUT_DATA_MS, kKeepAliveMs / 2);
        builder.AddChannelArgument(GRPC_ARG_HTTP2_MAX_PING_STRIKES, 0);
        server_ = builder.BuildAndStart();
        if (!server_ || port_ == 0) {
            error = "cannot listen on " + options_.listen;
            return false;
        }
        return true;
    }

    int port() const override { return port_; }

    void set_host(const KorvalHost& host) override
    {
        std::lock_guard lock(mutex_);
        host_ = host;
        for (auto& [id, session] : sessions_) {
            std::lock_guard session_lock(session->mutex);
            session->handles.clear();
            session->pipes.clear();
        }
    }

    void stop() override
    {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            stopping_ = true;
        }
        stopped_cv_.notify_all();
        // Sessions end (their Attach calls return) and close their boards; calls still waiting on a
        // board are cancelled by that, so the shutdown below does not wait for a board.
        std::vector<std::shared_ptr<Session>> all;
        {
            std::lock_guard lock(mutex_);
            for (auto& [id, s] : sessions_) all.push_back(s);
        }
        for (auto& s : all) close_session(*s);
        if (server_) server_->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(5));
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        stopped_cv_.notify_all();
    }

    void wait() override
    {
        std::unique_lock lock(mutex_);
        stopped_cv_.wait(lock, [&] { return stopped_; });
    }

    Status Attach(ServerContext* context, const AttachRequest*, grpc::ServerWriter<AttachReply>* writer) override
    {
        if (!authorised(*context)) return refuse(*context);
        auto session = std::make_shared<Session>();
        session->peer = context->peer();
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return Status(StatusCode::UNAVAILABLE, "the server is stopping");
            session->id = next_session_++;
            sessions_[session->id] = session;
        }
        log("session " + std::to_string(session->id) + " opened by " + session->peer);
        AttachReply reply;
        reply.set_session(session->id);
        reply.set_max_transfer(kMaxTransfer);
        writer->Write(reply);
        // The session lives as long as its client keeps this call open.
        {
            std::unique_lock lock(mutex_);
            while (!stopping_ && !context->IsCancelled()) stopped_cv_.wait_for(lock, std::chrono::milliseconds(50));
        }
        close_session(*session);
        {
            std::lock_guard lock(mutex_);
            sessions_.erase(session->id);
        }
        return Status::OK;
    }

    Status Call(ServerContext* context, const CallRequest* request, CallReply* reply) override
    {
        if (!authorised(*context)) return refuse(*context);
        std::shared_ptr<Session> session;
        KorvalHost host;
        {
            std::lock_guard lock(mutex_);
            const auto it = sessions_.find(std::strtoull(metadata(*context, kSessionKey).c_str(), nullptr, 10));
            if (it != sessions_.end()) session = it->second;
            host = host_;
        }
        if (!session) return Status(StatusCode::FAILED_PRECONDITION, "no such session");
        {
            std::lock_guard lock(session->mutex);
            if (session->closed) return Status(StatusCode::FAILED_PRECONDITION, "the session has ended");
            ++session->in_flight;
        }
        uint32_t error = 0;
        const bool ok = dispatch(host, *session, *request, *reply, error);
        reply->set_ok(ok);
        if (!ok) reply->set_error(error);
        {
            std::lock_guard lock(session->mutex);
            if (--session->in_flight == 0) session->idle.notify_all();
        }
        return Status::OK;
    }

private:
    void log(const std::string& line) const
    {
        if (options_.log) options_.log(line);
    }

    bool authorised(const ServerContext& context) const
    {
        return options_.token.empty() || same_token(metadata(context, kTokenKey), options_.token);
    }

    // Refusals are logged with the peer and the reason, never with what the peer presented.
    Status refuse(const ServerContext& context) const
    {
        const bool none = metadata(context, kTokenKey).empty();
        log("refused " + context.peer() + ": " + (none ? "no token" : "wrong token"));
        return Status(StatusCode::UNAUTHENTICATED, "a valid token is required");
    }

    // Cancels the session's transfers, waits for its calls to return, closes its handles (interfaces
    // before files). Returns the number of handles closed.
    size_t close_session(Session& s)
    {
        KorvalHost host;
        {
            std::lock_guard lock(mutex_);
            host = host_;
        }
        std::map<uint32_t, Entry> handles;
        {
            std::unique_lock lock(s.mutex);
            if (s.closed) return 0;
            s.closed = true;
            uint32_t error = 0;
            for (const auto& [id, e] : s.handles) {
                if (e.is_interface && host.winusb_abort_pipe != nullptr) {
                    for (uint8_t pipe : s.pipes[id]) host.winusb_abort_pipe(host.context, e.host_handle, pipe, &error);
                } else if (!e.is_interface && host.cancel_io != nullptr) {
                    host.cancel_io(host.context, e.host_handle, &error);
                }
            }
            s.idle.wait_for(lock, std::chrono::seconds(10), [&] { return s.in_flight == 0; });
            handles.swap(s.handles);
        }
        uint32_t error = 0;
        for (const auto& [id, e] : handles)
            if (e.is_interface && host.winusb_free != nullptr) host.winusb_free(host.context, e.host_handle, &error);
        for (const auto& [id, e] : handles)
            if (!e.is_interface && host.close_handle != nullptr) host.close_handle(host.context, e.host_handle, &error);
        const size_t closed = handles.size();
        log("session " + std::to_string(s.id) + " closed (" + s.peer + "), " + std::to_string(closed) + " handle" +
            (closed == 1 ? "" : "s") + " closed");
        return closed;
    }

    static bool find(Session& s, uint64_t id, bool is_interface, KorvalHandle& handle)
    {
        std::lock_guard lock(s.mutex);
        const auto it = s.handles.find(static_cast<uint32_t>(id));
        if (id > UINT32_MAX || it == s.handles.end() || it->second.is_interface != is_interface) return false;
        handle = it->second.host_handle;
        return true;
    }

    // The code for a handle the session does not hold: a transfer that raced its handle's close was
    // cancelled by it, as a local close cancels what is in flight; any other handle is invalid.
    static uint32_t unknown_handle(Session& s, uint64_t id)
    {
        std::lock_guard lock(s.mutex);
        return s.closed_handles.count(static_cast<uint32_t>(id)) != 0 ? ERROR_OPERATION_ABORTED : ERROR_INVALID_HANDLE;
    }

    static uint32_t add(Session& s, KorvalHandle handle, bool is_interface)
    {
        std::lock_guard lock(s.mutex);
        const uint32_t id = s.next_handle++;
        s.handles[id] = {handle, is_interface};
        return id;
    }

    static void forget(Session& s, uint64_t id)
    {
        std::lock_guard lock(s.mutex);
        s.handles.erase(static_cast<uint32_t>(id));
        s.pipes.erase(static_cast<uint32_t>(id));
        s.closed_handles.insert(static_cast<uint32_t>(id));
    }

    static void note_pipe(Session& s, uint64_t id, uint8_t pipe)
    {
        std::lock_guard lock(s.mutex);
        s.pipes[static_cast<uint32_t>(id)].insert(pipe);
    }

    // Makes one host call. False with the host's (or the server's own) error code on failure.
    bool dispatch(const KorvalHost& h, Session& s, const CallRequest& r, CallReply& reply, uint32_t& error)
    {
        auto fail = [&](uint32_t code) {
            error = code;
            return false;
        };
        auto missing = [&](const void* fn) { return fn == nullptr; };
        if (r.data().size() > kMaxTransfer || r.out_data().size() > kMaxTransfer || r.length() > kMaxTransfer)
            return fail(ERROR_BAD_LENGTH);
        KorvalHandle handle = 0;
        const uint8_t pipe = static_cast<uint8_t>(r.pipe_id());
        switch (r.op()) {
            case LIST_INTERFACES: {
                if (r.interface_class().size() != sizeof(KorvalGuid)) return fail(ERROR_INVALID_PARAMETER);
                KorvalGuid guid;
                std::memcpy(&guid, r.interface_class().data(), sizeof guid);
                if (missing(reinterpret_cast<const void*>(h.list_interfaces))) return true;
                // Without WinUSB the host's WinUSB class has no boards the library could use.
                const KorvalGuid winusb = KORVAL_INTERFACE_CLASS_WINUSB;
                if (h.has_winusb == 0 && std::memcmp(&guid, &winusb, sizeof guid) == 0) return true;
                h.list_interfaces(
                    h.context, &guid,
                    [](void* out, const char* path) {
                        if (path != nullptr) static_cast<CallReply*>(out)->add_paths(path);
                    },
                    &reply);
                return true;
            }
            case OPEN_FILE: {
                if (missing(reinterpret_cast<const void*>(h.open_file))) return fail(ERROR_NOT_SUPPORTED);
                KorvalHandle file = 0;
                if (!h.open_file(h.context, r.path().c_str(), r.exclusive() ? 1 : 0, &file, &error)) return false;
                reply.set_handle(add(s, file, false));
                return true;
            }
            case CLOSE_HANDLE:
                if (!find(s, r.handle(), false, handle)) return fail(unknown_handle(s, r.handle()));
                if (missing(reinterpret_cast<const void*>(h.close_handle))) return fail(ERROR_NOT_SUPPORTED);
                forget(s, r.handle());
                return h.close_handle(h.context, handle, &error) != 0;
            case DEVICE_IO_CONTROL: {
                if (!find(s, r.handle(), false, handle)) return fail(unknown_handle(s, r.handle()));
                if (missing(reinterpret_cast<const void*>(h.device_io_control))) return fail(ERROR_NOT_SUPPORTED);
                uint32_t returned = 0;
                const uint32_t in_size = static_cast<uint32_t>(r.data().size());
                bool ok = false;
                if (r.same_buffer()) {
                    // One buffer in and out, as the caller passed it.
                    std::string* buffer = reply.mutable_data();
                    *buffer = r.data();
                    buffer->resize(std::max<size_t>(buffer->size(), r.length()));
                    ok = h.device_io_control(h.context, handle, r.control_code(), buffer->data(), in_size,
                                             buffer->data(), r.length(), &returned, &error) != 0;
                    buffer->resize(ok ? std::min(returned, r.length()) : 0);
                } else if (!r.out_data().empty()) {
                    // The out buffer carries bytes to send (a bulk write): nothing comes back in it.
                    std::string out = r.out_data();
                    out.resize(r.length());
                    ok = h.device_io_control(h.context, handle, r.control_code(), r.data().data(), in_size, out.data(),
                                             r.length(), &returned, &error) != 0;
                } else {
                    std::string* out = reply.mutable_data();
                    out->resize(r.length());
                    ok = h.device_io_control(h.context, handle, r.control_code(), r.data().data(), in_size, out->data(),
                                             r.length(), &returned, &error) != 0;
                    out->resize(ok ? std::min(returned, r.length()) : 0);
                }
                reply.set_transferred(returned);
                return ok;
            }
            case WINUSB_INITIALIZE: {
                if (!find(s, r.handle(), false, handle)) return fail(unknown_handle(s, r.handle()));
                if (missing(reinterpret_cast<const void*>(h.winusb_initialize))) return fail(ERROR_NOT_SUPPORTED);
                KorvalHandle interface_handle = 0;
                if (!h.winusb_initialize(h.context, handle, &interface_handle, &error)) return false;
                reply.set_handle(add(s, interface_handle, true));
                return true;
            }
            case WINUSB_FREE:
                if (!find(s, r.handle(), true, handle)) return fail(unknown_handle(s, r.handle()));
                if (missing(reinterpret_cast<const void*>(h.winusb_free))) return fail(ERROR_NOT_SUPPORTED);
                forget(s, r.handle());
                return h.winusb_free(h.context, handle, &error) != 0;
            case WINUSB_CONTROL_TRANSFER: {
                if (!find(s, r.handle(), true, handle)) return fail(unknown_handle(s, r.handle()));
                if (missing(reinterpret_cast<const void*>(h.winusb_control_transfer))) return fail(ERROR_NOT_SUPPORTED);
                if (r.setup().size() != 8) return fail(ERROR_INVALID_PARAMETER);
                const auto* setup = reinterpret_cast<const uint8_t*>(r.setup().data());
                uint32_t transferred = 0;
                bool ok;
                if (setup[0] & 0x80) {
                    std::string* in = reply.mutable_data();
                    in->resize(r.length());
                    ok = h.winusb_control_transfer(h.context, handle, setup, in->data(), r.length(), &transferred,
                                                   &error) != 0;
                    in->resize(ok ? std::min(transferred, r.length()) : 0);
                } else {
                    std::string out = r.data();
                    ok = h.winusb_control_transfer(h.context, handle, setup, out.data(),
                                                   static_cast<uint32_t>(out.size()), &transferred, &error) != 0;
                }
                reply.set_transferred(transferred);
                return ok;
            }
            case WINUSB_GET_DESCRIPTOR: {
                if (!find(s, r.handle(), true, handle)) return fail(unknown_handle(s, r.handle()));
                if (missing(reinterpret_cast<const void*>(h.winusb_get_descriptor))) return fail(ERROR_NOT_SUPPORTED);
                std::string* in = reply.mutable_data();
                in->resize(r.length());
                uint32_t transferred = 0;
                const bool ok =
                    h.winusb_get_descriptor(h.context, handle, static_cast<uint8_t>(r.type()),
                                            static_cast<uint8_t>(r.index()), static_cast<uint16_t>(r.language()),
                                            in->data(), r.length(), &transferred, &error) != 0;
                in->resize(ok ? std::min(transferred, r.length()) : 0);
                reply.set_transferred(transferred);
                return ok;
            }
            case WINUSB_QUERY_INTERFACE_SETTINGS: {
                if (!find(s, r.handle(), true, handle)) return fail(unknown_handle(s, r.handle()));
                if (missing(reinterpret_cast<const void*>(h.winusb_query_interface_settings)))
                    return fail(ERROR_NOT_SUPPORTED);
                uint8_t endpoints = 0;
                if (!h.winusb_query_interface_settings(h.context, handle, static_cast<uint8_t>(r.alternate()),
                                                       &endpoints, &error))
                    return false;
                reply.set_num_endpoints(endpoints);
                return true;
            }
            case WINUSB_QUERY_PIPE: {
                if (!find(s, r.handle(), true, handle)) return fail(unknown_handle(s, r.handle()));
                if (missing(reinterpret_cast<const void*>(h.winusb_query_pipe))) return fail(ERROR_NOT_SUPPORTED);
                uint8_t type = 0, id = 0;
                if (!h.winusb_query_pipe(h.context, handle, static_cast<uint8_t>(r.alternate()),
                                         static_cast<uint8_t>(r.pipe_index()), &type, &id, &error))
                    return false;
                reply.set_pipe_type(type);
                reply.set_pipe_id(id);
                return true;
            }
            case WINUSB_WRITE_PIPE: {
                if (!find(s, r.handle(), true, handle)) return fail(unknown_handle(s, r.handle()));
                if (missing(reinterpret_cast<const void*>(h.winusb_write_pipe))) return fail(ERROR_NOT_SUPPORTED);
                note_pipe(s, r.handle(), pipe);
                uint32_t transferred = 0;
                const bool ok = h.winusb_write_pipe(h.context, handle, pipe, r.data().data(),
                                                    static_cast<uint32_t>(r.data().size()), &transferred, &error) != 0;
                reply.set_transferred(transferred);
                return ok;
            }
            case WINUSB_READ_PIPE: {
                if (!find(s, r.handle(), true, handle)) return fail(unknown_handle(s, r.handle()));
                if (missing(reinterpret_cast<const void*>(h.winusb_read_pipe))) return fail(ERROR_NOT_SUPPORTED);
                note_pipe(s, r.handle(), pipe);
                // The host reads straight into the reply's buffer.
                std::string* in = reply.mutable_data();
                in->resize(r.length());
                uint32_t transferred = 0;
                const bool ok =
                    h.winusb_read_pipe(h.context, handle, pipe, in->data(), r.length(), &transferred, &error) != 0;
                in->resize(ok ? std::min(transferred, r.length()) : 0);
                reply.set_transferred(transferred);
                return ok;
            }
            case WINUSB_ABORT_PIPE:
                if (!find(s, r.handle(), true, handle)) return fail(unknown_handle(s, r.handle()));
                if (missing(reinterpret_cast<const void*>(h.winusb_abort_pipe))) return fail(ERROR_NOT_SUPPORTED);
                return h.winusb_abort_pipe(h.context, handle, pipe, &error) != 0;
            case CANCEL_IO:
                if (!find(s, r.handle(), false, handle)) return fail(unknown_handle(s, r.handle()));
                if (missing(reinterpret_cast<const void*>(h.cancel_io))) return fail(ERROR_NOT_SUPPORTED);
                return h.cancel_io(h.context, handle, &error) != 0;
            case LIST_UNUSABLE:
                // A table of an earlier version ends before list_unusable: such a host reports none.
                if (h.version < 3 || missing(reinterpret_cast<const void*>(h.list_unusable))) return true;
                h.list_unusable(
                    h.context,
                    [](void* out, const KorvalHostUnusableBoard* board) {
                        if (board == nullptr) return;
                        UnusableBoard* u = static_cast<CallReply*>(out)->add_unusable();
                        u->set_error(board->error);
                        u->set_vendor_id(board->vendor_id);
                        u->set_product_id(board->product_id);
                        u->set_path(board->path != nullptr ? board->path : "");
                    },
                    &reply);
                return true;
            default:
                return fail(ERROR_NOT_SUPPORTED);
        }
    }

    KorvalHost host_;
    const ServerOptions options_;
    std::unique_ptr<grpc::Server> server_;
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable stopped_cv_;
    std::map<uint64_t, std::shared_ptr<Session>> sessions_;
    uint64_t next_session_ = 1;
    bool stopping_ = false;
    bool stopped_ = false;
};

}  // namespace

bool is_loopback(const std::string& listen)
{
    std::string host = listen.substr(0, listen.rfind(':'));
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return host.rfind("127.", 0) == 0 || host == "::1" || host == "localhost";
}

std::unique_ptr<Server> Server::start(const KorvalHost& host, const ServerOptions& options, std::string& error)
{
    if (options.token.empty() && !is_loopback(options.listen)) {
        error = "listening on " + options.listen + " needs a token (--token-file): only loopback is served without one";
        return nullptr;
    }
    if (options.tls_cert_pem.empty() != options.tls_key_pem.empty()) {
        error = "TLS needs both a certificate and its key";
        return nullptr;
    }
    auto server = std::make_unique<ServerImpl>(host, options);
    if (!server->listen(error)) return nullptr;
    return server;
}

}  // namespace korval::remote
