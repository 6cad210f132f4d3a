#include "dio/newer_firmware.h"

#include <vector>

namespace korval::dio {

Result probe_output(void* buffer, size_t size)
{
    if (size == 0) return ERROR_SUCCESS;
    if (buffer == nullptr) return ERROR_INVALID_PARAMETER;
    std::vector<uint8_t> bytes(size);
    if (!copy_from_caller(bytes.data(), buffer, size)) return ERROR_NOACCESS;
    if (!copy_to_caller(buffer, bytes.data(), size)) return ERROR_NOACCESS;
    return ERROR_SUCCESS;
}

}  // namespace korval::dio
