/*
 * Korval: host-side driver library for the Korval family of USB data-acquisition boards.
 *
 * Every function names a board by its device index and returns a Win32 error number (0 on success),
 * unless its comment says otherwise. Device indexes 0 to 31 name a slot of the library's device table;
 * FirstDeviceIndex and OnlyDeviceIndex name the lowest and the only slot that holds a board.
 *
 * Every function is exported under its plain name; most also under "_Name" (the same entry point) and
 * "VBName" (a forwarder for Visual Basic callers taking the same arguments).
 *
 * This header is C and C++. It may be included together with <windows.h>: result codes that Windows
 * already defines are left as Windows defines them.
 */
#ifndef KORVAL_KORVAL_H
#define KORVAL_KORVAL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define KORVAL_API
#else
#define KORVAL_API __attribute__((visibility("default")))
#endif

/* ---- Device indexes ------------------------------------------------------------------------------ */

#define FirstDeviceIndex 0xFFFFFFFEu /* the lowest slot that holds a board */
#define OnlyDeviceIndex 0xFFFFFFFDu  /* the one slot that holds a board; 52 when there are several */
#define KORVAL_SLOT_COUNT 32u
#define KORVAL_NO_SLOT 0xFFFFFFFFu   /* failure value of the functions that return a slot number */

/* ---- Result codes -------------------------------------------------------------------------------- */

/* Every code the library produces, by its Win32 name. X(name, value) */
#define KORVAL_RESULT_CODES(X)              \
    X(ERROR_SUCCESS, 0)                     \
    X(ERROR_FILE_NOT_FOUND, 2)              \
    X(ERROR_TOO_MANY_OPEN_FILES, 4)         \
    X(ERROR_INVALID_HANDLE, 6)              \
    X(ERROR_NOT_ENOUGH_MEMORY, 8)           \
    X(ERROR_INVALID_DATA, 13)               \
    X(ERROR_OUTOFMEMORY, 14)                \
    X(ERROR_NOT_READY, 21)                  \
    X(ERROR_BAD_LENGTH, 24)                 \
    X(ERROR_SEEK, 25)                       \
    X(ERROR_READ_FAULT, 30)                 \
    X(ERROR_GEN_FAILURE, 31)                \
    X(ERROR_SHARING_VIOLATION, 32)          \
    X(ERROR_HANDLE_EOF, 38)                 \
    X(ERROR_NOT_SUPPORTED, 50)              \
    X(ERROR_DUP_NAME, 52)                   \
    X(ERROR_INVALID_PARAMETER, 87)          \
    X(ERROR_INSUFFICIENT_BUFFER, 122)       \
    X(ERROR_MOD_NOT_FOUND, 126)             \
    X(ERROR_ALREADY_EXISTS, 183)            \
    X(ERROR_INVALID_ADDRESS, 487)           \
    X(ERROR_OPERATION_ABORTED, 995)         \
    X(ERROR_NOACCESS, 998)                  \
    X(ERROR_NO_DATA_DETECTED, 1104)         \
    X(ERROR_DEVICE_NOT_CONNECTED, 1167)     \
    X(ERROR_BAD_TOKEN_TYPE, 1349)           \
    X(ERROR_INTERNAL_ERROR, 1359)           \
    X(ERROR_INVALID_INDEX, 1413)            \
    X(ERROR_TIMEOUT, 1460)                  \
    X(ERROR_DEVICE_REMOVED, 1617)           \
    X(ERROR_INVALID_USER_BUFFER, 1784)

#ifndef ERROR_SUCCESS
#define ERROR_SUCCESS 0u
#endif
#ifndef ERROR_FILE_NOT_FOUND
#define ERROR_FILE_NOT_FOUND 2u
#endif
#ifndef ERROR_TOO_MANY_OPEN_FILES
#define ERROR_TOO_MANY_OPEN_FILES 4u
#endif
#ifndef ERROR_INVALID_HANDLE
#define ERROR_INVALID_HANDLE 6u
#endif
#ifndef ERROR_NOT_ENOUGH_MEMORY
#define ERROR_NOT_ENOUGH_MEMORY 8u
#endif
#ifndef ERROR_INVALID_DATA
#define ERROR_INVALID_DATA 13u
#endif
#ifndef ERROR_OUTOFMEMORY
#define ERROR_OUTOFMEMORY 14u
#endif
#ifndef ERROR_NOT_READY
#define ERROR_NOT_READY 21u
#endif
#ifndef ERROR_BAD_LENGTH
#define ERROR_BAD_LENGTH 24u
#endif
#ifndef ERROR_SEEK
#define ERROR_SEEK 25u
#endif
#ifndef ERROR_READ_FAULT
#define ERROR_READ_FAULT 30u
#endif
#ifndef ERROR_GEN_FAILURE
#define ERROR_GEN_FAILURE 31u
#endif
#ifndef ERROR_SHARING_VIOLATION
#define ERROR_SHARING_VIOLATION 32u
#endif
#ifndef ERROR_HANDLE_EOF
#define ERROR_HANDLE_EOF 38u
#endif
#ifndef ERROR_NOT_SUPPORTED
#define ERROR_NOT_SUPPORTED 50u
#endif
#ifndef ERROR_DUP_NAME
#define ERROR_DUP_NAME 52u
#endif
#ifndef ERROR_INVALID_PARAMETER
#define ERROR_INVALID_PARAMETER 87u
#endif
#ifndef ERROR_INSUFFICIENT_BUFFER
#define ERROR_INSUFFICIENT_BUFFER 122u
#endif
#ifndef ERROR_MOD_NOT_FOUND
#define ERROR_MOD_NOT_FOUND 126u
#endif
#ifndef ERROR_ALREADY_EXISTS
#define ERROR_ALREADY_EXISTS 183u
#endif
#ifndef ERROR_INVALID_ADDRESS
#define ERROR_INVALID_ADDRESS 487u
#endif
#ifndef ERROR_OPERATION_ABORTED
#define ERROR_OPERATION_ABORTED 995u
#endif
#ifndef ERROR_NOACCESS
#define ERROR_NOACCESS 998u
#endif
#ifndef ERROR_NO_DATA_DETECTED
#define ERROR_NO_DATA_DETECTED 1104u
#endif
#ifndef ERROR_DEVICE_NOT_CONNECTED
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#endif
#ifndef ERROR_BAD_TOKEN_TYPE
#define ERROR_BAD_TOKEN_TYPE 1349u
#endif
#ifndef ERROR_INTERNAL_ERROR
#define ERROR_INTERNAL_ERROR 1359u
#endif
#ifndef ERROR_INVALID_INDEX
#define ERROR_INVALID_INDEX 1413u
#endif
#ifndef ERROR_TIMEOUT
#define ERROR_TIMEOUT 1460u
#endif
#ifndef ERROR_DEVICE_REMOVED
#define ERROR_DEVICE_REMOVED 1617u
#endif
#ifndef ERROR_INVALID_USER_BUFFER
#define ERROR_INVALID_USER_BUFFER 1784u
#endif

