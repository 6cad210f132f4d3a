#include "dio/newer_firmware.h"


namespace korval::dio {

Result probe_output(void* buffer, size_t size)
{
    if (size == 0) return ERROR_SUCCESS;
    if (buffer == nullptr) return ERROR_INVALID_PARAMETER;
    return caller_range_usable(buffer, size, true) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

}  // namespace korval::dio
