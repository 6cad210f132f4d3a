#include "dio/newer_firmware.h"


namespace korval::dio {

Result probe_output(void* buffer, size_t size)
{
    if (size == 0) return ERROR_SUCCESS;
    return require_caller_range(buffer, size, true);
}

}  // namespace korval::dio