/* The Win32 name of a result code ("ERROR_DEVICE_REMOVED"), or NULL for a code the library never
   produces itself. Header-only: it needs no export. */
static inline const char *KORVAL_ResultName(uint32_t code)
{
    switch (code) {
#define KORVAL_RESULT_NAME_CASE(name, value) \
    case value:                              \
        return #name;
        KORVAL_RESULT_CODES(KORVAL_RESULT_NAME_CASE)
#undef KORVAL_RESULT_NAME_CASE
    default:
        return NULL;
    }
}

/* ---- Library frame and device table ---------------------------------------------------------------- */

/* The slot a device index names. Sets the thread's last-error value to the resolution's result (0 on
   success) and returns the slot, or KORVAL_NO_SLOT on failure. 0 to 31 are returned unchanged. */
KORVAL_API uint32_t ResolveDeviceIndex(uint32_t DeviceIndex);

/* There is no device-selection dialog: always 50 (ERROR_NOT_SUPPORTED); the arguments are ignored. */
KORVAL_API uint32_t SelectDeviceViaUI(uintptr_t Arg1, uintptr_t Arg2, uintptr_t Arg3, uintptr_t Arg4,
                                      uintptr_t Arg5, uintptr_t Arg6, uintptr_t Arg7);

/* Looks for boards attached since the last look, opens every slot's board and returns a mask of the
   usable slots (bit n = slot n). */
KORVAL_API uint32_t GetDevices(void);

/* Frees every slot whose board has gone and checks each named board still open. Always 0. */
KORVAL_API uint32_t ClearDevices(void);

/* Closes the board of a slot, or clears the slot's removal mark. 6 when the slot holds nothing. */
KORVAL_API uint32_t KORVAL_CloseDevice(uint32_t DeviceIndex);

/* ---- Vendor control requests ------------------------------------------------------------------------ */

/* Device-to-host vendor request. *pDataSize: in, the bytes wanted (pData's size); out, the bytes the
   board sent. Bytes of pData beyond that count are left as they were. */
KORVAL_API uint32_t GenericVendorRead(uint32_t DeviceIndex, uint8_t Request, uint16_t RequestValue,
                                      uint16_t RequestIndex, uint32_t *pDataSize, void *pData);

/* Host-to-device vendor request with DataSize bytes of pData as its data stage (none when 0). */
KORVAL_API uint32_t GenericVendorWrite(uint32_t DeviceIndex, uint8_t Request, uint16_t RequestValue,
                                       uint16_t RequestIndex, uint32_t DataSize, const void *pData);

/* ---- Identification ---------------------------------------------------------------------------------- */

/* What board sits at an index: its product ID, its product name (8-bit characters, no terminating zero),
   its number of digital ports and of counter blocks. Every pointer may be NULL. *pNameSize: in, the
   room in pName in characters; out, the name's full length (even when fewer characters were copied).
   On an empty slot, looks for newly attached boards first. */
KORVAL_API uint32_t QueryDeviceInfo(uint32_t DeviceIndex, uint32_t *pPID, uint32_t *pNameSize, void *pName,
                                    uint32_t *pDIOBytes, uint32_t *pCounters);

/* The board's 64-bit serial number. 50 (ERROR_NOT_SUPPORTED) with 0xFFFFFFFFFFFFFFFF for a board that
   has none. GetDeviceUniqueStr copies its low *pUniqueSize bytes (at most 8), little-endian. */
KORVAL_API uint32_t GetDeviceSerialNumber(uint32_t DeviceIndex, uint64_t *pSerialNumber);
KORVAL_API uint32_t GetDeviceUniqueStr(uint32_t DeviceIndex, const uint32_t *pUniqueSize, void *pUnique);

/* Finding a board: the lowest slot whose board has this serial number, or whose custom EEPROM area holds
   this byte at address 0 / these bytes at StartAddress. KORVAL_NO_SLOT when none does. The two EEPROM
   lookups set the thread's last error: 0, 2 (no match), 52 (more than one board matches; the lowest is
   returned) or 24 (DataSize above 256). GetDeviceByEEPROMData with DataSize 0 is
   ResolveDeviceIndex(FirstDeviceIndex). */
KORVAL_API uint32_t GetDeviceBySerialNumber(uint64_t SerialNumber);
KORVAL_API uint32_t GetDeviceByEEPROMByte(uint8_t EEPROMByte);
KORVAL_API uint32_t GetDeviceByEEPROMData(uint32_t StartAddress, uint32_t DataSize, const void *pData);

/* Driver facts for callers that talk to a board themselves: the low 32 bits of its driver handle, and
   its pipes (PipeId in bits 0-7, WinUSB PipeType from bit 8; 50 on the DeviceIoControl path).
   *pPipeCount: in, the room in pPipes; out, the board's endpoint count. */
KORVAL_API uint32_t GetDeviceHandle(uint32_t DeviceIndex, uint32_t *pHandle);
KORVAL_API uint32_t GetPipes(uint32_t DeviceIndex, uint32_t *pPipeCount, uint32_t *pPipes);

/* What a board can do, as the library knows it from the board's product ID: for programs (and language
   bindings) that adapt to the board instead of trying a call and reading 1349. Flags are 0 or 1. */
typedef struct KorvalCapabilities {
    uint32_t Size;             /* in: sizeof(KorvalCapabilities) as the caller was built with; out: the
                                  bytes filled (later library versions may append fields) */
    uint32_t ProductID;
    uint32_t DriverPath;       /* 0: WinUSB; 1: the DeviceIoControl driver */
    uint32_t DIOBytes;         /* 8-bit digital ports */
    uint32_t DIOConfigBits;    /* bits of the direction mask: one per port, or one per line */
    uint32_t Tristates;        /* bytes of the tristate mask (0: no tristate control) */
    uint32_t Counters;         /* 8254 blocks of three counters */
    uint32_t GateSelectable;   /* counter gates are selectable */
    double RootClock;          /* the counters' clock, hertz */
    uint32_t ADCBulk;          /* the bulk analog-input section (scans, acquisition, configuration block) */
    uint32_t ADCChannels;      /* range slots of the configuration block */
    uint32_t ADCMUXChannels;   /* analog input channels */
    uint32_t ConfigBytes;      /* length of the ADC configuration block (0: none) */
    uint32_t RangeShift;       /* channel c uses range slot c >> RangeShift */
    uint32_t ImmADCs;          /* immediate analog inputs of a board without the bulk section */
    uint32_t ImmDACs;          /* immediate analog outputs */
    uint32_t DACBoardRange;    /* board-wide output range selection */
    uint32_t DACChannelCal;    /* per-channel output calibration tables */
    uint32_t DACStream;        /* waveform output */
    uint32_t DIOStream;        /* digital streaming */
    uint32_t DIOSPI;           /* SPI bus and sync generator */
    uint32_t DIODebounce;      /* input debouncing */
    uint32_t ClearFIFO;        /* stream FIFOs that can be cleared */
    uint32_t SetCustomClocks;
    uint32_t WDGBytes;
    int32_t FlashSectors;      /* 64 KiB flash sectors (0: no flash) */
    uint32_t Reserved;
} KorvalCapabilities;

