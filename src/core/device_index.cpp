// Device-index resolution and the functions of the library frame.
#include "base/last_error.h"
#include "board/board.h"
#include "core/core_api.h"
#include "core/registry.h"
#include "korval/korval.h"

namespace korval {

Result resolve_index(uint32_t device_index, uint32_t& slot) noexcept
{
    if (device_index != FirstDeviceIndex && device_index != OnlyDeviceIndex) {
        if (device_index >= kSlotCount) return ERROR_INVALID_INDEX;
        slot = device_index;
        return ERROR_SUCCESS;
    }
    // A slot counts when it holds a handle; whether it has been opened or what product it is does not matter.
    bool found = false;
    for (uint32_t s = 0; s < kSlotCount; ++s) {
        if (board(s).Handle == 0) continue;
        if (device_index == FirstDeviceIndex) {
            slot = s;
            return ERROR_SUCCESS;
        }
        if (found) return ERROR_DUP_NAME;
        found = true;
        slot = s;
    }
    return found ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

Result open_board(uint32_t device_index, uint32_t& slot)
{
    if (const Result r = resolve_index(device_index, slot)) return r;
    return open_check(slot);
}

Result open_for_feature(uint32_t device_index, uint32_t& slot, FeatureTest has_feature)
{
    if (const Result r = open_board(device_index, slot)) return r;
    return has_feature(board(slot).row()) ? ERROR_SUCCESS : ERROR_BAD_TOKEN_TYPE;
}

uint32_t ResolveDeviceIndex(uint32_t DeviceIndex)
{
    uint32_t slot = 0;
    const Result r = resolve_index(DeviceIndex, slot);
    set_last_error(r);
    return r == ERROR_SUCCESS ? slot : KORVAL_NO_SLOT;
}

uint32_t SelectDeviceViaUI(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t)
{
    return ERROR_NOT_SUPPORTED;  // the library has no user interface
}

}  // namespace korval
