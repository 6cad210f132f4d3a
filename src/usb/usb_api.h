// Exported functions of the USB transport (their C entry points are generated from the export list).
#pragma once

#include <cstdint>

namespace korval {

uint32_t GenericVendorRead(uint32_t DeviceIndex, uint8_t Request, uint16_t RequestValue, uint16_t RequestIndex,
                           uint32_t* pDataSize, void* pData);
uint32_t GenericVendorWrite(uint32_t DeviceIndex, uint8_t Request, uint16_t RequestValue, uint16_t RequestIndex,
                            uint32_t DataSize, const void* pData);

// Bulk transfers and stream control


// Nonvolatile memory and power-on defaults


}  // namespace korval
