// The remote-board client: a host (korval/host.h) whose calls go to a `korval serve` server over gRPC.
//
// It holds one session on the server at a time. Handles carry the number of the session they were
// opened in, so that a handle of a session that ended (the server stopped, the network dropped) fails
// with ERROR_DEVICE_REMOVED, as an unplugged board's does, and never reaches a board of a later session.
// A failure of the connection ends the session; the next list of interfaces (a discovery) opens a new
// one if the server answers again.
#include <grpcpp/grpcpp.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/remote/remote_client.h"
#include "host/remote/wire.h"
#include "korval/korval.h"
#include "remote.grpc.pb.h"

namespace korval::remote {

namespace {

using Clock = std::chrono::system_clock;

// Handles: the session's number in bits 32 to 55, the server's handle below (the library keeps the
// top byte for itself).
constexpr uint64_t kGenerationMask = 0xFFFFFF;
KorvalHandle make_handle(uint32_t generation, uint64_t server_handle)
{
    return (static_cast<uint64_t>(generation & kGenerationMask) << 32) | (server_handle & 0xFFFFFFFFu);
}

bool no_access(uint32_t* error)
{
    *error = ERROR_NOACCESS;
    return false;
}

struct Session {
    uint64_t id = 0;
    uint32_t generation = 0;
    std::atomic<bool> alive{true};
    // The Attach stream, held open for the session's life.
    grpc::ClientContext context;
    grpc::CompletionQueue queue;
    std::unique_ptr<grpc::ClientAsyncReader<AttachReply>> reader;
    grpc::Status finish_status;  // written when the queue is drained, so it lives as long as the session

    ~Session()
    {
        context.TryCancel();
        if (reader) reader->Finish(&finish_status, reinterpret_cast<void*>(3));
        queue.Shutdown();
        void* tag = nullptr;
        bool ok = false;
        while (queue.Next(&tag, &ok)) {}
    }
};

class Remote {
public:
    Remote(std::string address, std::string token, const char* ca_pem, const KorvalRemoteCallerMemory& guard)
        : address_(std::move(address)), prefix_(address_ + "/"), token_(std::move(token)), guard_(guard)
    {
        std::shared_ptr<grpc::ChannelCredentials> credentials;
        if (ca_pem != nullptr) {
            grpc::SslCredentialsOptions ssl;
            ssl.pem_root_certs = ca_pem;
            credentials = grpc::SslCredentials(ssl);
        } else {
            credentials = grpc::InsecureChannelCredentials();
        }
        grpc::ChannelArguments args;
        args.SetMaxReceiveMessageSize(static_cast<int>(kMaxTransfer + kMessageOverhead));
        args.SetMaxSendMessageSize(static_cast<int>(kMaxTransfer + kMessageOverhead));
        args.SetInt(GRPC_ARG_KEEPALIVE_TIME_MS, kKeepAliveMs);
        args.SetInt(GRPC_ARG_KEEPALIVE_TIMEOUT_MS, kKeepAliveTimeoutMs);
        args.SetInt(GRPC_ARG_KEEPALIVE_PERMIT_WITHOUT_CALLS, 1);
        args.SetInt(GRPC_ARG_HTTP2_MAX_PINGS_WITHOUT_DATA, 0);
        // A server that comes back is tried at once by the next discovery, not after a growing pause.
        args.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 100);
        args.SetInt(GRPC_ARG_MIN_RECONNECT_BACKOFF_MS, 100);
        args.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, 1000);
        // Without a session the channel stops trying after a while, until the next discovery.
        args.SetInt(GRPC_ARG_CLIENT_IDLE_TIMEOUT_MS, 2000);
        channel_ = grpc::CreateCustomChannel(address_, credentials, args);
        stub_ = Host::NewStub(channel_);
    }

