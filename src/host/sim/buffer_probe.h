// What the operating system checks before it lets a driver move bulk data: that the program's buffer
// can be read (OUT) or written (IN) over its whole length. A real host fails such a transfer with
// ERROR_NOACCESS before the device sees it; the simulated host does the same instead of faulting.
#pragma once

#include <cstdint>

namespace korval::sim {

bool buffer_usable(const void* buffer, uint32_t size, bool written) noexcept;

}  // namespace korval::sim
