// Digital I/O: the subsystem's exported functions (their C entry points are generated from the export list).
#pragma once

#include <cstdint>

namespace korval {

// Digital ports
uint32_t DIO_Configure(uint32_t DeviceIndex, uint8_t bTristate, const void* pOutMask, const void* pData);
uint32_t DIO_ConfigureEx(uint32_t DeviceIndex, const void* pOutMask, const void* pData, const void* pTristateMask);
uint32_t DIO_ConfigurationQuery(uint32_t DeviceIndex, void* pOutMask, void* pTristateMask);
uint32_t DIO_Write1(uint32_t DeviceIndex, uint32_t BitIndex, uint8_t bData);
uint32_t DIO_Write8(uint32_t DeviceIndex, uint32_t ByteIndex, uint8_t Data);
uint32_t DIO_WriteAll(uint32_t DeviceIndex, const void* pData);
uint32_t DIO_Read1(uint32_t DeviceIndex, uint32_t BitIndex, uint8_t* pBit);
uint32_t DIO_Read8(uint32_t DeviceIndex, uint32_t ByteIndex, uint8_t* pByte);
uint32_t DIO_ReadAll(uint32_t DeviceIndex, void* pData);
uint32_t KORVAL_OfflineWrite1(uint32_t DeviceIndex, uint32_t Address, uint16_t Value);
uint32_t KORVAL_OfflineRead1(uint32_t DeviceIndex, uint32_t Address, uint16_t* pValue);

// SPI and CSA functions
uint32_t DIO_SPI_Write(uint32_t DeviceIndex, uint8_t SPIAddress, uint8_t Register, uint8_t Data);
uint32_t DIO_SPI_Read(uint32_t DeviceIndex, uint8_t SPIAddress, uint8_t Register, uint8_t* pData);
uint32_t DIO_CSA_DoSync(uint32_t DeviceIndex, double* pRateHz, double* pTimeA, double* pTimeB, double* pTimeC);
uint32_t DIO_CSA_DebounceSet(uint32_t DeviceIndex, uint32_t DebounceCounts);
uint32_t DIO_CSA_DebounceReadAll(uint32_t DeviceIndex, void* pData);
uint32_t DAC_CSA_SetRangeLimits(uint32_t DeviceIndex, const void* pData);
uint32_t DAC_CSA_ClearRangeLimits(uint32_t DeviceIndex);
uint32_t DIO_CSA_ReadAllString(uint32_t DeviceIndex, void* pBuffer, uint32_t* pBufferSize);

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

// ---- Digital streaming ----

namespace korval {

uint32_t DIO_StreamOpen(uint32_t DeviceIndex, uint32_t bIsRead);
uint32_t DIO_StreamClose(uint32_t DeviceIndex);
uint32_t DIO_StreamSetClocks(uint32_t DeviceIndex, double* pClockAHz, double* pClockBHz);
uint32_t DIO_StreamFrame(uint32_t DeviceIndex, uint32_t FramePoints, void* pFrameData, uint32_t* pBytesTransferred);

namespace dio {

// One oscillator's setting: the clock word (octave in bits 15-12, offset in bits 11-2) and the frequency
// it makes. 0 Hz gives word 0 and 0 Hz (the clock is marked off); below 1039 Hz, word 0 and 1039 Hz;
// above 40 MHz, 40 MHz's setting. `hz` must be a number, not negative.
struct ClockSetting {
    uint16_t word = 0;
    double hz = 0;
};
ClockSetting clock_setting(double hz);

}  // namespace dio

}  // namespace korval
