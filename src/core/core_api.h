// Exported functions of the library frame and the device table (their C entry points are generated
// from the export list).
#pragma once

#include <cstdint>

namespace korval {

uint32_t ResolveDeviceIndex(uint32_t DeviceIndex);
uint32_t SelectDeviceViaUI(uintptr_t Arg1, uintptr_t Arg2, uintptr_t Arg3, uintptr_t Arg4, uintptr_t Arg5,
                           uintptr_t Arg6, uintptr_t Arg7);
uint32_t GetDevices();
uint32_t ClearDevices();
uint32_t KORVAL_CloseDevice(uint32_t DeviceIndex);

// Identification


}  // namespace korval