/* Fills *pCaps with what the board at the index can do. pCaps->Size must be set first: at least 8 (87
   otherwise, and for a null pCaps); the first min(Size, sizeof) bytes are filled and Size becomes that
   count. 998 when *pCaps cannot be read or written. Sends nothing beyond the open check. */
KORVAL_API uint32_t KORVAL_GetCapabilities(uint32_t DeviceIndex, KorvalCapabilities *pCaps);


/* ---- Bulk transfers and stream control --------------------------------------------------------------- */

/* Reads up to DataSize bytes from a bulk IN pipe (PipeID: the endpoint address, bit 7 set, for example
   0x86) straight into pData. *pBytesTransferred: the bytes received, at most DataSize. A short read is a
   success. No time-out: the call waits until the board sends. 87 for a null pBytesTransferred, or a
   null pData with a non-zero DataSize. */
KORVAL_API uint32_t QBT_GenericBulkIn(uint32_t DeviceIndex, uint32_t PipeID, void *pData, uint32_t DataSize,
                                      uint32_t *pBytesTransferred);

/* Writes DataSize bytes of pData to a bulk OUT pipe (for example 0x02); the same rules as QBT_GenericBulkIn. */
KORVAL_API uint32_t QBT_GenericBulkOut(uint32_t DeviceIndex, uint32_t PipeID, const void *pData,
                                       uint32_t DataSize, uint32_t *pBytesTransferred);

/* The boards have one interface: 50 (ERROR_NOT_SUPPORTED) for an open board, nothing is sent. */
KORVAL_API uint32_t DEB_SetInterface(uint32_t DeviceIndex, uint16_t InterfaceNumber);

/* Not offered: always 50, whatever the arguments (the device index is not looked at). */
KORVAL_API uint32_t DEB_BulkIn(uint32_t DeviceIndex, uint32_t PipeID, void *pData, uint32_t DataSize);

/* QBT_GenericBulkOut without the byte count. */
KORVAL_API uint32_t DEB_BulkOut(uint32_t DeviceIndex, uint32_t PipeID, const void *pData, uint32_t DataSize);

/* Clears the board's stream FIFOs. TimeMethod 0, 1, 5 or 86 chooses the firmware's way of clearing;
   any other value is 87. 1349 on a board without stream FIFOs. */
KORVAL_API uint32_t KORVAL_ClearFIFO(uint32_t DeviceIndex, uint32_t TimeMethod);

/* The board's 32-bit stream status word (its bits are the firmware's). A reply shorter than 4 bytes
   leaves the missing high bytes 0. 1349 on a board without stream FIFOs. */
KORVAL_API uint32_t KORVAL_GetStreamStatus(uint32_t DeviceIndex, uint32_t *pStatus);

/* The largest single streaming transfer: bytes for ADC bulk reads, 16-bit points for digital streams.
   1 to 0x1F00000, raised to a multiple of 512 on ADC boards and of 256 on streaming digital boards.
   Kept by the library; nothing is sent. 1349 on a board with neither stream. */
KORVAL_API uint32_t KORVAL_SetStreamingBlockSize(uint32_t DeviceIndex, uint32_t BlockSize);

/* Holds the board's USB controller in reset and releases it, so that its firmware starts again. */
KORVAL_API uint32_t KORVAL_ResetChip(uint32_t DeviceIndex);

/* Not offered: always 50, whatever the arguments. */
KORVAL_API uint32_t KORVAL_UploadFirmware(uint32_t DeviceIndex, const void *pFirmware, uint32_t FirmwareSize);

/* ---- Nonvolatile memory and power-on defaults -------------------------------------------------------- */

/* The EEPROM's custom area: 256 bytes (addresses 0x00 to 0xFF) the application may use as it likes.
   *pDataSize: in, the bytes wanted; out, the bytes read. 25 for an address above 0xFF, 24 for a count
   that runs past the area (both tested before the device index). Writes go in pieces of 32 bytes. */
KORVAL_API uint32_t CustomEEPROMRead(uint32_t DeviceIndex, uint32_t StartAddress, uint32_t *pDataSize, void *pData);
KORVAL_API uint32_t CustomEEPROMWrite(uint32_t DeviceIndex, uint32_t StartAddress, uint32_t DataSize,
                                      const void *pData);

/* The flash, in 64 KiB sectors, on boards that have it (1349 otherwise). Reads reach the first 1 MiB,
   writes the whole 2 MiB; counts are whole 16-bit words (an odd count loses its last byte, and a read
   writes the even count back). A write only clears bits: erase a sector before writing it. */
KORVAL_API uint32_t KORVAL_FlashRead(uint32_t DeviceIndex, uint32_t StartAddress, uint32_t *pDataSize, void *pData);
KORVAL_API uint32_t KORVAL_FlashWrite(uint32_t DeviceIndex, uint32_t StartAddress, uint32_t DataSize,
                                      const void *pData);
KORVAL_API uint32_t KORVAL_FlashEraseSector(uint32_t DeviceIndex, int32_t Sector);

/* Power-on defaults, on boards whose firmware has the newer feature set (50 otherwise): save the
   board's present state as its defaults, go back to the factory's, or move the defaults table (at most
   1,024 bytes, 24 beyond) in either direction. *pTableSize: for Set, the bytes to send; for Get, in the
   buffer's size, out the bytes received (a failed read leaves buffer and count as they were). */
KORVAL_API uint32_t KORVAL_SaveStateAsDefaults(uint32_t DeviceIndex);
KORVAL_API uint32_t KORVAL_RestoreFactoryDefaults(uint32_t DeviceIndex);
KORVAL_API uint32_t KORVAL_SetDefaultsTable(uint32_t DeviceIndex, const void *pTable, const uint32_t *pTableSize);
KORVAL_API uint32_t KORVAL_GetDefaultsTable(uint32_t DeviceIndex, void *pTable, uint32_t *pTableSize);



/* ---- ADC configuration block ------------------------------------------------------------------------- */

