// The boards' vendor requests, bulk pipes and memory addresses as the library sends them: every code
// the subsystems put on the wire is named here once, grouped by what it serves.
#pragma once

#include <cstdint>

namespace korval::usb {

// Identity and the USB controller. The product name is read with a vendor-typed request for the
// product string descriptor; the firmware-information read answers its version and feature bits.
inline constexpr uint8_t kStandardIn = 0x80;
inline constexpr uint8_t kGetDescriptorRequest = 0x06;
inline constexpr uint16_t kDeviceDescriptorValue = 0x0100;
inline constexpr uint8_t kProductNameRequest = 0x06;
inline constexpr uint16_t kProductNameValue = 0x0302;
inline constexpr uint8_t kFirmwareInfoRequest = 0xA3;
inline constexpr uint16_t kFirmwareInfoValue = 0x8000;
inline constexpr uint16_t kFirmwareInfoIndex = 1;
// The controller's RAM write; its CPU control register takes 1 to hold the processor in reset, 0 to run.
inline constexpr uint8_t kControllerRamWrite = 0xA0;
inline constexpr uint16_t kCpuControlRegister = 0xE600;

// Stream FIFOs: one clearing request per way of clearing (the caller's TimeMethod), and the status word.
inline constexpr uint8_t kClearFifoMethod0Request = 0x35;
inline constexpr uint8_t kClearFifoMethod1Request = 0x34;
inline constexpr uint8_t kClearFifoMethod5Request = 0x38;
inline constexpr uint8_t kClearFifoMethod86Request = 0x36;
inline constexpr uint8_t kStreamStatusRequest = 0xB4;

// EEPROM (byte address in wValue) and what the library keeps in it; flash (word address in wValue and
// wIndex) and its sector erase.
inline constexpr uint8_t kEepromRequest = 0xA2;
inline constexpr uint16_t kRangeLimitsAddress = 0x1D00;
inline constexpr uint16_t kCalReferenceAddress = 0x1DF2;
inline constexpr uint16_t kSerialNumberAddress = 0x1DF8;
inline constexpr uint32_t kCustomEepromBase = 0x1E00;  // EEPROM address of custom byte 0
inline constexpr uint8_t kFlashRequest = 0xB5;
inline constexpr uint8_t kFlashEraseRequest = 0xFC;
// The custom area's size, the flash's sector size and reach, and the pieces writes go in.
inline constexpr uint32_t kCustomEepromSize = 0x100;
inline constexpr uint32_t kFlashSectorSize = 0x10000;
inline constexpr uint32_t kFlashReadLimit = 0x100000;   // reads reach the first 1 MiB
inline constexpr uint32_t kFlashWriteLimit = 0x200000;  // writes the whole 2 MiB
inline constexpr uint32_t kFlashWritePiece = 4096;
inline constexpr uint32_t kEepromWritePiece = 32;

// The newer firmware's functions share one request code; wIndex selects the function. Changes to the
// power-on defaults need the access code in wValue.
inline constexpr uint8_t kNewerFunctionRequest = 0x3C;
inline constexpr uint16_t kDefaultsAccessCode = 0x4E9B;
inline constexpr uint16_t kSaveDefaultsIndex = 0x10;
inline constexpr uint16_t kRestoreFactoryDefaultsIndex = 0x11;
inline constexpr uint16_t kReadDefaultsTableIndex = 0x20;
inline constexpr uint16_t kWriteDefaultsTableIndex = 0x22;
inline constexpr uint16_t kDebounceConfigIndex = 0x51;
inline constexpr uint16_t kLatchDivisorIndex = 0x63;
inline constexpr uint16_t kPwmIndex = 0x71;
inline constexpr uint16_t kAutomapTableIndex = 0x81;
inline constexpr uint16_t kAutomapClearIndex = 0x82;
inline constexpr uint16_t kAutomapDivisorIndex = 0x83;
inline constexpr uint16_t kAutomapEntryIndex = 0x84;
inline constexpr uint16_t kGlobalTickIndex = 0x8001;

// Analog inputs: the configuration block, sample counts and starts, calibration, the fast-scan switch.
// The calibration query is answered with the table request's code; tables go out on the table pipe.
inline constexpr uint8_t kAdcReadBlockRequest = 0xD2;
inline constexpr uint8_t kAdcWriteBlockRequest = 0xBE;
inline constexpr uint8_t kAdcSampleCountRequest = 0xBC;  // wValue: count bits 16-31, wIndex: bits 0-15
inline constexpr uint8_t kAdcStartRequest = 0xBF;        // wIndex: the channel
inline constexpr uint8_t kAdcCalQueryRequest = 0xBA;
inline constexpr uint8_t kAdcCalQueryReply = 0xBB;
inline constexpr uint8_t kAdcCalTableRequest = 0xBB;
inline constexpr uint8_t kAdcFastScanRequest = 0xD4;
inline constexpr uint16_t kAdcFastScanValue = 0x1E;
inline constexpr uint8_t kAdcSamplePipe = 0x86;
inline constexpr uint8_t kAdcTablePipe = 0x02;

// Analog outputs: immediate values, the board-wide range, the calibration reset, and the streamed
// player (the control request's wValue says what to do; the divisor request's wIndex sets the rate).
inline constexpr uint8_t kDacDirectRequest = 0xB3;
inline constexpr uint8_t kDacBoardRangeRequest = 0xB7;
inline constexpr uint8_t kDacCalResetRequest = 0xF0;
inline constexpr uint8_t kDacStreamControlRequest = 0xB0;
inline constexpr uint16_t kDacStreamReset = 0x80;
inline constexpr uint16_t kDacStreamStart = 0x01;
inline constexpr uint16_t kDacInterlockOn = 0x20;
inline constexpr uint16_t kDacInterlockOff = 0x00;
inline constexpr uint8_t kDacStreamPrepareRequest = 0xB1;
inline constexpr uint8_t kDacStreamDivisorRequest = 0xB2;
inline constexpr uint8_t kDacSamplePipe = 0x02;

// Digital ports, their reads of latched and debounced inputs, the offline word, the CSA functions
// (debounce: wIndex selects setting or reading; SPI; sync), and digital streaming.
inline constexpr uint8_t kDioWriteOutputsRequest = 0x10;
inline constexpr uint8_t kDioReadInputsRequest = 0x11;  // also the CSA's read of all ports
inline constexpr uint8_t kDioConfigureRequest = 0x12;
inline constexpr uint8_t kDioQueryConfigurationRequest = 0x13;
inline constexpr uint8_t kDioLatchReadRequest = 0x14;
inline constexpr uint8_t kDioDebounceReadRequest = 0x15;
inline constexpr uint8_t kDioOfflineWordRequest = 0x50;
inline constexpr uint8_t kCsaDebounceRequest = 0x18;
inline constexpr uint16_t kCsaDebounceSetIndex = 0x0100;
inline constexpr uint16_t kCsaDebounceReadAllIndex = 0x0101;
inline constexpr uint8_t kSpiWriteRequest = 0xC0;
inline constexpr uint8_t kSpiReadRequest = 0xC1;
inline constexpr uint8_t kSyncRequest = 0xC4;
inline constexpr uint8_t kDioStreamOpenForReadingRequest = 0xBC;
inline constexpr uint8_t kDioStreamOpenForWritingRequest = 0xBB;
inline constexpr uint8_t kDioStreamClocksRequest = 0xBD;
inline constexpr uint8_t kDioStreamPipeIn = 0x86;
inline constexpr uint8_t kDioStreamPipeOut = 0x02;

// 8254 counters (the block in the low byte of wValue) and the gate waits, whose edges come back on one
// bulk pipe per watched gate.
inline constexpr uint8_t kCtrReadRequest = 0x20;
inline constexpr uint8_t kCtrModeRequest = 0x21;
inline constexpr uint8_t kCtrLoadRequest = 0x22;
inline constexpr uint8_t kCtrModeLoadRequest = 0x23;
inline constexpr uint8_t kCtrSelectGateRequest = 0x24;
inline constexpr uint8_t kCtrReadAllRequest = 0x25;
inline constexpr uint8_t kCtrReadLatchedRequest = 0x26;
inline constexpr uint8_t kCtrSetWaitGatesRequest = 0x27;
inline constexpr uint8_t kCtrEndWaitGatesRequest = 0x29;
inline constexpr uint8_t kCtrGateEndpoints[2] = {0x82, 0x86};

}  // namespace korval::usb
