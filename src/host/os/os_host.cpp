// The operating system's host.
//
// On Linux it is the libusb host (linux_host.cpp), started afresh each time it is installed. Elsewhere
// the platform's USB binding is not here yet: this host enumerates no boards and offers no WinUSB, so
// the library loads with an empty device table and every device function answers ERROR_FILE_NOT_FOUND.
#include "host/os/os_host.h"

#ifndef _WIN32  // the Windows host is win_host.cpp

#include "korval/korval.h"

#ifdef KORVAL_LINUX_LIBUSB
#include "host/os/linux_host.h"
#endif

namespace korval::os {

namespace {

void list_interfaces(void*, const KorvalGuid*, void (*)(void*, const char*), void*) {}

int open_file(void*, const char*, int, KorvalHandle*, uint32_t* error)
{
    *error = ERROR_FILE_NOT_FOUND;
    return 0;
}

int close_handle(void*, KorvalHandle, uint32_t* error)
{
    *error = ERROR_INVALID_HANDLE;
    return 0;
}

int device_io_control(void*, KorvalHandle, uint32_t, const void*, uint32_t, void*, uint32_t, uint32_t*,
                      uint32_t* error)
{
    *error = ERROR_INVALID_HANDLE;
    return 0;
}

}  // namespace

KorvalHost host() noexcept
{
#ifdef KORVAL_LINUX_LIBUSB
    return linux_usb::start();
#endif
    KorvalHost h{};
    h.version = KORVAL_HOST_VERSION;
    h.list_interfaces = list_interfaces;
    h.open_file = open_file;
    h.close_handle = close_handle;
    h.device_io_control = device_io_control;
    h.has_winusb = 0;
    return h;
}

void release() noexcept
{
#ifdef KORVAL_LINUX_LIBUSB
    linux_usb::stop();
#endif
}

}  // namespace korval::os

#endif  // !_WIN32