    KorvalHost host()
    {
        KorvalHost h{};
        h.version = KORVAL_HOST_VERSION;
        h.context = this;
        h.list_interfaces = [](void* c, const KorvalGuid* g, void (*emit)(void*, const char*), void* ec) {
            static_cast<Remote*>(c)->list_interfaces(*g, emit, ec);
        };
        h.open_file = [](void* c, const char* path, int exclusive, KorvalHandle* file, uint32_t* error) {
            return static_cast<Remote*>(c)->open_file(path, exclusive, file, error);
        };
        h.close_handle = [](void* c, KorvalHandle handle, uint32_t* error) {
            return static_cast<Remote*>(c)->simple(CLOSE_HANDLE, handle, 0, error);
        };
        h.device_io_control = [](void* c, KorvalHandle file, uint32_t code, const void* in, uint32_t in_size, void* out,
                                 uint32_t out_size, uint32_t* returned, uint32_t* error) {
            return static_cast<Remote*>(c)->device_io_control(file, code, in, in_size, out, out_size, returned, error);
        };
        h.has_winusb = 1;
        h.winusb_initialize = [](void* c, KorvalHandle file, KorvalHandle* interface_handle, uint32_t* error) {
            return static_cast<Remote*>(c)->winusb_initialize(file, interface_handle, error);
        };
        h.winusb_free = [](void* c, KorvalHandle handle, uint32_t* error) {
            return static_cast<Remote*>(c)->simple(WINUSB_FREE, handle, 0, error);
        };
        h.winusb_control_transfer = [](void* c, KorvalHandle handle, const uint8_t setup[8], void* buffer,
                                       uint32_t length, uint32_t* transferred, uint32_t* error) {
            return static_cast<Remote*>(c)->control_transfer(handle, setup, buffer, length, transferred, error);
        };
        h.winusb_get_descriptor = [](void* c, KorvalHandle handle, uint8_t type, uint8_t index, uint16_t language,
                                     void* buffer, uint32_t length, uint32_t* transferred, uint32_t* error) {
            return static_cast<Remote*>(c)->get_descriptor(handle, type, index, language, buffer, length, transferred,
                                                           error);
        };
        h.winusb_query_interface_settings = [](void* c, KorvalHandle handle, uint8_t alternate, uint8_t* endpoints,
                                               uint32_t* error) {
            return static_cast<Remote*>(c)->query_settings(handle, alternate, endpoints, error);
        };
        h.winusb_query_pipe = [](void* c, KorvalHandle handle, uint8_t alternate, uint8_t index, uint8_t* type,
                                 uint8_t* id, uint32_t* error) {
            return static_cast<Remote*>(c)->query_pipe(handle, alternate, index, type, id, error);
        };
        h.winusb_write_pipe = [](void* c, KorvalHandle handle, uint8_t pipe, const void* buffer, uint32_t length,
                                 uint32_t* transferred, uint32_t* error) {
            return static_cast<Remote*>(c)->write_pipe(handle, pipe, buffer, length, transferred, error);
        };
        h.winusb_read_pipe = [](void* c, KorvalHandle handle, uint8_t pipe, void* buffer, uint32_t length,
                                uint32_t* transferred, uint32_t* error) {
            return static_cast<Remote*>(c)->read_pipe(handle, pipe, buffer, length, transferred, error);
        };
        h.winusb_abort_pipe = [](void* c, KorvalHandle handle, uint8_t pipe, uint32_t* error) {
            return static_cast<Remote*>(c)->simple(WINUSB_ABORT_PIPE, handle, pipe, error);
        };
        h.cancel_io = [](void* c, KorvalHandle file, uint32_t* error) {
            return static_cast<Remote*>(c)->simple(CANCEL_IO, file, 0, error);
        };
        h.list_unusable = [](void* c, void (*emit)(void*, const KorvalHostUnusableBoard*), void* ec) {
            static_cast<Remote*>(c)->list_unusable(emit, ec);
        };
        return h;
    }

private:
    // Caller memory is touched only through the library's guard: memory that cannot be read or
    // written gives ERROR_NOACCESS, never a fault.
    bool copy_to_caller(void* to, const void* from, size_t size) const
    {
        return size == 0 || guard_.copy_to_caller(to, from, size) != 0;
    }
    bool copy_from_caller(std::string& to, const void* from, size_t size) const
    {
        to.resize(size);
        return size == 0 || guard_.copy_from_caller(to.data(), from, size) != 0;
    }
    // Whether the caller's buffer can be written, checked before a read takes data from the board that
    // could then not be delivered.
    bool writable(void* buffer, size_t size) const { return size == 0 || guard_.range_usable(buffer, size, 1) != 0; }

    std::shared_ptr<Session> current()
    {
        std::lock_guard lock(mutex_);
        return session_;
    }

    // The live session, opening a new one when there is none (discovery only). Bounded by
    // kConnectDeadlineMs; null when the server does not answer, refuses the token or fails TLS.
    std::shared_ptr<Session> attach()
    {
        std::lock_guard attach_lock(attach_mutex_);
        if (auto s = current(); s && s->alive) return s;
        // One try per discovery: its second pass does not wait again for a server that just failed.
        if (std::chrono::steady_clock::now() - last_failure_ < std::chrono::milliseconds(500)) return nullptr;
        auto s = try_attach();
        if (!s) last_failure_ = std::chrono::steady_clock::now();
        return s;
    }

