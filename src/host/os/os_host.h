// The operating system's host: the one the first call into the library installs.
#pragma once

#include "korval/host.h"

namespace korval::os {

// Starts the host (on Linux a libusb session with its event thread) and returns its table.
KorvalHost host() noexcept;
// Ends what host() started, when another host is installed.
void release() noexcept;

}  // namespace korval::os
