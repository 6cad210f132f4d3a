// The operating system's host on Linux: boards reached through libusb-1.0.
//
// Boards of the family (by vendor ID) are listed under the WinUSB interface class, each under a path
// naming where it is plugged ("usb:1-4.2": bus 1, port 4 of the root hub, port 2 of the hub there), in
// bus and port order. open_file opens the device (and, exclusive, claims its interface, so a board
// open elsewhere fails with 170); the WinUSB entry points map onto libusb's. Bulk transfers run
// asynchronously on one event thread of the host, so winusb_abort_pipe can end them (995); control
// transfers time out after 5 s, as WinUSB's default pipe policy does. The DeviceIoControl driver does
// not exist on Linux: its class lists nothing. The board watch is libusb's hot-plug callback, run on
// the same event thread: the family's boards are told with their IDs, their path and the serial
// number the kernel read at enumeration (sysfs), nothing being opened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "korval/host.h"

namespace korval::os::linux_usb {

// Starts a new session (libusb context and event thread), ending the previous one first, and returns
// the host table for it. A system without a usable USB stack gives a host that lists no boards.
KorvalHost start() noexcept;

// Ends the session: cancels every transfer in flight, closes every handle, stops the event thread.
// Calls that come later fail with ERROR_INVALID_HANDLE (6). Safe to call when no session runs.
void stop() noexcept;

// The family's vendor IDs: $KORVAL_VENDOR_IDS when set (hexadecimal IDs separated by commas, spaces or
// semicolons, "0x" optional), otherwise the list the library was built with.
std::vector<uint16_t> vendor_ids();

// The family's boards on the bus that this process cannot open (on the current session; none when no
// session runs), in bus and port order: why they are missing from the device table.
struct Unopenable {
    std::string path;
    uint16_t vendor = 0;
    uint16_t product = 0;
    uint32_t error = 0;  // the Win32 code of the failed open: ERROR_ACCESS_DENIED without permission
};
std::vector<Unopenable> unopenable_boards() noexcept;

}  // namespace korval::os::linux_usb