    std::shared_ptr<Session> try_attach()
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kConnectDeadlineMs);
        // Wait for the connection (or its failure) first: an unreachable server must not hold a
        // discovery longer than the deadline. A failure left from before is tried again at once (a
        // discovery is the moment to look, whatever the back-off); a failed attempt of our own ends it.
        bool tried = false;
        if (channel_->GetState(true) == GRPC_CHANNEL_TRANSIENT_FAILURE)
            grpc::experimental::ChannelResetConnectionBackoff(channel_.get());
        for (auto state = channel_->GetState(true); state != GRPC_CHANNEL_READY; state = channel_->GetState(true)) {
            if (state == GRPC_CHANNEL_SHUTDOWN || (state == GRPC_CHANNEL_TRANSIENT_FAILURE && tried)) return nullptr;
            if (state == GRPC_CHANNEL_CONNECTING) tried = true;
            // A failure that does not turn into a new attempt at once is the answer.
            const auto until = state == GRPC_CHANNEL_TRANSIENT_FAILURE
                                   ? std::min(deadline, Clock::now() + std::chrono::milliseconds(50))
                                   : deadline;
            if (!channel_->WaitForStateChange(state, until)) return nullptr;
        }
        auto s = std::make_shared<Session>();
        s->context.AddMetadata(kTokenKey, token_);
        AttachRequest request;
        s->reader = stub_->PrepareAsyncAttach(&s->context, request, &s->queue);
        s->reader->StartCall(reinterpret_cast<void*>(1));
        AttachReply reply;
        bool started = false, answered = false;
        for (;;) {
            void* tag = nullptr;
            bool ok = false;
            if (s->queue.AsyncNext(&tag, &ok, deadline) != grpc::CompletionQueue::GOT_EVENT) break;
            if (tag == reinterpret_cast<void*>(1)) {
                if (!ok) break;
                started = true;
                s->reader->Read(&reply, reinterpret_cast<void*>(2));
            } else if (tag == reinterpret_cast<void*>(2)) {
                answered = ok;
                break;
            }
        }
        if (!started || !answered) return nullptr;  // ~Session cancels the call and drains the queue
        s->id = reply.session();
        std::lock_guard lock(mutex_);
        s->generation = next_generation_++ & kGenerationMask;
        if (s->generation == 0) s->generation = next_generation_++ & kGenerationMask;
        session_ = s;
        return s;
    }

    // One call on the session. `handle` (non-zero) names the handle the call works on: a handle of
    // another session fails with ERROR_DEVICE_REMOVED without a call. bounded: the call may take at
    // most kCallDeadlineMs (bulk transfers wait as long as the board takes).
    bool invoke(const std::shared_ptr<Session>& s, CallRequest& request, CallReply& reply, KorvalHandle handle,
                bool bounded, uint32_t* error)
    {
        if (!s || !s->alive || (handle != 0 && (handle >> 32) != s->generation)) {
            *error = ERROR_DEVICE_REMOVED;
            return false;
        }
        request.set_handle(handle & 0xFFFFFFFFu);
        grpc::ClientContext context;
        context.AddMetadata(kTokenKey, token_);
        context.AddMetadata(kSessionKey, std::to_string(s->id));
        if (bounded) context.set_deadline(Clock::now() + std::chrono::milliseconds(kCallDeadlineMs));
        const grpc::Status status = stub_->Call(&context, request, &reply);
        if (!status.ok()) {
            if (status.error_code() == grpc::StatusCode::RESOURCE_EXHAUSTED) {
                *error = ERROR_BAD_LENGTH;
                return false;
            }
            // The server went, the network dropped or the session ended: as an unplugged board.
            s->alive = false;
            *error = ERROR_DEVICE_REMOVED;
            return false;
        }
        if (!reply.ok()) {
            *error = reply.error();
            return false;
        }
        return true;
    }

    bool invoke(CallRequest& request, CallReply& reply, KorvalHandle handle, bool bounded, uint32_t* error)
    {
        return invoke(current(), request, reply, handle, bounded, error);
    }

    void list_interfaces(const KorvalGuid& guid, void (*emit)(void*, const char*), void* emit_context)
    {
        const auto s = attach();
        if (!s) return;
        CallRequest request;
        request.set_op(LIST_INTERFACES);
        request.set_interface_class(&guid, sizeof guid);
        CallReply reply;
        uint32_t error = 0;
        if (!invoke(s, request, reply, 0, true, &error)) return;
        for (const std::string& path : reply.paths()) emit(emit_context, (prefix_ + path).c_str());
    }

    // The server's unusable boards, under this server's prefix, as its interfaces are listed. Only a
    // session already attached is asked: listing them never connects.
    void list_unusable(void (*emit)(void*, const KorvalHostUnusableBoard*), void* emit_context)
    {
        const auto s = current();
        if (!s) return;
        CallRequest request;
        request.set_op(LIST_UNUSABLE);
        CallReply reply;
        uint32_t error = 0;
        if (!invoke(s, request, reply, 0, true, &error)) return;
        for (const UnusableBoard& u : reply.unusable()) {
            const std::string path = prefix_ + u.path();
            const KorvalHostUnusableBoard board{u.error(), static_cast<uint16_t>(u.vendor_id()),
                                                static_cast<uint16_t>(u.product_id()), path.c_str()};
            emit(emit_context, &board);
        }
    }

    int open_file(const char* path, int exclusive, KorvalHandle* file, uint32_t* error)
    {
        if (std::strncmp(path, prefix_.c_str(), prefix_.size()) != 0) {
            *error = ERROR_FILE_NOT_FOUND;
            return 0;
        }
        const auto s = current();
        CallRequest request;
        request.set_op(OPEN_FILE);
        request.set_path(path + prefix_.size());
        request.set_exclusive(exclusive != 0);
        CallReply reply;
        if (!invoke(s, request, reply, 0, true, error)) return 0;
        *file = make_handle(s->generation, reply.handle());
        return 1;
    }

    int winusb_initialize(KorvalHandle file, KorvalHandle* interface_handle, uint32_t* error)
    {
        CallRequest request;
        request.set_op(WINUSB_INITIALIZE);
        CallReply reply;
        if (!invoke(request, reply, file, true, error)) return 0;
        *interface_handle = make_handle(static_cast<uint32_t>(file >> 32), reply.handle());
        return 1;
    }

    int simple(Op op, KorvalHandle handle, uint8_t pipe, uint32_t* error)
    {
        CallRequest request;
        request.set_op(op);
        request.set_pipe_id(pipe);
        CallReply reply;
        return invoke(request, reply, handle, true, error) ? 1 : 0;
    }

    static bool too_long(uint32_t length, uint32_t* error)
    {
        if (length <= kMaxTransfer) return false;
        *error = ERROR_BAD_LENGTH;
        return true;
    }

    int device_io_control(KorvalHandle file, uint32_t code, const void* in, uint32_t in_size, void* out,
                          uint32_t out_size, uint32_t* returned, uint32_t* error)
    {
        if (too_long(in_size, error) || too_long(out_size, error)) return 0;
        CallRequest request;
        request.set_op(DEVICE_IO_CONTROL);
        request.set_control_code(code);
        if (!copy_from_caller(*request.mutable_data(), in, in_size)) return no_access(error);
        request.set_length(out_size);
        const bool same = in == out && in != nullptr;
        request.set_same_buffer(same);
        // A bulk write on this path takes its bytes from the out buffer: they go to the server, and
        // nothing comes back into it.
        const std::string& header = request.data();
        const bool bulk_write = code == KORVAL_IOCTL_BULK_TRANSFER && header.size() >= KORVAL_IOCTL_HEADER_SIZE &&
                                (static_cast<uint8_t>(header[13]) & 0x80) == 0 && out_size > 0;
        if (bulk_write && !copy_from_caller(*request.mutable_out_data(), out, out_size)) return no_access(error);
        if (!bulk_write && out != nullptr && !writable(out, out_size)) return no_access(error);
        CallReply reply;
        const bool ok = invoke(request, reply, file, !(code == KORVAL_IOCTL_BULK_TRANSFER), error);
        *returned = reply.transferred();
        if (!ok) return 0;
        if (!bulk_write && out != nullptr &&
            !copy_to_caller(out, reply.data().data(), std::min<size_t>(reply.data().size(), out_size)))
            return no_access(error);
        return 1;
    }

    int control_transfer(KorvalHandle handle, const uint8_t setup[8], void* buffer, uint32_t length,
                         uint32_t* transferred, uint32_t* error)
    {
        if (too_long(length, error)) return 0;
        CallRequest request;
        request.set_op(WINUSB_CONTROL_TRANSFER);
        request.set_setup(setup, 8);
        const bool in = (setup[0] & 0x80) != 0;
        if (in)
            request.set_length(length);
        else if (!copy_from_caller(*request.mutable_data(), buffer, length))
            return no_access(error);
        CallReply reply;
        const bool ok = invoke(request, reply, handle, true, error);
        *transferred = reply.transferred();
        if (!ok) return 0;
        if (in && !copy_to_caller(buffer, reply.data().data(), std::min<size_t>(reply.data().size(), length)))
            return no_access(error);
        return 1;
    }

    int get_descriptor(KorvalHandle handle, uint8_t type, uint8_t index, uint16_t language, void* buffer,
                       uint32_t length, uint32_t* transferred, uint32_t* error)
    {
        if (too_long(length, error)) return 0;
        CallRequest request;
        request.set_op(WINUSB_GET_DESCRIPTOR);
        request.set_type(type);
        request.set_index(index);
        request.set_language(language);
        request.set_length(length);
        CallReply reply;
        const bool ok = invoke(request, reply, handle, true, error);
        *transferred = reply.transferred();
        if (!ok) return 0;
        if (!copy_to_caller(buffer, reply.data().data(), std::min<size_t>(reply.data().size(), length)))
            return no_access(error);
        return 1;
    }

    int query_settings(KorvalHandle handle, uint8_t alternate, uint8_t* endpoints, uint32_t* error)
    {
        CallRequest request;
        request.set_op(WINUSB_QUERY_INTERFACE_SETTINGS);
        request.set_alternate(alternate);
        CallReply reply;
        if (!invoke(request, reply, handle, true, error)) return 0;
        *endpoints = static_cast<uint8_t>(reply.num_endpoints());
        return 1;
    }

    int query_pipe(KorvalHandle handle, uint8_t alternate, uint8_t index, uint8_t* type, uint8_t* id, uint32_t* error)
    {
        CallRequest request;
        request.set_op(WINUSB_QUERY_PIPE);
        request.set_alternate(alternate);
        request.set_pipe_index(index);
        CallReply reply;
        if (!invoke(request, reply, handle, true, error)) return 0;
        *type = static_cast<uint8_t>(reply.pipe_type());
        *id = static_cast<uint8_t>(reply.pipe_id());
        return 1;
    }

    int write_pipe(KorvalHandle handle, uint8_t pipe, const void* buffer, uint32_t length, uint32_t* transferred,
                   uint32_t* error)
    {
        if (too_long(length, error)) return 0;
        CallRequest request;
        request.set_op(WINUSB_WRITE_PIPE);
        request.set_pipe_id(pipe);
        if (!copy_from_caller(*request.mutable_data(), buffer, length)) return no_access(error);
        CallReply reply;
        const bool ok = invoke(request, reply, handle, false, error);
        *transferred = reply.transferred();
        return ok ? 1 : 0;
    }

    int read_pipe(KorvalHandle handle, uint8_t pipe, void* buffer, uint32_t length, uint32_t* transferred,
                  uint32_t* error)
    {
        if (too_long(length, error)) return 0;
        if (!writable(buffer, length)) return no_access(error);
        CallRequest request;
        request.set_op(WINUSB_READ_PIPE);
        request.set_pipe_id(pipe);
        request.set_length(length);
        CallReply reply;
        const bool ok = invoke(request, reply, handle, false, error);
        const size_t n = std::min<size_t>(reply.data().size(), length);
        *transferred = static_cast<uint32_t>(n);
        if (!ok) return 0;
        if (!copy_to_caller(buffer, reply.data().data(), n)) return no_access(error);
        return 1;
    }

    const std::string address_;
    const std::string prefix_;  // what every path of this server starts with: "host:port/"
    const std::string token_;
    const KorvalRemoteCallerMemory guard_;
    std::shared_ptr<grpc::Channel> channel_;
    std::unique_ptr<Host::Stub> stub_;
    std::mutex attach_mutex_;  // one attach at a time; guards last_failure_
    std::chrono::steady_clock::time_point last_failure_{};
    std::mutex mutex_;  // session_ and next_generation_
    std::shared_ptr<Session> session_;
    uint32_t next_generation_ = 1;
};

}  // namespace

}  // namespace korval::remote

extern "C" __attribute__((visibility("default"))) uint32_t KorvalRemote_Create(const KorvalRemoteConfig* config,
                                                                               KorvalHost* host)
{
    if (config == nullptr || host == nullptr || config->abi != KORVAL_REMOTE_CLIENT_ABI || config->address == nullptr ||
        config->caller_memory.copy_from_caller == nullptr || config->caller_memory.copy_to_caller == nullptr ||
        config->caller_memory.range_usable == nullptr)
        return ERROR_INVALID_PARAMETER;
    try {
        // Lives as long as the process: the library keeps the host until it unloads.
        auto* remote = new korval::remote::Remote(config->address, config->token != nullptr ? config->token : "",
                                                  config->ca_pem, config->caller_memory);
        *host = remote->host();
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}