/* The board's ADC configuration block (20 or 21 bytes by product): range codes of range slots 0 to 15,
   calibration mode (16), trigger (17), scan limits (18, and 20 on 21-byte blocks), oversample (19).
   Range code bits 0-2: gain code 0 0..10 V, 1 +-10 V, 2 0..5 V, 3 +-5 V, 4 0..2 V, 5 +-2 V, 6 0..1 V,
   7 +-1 V; bits 3-7: the caller's flag. Channel c uses range slot c >> the product's range shift. */
#define KORVAL_ADC_CONFIG_MAX 21u

/* Reads the block into pConfigBuf. *pConfigBufSize: in, the buffer's size; out, the block's size. A
   buffer too small gives 122 with the size needed in *pConfigBufSize. 1349 on a board without a block. */
KORVAL_API uint32_t ADC_GetConfig(uint32_t DeviceIndex, uint8_t *pConfigBuf, uint32_t *pConfigBufSize);

/* Writes the whole block from pConfigBuf (its content is not examined); sizes as ADC_GetConfig. */
KORVAL_API uint32_t ADC_SetConfig(uint32_t DeviceIndex, const uint8_t *pConfigBuf, uint32_t *pConfigBufSize);

/* Sets the gain code of every range slot from pGainCodes (one byte per range slot, each 0 to 7; 13
   when one is larger) with RangeFlag in bits 3-7 of each code. */
KORVAL_API uint32_t ADC_RangeAll(uint32_t DeviceIndex, const uint8_t *pGainCodes, uint32_t RangeFlag);

/* Sets the gain code (0 to 7) of one range slot with RangeFlag in bits 3-7. 487 for a slot beyond the
   board's; a range slot may cover several channels. */
KORVAL_API uint32_t ADC_Range1(uint32_t DeviceIndex, uint32_t ADChannel, uint8_t GainCode, uint32_t RangeFlag);

/* Sets the trigger byte (any value) and the calibration mode (0 normal; 1, 3, 5, 7 reference modes). */
KORVAL_API uint32_t ADC_ADMode(uint32_t DeviceIndex, uint8_t TriggerMode, uint8_t CalMode);

/* Sets the channels a scan covers, StartChannel to EndChannel (87 when reversed or beyond the board). */
KORVAL_API uint32_t ADC_SetScanLimits(uint32_t DeviceIndex, uint32_t StartChannel, uint32_t EndChannel);

/* Sets the extra samples taken per channel in one scan (each channel gives Oversample + 1). */
KORVAL_API uint32_t ADC_SetOversample(uint32_t DeviceIndex, uint8_t Oversample);

/* ---- Analog input: scans, one-shot acquisition, calibration ------------------------------------------ */

/* Sends the start request that begins a conversion the board has been told to expect; reads nothing
   (*pData is set to 0). 4 while a one-shot acquisition still has bytes to read. */
KORVAL_API uint32_t ADC_GetImmediate(uint32_t DeviceIndex, uint16_t Channel, uint16_t *pData);

/* One scan of the configured channels, started at once: every channel from the start to the end
   channel is sampled Oversample + 1 times (Oversample raised to 1, and lowered so that a scan takes at
   most 1,024 samples; the board keeps the block as the scan wrote it), the first sample of each channel
   is dropped and the rest averaged. ADC_GetScan gives counts (rounded, halves to even), ADC_GetScanV
   volts by each channel's range. The arrays are indexed by channel; only the scanned elements are
   written. Boards without the bulk section read their immediate inputs (0 to 5 V). 1460 when the
   samples do not come. */
KORVAL_API uint32_t ADC_GetScan(uint32_t DeviceIndex, uint16_t *pBuf);
KORVAL_API uint32_t ADC_GetScanV(uint32_t DeviceIndex, double *pVolts);

/* One channel of a volts scan; a quiet NaN for a channel outside the configured scan. 1413 for a
   channel the board does not have. */
KORVAL_API uint32_t ADC_GetChannelV(uint32_t DeviceIndex, uint32_t ChannelIndex, double *pVolt);

/* A scan left to the board's trigger (the trigger byte's start source is kept). When no trigger has
   come after TimeoutMS milliseconds (at least 1), the library starts the scan itself and returns 1460:
   ADC_GetTrigScanV still delivers that scan's values, ADC_GetTrigScan writes nothing. */
KORVAL_API uint32_t ADC_GetTrigScan(uint32_t DeviceIndex, uint16_t *pBuf, int32_t TimeoutMS);
KORVAL_API uint32_t ADC_GetTrigScanV(uint32_t DeviceIndex, double *pVolts, int32_t TimeoutMS);

/* Check the board only: 0 for a board with the bulk analog input. */
KORVAL_API uint32_t ADC_Start(uint32_t DeviceIndex);
KORVAL_API uint32_t ADC_Stop(uint32_t DeviceIndex);

/* Starts a one-shot acquisition of BufSize bytes (two per sample; even, at most 0x7FFFFFFF) into
   pBuf, read in the background as the board sends them. The board starts sampling as its trigger byte
   says; no start request is sent. pBuf must stay valid until the acquisition has ended. 4 while another
   acquisition runs on the board. */
KORVAL_API uint32_t ADC_BulkAcquire(uint32_t DeviceIndex, uint32_t BufSize, void *pBuf);
/* The bytes still to come (0: done). An acquisition that failed returns its code instead: 995 after an
   abort, 1460 when the board stopped sending, 1617 when it was unplugged. 2 when none was started. */
KORVAL_API uint32_t ADC_BulkPoll(uint32_t DeviceIndex, int32_t *pBytesLeft);
/* Ends a running acquisition (its poll then gives 995); for one that has ended, its result. Exported
   under this name only. */
KORVAL_API uint32_t ADC_BulkAbort(uint32_t DeviceIndex);

/* 0 when the board takes an ADC calibration table, 50 when it does not. */
KORVAL_API uint32_t ADC_QueryCal(uint32_t DeviceIndex);
/* Loads the board's ADC calibration: ":AUTO:" measures the board's two references and uploads the
   tables that fit them (13 when a reading is out of its window), ":NORM:" the nominal tables,
   ":1TO1:" or ":NONE:" the identity, any other name a file of exactly 65,536 little-endian 16-bit
   entries (38 when shorter; bytes beyond are ignored). Names are case-sensitive; another name starting
   with ":" gives 126. The configuration block is the caller's again afterwards. */
KORVAL_API uint32_t ADC_SetCal(uint32_t DeviceIndex, const char *pCalFileName);
/* The board's low (CalRefIndex 0) or high (1) reference in volts, measured in the range of range slot
   0; 1413 for another index. The configuration block is the caller's again afterwards. */
