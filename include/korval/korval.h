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


/* ---- Bulk transfers and stream control --------------------------------------------------------------- */


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


/* ---- Immediate DAC output and calibration ------------------------------------------------------------ */


/* ---- Digital ports ----------------------------------------------------------------------------------- */


/* ---- SPI and CSA functions --------------------------------------------------------------------------- */


/* ---- Automap, PWM, latch and debounce ---------------------------------------------------------------- */


/* ---- 8254 counters ----------------------------------------------------------------------------------- */


/* ---- Host seam -------------------------------------------------------------------------------------- */

struct KorvalHost;

/* Installs the platform layer the library talks to boards through (see korval/host.h); NULL installs
   the operating system's. Closes nothing: every slot starts empty again and one discovery pass runs.
   No other call may run meanwhile. 87 when the host's version is not KORVAL_HOST_VERSION. */
KORVAL_API uint32_t KORVAL_InstallHost(const struct KorvalHost *host);

/* The calling thread's last-error value as the library sets it (device lookups, index resolution,
   driver failures). On Windows these are the system's GetLastError and SetLastError. */
KORVAL_API uint32_t KORVAL_GetLastError(void);
KORVAL_API void KORVAL_SetLastError(uint32_t error);

#ifdef __cplusplus
}
#endif

#endif /* KORVAL_KORVAL_H */
