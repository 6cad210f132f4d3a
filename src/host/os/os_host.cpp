// The operating system's host.
//
// Neither platform has its USB binding yet: this host enumerates no boards and offers no WinUSB, so the
// library loads with an empty device table and every device function answers ERROR_FILE_NOT_FOUND.
// Programs use simulated boards (korval/sim.h) meanwhile. The Linux binding will sit on libusb, the
// Windows one on SetupAPI, WinUSB and DeviceIoControl, both behind this same function.
#include "host/os/os_host.h"

#ifndef _WIN32  // the Windows host is win_host.cpp

#include "korval/korval.h"

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
    KorvalHost h{};
    h.version = KORVAL_HOST_VERSION;
    h.list_interfaces = list_interfaces;
    h.open_file = open_file;
    h.close_handle = close_handle;
    h.device_io_control = device_io_control;
    h.has_winusb = 0;
    return h;
}

}  // namespace korval::os

#endif  // !_WIN32
