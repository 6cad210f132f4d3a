// Exported functions of the library frame and the device table (their C entry points are generated
// from the export list).
#pragma once

#include <cstdint>

#include "korval/korval.h"

namespace korval {

uint32_t ResolveDeviceIndex(uint32_t DeviceIndex);
uint32_t SelectDeviceViaUI(uintptr_t Arg1, uintptr_t Arg2, uintptr_t Arg3, uintptr_t Arg4, uintptr_t Arg5,
                           uintptr_t Arg6, uintptr_t Arg7);
uint32_t GetDevices();
uint32_t ClearDevices();
uint32_t KORVAL_CloseDevice(uint32_t DeviceIndex);

// Identification
uint32_t QueryDeviceInfo(uint32_t DeviceIndex, uint32_t* pPID, uint32_t* pNameSize, void* pName, uint32_t* pDIOBytes,
                         uint32_t* pCounters);
uint32_t GetDeviceSerialNumber(uint32_t DeviceIndex, uint64_t* pSerialNumber);
uint32_t GetDeviceUniqueStr(uint32_t DeviceIndex, const uint32_t* pUniqueSize, void* pUnique);
uint32_t GetDeviceBySerialNumber(uint64_t SerialNumber);
uint32_t GetDeviceHandle(uint32_t DeviceIndex, uint32_t* pHandle);
uint32_t GetPipes(uint32_t DeviceIndex, uint32_t* pPipeCount, uint32_t* pPipes);
uint32_t KORVAL_GetCapabilities(uint32_t DeviceIndex, KorvalCapabilities* pCaps);
uint32_t KORVAL_GetUnusableBoard(uint32_t Index, KorvalUnusableBoard* pBoard);
uint32_t KORVAL_GetProductCapabilities(uint32_t ProductID, KorvalCapabilities* pCaps);
uint32_t KORVAL_ListProducts(uint32_t* pCount, uint32_t* pProductIDs);
uint32_t KORVAL_GetVersion();
uint32_t KORVAL_GetRemoteServer(uint32_t DeviceIndex, uint32_t* pServerSize, char* pServer);

// Board notifications (board_watch.cpp)
uint32_t KORVAL_RegisterBoardNotification(KorvalBoardCallback Callback, void* Context, uint32_t Flags,
                                          uint32_t* pRegistration);
uint32_t KORVAL_UnregisterBoardNotification(uint32_t Registration);


}  // namespace korval
