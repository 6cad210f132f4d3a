// The Win32 codes the library reports for failed file accesses made through the C library (calibration
// files), beside those of its own list.
#pragma once

#include <cerrno>

#include "core/registry.h"
#include "korval/korval.h"

namespace korval {

inline constexpr Result kErrorPathNotFound = 3;
inline constexpr Result kErrorAccessDenied = 5;
inline constexpr Result kErrorFilenameTooLong = 206;

// The Win32 code standing for a C library errno value after a failed file access; 31 when there is no
// better one.
inline Result system_code(int error)
{
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR: return kErrorAccessDenied;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY: return ERROR_SHARING_VIOLATION;
    case ENAMETOOLONG: return kErrorFilenameTooLong;
    default: return ERROR_GEN_FAILURE;
    }
}

}  // namespace korval
