// What the simulated firmware answers on the wire: its vendor request codes, the wIndex values that
// select a function of a shared request code, its bulk endpoints and the EEPROM cells it gives a
// meaning to. The firmware model keeps its own list, written from the boards' side: a code the library
// gets wrong is then caught by the tests that watch the traffic between the two.
#pragma once

#include <cstdint>

namespace korval::sim {

// Vendor request codes, by the part of the board that answers them.
enum VendorRequest : uint8_t {
    // Identity and the USB controller
    kReqProductName = 0x06,  // wValue 0x0302: the product string, served by the descriptors
    kReqControllerRam = 0xA0,
    kReqFirmwareLevel = 0xA3,
    // Nonvolatile memory
    kReqEeprom = 0xA2,
    kReqFlash = 0xB5,
    kReqFlashErase = 0xFC,
    // The newer firmware's functions, one code for all; wIndex selects (FunctionSelector below)
    kReqNewerFunction = 0x3C,
    // Stream FIFOs
    kReqClearFifo34 = 0x34,
    kReqClearFifo35 = 0x35,
    kReqClearFifo36 = 0x36,
    kReqClearFifo38 = 0x38,
    kReqStreamStatus = 0xB4,
    // Analog inputs
    kReqAdcCalQuery = 0xBA,
    kReqAdcCalTable = 0xBB,
    kReqAdcSampleCount = 0xBC,
    kReqAdcWriteBlock = 0xBE,
    kReqAdcStart = 0xBF,
    kReqAdcReadBlock = 0xD2,
    kReqAdcFastScan = 0xD4,
    // Analog outputs
    kReqDacStreamControl = 0xB0,
    kReqDacStreamPrepare = 0xB1,
    kReqDacStreamDivisor = 0xB2,
    kReqDacImmediate = 0xB3,
    kReqDacBoardRange = 0xB7,
    kReqDacCalReset = 0xF0,
    // Digital ports, streaming and the CSA functions
    kReqDioWrite = 0x10,
    kReqDioRead = 0x11,
    kReqDioConfigure = 0x12,
    kReqDioQuery = 0x13,
    kReqDioLatchRead = 0x14,
    kReqDioDebounceRead = 0x15,
    kReqCsaDebounce = 0x18,
    kReqOfflineWord = 0x50,
    kReqDioStreamWrite = 0xBB,  // open the stream to the board
    kReqDioStreamRead = 0xBC,   // open the stream from the board
    kReqDioStreamClocks = 0xBD,
    kReqSpiWrite = 0xC0,
    kReqSpiRead = 0xC1,
    kReqCsaSync = 0xC4,
    // 8254 counters
    kReqCtrRead = 0x20,
    kReqCtrMode = 0x21,
    kReqCtrLoad = 0x22,
    kReqCtrModeLoad = 0x23,
    kReqCtrSelectGate = 0x24,
    kReqCtrReadAll = 0x25,
    kReqCtrReadLatched = 0x26,
    kReqCtrWaitGates = 0x27,
    kReqCtrEndWaitGates = 0x29,
};

// wIndex of the requests whose code is shared: the newer firmware's functions and the CSA debounce.
enum FunctionSelector : uint16_t {
    kSelSaveDefaults = 0x10,
    kSelRestoreDefaults = 0x11,
    kSelReadDefaults = 0x20,
    kSelWriteDefaults = 0x22,
    kSelDebounceConfig = 0x51,
    kSelLatchDivisor = 0x63,
    kSelPwm = 0x71,
    kSelAutomapTable = 0x81,
    kSelAutomapClear = 0x82,
    kSelAutomapDivisor = 0x83,
    kSelAutomapEntry = 0x84,
    kSelCsaDebounceSet = 0x0100,
    kSelCsaDebounceRead = 0x0101,
    kSelGlobalTick = 0x8001,
};

// wValue of the requests that change the power-on defaults: without it a board stalls them.
inline constexpr uint16_t kDefaultsAccessCode = 0x4E9B;

// wValue of the fast-scan switch (kReqAdcFastScan); other values name settings the firmware lacks.
inline constexpr uint16_t kAdcFastScanSetting = 0x1E;

// Bulk endpoints: one OUT, two IN.
enum BulkEndpoint : uint8_t {
    kEpOut = 0x02,    // calibration tables, analog-output points, digital points to the board
    kEpGateA = 0x82,  // the first watched counter gate
    kEpIn = 0x86,     // samples, digital points from the board, the second watched gate
};

// EEPROM cells with a meaning of their own, and the controller's CPU control register.
enum WireAddress : uint32_t {
    kAddrCalReference = 0x1DF2,  // the high reference's count, 16-bit little-endian
    kAddrSerialNumber = 0x1DF8,  // 8 bytes, little-endian
    kAddrCpuControl = 0xE600,    // controller RAM
};

}  // namespace korval::sim
