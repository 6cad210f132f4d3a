// Exported functions of the boards' nonvolatile memory: the EEPROM's custom area, the flash and the
// power-on defaults (their C entry points are generated from the export list).
#pragma once

#include <cstdint>

namespace korval {

// The first board whose custom EEPROM bytes match (find.cpp).
uint32_t GetDeviceByEEPROMByte(uint8_t EEPROMByte);
uint32_t GetDeviceByEEPROMData(uint32_t StartAddress, uint32_t DataSize, const void* pData);

uint32_t CustomEEPROMRead(uint32_t DeviceIndex, uint32_t StartAddress, uint32_t* pDataSize, void* pData);
uint32_t CustomEEPROMWrite(uint32_t DeviceIndex, uint32_t StartAddress, uint32_t DataSize, const void* pData);
uint32_t KORVAL_FlashRead(uint32_t DeviceIndex, uint32_t StartAddress, uint32_t* pDataSize, void* pData);
uint32_t KORVAL_FlashWrite(uint32_t DeviceIndex, uint32_t StartAddress, uint32_t DataSize, const void* pData);
uint32_t KORVAL_FlashEraseSector(uint32_t DeviceIndex, int32_t Sector);
uint32_t KORVAL_SaveStateAsDefaults(uint32_t DeviceIndex);
uint32_t KORVAL_RestoreFactoryDefaults(uint32_t DeviceIndex);
uint32_t KORVAL_SetDefaultsTable(uint32_t DeviceIndex, const void* pTable, const uint32_t* pTableSize);
uint32_t KORVAL_GetDefaultsTable(uint32_t DeviceIndex, void* pTable, uint32_t* pTableSize);

}  // namespace korval
