#include "base/last_error.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace korval {

#ifdef _WIN32

uint32_t get_last_error() noexcept { return GetLastError(); }
void set_last_error(uint32_t error) noexcept { SetLastError(error); }

#else

namespace {
thread_local uint32_t t_last_error = 0;
}

uint32_t get_last_error() noexcept { return t_last_error; }
void set_last_error(uint32_t error) noexcept { t_last_error = error; }

#endif

}  // namespace korval
