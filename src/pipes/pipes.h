// Exported functions of the board's pipes as programs use them: generic vendor requests, bulk transfers
// and stream control (their C entry points are generated from the export list).
#pragma once

#include <cstdint>

namespace korval {

uint32_t GenericVendorRead(uint32_t DeviceIndex, uint8_t Request, uint16_t RequestValue, uint16_t RequestIndex,
                           uint32_t* pDataSize, void* pData);
uint32_t GenericVendorWrite(uint32_t DeviceIndex, uint8_t Request, uint16_t RequestValue, uint16_t RequestIndex,
                            uint32_t DataSize, const void* pData);

// Bulk transfers and stream control
uint32_t QBT_GenericBulkIn(uint32_t DeviceIndex, uint32_t PipeID, void* pData, uint32_t DataSize,
                           uint32_t* pBytesTransferred);
uint32_t QBT_GenericBulkOut(uint32_t DeviceIndex, uint32_t PipeID, const void* pData, uint32_t DataSize,
                            uint32_t* pBytesTransferred);
uint32_t DEB_SetInterface(uint32_t DeviceIndex, uint16_t InterfaceNumber);
uint32_t DEB_BulkIn(uint32_t DeviceIndex, uint32_t PipeID, void* pData, uint32_t DataSize);
uint32_t DEB_BulkOut(uint32_t DeviceIndex, uint32_t PipeID, const void* pData, uint32_t DataSize);
uint32_t KORVAL_ClearFIFO(uint32_t DeviceIndex, uint32_t TimeMethod);
uint32_t KORVAL_GetStreamStatus(uint32_t DeviceIndex, uint32_t* pStatus);
uint32_t KORVAL_SetStreamingBlockSize(uint32_t DeviceIndex, uint32_t BlockSize);
uint32_t KORVAL_ResetChip(uint32_t DeviceIndex);
uint32_t KORVAL_UploadFirmware(uint32_t DeviceIndex, const void* pFirmware, uint32_t FirmwareSize);

}  // namespace korval
