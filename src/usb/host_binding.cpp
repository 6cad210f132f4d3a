#include "usb/host_binding.h"

#include "core/last_error.h"
#include "host/os/os_host.h"
#include "korval/korval.h"

namespace korval::usb {

namespace {

// The installed host. Replaced only by install_host, which runs while no other call does; every other
// access only reads it.
KorvalHost g_host{};

// Calls a host entry point: a null entry point is a failure with ERROR_NOT_SUPPORTED; a failure's code
// becomes the thread's last-error value.
template <class Fn, class... Args>
bool call(Fn fn, Args... args) noexcept
{
    if (fn == nullptr) {
        set_last_error(ERROR_NOT_SUPPORTED);
        return false;
    }
    uint32_t error = 0;
    if (fn(g_host.context, args..., &error) != 0) return true;
    set_last_error(error);
    return false;
}

}  // namespace

void install_host(const KorvalHost* host)
{
    // The operating system's host is started afresh each time it is installed and ended when another
    // host takes its place, so it holds no thread or handle while it is not in use.
    os::release();
    g_host = host != nullptr ? *host : os::host();
}

bool winusb_available() noexcept { return g_host.has_winusb != 0; }

void list_interfaces(const KorvalGuid& interface_class, const std::function<void(const char*)>& emit)
{
    if (g_host.list_interfaces == nullptr) return;
    auto trampoline = [](void* context, const char* path) {
        if (path != nullptr) (*static_cast<const std::function<void(const char*)>*>(context))(path);
    };
    g_host.list_interfaces(g_host.context, &interface_class, trampoline,
                           const_cast<std::function<void(const char*)>*>(&emit));
}

bool open_file(const char* path, bool exclusive, KorvalHandle& file) noexcept
{
    return call(g_host.open_file, path, exclusive ? 1 : 0, &file);
}

bool close_handle(KorvalHandle handle) noexcept { return call(g_host.close_handle, handle); }

bool device_io_control(KorvalHandle file, uint32_t control_code, const void* in, uint32_t in_size, void* out,
                       uint32_t out_size, uint32_t& bytes_returned) noexcept
{
    return call(g_host.device_io_control, file, control_code, in, in_size, out, out_size, &bytes_returned);
}

bool winusb_initialize(KorvalHandle file, KorvalHandle& interface_handle) noexcept
{
    return call(g_host.winusb_initialize, file, &interface_handle);
}

bool winusb_free(KorvalHandle interface_handle) noexcept { return call(g_host.winusb_free, interface_handle); }

bool winusb_control_transfer(KorvalHandle interface_handle, const uint8_t setup[8], void* buffer, uint32_t length,
                             uint32_t& transferred) noexcept
{
    return call(g_host.winusb_control_transfer, interface_handle, setup, buffer, length, &transferred);
}

bool winusb_get_descriptor(KorvalHandle interface_handle, uint8_t type, uint8_t index, uint16_t language,
                           void* buffer, uint32_t length, uint32_t& transferred) noexcept
{
    return call(g_host.winusb_get_descriptor, interface_handle, type, index, language, buffer, length,
                &transferred);
}

bool winusb_query_interface_settings(KorvalHandle interface_handle, uint8_t alternate,
                                     uint8_t& num_endpoints) noexcept
{
    return call(g_host.winusb_query_interface_settings, interface_handle, alternate, &num_endpoints);
}

bool winusb_query_pipe(KorvalHandle interface_handle, uint8_t alternate, uint8_t pipe_index, uint8_t& pipe_type,
                       uint8_t& pipe_id) noexcept
{
    return call(g_host.winusb_query_pipe, interface_handle, alternate, pipe_index, &pipe_type, &pipe_id);
}

bool winusb_write_pipe(KorvalHandle interface_handle, uint8_t pipe_id, const void* buffer, uint32_t length,
                       uint32_t& transferred) noexcept
{
    return call(g_host.winusb_write_pipe, interface_handle, pipe_id, buffer, length, &transferred);
}

bool winusb_read_pipe(KorvalHandle interface_handle, uint8_t pipe_id, void* buffer, uint32_t length,
                      uint32_t& transferred) noexcept
{
    return call(g_host.winusb_read_pipe, interface_handle, pipe_id, buffer, length, &transferred);
}

bool can_abort_pipe() noexcept { return g_host.winusb_abort_pipe != nullptr; }
bool can_cancel_io() noexcept { return g_host.cancel_io != nullptr; }

bool winusb_abort_pipe(KorvalHandle interface_handle, uint8_t pipe_id) noexcept
{
    return call(g_host.winusb_abort_pipe, interface_handle, pipe_id);
}

bool cancel_io(KorvalHandle file) noexcept { return call(g_host.cancel_io, file); }

}  // namespace korval::usb
