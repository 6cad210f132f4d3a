// Analog input: the subsystem's exported functions (their C entry points are generated from the export list).
#pragma once

#include <cstdint>

#include "korval/korval.h"

namespace korval {

// ADC configuration block
uint32_t ADC_GetConfig(uint32_t DeviceIndex, uint8_t* pConfigBuf, uint32_t* pConfigBufSize);
uint32_t ADC_SetConfig(uint32_t DeviceIndex, const uint8_t* pConfigBuf, uint32_t* pConfigBufSize);
uint32_t ADC_RangeAll(uint32_t DeviceIndex, const uint8_t* pGainCodes, uint32_t RangeFlag);
uint32_t ADC_Range1(uint32_t DeviceIndex, uint32_t ADChannel, uint8_t GainCode, uint32_t RangeFlag);
uint32_t ADC_ADMode(uint32_t DeviceIndex, uint8_t TriggerMode, uint8_t CalMode);
uint32_t ADC_SetScanLimits(uint32_t DeviceIndex, uint32_t StartChannel, uint32_t EndChannel);
uint32_t ADC_SetOversample(uint32_t DeviceIndex, uint8_t Oversample);

// Calibration
uint32_t ADC_QueryCal(uint32_t DeviceIndex);
uint32_t ADC_SetCal(uint32_t DeviceIndex, const char* pCalFileName);
uint32_t ADC_GetCalRefV(uint32_t DeviceIndex, uint32_t CalRefIndex, double* pRef);
uint32_t ADC_Initialize(uint32_t DeviceIndex, const uint8_t* pConfigBuf, uint32_t* pConfigBufSize,
                        const char* pCalFileName);

// Immediate and triggered scans
uint32_t ADC_GetImmediate(uint32_t DeviceIndex, uint16_t Channel, uint16_t* pData);
uint32_t ADC_GetScan(uint32_t DeviceIndex, uint16_t* pBuf);
uint32_t ADC_GetScanV(uint32_t DeviceIndex, double* pVolts);
uint32_t ADC_GetChannelV(uint32_t DeviceIndex, uint32_t ChannelIndex, double* pVolt);
uint32_t ADC_GetTrigScan(uint32_t DeviceIndex, uint16_t* pBuf, int32_t TimeoutMS);
uint32_t ADC_GetTrigScanV(uint32_t DeviceIndex, double* pVolts, int32_t TimeoutMS);

// One-shot bulk acquisition
uint32_t ADC_Start(uint32_t DeviceIndex);
uint32_t ADC_Stop(uint32_t DeviceIndex);
uint32_t ADC_BulkAcquire(uint32_t DeviceIndex, uint32_t BufSize, void* pBuf);
uint32_t ADC_BulkPoll(uint32_t DeviceIndex, int32_t* pBytesLeft);
uint32_t ADC_BulkAbort(uint32_t DeviceIndex);

// Continuous acquisition
uint32_t ADC_BulkContinuousStart(uint32_t DeviceIndex, uint32_t BufSize, int32_t BufCount, uint32_t Context,
                                 PContCallback pCallback);
uint32_t ADC_BulkContinuousEnd(uint32_t DeviceIndex, uint32_t* pIOStatus);
uint32_t ADC_BulkContinuousDebug(uint32_t DeviceIndex, int32_t* pBlanks, int32_t* pAccessings, int32_t* pGotDatas);

// Fast internal-trigger scans
uint32_t ADC_InitFastITScanV(uint32_t DeviceIndex);
uint32_t ADC_ResetFastITScanV(uint32_t DeviceIndex);
uint32_t ADC_SetFastITScanVChannels(uint32_t DeviceIndex, uint32_t NewChannels);
uint32_t ADC_GetFastITScanV(uint32_t DeviceIndex, double* pVolts);
uint32_t ADC_GetITScanV(uint32_t DeviceIndex, double* pVolts);

}  // namespace korval