KORVAL_API uint32_t ADC_GetCalRefV(uint32_t DeviceIndex, uint32_t CalRefIndex, double *pRef);
/* ADC_SetConfig when pConfigBuf is not null and *pConfigBufSize is not 0, then ADC_SetCal when
   pCalFileName is not null. */
KORVAL_API uint32_t ADC_Initialize(uint32_t DeviceIndex, const uint8_t *pConfigBuf, uint32_t *pConfigBufSize,
                                   const char *pCalFileName);

/* ---- Continuous acquisition --------------------------------------------------------------------------- */

#if defined(_WIN32)
#define KORVAL_CALLBACK __stdcall
#else
#define KORVAL_CALLBACK
#endif

/* Flags of a continuous-acquisition callback; 1 and 4 can come together. */
#define KORVAL_CONT_NEW_BLOCK 1u /* the first buffer after a new sample-count request to the board */
#define KORVAL_CONT_FINAL 2u     /* the last call: pBuf NULL, BufSize 0 */
#define KORVAL_CONT_GROWN 4u     /* no blank buffer was left: the ring grew by this one */

/* Called on the library's buffer thread, one call at a time, in the order the buffers were filled.
   pBuf holds BufSize bytes of the board's 16-bit samples as received and is valid only during the call.
   Context is the value given to ADC_BulkContinuousStart. */
typedef void(KORVAL_CALLBACK *PContCallback)(uint16_t *pBuf, uint32_t BufSize, uint32_t Flags, uint32_t Context);

/* Starts an endless acquisition into a ring of BufCount buffers of BufSize bytes each (a multiple of
   512: 1784 otherwise; 87 for a size of 0, a count below 1, a NULL callback, or BufSize x BufCount
   beyond 4 GiB - 1). The board is told the next sample count every BufSize x BufCount bytes. A callback
   that falls behind makes the ring grow (flag 4); no data is dropped. 4 while an acquisition of either
   kind runs on the board, 8 when the ring cannot be allocated. */
KORVAL_API uint32_t ADC_BulkContinuousStart(uint32_t DeviceIndex, uint32_t BufSize, int32_t BufCount,
                                            uint32_t Context, PContCallback pCallback);

/* Ends the acquisition: stops both threads (also when the board stopped sending or was unplugged),
   delivers the filled buffers still waiting, makes the final flag-2 call, and frees the ring. *pIOStatus
   (pIOStatus may be NULL) gets 0, or the code of the failure that ended the stream (1617 after an
   unplug). Returns 38 when no acquisition runs, the open check's code (after ending the acquisition)
   when the board has gone, and 50 when called from inside the callback. */
KORVAL_API uint32_t ADC_BulkContinuousEnd(uint32_t DeviceIndex, uint32_t *pIOStatus);

/* The ring's buffers by state: blank, being filled or delivered, and filled waiting for the callback.
   38 when no acquisition runs. Exported under this plain name only. */
KORVAL_API uint32_t ADC_BulkContinuousDebug(uint32_t DeviceIndex, int32_t *pBlanks, int32_t *pAccessings,
                                            int32_t *pGotDatas);

/* ---- Fast internal-trigger scans ------------------------------------------------------------------------ */

/* Saves the board's configuration block, writes a fast-scan block for channels 0 to n - 1 (n the
   board's channels, at most 64) and switches the board to its fast-scan setting. */
KORVAL_API uint32_t ADC_InitFastITScanV(uint32_t DeviceIndex);
/* Writes the saved block back and switches the fast-scan setting off (122 before any init). */
KORVAL_API uint32_t ADC_ResetFastITScanV(uint32_t DeviceIndex);
/* Scans channels 0 to NewChannels - 1 (at most the board's) from now on; 21 before any init, 87 for 0. */
KORVAL_API uint32_t ADC_SetFastITScanVChannels(uint32_t DeviceIndex, uint32_t NewChannels);
/* One fast scan, in volts: pVolts[c] for every scanned channel c. 1460 when the data does not come
   within 1,000 ms, 38 when it ended short. */
KORVAL_API uint32_t ADC_GetFastITScanV(uint32_t DeviceIndex, double *pVolts);
/* Init, one fast scan, and reset, in one call: the board's block and setting are back when it returns. */
KORVAL_API uint32_t ADC_GetITScanV(uint32_t DeviceIndex, double *pVolts);

/* ---- Immediate DAC output and calibration ------------------------------------------------------------ */

/* One element of DACMultiDirect's list: a DAC channel (0 up) and the count to put out on it. 4 bytes,
   packed, channel first, both little-endian. */
typedef struct KorvalDACPair {
    uint16_t Channel;
    uint16_t Value;
} KorvalDACPair;

/* Puts out a 16-bit count on one DAC channel. 1349 for a board without immediate DACs, 4 while waveform
   output owns the DACs, 487 for a channel the board does not have. */
KORVAL_API uint32_t DACDirect(uint32_t DeviceIndex, uint16_t Channel, uint16_t Value);

/* Sets several channels in one request, from DACDataCount channel/value pairs (a channel named twice
   takes its last value). A count of 0 does nothing; 487 and nothing sent when any channel is out of
   range; 87 for a negative count. */
KORVAL_API uint32_t DACMultiDirect(uint32_t DeviceIndex, const KorvalDACPair *pDACData, int32_t DACDataCount);

/* Selects the board-wide output range; the range codes are the board's. 1349 without range selection. */
KORVAL_API uint32_t DACSetBoardRange(uint32_t DeviceIndex, uint16_t Range);

/* Loads a channel's calibration table into the board's flash from a text file of 65,536 integers, one a
   line (decimal with an optional sign, or hexadecimal after $, x, X, 0x or 0X; the low 16 bits are kept;
   empty lines are skipped). ":1TO1:" or ":NONE:" instead of a file name clears the table. 38 for too few
   entries, 13 for a line that is not an integer; the flash is untouched when the file fails. */
KORVAL_API uint32_t DACSetChannelCal(uint32_t DeviceIndex, uint32_t Channel, const char *pCalFileName);

/* ---- DAC waveform output ----------------------------------------------------------------------------- */

/* A board with streamed analog output plays a waveform from its own buffer at a point rate of
   12,000,000 / divisor points per second. Frames of points (DACOutputSetCount channels each, 5 at first)
   are queued and sent to the board in 8,192-byte blocks by a background worker, which starts the output
   once 163,840 bytes are on their way (or DACOutputStart does). Every function gives 1349 on a board
   without waveform output. Each sample is a 16-bit word: bits 0-11 the DAC code, bit 13 the end of a
   point, bit 14 the end of a frame, bit 15 the end of the waveform. */

/* Opens waveform output at the rate *pClockHz asks for (points per second) and writes the rate obtained
   back. 4 while output is open or closing; 87 for a rate that is not a number, not above 0, or that
   no divisor from 1 to 65,535 gives (about 183.1 to 24,000,000 points per second). */
