#include "usb/host_binding.h"

#include <atomic>
#include <cstddef>
#include <cstring>

#include "base/last_error.h"
#include "host/os/os_host.h"
#include "korval/korval.h"
#include "usb/deadline.h"

namespace korval::usb {

namespace {

// The installed host. Replaced only by install_host, which runs while no other call does; every other
// access only reads it.
KorvalHost g_host{};

// The remote hosts, each published once and kept for the library's life.
std::atomic<const KorvalHost*> g_remotes[kMaxRemoteHosts]{};
std::atomic<uint32_t> g_remote_count{0};

constexpr int kTagShift = 56;
constexpr KorvalHandle kLocalMask = (KorvalHandle{1} << kTagShift) - 1;

const KorvalHost& host_by_number(uint32_t host) noexcept
{
    if (host == 0 || host > g_remote_count.load(std::memory_order_acquire)) return g_host;
    return *g_remotes[host - 1].load(std::memory_order_acquire);
}

// The host a handle belongs to; the handle becomes the host's own.
const KorvalHost& route(KorvalHandle& handle) noexcept
{
    const uint32_t host = static_cast<uint32_t>(handle >> kTagShift);
    handle &= kLocalMask;
    return host_by_number(host);
}

KorvalHandle tagged(uint32_t host, KorvalHandle handle) noexcept
{
    return host == 0 ? handle : (static_cast<KorvalHandle>(host) << kTagShift) | (handle & kLocalMask);
}

// Calls a host entry point: a null entry point is a failure with ERROR_NOT_SUPPORTED; a failure's code
// becomes the thread's last-error value.
template <class Fn, class... Args>
bool call(const KorvalHost& host, Fn fn, Args... args) noexcept
{
    if (fn == nullptr) {
        set_last_error(ERROR_NOT_SUPPORTED);
        return false;
    }
    uint32_t error = 0;
    if (fn(host.context, args..., &error) != 0) return true;
    set_last_error(error);
    return false;
}

}  // namespace

void install_host(const KorvalHost* host)
{
    // The operating system's host is started afresh each time it is installed and ended when another
    // host takes its place, so it holds no thread or handle while it is not in use. The deadline timer
    // ends with the host too (no transfer is pending while a host is installed); the next deadline
    // starts it again.
    end_deadline_timer();
    os::release();
    if (host == nullptr) {
        g_host = os::host();
    } else if (host->version < KORVAL_HOST_VERSION) {
        // An earlier version's table ends at its version's last field: nothing beyond it may be read.
        g_host = KorvalHost{};
        std::memcpy(&g_host, host,
                    host->version < 2 ? offsetof(KorvalHost, watch_boards) : offsetof(KorvalHost, list_unusable));
    } else {
        g_host = *host;
    }
}

bool watch_boards(KorvalHostBoardNotify notify, void* notify_context) noexcept
{
    if (g_host.watch_boards == nullptr || g_host.unwatch_boards == nullptr) return false;
    uint32_t error = 0;
    return g_host.watch_boards(g_host.context, notify, notify_context, &error) != 0;
}

void unwatch_boards() noexcept
{
    uint32_t error = 0;
    if (g_host.unwatch_boards != nullptr) g_host.unwatch_boards(g_host.context, &error);
}

uint32_t host_count() noexcept { return 1 + g_remote_count.load(std::memory_order_acquire); }

uint32_t add_host(const KorvalHost& host)
{
    const uint32_t n = g_remote_count.load(std::memory_order_acquire);
    if (n >= kMaxRemoteHosts) return 0;
    g_remotes[n].store(new KorvalHost(host), std::memory_order_release);
    g_remote_count.store(n + 1, std::memory_order_release);
    return n + 1;
}

bool winusb_available(uint32_t host) noexcept { return host_by_number(host).has_winusb != 0; }

void list_interfaces(uint32_t host, const KorvalGuid& interface_class, const std::function<void(const char*)>& emit)
{
    const KorvalHost& h = host_by_number(host);
    if (h.list_interfaces == nullptr) return;
    auto trampoline = [](void* context, const char* path) {
        if (path != nullptr) (*static_cast<const std::function<void(const char*)>*>(context))(path);
    };
    h.list_interfaces(h.context, &interface_class, trampoline, const_cast<std::function<void(const char*)>*>(&emit));
}

void list_unusable(uint32_t host, const std::function<void(const KorvalHostUnusableBoard&)>& emit)
{
    const KorvalHost& h = host_by_number(host);
    if (h.list_unusable == nullptr) return;
    using Emit = std::function<void(const KorvalHostUnusableBoard&)>;
    auto trampoline = [](void* context, const KorvalHostUnusableBoard* board) {
        if (board != nullptr) (*static_cast<const Emit*>(context))(*board);
    };
    h.list_unusable(h.context, trampoline, const_cast<Emit*>(&emit));
}

bool open_file(uint32_t host, const char* path, bool exclusive, KorvalHandle& file) noexcept
{
    const KorvalHost& h = host_by_number(host);
    if (!call(h, h.open_file, path, exclusive ? 1 : 0, &file)) return false;
    file = tagged(host, file);
    return true;
}

bool close_handle(KorvalHandle handle) noexcept
{
    const KorvalHost& h = route(handle);
    return call(h, h.close_handle, handle);
}

bool device_io_control(KorvalHandle file, uint32_t control_code, const void* in, uint32_t in_size, void* out,
                       uint32_t out_size, uint32_t& bytes_returned) noexcept
{
    const KorvalHost& h = route(file);
    return call(h, h.device_io_control, file, control_code, in, in_size, out, out_size, &bytes_returned);
}

bool winusb_initialize(KorvalHandle file, KorvalHandle& interface_handle) noexcept
{
    const uint32_t host = static_cast<uint32_t>(file >> kTagShift);
    const KorvalHost& h = route(file);
    if (!call(h, h.winusb_initialize, file, &interface_handle)) return false;
    interface_handle = tagged(host, interface_handle);
    return true;
}

bool winusb_free(KorvalHandle interface_handle) noexcept
{
    const KorvalHost& h = route(interface_handle);
    return call(h, h.winusb_free, interface_handle);
}

bool winusb_control_transfer(KorvalHandle interface_handle, const uint8_t setup[8], void* buffer, uint32_t length,
                             uint32_t& transferred) noexcept
{
    const KorvalHost& h = route(interface_handle);
    return call(h, h.winusb_control_transfer, interface_handle, setup, buffer, length, &transferred);
}

bool winusb_get_descriptor(KorvalHandle interface_handle, uint8_t type, uint8_t index, uint16_t language,
                           void* buffer, uint32_t length, uint32_t& transferred) noexcept
{
    const KorvalHost& h = route(interface_handle);
    return call(h, h.winusb_get_descriptor, interface_handle, type, index, language, buffer, length, &transferred);
}

bool winusb_query_interface_settings(KorvalHandle interface_handle, uint8_t alternate,
                                     uint8_t& num_endpoints) noexcept
{
    const KorvalHost& h = route(interface_handle);
    return call(h, h.winusb_query_interface_settings, interface_handle, alternate, &num_endpoints);
}

bool winusb_query_pipe(KorvalHandle interface_handle, uint8_t alternate, uint8_t pipe_index, uint8_t& pipe_type,
                       uint8_t& pipe_id) noexcept
{
    const KorvalHost& h = route(interface_handle);
    return call(h, h.winusb_query_pipe, interface_handle, alternate, pipe_index, &pipe_type, &pipe_id);
}

bool winusb_write_pipe(KorvalHandle interface_handle, uint8_t pipe_id, const void* buffer, uint32_t length,
                       uint32_t& transferred) noexcept
{
    const KorvalHost& h = route(interface_handle);
    return call(h, h.winusb_write_pipe, interface_handle, pipe_id, buffer, length, &transferred);
}

bool winusb_read_pipe(KorvalHandle interface_handle, uint8_t pipe_id, void* buffer, uint32_t length,
                      uint32_t& transferred) noexcept
{
    const KorvalHost& h = route(interface_handle);
    return call(h, h.winusb_read_pipe, interface_handle, pipe_id, buffer, length, &transferred);
}

bool can_abort_pipe(KorvalHandle interface_handle) noexcept
{
    return route(interface_handle).winusb_abort_pipe != nullptr;
}
bool can_cancel_io(KorvalHandle file) noexcept { return route(file).cancel_io != nullptr; }

bool winusb_abort_pipe(KorvalHandle interface_handle, uint8_t pipe_id) noexcept
{
    const KorvalHost& h = route(interface_handle);
    return call(h, h.winusb_abort_pipe, interface_handle, pipe_id);
}

bool cancel_io(KorvalHandle file) noexcept
{
    const KorvalHost& h = route(file);
    return call(h, h.cancel_io, file);
}

}  // namespace korval::usb
