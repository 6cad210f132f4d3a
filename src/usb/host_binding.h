// The installed host and the library's calls through it.
//
// Every platform call the library makes goes through these wrappers. Each returns true on success; on
// failure it makes the host's error code the thread's last-error value (so the device-gone mapping can
// read it, as it would read the system's) and returns false. An entry point the host does not have
// fails with ERROR_NOT_SUPPORTED instead of being called.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "korval/host.h"

namespace korval::usb {

// Replaces the installed host (a copy is kept). nullptr installs the operating system's host. The
// remote hosts stay. A host of version 1 is read up to cancel_io: its board watch entries are null.
void install_host(const KorvalHost* host);

// The installed host's board watch (KorvalHost::watch_boards). False when it has none or it failed.
bool watch_boards(KorvalHostBoardNotify notify, void* notify_context) noexcept;
void unwatch_boards() noexcept;

// The hosts boards are found on: host 0 is the installed one, hosts 1 and up are remote servers, in the
// order they were added. A handle carries its host's number in its top byte (0 for the installed
// host, whose handles must leave that byte clear), so every call on a handle goes to the host that
// gave it.
inline constexpr uint32_t kMaxRemoteHosts = 32;
uint32_t host_count() noexcept;
// Whether a handle is a remote server's.
inline bool is_remote(KorvalHandle handle) noexcept { return (handle >> 56) != 0; }
// Adds a remote host (a copy is kept for the library's life). Its number, or 0 when there are
// kMaxRemoteHosts already.
uint32_t add_host(const KorvalHost& host);

// The boards of the family a host sees but this program cannot open (KorvalHost::list_unusable), in
// the host's order; none when the host has no such entry.
void list_unusable(uint32_t host, const std::function<void(const KorvalHostUnusableBoard&)>& emit);

// The WinUSB-available flag of a host, taken from it when it is installed or added.
bool winusb_available(uint32_t host = 0) noexcept;

// The device-interface paths of one class on a host, in enumeration order.
void list_interfaces(uint32_t host, const KorvalGuid& interface_class, const std::function<void(const char*)>& emit);
inline void list_interfaces(const KorvalGuid& interface_class, const std::function<void(const char*)>& emit)
{
    list_interfaces(0, interface_class, emit);
}

bool open_file(uint32_t host, const char* path, bool exclusive, KorvalHandle& file) noexcept;
inline bool open_file(const char* path, bool exclusive, KorvalHandle& file) noexcept
{
    return open_file(0, path, exclusive, file);
}
bool close_handle(KorvalHandle handle) noexcept;
bool device_io_control(KorvalHandle file, uint32_t control_code, const void* in, uint32_t in_size, void* out,
                       uint32_t out_size, uint32_t& bytes_returned) noexcept;

bool winusb_initialize(KorvalHandle file, KorvalHandle& interface_handle) noexcept;
bool winusb_free(KorvalHandle interface_handle) noexcept;
bool winusb_control_transfer(KorvalHandle interface_handle, const uint8_t setup[8], void* buffer, uint32_t length,
                             uint32_t& transferred) noexcept;
bool winusb_get_descriptor(KorvalHandle interface_handle, uint8_t type, uint8_t index, uint16_t language,
                           void* buffer, uint32_t length, uint32_t& transferred) noexcept;
bool winusb_query_interface_settings(KorvalHandle interface_handle, uint8_t alternate,
                                     uint8_t& num_endpoints) noexcept;
bool winusb_query_pipe(KorvalHandle interface_handle, uint8_t alternate, uint8_t pipe_index, uint8_t& pipe_type,
                       uint8_t& pipe_id) noexcept;
bool winusb_write_pipe(KorvalHandle interface_handle, uint8_t pipe_id, const void* buffer, uint32_t length,
                       uint32_t& transferred) noexcept;
bool winusb_read_pipe(KorvalHandle interface_handle, uint8_t pipe_id, void* buffer, uint32_t length,
                      uint32_t& transferred) noexcept;

// Cancellation. can_* tell whether the host of a handle offers it; the calls fail with
// ERROR_NOT_SUPPORTED otherwise.
bool can_abort_pipe(KorvalHandle interface_handle = 0) noexcept;
bool can_cancel_io(KorvalHandle file = 0) noexcept;
bool winusb_abort_pipe(KorvalHandle interface_handle, uint8_t pipe_id) noexcept;
bool cancel_io(KorvalHandle file) noexcept;

}  // namespace korval::usb
