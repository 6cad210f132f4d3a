// Digital I/O: the subsystem's exported functions (their C entry points are generated from the export list).
#pragma once

#include <cstdint>

namespace korval {

}  // namespace korval

// ---- Automap, PWM, latch and debounce (newer firmware) ----

namespace korval {

uint32_t DIO_Automap_ClearTable(uint32_t DeviceIndex);
uint32_t DIO_Automap_SetTable(uint32_t DeviceIndex, const void* pTable, uint32_t* pTableSize);
uint32_t DIO_Automap_AddEntry(uint32_t DeviceIndex, const uint16_t* pEntry);
uint32_t DIO_Automap_SetTickDivisor(uint32_t DeviceIndex, const uint8_t* pDivisor);
uint32_t DIO_PWM_SetAll(uint32_t DeviceIndex, const uint8_t* pPWMFirst, const void* pTable, uint32_t* pTableSize);
uint32_t DIO_Latch_SetDivisor(uint32_t DeviceIndex, const uint8_t* pDivisor);
uint32_t DIO_Latch_Reset(uint32_t DeviceIndex);
uint32_t DIO_Latch_Read(uint32_t DeviceIndex, void* pGroup1, void* pGroup2, void* pGroup0, uint32_t* pLength);
uint32_t DIO_Deb_SetConfig(uint32_t DeviceIndex, const void* pConfig, const uint32_t* pConfigSize);
uint32_t DIO_Deb_ReadAll(uint32_t DeviceIndex, void* pData);

}  // namespace korval
