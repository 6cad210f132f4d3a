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

}  // namespace korval
