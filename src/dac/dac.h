// Analog output: the subsystem's exported functions (their C entry points are generated from the export list).
#pragma once

#include <cstdint>

#include "korval/korval.h"

namespace korval {

// Immediate DAC output and calibration
uint32_t DACDirect(uint32_t DeviceIndex, uint16_t Channel, uint16_t Value);
uint32_t DACMultiDirect(uint32_t DeviceIndex, const KorvalDACPair* pDACData, int32_t DACDataCount);
uint32_t DACSetBoardRange(uint32_t DeviceIndex, uint16_t Range);
uint32_t DACSetChannelCal(uint32_t DeviceIndex, uint32_t Channel, const char* pCalFileName);

// DAC waveform output
uint32_t DACOutputOpen(uint32_t DeviceIndex, double* pClockHz);
uint32_t DACOutputSetCount(uint32_t DeviceIndex, uint32_t NewCount);
uint32_t DACOutputFrame(uint32_t DeviceIndex, uint32_t FramePoints, const uint16_t* pFrameData);
uint32_t DACOutputFrameRaw(uint32_t DeviceIndex, uint32_t FramePoints, const uint16_t* pFrameData);
uint32_t DACOutputStart(uint32_t DeviceIndex);
uint32_t DACOutputSetInterlock(uint32_t DeviceIndex, uint32_t bInterlock);
uint32_t DACOutputClose(uint32_t DeviceIndex);
uint32_t DACOutputCloseNoEnd(uint32_t DeviceIndex);
uint32_t DACOutputProcess(uint32_t DeviceIndex, double* pClockHz, uint32_t NumSamples, const uint16_t* pSampleData);
uint32_t DACOutputAbort(uint32_t DeviceIndex);
uint32_t DACOutputStatus(uint32_t DeviceIndex);

}  // namespace korval
