// The Windows host: SetupAPI listing, board files and DeviceIoControl, and WinUSB, behind the host seam.
#pragma once

#ifdef _WIN32

#include "host/os/win_system.h"
#include "korval/host.h"

namespace korval::os::win {

// A host whose every system call goes through `system`, which must outlive it (it is the context).
// has_winusb follows system.winusb_loaded; a WinUSB entry point missing from the table is a null entry
// point of the host, never called.
KorvalHost host(const System& system) noexcept;

}  // namespace korval::os::win

#endif  // _WIN32