KORVAL_API uint32_t DACOutputOpen(uint32_t DeviceIndex, double *pClockHz);
/* Another name of DACOutputOpen. */
KORVAL_API uint32_t DACOutputOpenNoClear(uint32_t DeviceIndex, double *pClockHz);

/* Channels per point, 1 to 8 (87 for 0, 14 above 8). 2 when output is not open. */
KORVAL_API uint32_t DACOutputSetCount(uint32_t DeviceIndex, uint32_t NewCount);

/* Queues a frame of FramePoints points (1 to 6,400; 87 for 0, 14 above) of DACOutputSetCount samples
   each; the library keeps bits 0-11 of each sample and sets the end-of-point and end-of-frame bits.
   21, with nothing queued, while more than 32 blocks wait for the board: try again later. */
KORVAL_API uint32_t DACOutputFrame(uint32_t DeviceIndex, uint32_t FramePoints, const uint16_t *pFrameData);
/* As DACOutputFrame, with the caller's words queued exactly as given (the caller sets the tag bits). */
KORVAL_API uint32_t DACOutputFrameRaw(uint32_t DeviceIndex, uint32_t FramePoints, const uint16_t *pFrameData);

/* Starts the output now (183 when already started). */
KORVAL_API uint32_t DACOutputStart(uint32_t DeviceIndex);

/* Turns the board's output interlock on (non-zero) or off. */
KORVAL_API uint32_t DACOutputSetInterlock(uint32_t DeviceIndex, uint32_t bInterlock);

/* Ends waveform output: marks the last sample queued as the end of the waveform, sends every queued
   block to the board and returns when the worker has ended. 1460 when the board stopped taking data
   and blocks had to be dropped; 1617 when the board went before all of them reached it. After an
   unplug the worker is stopped all the same. */
KORVAL_API uint32_t DACOutputClose(uint32_t DeviceIndex);
/* As DACOutputClose without the end-of-waveform mark. */
KORVAL_API uint32_t DACOutputCloseNoEnd(uint32_t DeviceIndex);

/* Plays NumSamples words (fewer than 131,072; 14 otherwise) at *pClockHz without a worker: programs the
   rate (written back), sends the words as they are and starts the output. 4 while output is open;
   1460 when the board takes no data for 2 seconds. */
KORVAL_API uint32_t DACOutputProcess(uint32_t DeviceIndex, double *pClockHz, uint32_t NumSamples,
                                     const uint16_t *pSampleData);

/* Not supported: both return 50 without looking at their argument. */
KORVAL_API uint32_t DACOutputAbort(uint32_t DeviceIndex);
KORVAL_API uint32_t DACOutputStatus(uint32_t DeviceIndex);


/* ---- Digital ports ----------------------------------------------------------------------------------- */

/* Port p is byte p of every port buffer; line n is bit n % 8 of port n / 8. The direction mask
   (pOutMask) has one bit per port, or per line on boards that say so, in as few bytes as hold them;
   the tristate mask likewise. Both go to the board unchanged. The library keeps the last output levels
   it sent (the output cache): single-bit and single-byte writes send the whole cache, changed. */

/* Sets output levels (pData, one byte per port) and directions; bTristate non-zero asks the board to
   float its outputs. The cache takes pData even when the request fails. */
KORVAL_API uint32_t DIO_Configure(uint32_t DeviceIndex, uint8_t bTristate, const void *pOutMask, const void *pData);

/* DIO_Configure with a tristate mask, on boards with tristate control (1349 elsewhere). */
KORVAL_API uint32_t DIO_ConfigureEx(uint32_t DeviceIndex, const void *pOutMask, const void *pData,
                                    const void *pTristateMask);

/* Reads the direction and tristate masks back from the board (boards with tristate control). */
KORVAL_API uint32_t DIO_ConfigurationQuery(uint32_t DeviceIndex, void *pOutMask, void *pTristateMask);

/* Sets (bData non-zero) or clears one output line. 487 for a line beyond the board's. */
KORVAL_API uint32_t DIO_Write1(uint32_t DeviceIndex, uint32_t BitIndex, uint8_t bData);

/* Sets one port's output levels. 487 for a port beyond the board's. */
KORVAL_API uint32_t DIO_Write8(uint32_t DeviceIndex, uint32_t ByteIndex, uint8_t Data);

/* Sets every port's output levels from pData (one byte per port). */
KORVAL_API uint32_t DIO_WriteAll(uint32_t DeviceIndex, const void *pData);

/* Reads one line: *pBit becomes 1 or 0. Reads never change the output cache. */
KORVAL_API uint32_t DIO_Read1(uint32_t DeviceIndex, uint32_t BitIndex, uint8_t *pBit);

/* Reads one port's levels. */
KORVAL_API uint32_t DIO_Read8(uint32_t DeviceIndex, uint32_t ByteIndex, uint8_t *pByte);

/* Reads every port's levels into pData (one byte per port). */
KORVAL_API uint32_t DIO_ReadAll(uint32_t DeviceIndex, void *pData);

/* Writes and reads one 16-bit word at a 32-bit address of the board's offline memory. */
KORVAL_API uint32_t KORVAL_OfflineWrite1(uint32_t DeviceIndex, uint32_t Address, uint16_t Value);
KORVAL_API uint32_t KORVAL_OfflineRead1(uint32_t DeviceIndex, uint32_t Address, uint16_t *pValue);

/* ---- Digital streaming ------------------------------------------------------------------------------- */

/* Boards with digital streaming (1349 elsewhere) move 16-bit points (2 bytes each) between the host and
   the board, paced by two clocks of the board. One stream per board, in one direction. */

/* Opens the stream: bIsRead non-zero for board to host, else host to board. 4 when one is open. The
   stream counts as open even when the board's request fails. */
KORVAL_API uint32_t DIO_StreamOpen(uint32_t DeviceIndex, uint32_t bIsRead);

/* Closes the stream on the host side (2 when none is open). A frame still moving on another thread is
   cancelled. */
KORVAL_API uint32_t DIO_StreamClose(uint32_t DeviceIndex);

/* Programs the two clocks, in hertz (0 turns a clock off; 1,039 Hz to 40 MHz otherwise). Each value is
   written back as the frequency the board will make, whatever the request answers. The stream need
   not be open. 87 for a negative value or one that is not a number (nothing is sent). */
KORVAL_API uint32_t DIO_StreamSetClocks(uint32_t DeviceIndex, double *pClockAHz, double *pClockBHz);

