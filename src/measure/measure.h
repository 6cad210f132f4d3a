// Measurements: a channel span at a rate, in blocks of volts and counts, with a software trigger (the
// subsystem's exported functions; their C entry points are generated from the export list). The
// engine sits above the board functions and reaches the board only through their exported entries.
#pragma once

#include <cstdint>

#include "korval/korval.h"

namespace korval {

uint32_t KORVAL_MeasureCreate(uint32_t DeviceIndex, KorvalMeasurement** ppMeasurement);
uint32_t KORVAL_MeasureStart(KorvalMeasurement* pMeasurement, KorvalMeasureSettings* pSettings,
                             KorvalMeasureCallback pCallback, void* pContext);
uint32_t KORVAL_MeasureRead(KorvalMeasurement* pMeasurement, KorvalMeasureBlock* pBlock, double* pVolts,
                            uint16_t* pCounts, uint32_t CapacityScans, uint32_t TimeoutMS);
uint32_t KORVAL_MeasureGetStatus(KorvalMeasurement* pMeasurement, KorvalMeasureStatus* pStatus);
uint32_t KORVAL_MeasureStop(KorvalMeasurement* pMeasurement);
uint32_t KORVAL_MeasureDestroy(KorvalMeasurement* pMeasurement);

}  // namespace korval
