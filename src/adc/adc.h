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