/* Moves a frame of FramePoints points (2 x FramePoints bytes at pFrameData) in the stream's direction,
   in transfers of at most the board's streaming block size (KORVAL_SetStreamingBlockSize, in points).
   *pBytesTransferred gets the bytes moved (0 before anything else). 38 when a block other than the last
   moved fewer bytes than asked; a short last block is not an error. 2 with no stream open, 87 for 0
   points; a buffer that cannot be used gives 1359. */
KORVAL_API uint32_t DIO_StreamFrame(uint32_t DeviceIndex, uint32_t FramePoints, void *pFrameData,
                                    uint32_t *pBytesTransferred);

/* ---- SPI and CSA functions --------------------------------------------------------------------------- */

/* A register of a device on the board's SPI bus: write one byte, or read one into *pData (left as it
   was when the read fails). */
KORVAL_API uint32_t DIO_SPI_Write(uint32_t DeviceIndex, uint8_t SPIAddress, uint8_t Register, uint8_t Data);
KORVAL_API uint32_t DIO_SPI_Read(uint32_t DeviceIndex, uint8_t SPIAddress, uint8_t Register, uint8_t *pData);

/* The sync pulse generator: a rate in hertz (3,000 Hz divided by 1 to 255; below 3000/255.5 Hz the sync
   is off) and three times in milliseconds (whole ticks of 1/3 ms, 0 to 255). Each value is written back
   as the board will run it (all four 0.0 when the sync is off). 87 for a value that is not a number. */
KORVAL_API uint32_t DIO_CSA_DoSync(uint32_t DeviceIndex, double *pRateHz, double *pTimeA, double *pTimeB,
                                   double *pTimeC);

/* Input debouncing: the debounce count (its low 16 bits go to the board), and the board's debounce
   data, 2 bytes per digital port, read into pData. */
KORVAL_API uint32_t DIO_CSA_DebounceSet(uint32_t DeviceIndex, uint32_t DebounceCounts);
KORVAL_API uint32_t DIO_CSA_DebounceReadAll(uint32_t DeviceIndex, void *pData);

/* The DAC range limits the board keeps in its EEPROM: 32 bytes of the caller's, marked as set; clearing
   only removes the mark. */
KORVAL_API uint32_t DAC_CSA_SetRangeLimits(uint32_t DeviceIndex, const void *pData);
KORVAL_API uint32_t DAC_CSA_ClearRangeLimits(uint32_t DeviceIndex);

/* Reads all digital ports over and over, back to back, filling pBuffer with whole snapshots (one byte
   per port each). *pBufferSize: in, the buffer's size; out, the bytes of the whole snapshots stored (0
   on failure). */
KORVAL_API uint32_t DIO_CSA_ReadAllString(uint32_t DeviceIndex, void *pBuffer, uint32_t *pBufferSize);


/* ---- Automap, PWM, latch and debounce ---------------------------------------------------------------- */

/* These need the boards' newer firmware: 50 (ERROR_NOT_SUPPORTED) when the board's firmware lacks it. The
   firmware is asked once per slot. Caller memory that cannot be read or written gives 998. */

/* Clears the board's automap table. */
KORVAL_API uint32_t DIO_Automap_ClearTable(uint32_t DeviceIndex);

/* Loads the whole automap table: *pTableSize bytes of 2-byte entries, at most 64 (24 above). An odd size
   is made even and written back. */
KORVAL_API uint32_t DIO_Automap_SetTable(uint32_t DeviceIndex, const void *pTable, uint32_t *pTableSize);

/* Appends one 16-bit entry to the automap table (sent low byte first). */
KORVAL_API uint32_t DIO_Automap_AddEntry(uint32_t DeviceIndex, const uint16_t *pEntry);

/* Sets the automap tick divisor. */
KORVAL_API uint32_t DIO_Automap_SetTickDivisor(uint32_t DeviceIndex, const uint8_t *pDivisor);

/* Loads the settings of all PWM outputs: the first setting and a table of *pTableSize bytes, at most 16
   (24 above). An odd size is made even and written back. */
KORVAL_API uint32_t DIO_PWM_SetAll(uint32_t DeviceIndex, const uint8_t *pPWMFirst, const void *pTable,
                                   uint32_t *pTableSize);

/* Sets the input latches' divisor. */
KORVAL_API uint32_t DIO_Latch_SetDivisor(uint32_t DeviceIndex, const uint8_t *pDivisor);

/* Reads the three latch groups and discards them (the board clears its latches as it answers). */
KORVAL_API uint32_t DIO_Latch_Reset(uint32_t DeviceIndex);

/* Reads the three latch groups, one byte per port: group 1 to pGroup1, group 2 to pGroup2, group 0 to
   pGroup0, each min(*pLength, ports) bytes. *pLength becomes the number of ports. 13 for a short reply. */
KORVAL_API uint32_t DIO_Latch_Read(uint32_t DeviceIndex, void *pGroup1, void *pGroup2, void *pGroup0,
                                   uint32_t *pLength);

/* Loads the debounce configuration: *pConfigSize bytes, at most 1024 (24 above). */
KORVAL_API uint32_t DIO_Deb_SetConfig(uint32_t DeviceIndex, const void *pConfig, const uint32_t *pConfigSize);

/* Reads the debounced state of all ports, one byte per port, into pData. */
KORVAL_API uint32_t DIO_Deb_ReadAll(uint32_t DeviceIndex, void *pData);

/* ---- 8254 counters ----------------------------------------------------------------------------------- */

/* A board has Counters blocks of three 16-bit counters. A counter is named by BlockIndex and CounterIndex;
   with BlockIndex 0, CounterIndex is a flat number across all blocks (block * 3 + counter). 1349 on a
   board without counters; 487 for a counter, mode or gate the board does not have. */

/* Programs a counter's mode (0 to 5, as the 8254 numbers them). */
KORVAL_API uint32_t CTR_8254Mode(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex, uint32_t Mode);

/* Loads a counter's count. */
KORVAL_API uint32_t CTR_8254Load(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex,
                                 uint16_t LoadValue);

/* Programs a counter's mode and loads its count in one request. */
KORVAL_API uint32_t CTR_8254ModeLoad(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex,
                                     uint32_t Mode, uint16_t LoadValue);

/* Programs mode and count, then reads the counter back into *pReadValue. */
KORVAL_API uint32_t CTR_8254ReadModeLoad(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex,
                                         uint32_t Mode, uint16_t LoadValue, uint16_t *pReadValue);

/* Reads a counter's count. */
KORVAL_API uint32_t CTR_8254Read(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex,
                                 uint16_t *pReadValue);

/* Reads a counter's count and its 8254 status byte. */
KORVAL_API uint32_t CTR_8254ReadStatus(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex,
                                       uint16_t *pReadValue, uint8_t *pStatus);

/* Reads every counter: Counters * 3 counts of 16 bits, little-endian, in flat order. pData holds
   Counters * 6 bytes. */
