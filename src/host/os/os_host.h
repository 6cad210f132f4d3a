// The operating system's host: the one the first call into the library installs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "korval/host.h"

namespace korval::os {

// Starts the host (on Linux a libusb session with its event thread) and returns its table.
KorvalHost host() noexcept;
// Ends what host() started, when another host is installed.
void release() noexcept;

// A board of the family that is attached but that this process cannot open.
struct UnusableBoard {
    std::string path;
    uint16_t vendor = 0;
    uint16_t product = 0;
    uint32_t error = 0;  // ERROR_ACCESS_DENIED: no permission on the device node
};
// Those boards, in enumeration order, while this host is installed (on Linux; none elsewhere).
std::vector<UnusableBoard> unusable_boards();

}  // namespace korval::os
