// The calling thread's last-error value, as the library reads and sets it (the Win32 GetLastError and
// SetLastError on Windows, one value per thread elsewhere).
#pragma once

#include <cstdint>

namespace korval {

uint32_t get_last_error() noexcept;
void set_last_error(uint32_t error) noexcept;

}  // namespace korval