KORVAL_API uint32_t CTR_8254ReadAll(uint32_t DeviceIndex, void *pData);

/* Reads every counter latched at one instant: the Counters * 6 bytes of CTR_8254ReadAll and one further
   byte from the board. pData holds Counters * 6 + 1 bytes. */
KORVAL_API uint32_t CTR_8254ReadLatched(uint32_t DeviceIndex, void *pData);

/* Selects a counter's gate source, by flat counter number. 1349 on a board without selectable gates. */
KORVAL_API uint32_t CTR_8254SelectGate(uint32_t DeviceIndex, uint32_t GateIndex);

/* ---- Frequency output, gate waits and global tick rate ---------------------------------------------- */

/* Makes counters 1 and 2 of a block a frequency source: counter 1 (mode 2) divides the root clock by L,
   counter 2 (mode 3) divides that by H. *pHz is the frequency asked for and becomes the frequency
   obtained (RootClock / (L x H)) before the counters are loaded. 0 Hz or less stops both counters and
   leaves *pHz. 487 for a block the board lacks; 87 for a frequency too low for two 16-bit divisors, or
   not a number (nothing is programmed). */
KORVAL_API uint32_t CTR_StartOutputFreq(uint32_t DeviceIndex, uint32_t BlockIndex, double *pHz);

/* Boards with selectable gates (1349 elsewhere) watch two gates, by flat counter number (low byte), and
   report an event on one of two bulk endpoints. 487 for a gate the board lacks. */
KORVAL_API uint32_t CTR_SetWaitGates(uint32_t DeviceIndex, uint32_t GateA, uint32_t GateB);

/* Stops watching the gates and ends the waits still blocked (they return 995). */
KORVAL_API uint32_t CTR_EndWaitGates(uint32_t DeviceIndex);

/* Blocks until the board reports an event of gate A (GateId 0) or gate B (1) and stores the report's
   2 bytes at pContent. It ends early with CTR_EndWaitGates (995) or when the board goes (1617). 487 for
   another GateId. */
KORVAL_API uint32_t CTR_WaitForGate(uint32_t DeviceIndex, uint32_t GateId, void *pContent);

/* Sets the board's global tick to *pHz on a 12 MHz base (newer firmware; 50 without it). Rates below
   about 183 Hz give the slowest tick, negative ones the fastest. 87 for a rate that is not a number. */
KORVAL_API uint32_t KORVAL_SetGlobalTickRate(uint32_t DeviceIndex, const double *pHz);

/* ---- Pulse-width measurement ------------------------------------------------------------------------ */

/* A monitor thread reads all counters of the board over and over; a counter that reads the same twice
   in a row has stopped, and its count becomes its measurement. Starting again replaces the monitor and
   clears every measurement. Start, stop and fetch may be called from several threads. */
KORVAL_API uint32_t CTR_StartMeasuringPulseWidth(uint32_t DeviceIndex);

/* Stops and frees the monitor (2 when there is none); also after the board has gone. */
KORVAL_API uint32_t CTR_StopMeasuringPulseWidth(uint32_t DeviceIndex);

/* Takes a counter's measurement (the raw count) into *pReadValue; the next fetch gets a new one, once
   the monitor has seen the counter settled again. 1104 with *pReadValue 0 when none is waiting; 2 with
   no monitor running; 998 when *pReadValue cannot be written. */
KORVAL_API uint32_t CTR_GetPulseWidthMeasurement(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex,
                                                 uint16_t *pReadValue);

/* ---- Host seam -------------------------------------------------------------------------------------- */

struct KorvalHost;

/* Installs the platform layer the library talks to boards through (see korval/host.h); NULL installs
   the operating system's. Closes nothing: every slot starts empty again and one discovery pass runs.
   No other call may run meanwhile. 87 when the host's version is not KORVAL_HOST_VERSION. */
KORVAL_API uint32_t KORVAL_InstallHost(const struct KorvalHost *host);

/* Fills *pHost with the operating system's host, for a program that offers this machine's boards to
   others (korval serve): the library first lets go of every board it holds and installs a host with no
   boards for itself, so the program's host can open them all. The host stays valid until the next
   KORVAL_InstallHost. 87 for a null pHost, 998 when *pHost cannot be written. */
KORVAL_API uint32_t KORVAL_SystemHost(struct KorvalHost *pHost);

/* ---- Remote boards ---------------------------------------------------------------------------------- */

/**
 * @brief Adds the boards of a `korval serve` server on another machine to the device table.
 *
 * The server's boards go into free slots after the local ones, as discovery places boards, and every
 * later discovery (GetDevices) looks for them again, so a server that was down is found when it comes
 * back. A remote board behaves as a local one, result codes included; when its server stops or the
 * network drops, its calls fail as an unplugged board's do (1617) within a few seconds. A remote board's
 * path is "HOST:PORT/" followed by its path on the server. The environment variable KORVAL_REMOTE
 * (HOST:PORT[,HOST:PORT...], with KORVAL_REMOTE_TOKEN_FILE and KORVAL_REMOTE_CA) does the same at the
 * library's first discovery. The servers stay when KORVAL_InstallHost replaces the local host.
 * The gRPC client is loaded from libkorval_remote.so (beside the library, or $KORVAL_REMOTE_LIBRARY)
 * at the first server named. One call moves at most 16 MiB: a longer bulk transfer gets 24
 * (ERROR_BAD_LENGTH). Not available on Windows yet.
 *
 * @param Address   the server, "HOST:PORT" (a host name, an IPv4 address or a bracketed IPv6 one).
 * @param TokenFile a file holding the server's token (trailing white space is dropped), or NULL/"" for
 *                  a server that needs none.
 * @param CaFile    a PEM file of the certificate authority the server's TLS certificate must be signed
 *                  by, or NULL/"" for a plain connection.
 * @return 0 when the server was added (whether or not it answered yet); 87 for a null or malformed
 *         Address; 183 (ERROR_ALREADY_EXISTS) when it was added before; 2 when a file cannot be read;
 *         126 (ERROR_MOD_NOT_FOUND) when libkorval_remote.so cannot be loaded; 4 beyond 32 servers;
 *         998 when a string cannot be read; 50 on Windows.
 */
KORVAL_API uint32_t KORVAL_AddRemote(const char *Address, const char *TokenFile, const char *CaFile);

/* The calling thread's last-error value as the library sets it (device lookups, index resolution,
   driver failures). On Windows these are the system's GetLastError and SetLastError. */
KORVAL_API uint32_t KORVAL_GetLastError(void);
KORVAL_API void KORVAL_SetLastError(uint32_t error);

#ifdef __cplusplus
}
#endif

#endif /* KORVAL_KORVAL_H */
