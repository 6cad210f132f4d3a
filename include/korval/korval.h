/**
 * @file korval.h
 * @brief The Korval C API: device indexes, result codes and every function of the boards.
 *
 * Every function names a board by its device index and returns a Win32 error number (0 on success),
 * unless its documentation says otherwise. Device indexes 0 to 31 name a slot of the library's device
 * table; ::FirstDeviceIndex and ::OnlyDeviceIndex name the lowest and the only slot that holds a board.
 *
 * Every function is exported under its plain name; most also under "_Name" (the same entry point) and
 * "VBName" (a forwarder for Visual Basic callers taking the same arguments): see @ref exported_names.
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

/** Marks the library's exported functions (default visibility outside Windows). */
#if defined(_WIN32)
#define KORVAL_API
#else
#define KORVAL_API __attribute__((visibility("default")))
#endif

/**
 * @defgroup boards Boards and discovery
 * @brief Device indexes, the table of 32 slots, finding, identifying and closing boards, result codes.
 *
 * A program names a board by a device index: a slot 0 to 31 of the library's device table, or one of
 * the two special values below. Boards present when the library loads take the lowest free slots;
 * GetDevices() looks for boards attached later. The guide's @ref md_docs_concepts "Concepts" page has
 * the table of result codes and the products.
 * @{
 */

/* ---- Device indexes ------------------------------------------------------------------------------ */

/** The lowest slot that holds a board (2, ERROR_FILE_NOT_FOUND, when none does). */
#define FirstDeviceIndex 0xFFFFFFFEu /* the lowest slot that holds a board */
/** The one slot that holds a board; 52 (ERROR_DUP_NAME) when there are several, 2 when none. */
#define OnlyDeviceIndex 0xFFFFFFFDu  /* the one slot that holds a board; 52 when there are several */
/** The number of slots in the device table: device indexes 0 to 31. */
#define KORVAL_SLOT_COUNT 32u
/** What the functions that return a slot number return on failure. */
#define KORVAL_NO_SLOT 0xFFFFFFFFu   /* failure value of the functions that return a slot number */

/* ---- Result codes -------------------------------------------------------------------------------- */

/**
 * Every code the library produces, by its Win32 name: X(name, value) once per code. The
 * @ref md_docs_concepts "Concepts" page says, for each, what usually causes it and what to do.
 */
#define KORVAL_RESULT_CODES(X)          \
    X(ERROR_SUCCESS, 0)                 \
    X(ERROR_FILE_NOT_FOUND, 2)          \
    X(ERROR_TOO_MANY_OPEN_FILES, 4)     \
    X(ERROR_ACCESS_DENIED, 5)           \
    X(ERROR_INVALID_HANDLE, 6)          \
    X(ERROR_NOT_ENOUGH_MEMORY, 8)       \
    X(ERROR_INVALID_DATA, 13)           \
    X(ERROR_OUTOFMEMORY, 14)            \
    X(ERROR_NOT_READY, 21)              \
    X(ERROR_BAD_LENGTH, 24)             \
    X(ERROR_SEEK, 25)                   \
    X(ERROR_READ_FAULT, 30)             \
    X(ERROR_GEN_FAILURE, 31)            \
    X(ERROR_SHARING_VIOLATION, 32)      \
    X(ERROR_HANDLE_EOF, 38)             \
    X(ERROR_NOT_SUPPORTED, 50)          \
    X(ERROR_DUP_NAME, 52)               \
    X(ERROR_INVALID_PARAMETER, 87)      \
    X(ERROR_INSUFFICIENT_BUFFER, 122)   \
    X(ERROR_MOD_NOT_FOUND, 126)         \
    X(ERROR_ALREADY_EXISTS, 183)        \
    X(ERROR_NO_MORE_ITEMS, 259)         \
    X(ERROR_INVALID_ADDRESS, 487)       \
    X(ERROR_OPERATION_ABORTED, 995)     \
    X(ERROR_NOACCESS, 998)              \
    X(ERROR_NO_DATA_DETECTED, 1104)     \
    X(ERROR_DEVICE_NOT_CONNECTED, 1167) \
    X(ERROR_BAD_TOKEN_TYPE, 1349)       \
    X(ERROR_INTERNAL_ERROR, 1359)       \
    X(ERROR_INVALID_INDEX, 1413)        \
    X(ERROR_TIMEOUT, 1460)              \
    X(ERROR_DEVICE_REMOVED, 1617)       \
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
#ifndef ERROR_ACCESS_DENIED
#define ERROR_ACCESS_DENIED 5u
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
#ifndef ERROR_NO_MORE_ITEMS
#define ERROR_NO_MORE_ITEMS 259u
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

/**
 * @brief The Win32 name of a result code.
 *
 * Header-only: it needs no export.
 * @param[in] code A result code of a library function.
 * @return The name ("ERROR_DEVICE_REMOVED"), or NULL for a code the library never produces itself.
 * @blocking Never.
 * @products Not board-specific.
 */
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

/**
 * @brief The slot a device index names.
 *
 * Sets the thread's last-error value (KORVAL_GetLastError()) to the resolution's result, 0 on success.
 * 0 to 31 are returned unchanged, whether or not their slot holds a board. Only reads the device table.
 * @param[in] DeviceIndex A slot 0 to 31, ::FirstDeviceIndex or ::OnlyDeviceIndex.
 * @return The slot number, or ::KORVAL_NO_SLOT on failure with the last error 1413 (index 32 or more,
 *         not special), 2 (no board for a special index) or 52 (::OnlyDeviceIndex with several boards).
 * @blocking Never.
 * @products Not board-specific.
 */
KORVAL_API uint32_t ResolveDeviceIndex(uint32_t DeviceIndex);

/**
 * @brief There is no device-selection dialog: always 50 (ERROR_NOT_SUPPORTED).
 * @param[in] Arg1 Ignored.
 * @param[in] Arg2 Ignored.
 * @param[in] Arg3 Ignored.
 * @param[in] Arg4 Ignored.
 * @param[in] Arg5 Ignored.
 * @param[in] Arg6 Ignored.
 * @param[in] Arg7 Ignored.
 * @retval ERROR_NOT_SUPPORTED (50) always.
 * @blocking Never.
 * @products None.
 */
KORVAL_API uint32_t SelectDeviceViaUI(uintptr_t Arg1, uintptr_t Arg2, uintptr_t Arg3, uintptr_t Arg4,
                                      uintptr_t Arg5, uintptr_t Arg6, uintptr_t Arg7);

/**
 * @brief Finds boards attached since the last look and returns the slots that hold a usable board.
 *
 * Runs discovery (new boards take the lowest free slots), then the open check on every slot.
 * @return A mask of the usable slots: bit n set for slot n. 0 when there is none.
 * @blocking One descriptor read per newly found board (a control request, at most 5 s each).
 * @products Every product.
 */
KORVAL_API uint32_t GetDevices(void);

/**
 * @brief Frees every slot whose board has gone and checks each board still open.
 *
 * Do not run it while other threads use the slots it may free.
 * @retval ERROR_SUCCESS (0) always.
 * @blocking One control request per open board, at most 5 s each.
 * @products Every product.
 */
KORVAL_API uint32_t ClearDevices(void);

/**
 * @brief Closes the board of a slot, or clears the slot's removal mark after an unplug.
 *
 * The slot is empty afterwards; the board comes back with GetDevices().
 * @devindex
 * @retval ERROR_SUCCESS (0) closed, or the removal mark cleared.
 * @retval ERROR_INVALID_HANDLE (6) the slot holds no board and no removal mark.
 * @retval ERROR_INVALID_INDEX (1413) a device index of 32 or more that is not a special value.
 * @retval ERROR_FILE_NOT_FOUND (2) no board for ::FirstDeviceIndex or ::OnlyDeviceIndex.
 * @blocking Never waits for the board.
 * @products Every product.
 */
KORVAL_API uint32_t KORVAL_CloseDevice(uint32_t DeviceIndex);

/** The calling convention of callbacks: __stdcall on Windows, the platform's default elsewhere. */
#if defined(_WIN32)
#define KORVAL_CALLBACK __stdcall
#else
#define KORVAL_CALLBACK
#endif

/* ---- Boards that arrive and leave ------------------------------------------------------------------- */

#ifndef KORVAL_BOARD_ARRIVED /* also in korval/host.h */
/** A board arrived (KorvalBoardEvent::Kind). */
#define KORVAL_BOARD_ARRIVED 1u
/** A board left (KorvalBoardEvent::Kind). */
#define KORVAL_BOARD_LEFT 2u
#endif

/**
 * @brief A board of the family that was plugged in or unplugged, as a board notification tells it.
 *
 * Only what the system knows without opening the board: the slot it will take (if any) is known only
 * after GetDevices().
 */
typedef struct KorvalBoardEvent {
    uint32_t Size;         /**< sizeof(KorvalBoardEvent) as the library fills it (later versions may
                                append fields; read only the first Size bytes) */
    uint32_t Kind;         /**< ::KORVAL_BOARD_ARRIVED or ::KORVAL_BOARD_LEFT */
    uint32_t VendorID;     /**< the USB vendor ID; 0 when not known */
    uint32_t ProductID;    /**< the USB product ID; 0 when not known */
    uint32_t DriverPath;   /**< 0: WinUSB; 1: the DeviceIoControl driver */
    uint32_t Reserved;     /**< 0 */
    char Path[256];        /**< where it is, as the library names it: the device-interface path on
                                Windows, "usb:1-4.2" on Linux, "HOST:PORT/..." for a remote board;
                                zero-ended, cut to fit */
    char SerialNumber[64]; /**< the USB serial-number string when the system gives it without opening
                                the board, else ""; zero-ended */
} KorvalBoardEvent;

/**
 * @brief A board notification's callback.
 *
 * Runs on the library's notification thread, one call at a time for every registration, in the order
 * the events happened. It may call any library function, including GetDevices() and
 * KORVAL_UnregisterBoardNotification() of its own registration; the event is valid during the call.
 * While it runs, later events wait: keep it short.
 * @param[in] Context The context given at registration.
 * @param[in] pEvent The event.
 */
typedef void(KORVAL_CALLBACK *KorvalBoardCallback)(void *Context, const KorvalBoardEvent *pEvent);

/**
 * @brief Asks to be told, on a library thread, of every board of the family that is plugged in or
 *        unplugged from now on.
 *
 * The notification tells; it changes no slot. A board that arrived is found by the next GetDevices(),
 * one that left answers 1617 on its slot until KORVAL_CloseDevice() or ClearDevices(): the program
 * decides when. Boards present at registration are not reported. With the simulated boards, adding a
 * board, KorvalSim_Unplug() and KorvalSim_Replug() are reported. A host that cannot tell (remote
 * servers, a program's own host of version 1) is listed once a second while a registration exists.
 * The registration survives KORVAL_InstallHost(): it then watches the new host's boards. Safe from
 * any thread, the callback's included.
 * @param[in] Callback Called once per event; see ::KorvalBoardCallback.
 * @param[in] Context Passed back to Callback unchanged.
 * @param[in] Flags 0 (reserved for later use).
 * @param[out] pRegistration Receives the registration's number (never 0, never reused) for
 *             KORVAL_UnregisterBoardNotification().
 * @retval ERROR_SUCCESS (0) registered.
 * @retval ERROR_INVALID_PARAMETER (87) Callback or pRegistration is NULL, or Flags is not 0.
 * @retval ERROR_NOACCESS (998) *pRegistration cannot be written.
 * @retval ERROR_NOT_ENOUGH_MEMORY (8) the system gave no thread for the notifications.
 * @blocking Never waits for a board.
 * @products Not board-specific.
 */
KORVAL_API uint32_t KORVAL_RegisterBoardNotification(KorvalBoardCallback Callback, void *Context, uint32_t Flags,
                                                     uint32_t *pRegistration);

/**
 * @brief Ends a board notification: when it returns, its callback runs no more.
 *
 * A call from another thread while the callback runs waits for it to return (up to 10 s); a call from
 * the callback itself returns at once and the callback is not called again. When the last
 * registration goes, the notification thread ends.
 * @param[in] Registration The number KORVAL_RegisterBoardNotification() gave.
 * @retval ERROR_SUCCESS (0) ended.
 * @retval ERROR_INVALID_HANDLE (6) no such registration (never given, or ended already).
 * @retval ERROR_TIMEOUT (1460) ended, but the callback still ran after 10 s: it is not called again,
 *         and Context must stay valid until it returns.
 * @blocking Up to 10 s, for a callback that is running.
 * @products Not board-specific.
 */
KORVAL_API uint32_t KORVAL_UnregisterBoardNotification(uint32_t Registration);

/** @} */

/**
 * @defgroup control Control and bulk
 * @brief Vendor control requests, bulk transfers, stream control, the EEPROM, flash and power-on defaults.
 *
 * Every request to a board goes through GenericVendorRead() and GenericVendorWrite(), which a program
 * may also call itself. A control request is answered within 5 s or fails; bulk transfers wait for the
 * board until the function that ends their operation cancels them.
 * @{
 */

/* ---- Vendor control requests ------------------------------------------------------------------------ */

/**
 * @brief Sends a device-to-host vendor request and receives its data stage.
 *
 * Bytes of pData beyond the count the board sent are left as they were.
 * @devindex
 * @param[in] Request The request code (bRequest).
 * @param[in] RequestValue The setup packet's wValue.
 * @param[in] RequestIndex The setup packet's wIndex.
 * @param[in,out] pDataSize In: the bytes wanted (pData's size, at most 65,535). Out: the bytes the board sent.
 * @param[out] pData The buffer for the data stage.
 * @retval ERROR_SUCCESS (0) the board answered; *pDataSize holds the count.
 * @retval ERROR_INVALID_PARAMETER (87) pDataSize is NULL, or pData is NULL with a non-zero count.
 * @retval ERROR_NOACCESS (998) *pDataSize or pData cannot be read or written.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Every product.
 */
KORVAL_API uint32_t GenericVendorRead(uint32_t DeviceIndex, uint8_t Request, uint16_t RequestValue,
                                      uint16_t RequestIndex, uint32_t *pDataSize, void *pData);

/**
 * @brief Sends a host-to-device vendor request with DataSize bytes of pData as its data stage.
 * @devindex
 * @param[in] Request The request code (bRequest).
 * @param[in] RequestValue The setup packet's wValue.
 * @param[in] RequestIndex The setup packet's wIndex.
 * @param[in] DataSize The bytes of the data stage; 0 for none.
 * @param[in] pData The data stage; may be NULL when DataSize is 0.
 * @retval ERROR_SUCCESS (0) the board took the request.
 * @retval ERROR_INVALID_PARAMETER (87) pData is NULL with a non-zero DataSize.
 * @retval ERROR_NOACCESS (998) pData cannot be read.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Every product.
 */
KORVAL_API uint32_t GenericVendorWrite(uint32_t DeviceIndex, uint8_t Request, uint16_t RequestValue,
                                       uint16_t RequestIndex, uint32_t DataSize, const void *pData);

/** @} */

/** @addtogroup boards
 *  @{
 */

/* ---- Identification ---------------------------------------------------------------------------------- */

/**
 * @brief What board sits at an index: product ID, product name, digital ports and counter blocks.
 *
 * On an empty slot, looks for newly attached boards first.
 * @devindex
 * @param[out] pPID The USB product ID; may be NULL.
 * @param[in,out] pNameSize In: the room in pName, in characters. Out: the name's full length, even when
 *                fewer characters were copied. May be NULL.
 * @param[out] pName The product name, 8-bit characters without a terminating zero; may be NULL.
 * @param[out] pDIOBytes The number of 8-bit digital ports; may be NULL.
 * @param[out] pCounters The number of 8254 counter blocks; may be NULL.
 * @retval ERROR_SUCCESS (0) every non-NULL pointer was filled.
 * @retval ERROR_INTERNAL_ERROR (1359) caller memory that cannot be read or written (this function
 *         answers every fault inside it with 1359).
 * @boardcodes
 * @blocking At most two control requests (the name), 5 s each; discovery on an empty slot.
 * @products Every product; products that do not name themselves report a name length of 0.
 */
KORVAL_API uint32_t QueryDeviceInfo(uint32_t DeviceIndex, uint32_t *pPID, uint32_t *pNameSize, void *pName,
                                    uint32_t *pDIOBytes, uint32_t *pCounters);

/**
 * @brief The board's 64-bit serial number, from its EEPROM.
 * @devindex
 * @param[out] pSerialNumber The serial number; 0xFFFFFFFFFFFFFFFF for a board that has none.
 * @retval ERROR_SUCCESS (0) the serial number was read.
 * @retval ERROR_NOT_SUPPORTED (50) the board has no serial number programmed.
 * @retval ERROR_INVALID_PARAMETER (87) pSerialNumber is NULL.
 * @retval ERROR_NOACCESS (998) *pSerialNumber cannot be written.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Every product.
 */
KORVAL_API uint32_t GetDeviceSerialNumber(uint32_t DeviceIndex, uint64_t *pSerialNumber);

/**
 * @brief The low bytes of the serial number, little-endian, as a byte string.
 * @devindex
 * @param[in] pUniqueSize The bytes wanted; at most 8 are copied.
 * @param[out] pUnique The buffer for the bytes.
 * @retval ERROR_SUCCESS (0) the bytes were copied.
 * @retval ERROR_NOT_SUPPORTED (50) the board has no serial number programmed.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read or written.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Every product.
 */
KORVAL_API uint32_t GetDeviceUniqueStr(uint32_t DeviceIndex, const uint32_t *pUniqueSize, void *pUnique);

/**
 * @brief The lowest slot whose board has this serial number.
 * @param[in] SerialNumber The serial number to look for.
 * @return The slot, or ::KORVAL_NO_SLOT when no board has it.
 * @blocking One control request per open board, at most 5 s each.
 * @products Every product.
 */
KORVAL_API uint32_t GetDeviceBySerialNumber(uint64_t SerialNumber);

/**
 * @brief The lowest slot whose board holds this byte at address 0 of its custom EEPROM area.
 *
 * Sets the thread's last error (KORVAL_GetLastError()): 0, 2 (no match) or 52 (more than one board
 * matches; the lowest is returned).
 * @param[in] EEPROMByte The byte to look for.
 * @return The slot, or ::KORVAL_NO_SLOT when none matches.
 * @blocking One control request per open board, at most 5 s each.
 * @products Every product.
 */
KORVAL_API uint32_t GetDeviceByEEPROMByte(uint8_t EEPROMByte);

/**
 * @brief The lowest slot whose board holds these bytes at StartAddress of its custom EEPROM area.
 *
 * Sets the thread's last error: 0, 2 (no match), 52 (more than one board matches; the lowest is
 * returned) or 24 (DataSize above 256). With DataSize 0 it is ResolveDeviceIndex(::FirstDeviceIndex).
 * @param[in] StartAddress The address in the custom area, 0x00 to 0xFF.
 * @param[in] DataSize The bytes to compare, at most 256.
 * @param[in] pData The bytes to look for.
 * @return The slot, or ::KORVAL_NO_SLOT when none matches.
 * @blocking One control request per open board, at most 5 s each.
 * @products Every product.
 */
KORVAL_API uint32_t GetDeviceByEEPROMData(uint32_t StartAddress, uint32_t DataSize, const void *pData);

/**
 * @brief The low 32 bits of the board's driver handle, for callers that talk to the board themselves.
 * @devindex
 * @param[out] pHandle The handle's low 32 bits.
 * @retval ERROR_SUCCESS (0) stored.
 * @retval ERROR_INVALID_PARAMETER (87) pHandle is NULL.
 * @retval ERROR_NOACCESS (998) *pHandle cannot be written.
 * @boardcodes
 * @blocking Never waits for the board.
 * @products Every product.
 */
KORVAL_API uint32_t GetDeviceHandle(uint32_t DeviceIndex, uint32_t *pHandle);

/**
 * @brief The board's pipes: PipeId in bits 0-7, WinUSB PipeType from bit 8.
 * @devindex
 * @param[in,out] pPipeCount In: the room in pPipes, in entries. Out: the board's endpoint count.
 * @param[out] pPipes One entry per pipe.
 * @retval ERROR_SUCCESS (0) stored.
 * @retval ERROR_NOT_SUPPORTED (50) the board is reached by the DeviceIoControl driver.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read or written.
 * @boardcodes
 * @blocking One pipe query per endpoint, answered by the host at once.
 * @products Every product, on the WinUSB path.
 */
KORVAL_API uint32_t GetPipes(uint32_t DeviceIndex, uint32_t *pPipeCount, uint32_t *pPipes);

/**
 * @brief What a board can do, as the library knows it from the board's product ID.
 *
 * For programs (and language bindings) that adapt to the board instead of trying a call and reading
 * 1349. Flags are 0 or 1.
 */
typedef struct KorvalCapabilities {
    uint32_t Size;            /**< in: sizeof(KorvalCapabilities) as the caller was built with; out: the
                                  bytes filled (later library versions may append fields) */
    uint32_t ProductID;       /**< the USB product ID */
    uint32_t DriverPath;      /**< 0: WinUSB; 1: the DeviceIoControl driver */
    uint32_t DIOBytes;        /**< 8-bit digital ports */
    uint32_t DIOConfigBits;   /**< bits of the direction mask: one per port, or one per line */
    uint32_t Tristates;       /**< bytes of the tristate mask (0: no tristate control) */
    uint32_t Counters;        /**< 8254 blocks of three counters */
    uint32_t GateSelectable;  /**< counter gates are selectable */
    double RootClock;         /**< the counters' clock, hertz */
    uint32_t ADCBulk;         /**< the bulk analog-input section (scans, acquisition, configuration block) */
    uint32_t ADCChannels;     /**< range slots of the configuration block */
    uint32_t ADCMUXChannels;  /**< analog input channels */
    uint32_t ConfigBytes;     /**< length of the ADC configuration block (0: none) */
    uint32_t RangeShift;      /**< channel c uses range slot c >> RangeShift */
    uint32_t ImmADCs;         /**< immediate analog inputs of a board without the bulk section */
    uint32_t ImmDACs;         /**< immediate analog outputs */
    uint32_t DACBoardRange;   /**< board-wide output range selection */
    uint32_t DACChannelCal;   /**< per-channel output calibration tables */
    uint32_t DACStream;       /**< waveform output */
    uint32_t DIOStream;       /**< digital streaming */
    uint32_t DIOSPI;          /**< SPI bus and sync generator */
    uint32_t DIODebounce;     /**< input debouncing */
    uint32_t ClearFIFO;       /**< stream FIFOs that can be cleared */
    uint32_t SetCustomClocks; /**< the sync pulse generator (DIO_CSA_DoSync()) */
    uint32_t WDGBytes;        /**< bytes of the watchdog's settings (0: no watchdog) */
    int32_t FlashSectors;     /**< 64 KiB flash sectors (0: no flash) */
    uint32_t Reserved;        /**< 0 */
} KorvalCapabilities;

/**
 * @brief Fills *pCaps with what the board at the index can do.
 *
 * Set pCaps->Size first. The first min(Size, sizeof(KorvalCapabilities)) bytes are filled and Size
 * becomes that count, so a program built against an older, shorter structure keeps working.
 * @devindex
 * @param[in,out] pCaps In: Size. Out: the capabilities.
 * @retval ERROR_SUCCESS (0) filled.
 * @retval ERROR_INVALID_PARAMETER (87) pCaps is NULL or pCaps->Size is below 8.
 * @retval ERROR_NOACCESS (998) *pCaps cannot be read or written.
 * @boardcodes
 * @blocking Sends nothing beyond the open check (a descriptor read the first time, at most 5 s).
 * @products Every product.
 */
KORVAL_API uint32_t KORVAL_GetCapabilities(uint32_t DeviceIndex, KorvalCapabilities *pCaps);

/** A board of the family that is attached but that this program cannot open, and why. */
typedef struct KorvalUnusableBoard {
    uint32_t Size;      /**< in: sizeof(KorvalUnusableBoard) as the caller was built with; out: the
                                  bytes filled */
    uint32_t Error;     /**< why it cannot be opened: ERROR_ACCESS_DENIED when this user has no
                                  permission on its device node, otherwise the system's code */
    uint32_t VendorID;  /**< the USB vendor ID */
    uint32_t ProductID; /**< the USB product ID */
    char Path[64];      /**< where it is plugged, as the library names it ("usb:1-4.2"); zero-ended */
    char Reason[256];   /**< the reason and the fix, in words, zero-ended: "permission denied:
                                  install the udev rules (...) and re-plug the board" */
} KorvalUnusableBoard;

/**
 * @brief Describes one of the attached boards of the family that this program cannot open.
 *
 * Such a board holds no slot, so GetDevices() does not show it; this says why, and what to do about it.
 * Boards are counted in bus and port order, from 0. The installed host finds them: on Linux, a board
 * whose USB device node this user may not open; among simulated boards, those made so with
 * KorvalSim_SetUnusable(); on Windows, and on a host that reports none, there are none.
 * @param[in] Index Which of them, from 0.
 * @param[in,out] pBoard In: Size, at least 8 (the first min(Size, sizeof) bytes are filled and Size
 *                becomes that count). Out: the description.
 * @retval ERROR_SUCCESS (0) filled.
 * @retval ERROR_NO_MORE_ITEMS (259) Index is past the last such board (with none: at Index 0).
 * @retval ERROR_INVALID_PARAMETER (87) pBoard is NULL or pBoard->Size is below 8.
 * @retval ERROR_NOACCESS (998) *pBoard cannot be read or written.
 * @blocking Sends nothing to a board.
 * @products Not board-specific.
 */
KORVAL_API uint32_t KORVAL_GetUnusableBoard(uint32_t Index, KorvalUnusableBoard *pBoard);

/**
 * @brief What a product can do, by its USB product ID, from the same product table as
 *        KORVAL_GetCapabilities() (no board needed).
 * @param[in] ProductID A USB product ID.
 * @param[in,out] pCaps In: Size, set first. Out: filled as by KORVAL_GetCapabilities(), DriverPath 0. For
 *        an ID the table does not list, every capability is 0.
 * @retval ERROR_SUCCESS (0) filled.
 * @retval ERROR_FILE_NOT_FOUND (2) the table does not list the ID (pCaps is filled all the same).
 * @retval ERROR_INVALID_PARAMETER (87) pCaps is NULL or pCaps->Size is below 8.
 * @retval ERROR_NOACCESS (998) *pCaps cannot be read or written.
 * @blocking Never; sends nothing.
 * @products Not board-specific.
 */
KORVAL_API uint32_t KORVAL_GetProductCapabilities(uint32_t ProductID, KorvalCapabilities *pCaps);

/**
 * @brief Every product ID the library knows, in ascending order.
 * @param[in,out] pCount In: room at pProductIDs, in IDs. Out: the number of IDs the library knows (may
 *        be more than the room: call with 0 first to learn it).
 * @param[out] pProductIDs Receives the first min(room, count) IDs; may be NULL when the room is 0.
 * @retval ERROR_SUCCESS (0) listed.
 * @retval ERROR_INVALID_PARAMETER (87) pCount is NULL, or pProductIDs is NULL with room.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read or written.
 * @blocking Never; sends nothing.
 * @products Not board-specific.
 */
KORVAL_API uint32_t KORVAL_ListProducts(uint32_t *pCount, uint32_t *pProductIDs);

/** The major version of this header. */
#define KORVAL_VERSION_MAJOR 1
/** The minor version of this header. */
#define KORVAL_VERSION_MINOR 0
/** The patch level of this header. */
#define KORVAL_VERSION_PATCH 0
/** The version of this header, (major << 16) | (minor << 8) | patch; KORVAL_GetVersion() gives the loaded
    library's, in the same form. */
#define KORVAL_VERSION ((KORVAL_VERSION_MAJOR << 16) | (KORVAL_VERSION_MINOR << 8) | KORVAL_VERSION_PATCH)

/**
 * @brief The loaded library's version.
 * @return (major << 16) | (minor << 8) | patch, as ::KORVAL_VERSION; never fails.
 * @blocking Never.
 * @products Not board-specific.
 */
KORVAL_API uint32_t KORVAL_GetVersion(void);

/**
 * @brief The server a remote board is reached through, "HOST:PORT" (KORVAL_AddRemote()); "" for a board
 *        of this computer.
 * @devindex
 * @param[in,out] pServerSize In: room at pServer, in bytes. Out: the bytes the text needs, with its zero.
 * @param[out] pServer Receives the text, zero-ended, cut to the room; may be NULL when the room is 0.
 * @retval ERROR_SUCCESS (0) the whole text was stored.
 * @retval ERROR_INSUFFICIENT_BUFFER (122) the room was too small; *pServerSize is the size needed.
 * @retval ERROR_INVALID_PARAMETER (87) pServerSize is NULL, or pServer is NULL with room.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read or written.
 * @boardcodes
 * @blocking Sends nothing beyond the open check.
 * @products Every product.
 */
KORVAL_API uint32_t KORVAL_GetRemoteServer(uint32_t DeviceIndex, uint32_t *pServerSize, char *pServer);

/** @} */

/** @addtogroup control
 *  @{
 */

/* ---- Bulk transfers and stream control --------------------------------------------------------------- */

/**
 * @brief Reads up to DataSize bytes from a bulk IN pipe straight into pData.
 *
 * A short read is a success: only *pBytesTransferred tells.
 * @devindex
 * @param[in] PipeID The endpoint address, bit 7 set (for example 0x86).
 * @param[out] pData The buffer; checked over its whole length before the transfer.
 * @param[in] DataSize The bytes wanted.
 * @param[out] pBytesTransferred The bytes received, at most DataSize.
 * @retval ERROR_SUCCESS (0) the transfer ended; see *pBytesTransferred.
 * @retval ERROR_INVALID_PARAMETER (87) pBytesTransferred is NULL, or pData is NULL with a non-zero DataSize.
 * @retval ERROR_NOACCESS (998) the buffer or the count cannot be written.
 * @retval ERROR_OPERATION_ABORTED (995) the transfer was cancelled.
 * @boardcodes
 * @blocking No time-out: waits until the board sends, is unplugged (1617) or the transfer is cancelled.
 * @products Every product with a bulk IN pipe.
 */
KORVAL_API uint32_t QBT_GenericBulkIn(uint32_t DeviceIndex, uint32_t PipeID, void *pData, uint32_t DataSize,
                                      uint32_t *pBytesTransferred);

/**
 * @brief Writes DataSize bytes of pData to a bulk OUT pipe.
 * @devindex
 * @param[in] PipeID The endpoint address (for example 0x02).
 * @param[in] pData The bytes to send; checked over their whole length first.
 * @param[in] DataSize The bytes to send.
 * @param[out] pBytesTransferred The bytes the board took.
 * @retval ERROR_SUCCESS (0) the transfer ended; see *pBytesTransferred.
 * @retval ERROR_INVALID_PARAMETER (87) pBytesTransferred is NULL, or pData is NULL with a non-zero DataSize.
 * @retval ERROR_NOACCESS (998) the buffer cannot be read or the count written.
 * @retval ERROR_OPERATION_ABORTED (995) the transfer was cancelled.
 * @boardcodes
 * @blocking No time-out: waits until the board takes the data, is unplugged (1617) or the transfer is cancelled.
 * @products Every product with a bulk OUT pipe.
 */
KORVAL_API uint32_t QBT_GenericBulkOut(uint32_t DeviceIndex, uint32_t PipeID, const void *pData,
                                       uint32_t DataSize, uint32_t *pBytesTransferred);

/**
 * @brief The boards have one interface: 50 for an open board; nothing is sent.
 * @devindex
 * @param[in] InterfaceNumber Not used.
 * @retval ERROR_NOT_SUPPORTED (50) for every open board.
 * @boardcodes
 * @blocking Never waits for the board.
 * @products None.
 */
KORVAL_API uint32_t DEB_SetInterface(uint32_t DeviceIndex, uint16_t InterfaceNumber);

/**
 * @brief Not offered: always 50, whatever the arguments (the device index is not looked at).
 * @param[in] DeviceIndex Not looked at.
 * @param[in] PipeID Not used.
 * @param[out] pData Not used.
 * @param[in] DataSize Not used.
 * @retval ERROR_NOT_SUPPORTED (50) always; use QBT_GenericBulkIn().
 * @blocking Never.
 * @products None.
 */
KORVAL_API uint32_t DEB_BulkIn(uint32_t DeviceIndex, uint32_t PipeID, void *pData, uint32_t DataSize);

/**
 * @brief QBT_GenericBulkOut() without the byte count.
 * @devindex
 * @param[in] PipeID The endpoint address (for example 0x02).
 * @param[in] pData The bytes to send.
 * @param[in] DataSize The bytes to send.
 * @return As QBT_GenericBulkOut().
 * @blocking As QBT_GenericBulkOut().
 * @products Every product with a bulk OUT pipe.
 */
KORVAL_API uint32_t DEB_BulkOut(uint32_t DeviceIndex, uint32_t PipeID, const void *pData, uint32_t DataSize);

/**
 * @brief Clears the board's stream FIFOs.
 * @devindex
 * @param[in] TimeMethod The firmware's way of clearing: 0, 1, 5 or 86.
 * @retval ERROR_SUCCESS (0) cleared.
 * @retval ERROR_INVALID_PARAMETER (87) another TimeMethod.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no stream FIFOs.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products KorvalCapabilities::ClearFIFO: 0x8008 to 0x800A, 0x800C to 0x800F, 0x8040 to 0x805F, 0x8140 to 0x815F.
 */
KORVAL_API uint32_t KORVAL_ClearFIFO(uint32_t DeviceIndex, uint32_t TimeMethod);

/**
 * @brief The board's 32-bit stream status word (its bits are the firmware's).
 *
 * A reply shorter than 4 bytes leaves the missing high bytes 0.
 * @devindex
 * @param[out] pStatus The status word.
 * @retval ERROR_SUCCESS (0) read.
 * @retval ERROR_INVALID_PARAMETER (87) pStatus is NULL.
 * @retval ERROR_NOACCESS (998) *pStatus cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no stream FIFOs.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products As KORVAL_ClearFIFO().
 */
KORVAL_API uint32_t KORVAL_GetStreamStatus(uint32_t DeviceIndex, uint32_t *pStatus);

/**
 * @brief Sets the largest single streaming transfer.
 *
 * Kept by the library; nothing is sent.
 * @devindex
 * @param[in] BlockSize Bytes for ADC bulk reads, 16-bit points for digital streams: 1 to 0x1F00000,
 *            raised to a multiple of 512 on ADC boards and of 256 on streaming digital boards.
 * @retval ERROR_SUCCESS (0) kept.
 * @retval ERROR_INVALID_PARAMETER (87) BlockSize 0 or above 0x1F00000.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has neither stream.
 * @boardcodes
 * @blocking Never waits for the board.
 * @products Boards with the bulk analog input or digital streaming.
 */
KORVAL_API uint32_t KORVAL_SetStreamingBlockSize(uint32_t DeviceIndex, uint32_t BlockSize);

/**
 * @brief Holds the board's USB controller in reset and releases it, so that its firmware starts again.
 * @devindex
 * @retval ERROR_SUCCESS (0) both requests were taken.
 * @boardcodes
 * @blocking Two control requests, at most 5 s each.
 * @products Every product.
 */
KORVAL_API uint32_t KORVAL_ResetChip(uint32_t DeviceIndex);

/**
 * @brief Not offered: always 50, whatever the arguments.
 * @param[in] DeviceIndex Not looked at.
 * @param[in] pFirmware Not used.
 * @param[in] FirmwareSize Not used.
 * @retval ERROR_NOT_SUPPORTED (50) always.
 * @blocking Never.
 * @products None.
 */
KORVAL_API uint32_t KORVAL_UploadFirmware(uint32_t DeviceIndex, const void *pFirmware, uint32_t FirmwareSize);

/* ---- Nonvolatile memory and power-on defaults -------------------------------------------------------- */

/**
 * @brief Reads the EEPROM's custom area: 256 bytes (addresses 0x00 to 0xFF) the application may use.
 * @devindex
 * @param[in] StartAddress The first address, 0x00 to 0xFF.
 * @param[in,out] pDataSize In: the bytes wanted. Out: the bytes read.
 * @param[out] pData The buffer.
 * @retval ERROR_SUCCESS (0) read.
 * @retval ERROR_SEEK (25) StartAddress above 0xFF (tested before the device index).
 * @retval ERROR_BAD_LENGTH (24) a count that runs past the area (tested before the device index).
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read or written.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Every product.
 */
KORVAL_API uint32_t CustomEEPROMRead(uint32_t DeviceIndex, uint32_t StartAddress, uint32_t *pDataSize, void *pData);

/**
 * @brief Writes the EEPROM's custom area, in pieces of 32 bytes.
 * @devindex
 * @param[in] StartAddress The first address, 0x00 to 0xFF.
 * @param[in] DataSize The bytes to write; StartAddress + DataSize at most 256.
 * @param[in] pData The bytes.
 * @retval ERROR_SUCCESS (0) written.
 * @retval ERROR_SEEK (25) StartAddress above 0xFF.
 * @retval ERROR_BAD_LENGTH (24) a count that runs past the area.
 * @retval ERROR_INVALID_PARAMETER (87) pData is NULL with a non-zero DataSize.
 * @retval ERROR_NOACCESS (998) pData cannot be read.
 * @boardcodes
 * @blocking One control request per 32 bytes, at most 5 s each.
 * @products Every product.
 */
KORVAL_API uint32_t CustomEEPROMWrite(uint32_t DeviceIndex, uint32_t StartAddress, uint32_t DataSize,
                                      const void *pData);

/**
 * @brief Reads the flash (the first 1 MiB), in whole 16-bit words.
 *
 * An odd count loses its last byte; the even count is written back.
 * @devindex
 * @param[in] StartAddress The first byte address.
 * @param[in,out] pDataSize In: the bytes wanted. Out: the bytes read (even).
 * @param[out] pData The buffer.
 * @retval ERROR_SUCCESS (0) read.
 * @retval ERROR_SEEK (25) an address beyond the readable flash.
 * @retval ERROR_BAD_LENGTH (24) a count that runs past the readable flash.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read or written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no flash.
 * @boardcodes
 * @blocking Control requests in pieces, at most 5 s each.
 * @products Boards with flash (KorvalCapabilities::FlashSectors): 0x8060, 0x8070 to 0x807F.
 */
KORVAL_API uint32_t KORVAL_FlashRead(uint32_t DeviceIndex, uint32_t StartAddress, uint32_t *pDataSize, void *pData);

/**
 * @brief Writes the flash (the whole 2 MiB), in whole 16-bit words. A write only clears bits: erase first.
 * @devindex
 * @param[in] StartAddress The first byte address.
 * @param[in] DataSize The bytes to write (an odd count loses its last byte).
 * @param[in] pData The bytes.
 * @retval ERROR_SUCCESS (0) written.
 * @retval ERROR_SEEK (25) an address beyond the flash.
 * @retval ERROR_BAD_LENGTH (24) a count that runs past the flash.
 * @retval ERROR_INVALID_PARAMETER (87) pData is NULL with a non-zero DataSize.
 * @retval ERROR_NOACCESS (998) pData cannot be read.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no flash.
 * @boardcodes
 * @blocking Control requests in pieces, at most 5 s each.
 * @products As KORVAL_FlashRead().
 */
KORVAL_API uint32_t KORVAL_FlashWrite(uint32_t DeviceIndex, uint32_t StartAddress, uint32_t DataSize,
                                      const void *pData);

/**
 * @brief Erases one 64 KiB flash sector (every bit set).
 * @devindex
 * @param[in] Sector The sector, 0 to KorvalCapabilities::FlashSectors - 1.
 * @retval ERROR_SUCCESS (0) erased.
 * @retval ERROR_SEEK (25) a sector the flash does not have.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no flash.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products As KORVAL_FlashRead().
 */
KORVAL_API uint32_t KORVAL_FlashEraseSector(uint32_t DeviceIndex, int32_t Sector);

/**
 * @brief Saves the board's present state as its power-on defaults.
 * @devindex
 * @retval ERROR_SUCCESS (0) saved.
 * @retval ERROR_NOT_SUPPORTED (50) the board's firmware lacks the newer feature set.
 * @boardcodes
 * @blocking At most two control requests (the firmware is asked once per slot), 5 s each.
 * @products Boards whose firmware has the newer feature set.
 */
KORVAL_API uint32_t KORVAL_SaveStateAsDefaults(uint32_t DeviceIndex);

/**
 * @brief Puts the factory's power-on defaults back.
 * @devindex
 * @retval ERROR_SUCCESS (0) restored.
 * @retval ERROR_NOT_SUPPORTED (50) the board's firmware lacks the newer feature set.
 * @boardcodes
 * @blocking At most two control requests, 5 s each.
 * @products Boards whose firmware has the newer feature set.
 */
KORVAL_API uint32_t KORVAL_RestoreFactoryDefaults(uint32_t DeviceIndex);

/**
 * @brief Sends the power-on defaults table.
 * @devindex
 * @param[in] pTable The table.
 * @param[in] pTableSize The bytes to send, at most 1,024.
 * @retval ERROR_SUCCESS (0) sent.
 * @retval ERROR_BAD_LENGTH (24) more than 1,024 bytes.
 * @retval ERROR_NOT_SUPPORTED (50) the board's firmware lacks the newer feature set.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read.
 * @boardcodes
 * @blocking At most two control requests, 5 s each.
 * @products Boards whose firmware has the newer feature set.
 */
KORVAL_API uint32_t KORVAL_SetDefaultsTable(uint32_t DeviceIndex, const void *pTable, const uint32_t *pTableSize);

/**
 * @brief Reads the power-on defaults table.
 *
 * A failed read leaves buffer and count as they were.
 * @devindex
 * @param[out] pTable The buffer.
 * @param[in,out] pTableSize In: the buffer's size, at most 1,024. Out: the bytes received.
 * @retval ERROR_SUCCESS (0) read.
 * @retval ERROR_BAD_LENGTH (24) a size above 1,024.
 * @retval ERROR_NOT_SUPPORTED (50) the board's firmware lacks the newer feature set.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read or written.
 * @boardcodes
 * @blocking At most two control requests, 5 s each.
 * @products Boards whose firmware has the newer feature set.
 */
KORVAL_API uint32_t KORVAL_GetDefaultsTable(uint32_t DeviceIndex, void *pTable, uint32_t *pTableSize);

/** @} */

/**
 * @defgroup adc Analog input
 * @brief The ADC configuration block, calibration, scans, one-shot and continuous acquisition.
 *
 * Boards with the bulk analog input (KorvalCapabilities::ADCBulk: 0x8040 to 0x805F and 0x8140 to
 * 0x815F) sample 16, 32 to 160 or 64 multiplexed channels with 16 bits. The guide's
 * @ref md_docs_acquisition "Acquisition" page shows how to take a measurement at a set rate.
 * @{
 */

/* ---- ADC configuration block ------------------------------------------------------------------------- */

/**
 * The longest ADC configuration block (20 or 21 bytes by product): range codes of range slots 0 to 15,
 * calibration mode (byte 16), trigger (17), scan limits (18, and 20 on 21-byte blocks), oversample (19).
 * Range code bits 0-2: gain code 0 0..10 V, 1 +-10 V, 2 0..5 V, 3 +-5 V, 4 0..2 V, 5 +-2 V, 6 0..1 V,
 * 7 +-1 V; bits 3-7: the caller's flag. Channel c uses range slot c >> the product's range shift.
 */
#define KORVAL_ADC_CONFIG_MAX 21u

/** Range slots at the start of the configuration block, one range code each. */
#define KORVAL_ADC_RANGE_SLOTS 16u
/** Offset of the calibration mode in the configuration block. */
#define KORVAL_ADC_CAL_MODE_BYTE 16u
/** Offset of the trigger byte (start source in bits 0-1) in the configuration block. */
#define KORVAL_ADC_TRIGGER_BYTE 17u
/** Offset of the scan limits: start channel bits 0-3, end channel bits 0-3 (high nibble). */
#define KORVAL_ADC_SCAN_LIMITS_BYTE 18u
/** Offset of the oversample count: samples per channel, less one. */
#define KORVAL_ADC_OVERSAMPLE_BYTE 19u
/** Offset, on 21-byte blocks, of the start and end channels' bits 4-7. */
#define KORVAL_ADC_SCAN_LIMITS_HIGH_BYTE 20u
/** The gain code's bits of a range code. */
#define KORVAL_ADC_GAIN_CODE_MASK 0x07u

/**
 * @brief Whether a gain code's range is bipolar (bit 0).
 * @param[in] GainCode A gain code, 0 to 7.
 * @return 1 for a bipolar range, 0 for a unipolar one.
 */
static inline int KORVAL_ADC_GainBipolar(uint8_t GainCode) { return (GainCode & 1) != 0; }

/**
 * @brief A gain code's span in volts: 1 V, doubled when bit 1 is clear, times 5 when bit 2 is clear.
 *
 * A bipolar range runs from -span to +span, a unipolar one from 0 to span.
 * @param[in] GainCode A gain code, 0 to 7.
 * @return The span in volts.
 */
static inline double KORVAL_ADC_GainSpanVolts(uint8_t GainCode)
{
    return ((GainCode & 2) ? 1.0 : 2.0) * ((GainCode & 4) ? 1.0 : 5.0);
}

/**
 * @brief Volts of a sample (or of a mean of samples) in counts, taken in the range a range code selects.
 * @param[in] Counts The sample, 0 to 65535 (a mean may lie between counts).
 * @param[in] RangeCode A range code; its gain-code bits select the range.
 * @return The volts.
 */
static inline double KORVAL_ADC_CountsToVolts(double Counts, uint8_t RangeCode)
{
    double m = Counts / 65536.0;
    if ((RangeCode & 1) != 0) m = 2.0 * m - 1.0;
    if ((RangeCode & 2) == 0) m = 2.0 * m;
    if ((RangeCode & 4) == 0) m = 5.0 * m;
    return m;
}

/**
 * @brief The first channel of the scan a configuration block holds.
 * @param[in] pBlock The configuration block.
 * @param[in] BlockSize Its size, 20 or 21 bytes.
 * @return The first channel.
 */
static inline uint32_t KORVAL_ADC_ScanStart(const uint8_t *pBlock, uint32_t BlockSize)
{
    return (BlockSize > KORVAL_ADC_SCAN_LIMITS_HIGH_BYTE ? (pBlock[KORVAL_ADC_SCAN_LIMITS_HIGH_BYTE] & 0x0Fu) * 16u
                                                         : 0u) +
           (pBlock[KORVAL_ADC_SCAN_LIMITS_BYTE] & 0x0Fu);
}

/**
 * @brief The last channel of the scan a configuration block holds.
 * @param[in] pBlock The configuration block.
 * @param[in] BlockSize Its size, 20 or 21 bytes.
 * @return The last channel.
 */
static inline uint32_t KORVAL_ADC_ScanEnd(const uint8_t *pBlock, uint32_t BlockSize)
{
    return (BlockSize > KORVAL_ADC_SCAN_LIMITS_HIGH_BYTE ? (pBlock[KORVAL_ADC_SCAN_LIMITS_HIGH_BYTE] & 0xF0u) : 0u) +
           (uint32_t)(pBlock[KORVAL_ADC_SCAN_LIMITS_BYTE] >> 4);
}

/**
 * @brief Reads the board's ADC configuration block.
 * @devindex
 * @param[out] pConfigBuf The buffer, at least KorvalCapabilities::ConfigBytes long.
 * @param[in,out] pConfigBufSize In: the buffer's size. Out: the block's size (also on 122).
 * @retval ERROR_SUCCESS (0) read.
 * @retval ERROR_INSUFFICIENT_BUFFER (122) the buffer is too small; *pConfigBufSize is the size needed.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read or written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no configuration block.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_GetConfig(uint32_t DeviceIndex, uint8_t *pConfigBuf, uint32_t *pConfigBufSize);

/**
 * @brief Writes the whole configuration block; its content is not examined.
 * @devindex
 * @param[in] pConfigBuf The block.
 * @param[in,out] pConfigBufSize In: the bytes in pConfigBuf. Out: the block's size.
 * @retval ERROR_SUCCESS (0) written.
 * @retval ERROR_INSUFFICIENT_BUFFER (122) fewer bytes than the block; *pConfigBufSize is the size needed.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read or written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no configuration block.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_SetConfig(uint32_t DeviceIndex, const uint8_t *pConfigBuf, uint32_t *pConfigBufSize);

/**
 * @brief Sets the gain code of every range slot.
 * @devindex
 * @param[in] pGainCodes One gain code (0 to 7) per range slot (KorvalCapabilities::ADCChannels bytes).
 * @param[in] RangeFlag Put in bits 3-7 of each range code.
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_INVALID_DATA (13) a gain code above 7.
 * @retval ERROR_INVALID_PARAMETER (87) pGainCodes is NULL.
 * @retval ERROR_NOACCESS (998) pGainCodes cannot be read.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no bulk analog input.
 * @boardcodes
 * @blocking Two control requests (read, write the block), at most 5 s each.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_RangeAll(uint32_t DeviceIndex, const uint8_t *pGainCodes, uint32_t RangeFlag);

/**
 * @brief Sets the gain code of one range slot; a range slot may cover several channels.
 * @devindex
 * @param[in] ADChannel The range slot.
 * @param[in] GainCode 0 to 7 (see ::KORVAL_ADC_CONFIG_MAX).
 * @param[in] RangeFlag Put in bits 3-7 of the range code.
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_INVALID_ADDRESS (487) a range slot beyond the board's.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no bulk analog input.
 * @boardcodes
 * @blocking Two control requests, at most 5 s each.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_Range1(uint32_t DeviceIndex, uint32_t ADChannel, uint8_t GainCode, uint32_t RangeFlag);

/**
 * @brief Sets the trigger byte and the calibration mode.
 *
 * Trigger byte bits 0-1 are the start source: 00 a start request (software start, what scans use),
 * 01 the board's scan clock (counters 1 and 2 of counter block 0; see CTR_StartOutputFreq()), 10 the
 * external trigger.
 * @devindex
 * @param[in] TriggerMode The trigger byte (any value).
 * @param[in] CalMode 0 normal; 1, 3, 5, 7 the reference modes.
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_INVALID_PARAMETER (87) CalMode is none of 0, 1, 3, 5, 7.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no bulk analog input.
 * @boardcodes
 * @blocking Two control requests, at most 5 s each.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_ADMode(uint32_t DeviceIndex, uint8_t TriggerMode, uint8_t CalMode);

/**
 * @brief Sets the channels a scan covers, StartChannel to EndChannel.
 * @devindex
 * @param[in] StartChannel The first channel.
 * @param[in] EndChannel The last channel, at least StartChannel, below KorvalCapabilities::ADCMUXChannels.
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_INVALID_PARAMETER (87) reversed, or beyond the board's channels.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no bulk analog input.
 * @boardcodes
 * @blocking Two control requests, at most 5 s each.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_SetScanLimits(uint32_t DeviceIndex, uint32_t StartChannel, uint32_t EndChannel);

/**
 * @brief Sets the extra samples taken per channel in one scan (each channel gives Oversample + 1).
 * @devindex
 * @param[in] Oversample Extra samples per channel, 0 to 255.
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no bulk analog input.
 * @boardcodes
 * @blocking Two control requests, at most 5 s each.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_SetOversample(uint32_t DeviceIndex, uint8_t Oversample);

/* ---- Analog input: scans, one-shot acquisition, calibration ------------------------------------------ */

/**
 * @brief Sends the start request that begins a conversion the board has been told to expect.
 *
 * Reads nothing: use it after announcing samples yourself.
 * @devindex
 * @param[in] Channel Sent as the request's wIndex.
 * @param[out] pData Set to 0.
 * @retval ERROR_SUCCESS (0) sent.
 * @retval ERROR_TOO_MANY_OPEN_FILES (4) a one-shot acquisition still has bytes to read.
 * @retval ERROR_INVALID_PARAMETER (87) pData is NULL.
 * @retval ERROR_NOACCESS (998) *pData cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no bulk analog input.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_GetImmediate(uint32_t DeviceIndex, uint16_t Channel, uint16_t *pData);

/**
 * @brief One scan of the configured channels, in counts.
 *
 * Started at once: every channel from the start to the end channel is sampled Oversample + 1 times
 * (Oversample raised to 1, and lowered so that a scan takes at most 1,024 samples; the board keeps the
 * block as the scan wrote it), the first sample of each channel is dropped and the rest averaged
 * (rounded, halves to even). Boards without the bulk section read their immediate inputs (0 to 5 V).
 * @devindex
 * @param[out] pBuf Indexed by channel; only the scanned elements are written.
 * @retval ERROR_SUCCESS (0) pBuf holds the scan.
 * @retval ERROR_TIMEOUT (1460) the samples did not come.
 * @retval ERROR_INVALID_PARAMETER (87) pBuf is NULL.
 * @retval ERROR_NOACCESS (998) pBuf cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no analog input.
 * @boardcodes
 * @blocking At most 1 s plus 1 ms per sample of the scan.
 * @products Boards with the bulk analog input; immediate inputs of 0x8036, 0x8037 and the even
 *           products of 0x8060, 0x8070 to 0x807F.
 */
KORVAL_API uint32_t ADC_GetScan(uint32_t DeviceIndex, uint16_t *pBuf);

/**
 * @brief One scan of the configured channels, in volts by each channel's range (see ADC_GetScan()).
 * @devindex
 * @param[out] pVolts Indexed by channel; only the scanned elements are written.
 * @return As ADC_GetScan().
 * @blocking At most 1 s plus 1 ms per sample of the scan.
 * @products As ADC_GetScan().
 */
KORVAL_API uint32_t ADC_GetScanV(uint32_t DeviceIndex, double *pVolts);

/**
 * @brief One channel of a volts scan.
 * @devindex
 * @param[in] ChannelIndex The channel.
 * @param[out] pVolt Its volts; a quiet NaN for a channel outside the configured scan.
 * @retval ERROR_SUCCESS (0) stored.
 * @retval ERROR_INVALID_INDEX (1413) a channel the board does not have.
 * @retval ERROR_TIMEOUT (1460) the samples did not come.
 * @retval ERROR_INVALID_PARAMETER (87) pVolt is NULL.
 * @retval ERROR_NOACCESS (998) *pVolt cannot be written.
 * @boardcodes
 * @blocking As ADC_GetScan().
 * @products As ADC_GetScan().
 */
KORVAL_API uint32_t ADC_GetChannelV(uint32_t DeviceIndex, uint32_t ChannelIndex, double *pVolt);

/**
 * @brief A scan left to the board's trigger, in counts.
 *
 * The trigger byte's start source is kept. When no trigger has come after TimeoutMS milliseconds, the
 * library starts the scan itself and returns 1460, writing nothing.
 * @devindex
 * @param[out] pBuf Indexed by channel; only the scanned elements are written.
 * @param[in] TimeoutMS Milliseconds to wait for the trigger; 0 or less counts as 1.
 * @retval ERROR_SUCCESS (0) a triggered scan.
 * @retval ERROR_TIMEOUT (1460) no trigger came; pBuf is not written.
 * @retval ERROR_INVALID_PARAMETER (87) pBuf is NULL.
 * @retval ERROR_NOACCESS (998) pBuf cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no bulk analog input.
 * @boardcodes
 * @blocking At most TimeoutMS plus 1 s plus 1 ms per sample.
 * @thread A short-lived thread of the library starts the scan when the time-out passes.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_GetTrigScan(uint32_t DeviceIndex, uint16_t *pBuf, int32_t TimeoutMS);

/**
 * @brief A scan left to the board's trigger, in volts; on a time-out the library's own scan is delivered.
 * @devindex
 * @param[out] pVolts Indexed by channel; only the scanned elements are written.
 * @param[in] TimeoutMS Milliseconds to wait for the trigger; 0 or less counts as 1.
 * @retval ERROR_SUCCESS (0) a triggered scan.
 * @retval ERROR_TIMEOUT (1460) no trigger came; pVolts holds the scan the library started.
 * @retval ERROR_INVALID_PARAMETER (87) pVolts is NULL.
 * @retval ERROR_NOACCESS (998) pVolts cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no bulk analog input.
 * @boardcodes
 * @blocking At most TimeoutMS plus 1 s plus 1 ms per sample.
 * @thread A short-lived thread of the library starts the scan when the time-out passes.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_GetTrigScanV(uint32_t DeviceIndex, double *pVolts, int32_t TimeoutMS);

/**
 * @brief Checks the board only: 0 for a board with the bulk analog input.
 * @devindex
 * @retval ERROR_SUCCESS (0) the board has the bulk analog input.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) it has not.
 * @boardcodes
 * @blocking Never waits for the board beyond the open check.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_Start(uint32_t DeviceIndex);

/**
 * @brief Checks the board only, as ADC_Start().
 * @devindex
 * @return As ADC_Start().
 * @blocking Never waits for the board beyond the open check.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_Stop(uint32_t DeviceIndex);

/**
 * @brief Starts a one-shot acquisition of BufSize bytes into pBuf, read in the background.
 *
 * The board starts sampling as its trigger byte says (for a set rate: the scan clock, start source 01);
 * no start request is sent. Poll with ADC_BulkPoll() until 0 bytes are left.
 * @devindex
 * @param[in] BufSize Bytes to acquire: two per sample, even, at most 0x7FFFFFFF.
 * @param[out] pBuf The caller's buffer; it must stay valid until the acquisition has ended.
 * @retval ERROR_SUCCESS (0) started.
 * @retval ERROR_TOO_MANY_OPEN_FILES (4) another acquisition runs on the board.
 * @retval ERROR_INVALID_PARAMETER (87) BufSize 0, odd or above 0x7FFFFFFF, or pBuf NULL.
 * @retval ERROR_NOACCESS (998) pBuf cannot be written over its whole length.
 * @retval ERROR_NOT_ENOUGH_MEMORY (8) no thread could be started.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no bulk analog input.
 * @boardcodes
 * @blocking Two control requests, at most 5 s each; the data moves on the library's acquisition thread.
 * @thread The reads run on a thread of the library; no callback.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_BulkAcquire(uint32_t DeviceIndex, uint32_t BufSize, void *pBuf);

/**
 * @brief The bytes of a one-shot acquisition still to come (0: done).
 * @devindex
 * @param[out] pBytesLeft The bytes still to come.
 * @retval ERROR_SUCCESS (0) running or done; see *pBytesLeft.
 * @retval ERROR_FILE_NOT_FOUND (2) no acquisition was started.
 * @retval ERROR_OPERATION_ABORTED (995) ADC_BulkAbort() ended it.
 * @retval ERROR_TIMEOUT (1460) the board stopped sending (5 s plus 1 ms per sample of a read).
 * @retval ERROR_DEVICE_REMOVED (1617) the board was unplugged.
 * @retval ERROR_INVALID_PARAMETER (87) pBytesLeft is NULL.
 * @retval ERROR_NOACCESS (998) *pBytesLeft cannot be written.
 * @boardcodes
 * @blocking Never waits for the board.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_BulkPoll(uint32_t DeviceIndex, int32_t *pBytesLeft);

/**
 * @brief Ends a running one-shot acquisition (its poll then gives 995); for one that has ended, its result.
 *
 * Exported under this name only.
 * @devindex
 * @retval ERROR_SUCCESS (0) ended.
 * @retval ERROR_FILE_NOT_FOUND (2) no acquisition was started.
 * @boardcodes
 * @blocking Until the acquisition thread has ended: its pending read is cancelled at once.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_BulkAbort(uint32_t DeviceIndex);

/**
 * @brief Whether the board takes an ADC calibration table.
 * @devindex
 * @retval ERROR_SUCCESS (0) it does.
 * @retval ERROR_NOT_SUPPORTED (50) it does not.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no bulk analog input.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_QueryCal(uint32_t DeviceIndex);

/**
 * @brief Loads the board's ADC calibration table.
 *
 * ":AUTO:" measures the board's two references and uploads the tables that fit them, ":NORM:" the
 * nominal tables, ":1TO1:" or ":NONE:" the identity, any other name a file of exactly 65,536
 * little-endian 16-bit entries (bytes beyond are ignored). Names are case-sensitive. The configuration
 * block is the caller's again afterwards.
 * @devindex
 * @param[in] pCalFileName The special name or the file's path, zero-terminated.
 * @retval ERROR_SUCCESS (0) uploaded.
 * @retval ERROR_INVALID_DATA (13) ":AUTO:" read a reference outside its window.
 * @retval ERROR_HANDLE_EOF (38) the file is shorter than 131,072 bytes.
 * @retval ERROR_MOD_NOT_FOUND (126) another name starting with ":".
 * @retval ERROR_FILE_NOT_FOUND (2) the file cannot be opened.
 * @retval ERROR_NOT_SUPPORTED (50) the board takes no table.
 * @retval ERROR_INVALID_PARAMETER (87) pCalFileName is NULL.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no bulk analog input.
 * @boardcodes
 * @blocking The upload's control requests, at most 5 s each; ":AUTO:" also two reference scans (about 1 s each at most).
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_SetCal(uint32_t DeviceIndex, const char *pCalFileName);

/**
 * @brief Measures the board's low or high reference in volts, in the range of range slot 0.
 *
 * The configuration block is the caller's again afterwards.
 * @devindex
 * @param[in] CalRefIndex 0 the low reference, 1 the high one.
 * @param[out] pRef The reference in volts.
 * @retval ERROR_SUCCESS (0) measured.
 * @retval ERROR_INVALID_INDEX (1413) another CalRefIndex.
 * @retval ERROR_TIMEOUT (1460) the samples did not come.
 * @retval ERROR_INVALID_PARAMETER (87) pRef is NULL.
 * @retval ERROR_NOACCESS (998) *pRef cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no bulk analog input.
 * @boardcodes
 * @blocking About 10 ms of settling and one scan, at most about 2 s.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_GetCalRefV(uint32_t DeviceIndex, uint32_t CalRefIndex, double *pRef);

/**
 * @brief ADC_SetConfig() when a block is given, then ADC_SetCal() when a name is given.
 * @devindex
 * @param[in] pConfigBuf The configuration block, or NULL to leave it.
 * @param[in,out] pConfigBufSize As for ADC_SetConfig(); a NULL pointer or 0 leaves the block.
 * @param[in] pCalFileName As for ADC_SetCal(), or NULL to leave the calibration.
 * @return The first failure of the two calls, or 0.
 * @blocking As the two calls.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_Initialize(uint32_t DeviceIndex, const uint8_t *pConfigBuf, uint32_t *pConfigBufSize,
                                   const char *pCalFileName);

/* ---- Continuous acquisition --------------------------------------------------------------------------- */


/** Callback flag: the first buffer after a new sample-count request to the board (may come with 4). */
#define KORVAL_CONT_NEW_BLOCK 1u /* the first buffer after a new sample-count request to the board */
/** Callback flag: the last call of an acquisition: pBuf NULL, BufSize 0. */
#define KORVAL_CONT_FINAL 2u     /* the last call: pBuf NULL, BufSize 0 */
/** Callback flag: no blank buffer was left, so the ring grew by this one; no data was dropped. */
#define KORVAL_CONT_GROWN 4u     /* no blank buffer was left: the ring grew by this one */

/**
 * @brief The callback of continuous acquisition.
 *
 * Called on the library's buffer thread, one call at a time, in the order the buffers were filled.
 * It may call any library function except ADC_BulkContinuousEnd() for its own board (which gives 50
 * there); a callback that takes long makes the ring grow instead of losing data.
 * @param[in] pBuf BufSize bytes of the board's 16-bit samples as received, valid only during the call
 *            (NULL in the final call).
 * @param[in] BufSize The bytes in pBuf (0 in the final call).
 * @param[in] Flags ::KORVAL_CONT_NEW_BLOCK, ::KORVAL_CONT_FINAL, ::KORVAL_CONT_GROWN.
 * @param[in] Context The value given to ADC_BulkContinuousStart().
 */
typedef void(KORVAL_CALLBACK *PContCallback)(uint16_t *pBuf, uint32_t BufSize, uint32_t Flags, uint32_t Context);

/**
 * @brief Starts an endless acquisition into a ring of BufCount buffers of BufSize bytes each.
 *
 * The board is told the next sample count every BufSize x BufCount bytes and samples as its trigger byte
 * says (at a set rate: the scan clock). A callback that falls behind makes the ring grow
 * (::KORVAL_CONT_GROWN); no data is dropped. Size a buffer by time: scans per second x channels x
 * (oversample + 1) x 2 bytes x seconds,
 * rounded up to a multiple of 512 (see @ref md_docs_acquisition "Acquisition").
 * @devindex
 * @param[in] BufSize Bytes per buffer, a multiple of 512.
 * @param[in] BufCount Buffers in the ring, at least 1.
 * @param[in] Context Passed to every call of the callback.
 * @param[in] pCallback The callback; see ::PContCallback.
 * @retval ERROR_SUCCESS (0) started.
 * @retval ERROR_INVALID_USER_BUFFER (1784) BufSize is not a multiple of 512.
 * @retval ERROR_INVALID_PARAMETER (87) BufSize 0, BufCount below 1, pCallback NULL, or BufSize x BufCount beyond 4 GiB - 1.
 * @retval ERROR_TOO_MANY_OPEN_FILES (4) an acquisition of either kind runs on the board.
 * @retval ERROR_NOT_ENOUGH_MEMORY (8) the ring cannot be allocated.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no bulk analog input.
 * @boardcodes
 * @blocking Control requests at the start, at most 5 s each.
 * @thread Two threads of the library: one reads the board into the ring, the buffer thread calls the
 *         callback.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_BulkContinuousStart(uint32_t DeviceIndex, uint32_t BufSize, int32_t BufCount,
                                            uint32_t Context, PContCallback pCallback);

/**
 * @brief Ends continuous acquisition: stops both threads, delivers what was read, makes the final call.
 *
 * Works also when the board stopped sending or was unplugged: a pending read is cancelled. The filled
 * buffers still waiting are delivered, then the final ::KORVAL_CONT_FINAL call is made and the ring freed.
 * @devindex
 * @param[out] pIOStatus May be NULL. 0, or the code of the failure that ended the stream (1617 after an unplug).
 * @retval ERROR_SUCCESS (0) ended.
 * @retval ERROR_HANDLE_EOF (38) no acquisition runs.
 * @retval ERROR_NOT_SUPPORTED (50) called from inside the callback.
 * @retval ERROR_NOACCESS (998) *pIOStatus cannot be written.
 * @boardcodes (after ending the acquisition, when the board has gone).
 * @blocking Until the callback has had every buffer: the reader is stopped at once.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_BulkContinuousEnd(uint32_t DeviceIndex, uint32_t *pIOStatus);

/**
 * @brief The ring's buffers by state. Exported under this plain name only.
 * @devindex
 * @param[out] pBlanks Buffers free to be filled.
 * @param[out] pAccessings Buffers being filled or delivered.
 * @param[out] pGotDatas Buffers filled, waiting for the callback.
 * @retval ERROR_SUCCESS (0) stored.
 * @retval ERROR_HANDLE_EOF (38) no acquisition runs.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be written.
 * @boardcodes
 * @blocking Never waits for the board.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_BulkContinuousDebug(uint32_t DeviceIndex, int32_t *pBlanks, int32_t *pAccessings,
                                            int32_t *pGotDatas);

/* ---- Fast internal-trigger scans ------------------------------------------------------------------------ */

/**
 * @brief Prepares fast scans: saves the block, writes a fast-scan block for all channels, switches the board over.
 *
 * The fast-scan block covers channels 0 to n - 1 (n the board's channels, at most 64).
 * @devindex
 * @retval ERROR_SUCCESS (0) ready for ADC_GetFastITScanV().
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no bulk analog input.
 * @boardcodes
 * @blocking A few control requests, at most 5 s each.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_InitFastITScanV(uint32_t DeviceIndex);

/**
 * @brief Writes the saved block back and switches the fast-scan setting off.
 * @devindex
 * @retval ERROR_SUCCESS (0) reset.
 * @retval ERROR_INSUFFICIENT_BUFFER (122) no ADC_InitFastITScanV() came before.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no bulk analog input.
 * @boardcodes
 * @blocking Two control requests, at most 5 s each.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_ResetFastITScanV(uint32_t DeviceIndex);

/**
 * @brief Scans channels 0 to NewChannels - 1 from now on.
 * @devindex
 * @param[in] NewChannels 1 to the board's channels.
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_NOT_READY (21) no ADC_InitFastITScanV() came before.
 * @retval ERROR_INVALID_PARAMETER (87) NewChannels 0.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no bulk analog input.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_SetFastITScanVChannels(uint32_t DeviceIndex, uint32_t NewChannels);

/**
 * @brief One fast scan, in volts.
 * @devindex
 * @param[out] pVolts pVolts[c] for every scanned channel c.
 * @retval ERROR_SUCCESS (0) stored.
 * @retval ERROR_TIMEOUT (1460) the data did not come within 1,000 ms.
 * @retval ERROR_HANDLE_EOF (38) the scan ended short.
 * @retval ERROR_NOT_READY (21) no ADC_InitFastITScanV() came before.
 * @retval ERROR_INVALID_PARAMETER (87) pVolts is NULL.
 * @retval ERROR_NOACCESS (998) pVolts cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no bulk analog input.
 * @boardcodes
 * @blocking At most about 1 s.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_GetFastITScanV(uint32_t DeviceIndex, double *pVolts);

/**
 * @brief Init, one fast scan and reset in one call: the board's block and setting are back when it returns.
 * @devindex
 * @param[out] pVolts pVolts[c] for every scanned channel c.
 * @return The first failure of the three steps, or 0 (see ADC_GetFastITScanV()).
 * @blocking At most about 1 s plus the control requests.
 * @products Boards with the bulk analog input.
 */
KORVAL_API uint32_t ADC_GetITScanV(uint32_t DeviceIndex, double *pVolts);

/** @} */

/**
 * @defgroup dac Analog output
 * @brief Immediate DAC values, the board range and calibration, and waveform output.
 *
 * Immediate outputs: 0x4001 to 0x4003 (8), 0x8060 and 0x8070 to 0x807F (4 to 16), 0x8140 to 0x815F (2).
 * Waveform output: 0x4001 and 0x4002. See the guide's @ref md_docs_waveforms "Waveforms" page.
 * @{
 */

/* ---- Immediate DAC output and calibration ------------------------------------------------------------ */

/**
 * @brief One element of DACMultiDirect()'s list. 4 bytes, packed, channel first, both little-endian.
 */
typedef struct KorvalDACPair {
    uint16_t Channel; /**< a DAC channel, 0 up */
    uint16_t Value;   /**< the count to put out on it */
} KorvalDACPair;

/**
 * @brief Puts out a 16-bit count on one DAC channel.
 * @devindex
 * @param[in] Channel The channel, 0 to KorvalCapabilities::ImmDACs - 1.
 * @param[in] Value The count.
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_INVALID_ADDRESS (487) a channel the board does not have.
 * @retval ERROR_TOO_MANY_OPEN_FILES (4) waveform output owns the DACs.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no immediate DACs.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with immediate DACs (KorvalCapabilities::ImmDACs).
 */
KORVAL_API uint32_t DACDirect(uint32_t DeviceIndex, uint16_t Channel, uint16_t Value);

/**
 * @brief Sets several channels in one request; a channel named twice takes its last value.
 * @devindex
 * @param[in] pDACData DACDataCount channel/value pairs.
 * @param[in] DACDataCount The pairs; 0 does nothing.
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_INVALID_ADDRESS (487) a channel out of range; nothing is sent.
 * @retval ERROR_INVALID_PARAMETER (87) a negative count, or pDACData NULL with pairs.
 * @retval ERROR_NOACCESS (998) pDACData cannot be read.
 * @retval ERROR_TOO_MANY_OPEN_FILES (4) waveform output owns the DACs.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no immediate DACs.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with immediate DACs.
 */
KORVAL_API uint32_t DACMultiDirect(uint32_t DeviceIndex, const KorvalDACPair *pDACData, int32_t DACDataCount);

/**
 * @brief Selects the board-wide output range.
 * @devindex
 * @param[in] Range The board's range code.
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no range selection.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products KorvalCapabilities::DACBoardRange: 0x8060, 0x8070 to 0x807F, 0x8140 to 0x815F.
 */
KORVAL_API uint32_t DACSetBoardRange(uint32_t DeviceIndex, uint16_t Range);

/**
 * @brief Loads a channel's calibration table into the board's flash from a text file.
 *
 * The file holds 65,536 integers, one a line (decimal with an optional sign, or hexadecimal after $,
 * x, X, 0x or 0X; the low 16 bits are kept; empty lines are skipped). The flash is untouched when the
 * file fails.
 * @devindex
 * @param[in] Channel The DAC channel.
 * @param[in] pCalFileName The file's path, or ":1TO1:" / ":NONE:" to clear the table.
 * @retval ERROR_SUCCESS (0) loaded.
 * @retval ERROR_HANDLE_EOF (38) too few entries.
 * @retval ERROR_INVALID_DATA (13) a line that is not an integer.
 * @retval ERROR_OUTOFMEMORY (14) the file cannot be read.
 * @retval ERROR_INVALID_ADDRESS (487) a channel the board does not have.
 * @retval ERROR_INVALID_PARAMETER (87) pCalFileName is NULL.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no per-channel calibration.
 * @boardcodes
 * @blocking The flash writes, control requests of at most 5 s each.
 * @products KorvalCapabilities::DACChannelCal: 0x8060, 0x8070 to 0x807F.
 */
KORVAL_API uint32_t DACSetChannelCal(uint32_t DeviceIndex, uint32_t Channel, const char *pCalFileName);

/* ---- DAC waveform output ----------------------------------------------------------------------------- */

/*
 * A board with streamed analog output plays a waveform from its own buffer at a point rate of
 * 12,000,000 / divisor points per second. Frames of points (DACOutputSetCount channels each, 5 at first)
 * are queued and sent to the board in 8,192-byte blocks by a background worker, which starts the output
 * once 163,840 bytes are on their way (or DACOutputStart does). Every function gives 1349 on a board
 * without waveform output. Each sample is a 16-bit word: bits 0-11 the DAC code, bit 13 the end of a
 * point, bit 14 the end of a frame, bit 15 the end of the waveform.
 */

/**
 * @brief Opens waveform output at a point rate and writes the rate obtained back.
 *
 * The rate is 12,000,000 / divisor points per second. Frames queued with DACOutputFrame() go to the
 * board in 8,192-byte blocks from a worker thread, which starts the output once 163,840 bytes are on
 * their way (or DACOutputStart() does).
 * @devindex
 * @param[in,out] pClockHz In: points per second asked for. Out: the rate obtained.
 * @retval ERROR_SUCCESS (0) open.
 * @retval ERROR_TOO_MANY_OPEN_FILES (4) output is open or closing.
 * @retval ERROR_INVALID_PARAMETER (87) a rate that is not a number, not above 0, or outside about 183.1 to 24,000,000.
 * @retval ERROR_NOACCESS (998) *pClockHz cannot be read or written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no waveform output.
 * @boardcodes
 * @blocking A few control requests, at most 5 s each.
 * @thread Starts the library's DAC worker thread (no callback).
 * @products KorvalCapabilities::DACStream: 0x4001, 0x4002.
 */
KORVAL_API uint32_t DACOutputOpen(uint32_t DeviceIndex, double *pClockHz);

/**
 * @brief Another name of DACOutputOpen(): the same entry point.
 * @devindex
 * @param[in,out] pClockHz As for DACOutputOpen().
 * @return As DACOutputOpen().
 * @blocking As DACOutputOpen().
 * @products As DACOutputOpen().
 */
KORVAL_API uint32_t DACOutputOpenNoClear(uint32_t DeviceIndex, double *pClockHz);

/**
 * @brief Sets the channels per point.
 * @devindex
 * @param[in] NewCount 1 to 8 (5 when the output opens).
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_INVALID_PARAMETER (87) 0.
 * @retval ERROR_OUTOFMEMORY (14) above 8.
 * @retval ERROR_FILE_NOT_FOUND (2) output is not open.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no waveform output.
 * @boardcodes
 * @blocking Never waits for the board.
 * @products As DACOutputOpen().
 */
KORVAL_API uint32_t DACOutputSetCount(uint32_t DeviceIndex, uint32_t NewCount);

/**
 * @brief Queues a frame of points; the library sets the end-of-point and end-of-frame bits.
 * @devindex
 * @param[in] FramePoints Points in the frame, 1 to 6,400.
 * @param[in] pFrameData FramePoints x DACOutputSetCount() samples; bits 0-11 of each are kept.
 * @retval ERROR_SUCCESS (0) queued.
 * @retval ERROR_NOT_READY (21) more than 32 blocks wait for the board; nothing queued: try again later.
 * @retval ERROR_INVALID_PARAMETER (87) 0 points, or pFrameData NULL.
 * @retval ERROR_OUTOFMEMORY (14) more than 6,400 points.
 * @retval ERROR_NOACCESS (998) pFrameData cannot be read.
 * @retval ERROR_FILE_NOT_FOUND (2) output is not open.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no waveform output.
 * @boardcodes
 * @blocking Never waits for the board: the worker sends the blocks.
 * @products As DACOutputOpen().
 */
KORVAL_API uint32_t DACOutputFrame(uint32_t DeviceIndex, uint32_t FramePoints, const uint16_t *pFrameData);

/**
 * @brief As DACOutputFrame(), with the caller's words queued exactly as given (the caller sets the tag bits).
 * @devindex
 * @param[in] FramePoints Points in the frame, 1 to 6,400.
 * @param[in] pFrameData The words.
 * @return As DACOutputFrame().
 * @blocking Never waits for the board.
 * @products As DACOutputOpen().
 */
KORVAL_API uint32_t DACOutputFrameRaw(uint32_t DeviceIndex, uint32_t FramePoints, const uint16_t *pFrameData);

/**
 * @brief Starts the output now instead of when 163,840 bytes are on their way.
 * @devindex
 * @retval ERROR_SUCCESS (0) started.
 * @retval ERROR_ALREADY_EXISTS (183) already started.
 * @retval ERROR_FILE_NOT_FOUND (2) output is not open.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no waveform output.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products As DACOutputOpen().
 */
KORVAL_API uint32_t DACOutputStart(uint32_t DeviceIndex);

/**
 * @brief Turns the board's output interlock on or off.
 * @devindex
 * @param[in] bInterlock Non-zero: on.
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no waveform output.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products As DACOutputOpen().
 */
KORVAL_API uint32_t DACOutputSetInterlock(uint32_t DeviceIndex, uint32_t bInterlock);

/**
 * @brief Ends waveform output: marks the end of the waveform and returns once every queued block reached the board.
 *
 * After an unplug the worker is stopped all the same.
 * @devindex
 * @retval ERROR_SUCCESS (0) every block reached the board.
 * @retval ERROR_TIMEOUT (1460) the board stopped taking data and blocks had to be dropped.
 * @retval ERROR_DEVICE_REMOVED (1617) the board went before all of them reached it.
 * @retval ERROR_FILE_NOT_FOUND (2) output is not open.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no waveform output.
 * @boardcodes
 * @blocking Until the queue has drained (the time the board needs to play it); a board that takes
 *           nothing is given up after 1 s plus twice the time one block plays.
 * @products As DACOutputOpen().
 */
KORVAL_API uint32_t DACOutputClose(uint32_t DeviceIndex);

/**
 * @brief As DACOutputClose() without the end-of-waveform mark.
 * @devindex
 * @return As DACOutputClose().
 * @blocking As DACOutputClose().
 * @products As DACOutputOpen().
 */
KORVAL_API uint32_t DACOutputCloseNoEnd(uint32_t DeviceIndex);

/**
 * @brief Plays words at a rate without a worker: programs the rate, sends the words, starts the output.
 * @devindex
 * @param[in,out] pClockHz In: points per second asked for. Out: the rate obtained.
 * @param[in] NumSamples Words to send, fewer than 131,072.
 * @param[in] pSampleData The words, sent as they are.
 * @retval ERROR_SUCCESS (0) sent and started.
 * @retval ERROR_OUTOFMEMORY (14) 131,072 words or more.
 * @retval ERROR_TOO_MANY_OPEN_FILES (4) output is open.
 * @retval ERROR_TIMEOUT (1460) the board took no data for 2 s.
 * @retval ERROR_INVALID_PARAMETER (87) a bad rate or a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read or written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no waveform output.
 * @boardcodes
 * @blocking Until the words are sent; a board that takes nothing for 2 s ends it.
 * @products As DACOutputOpen().
 */
KORVAL_API uint32_t DACOutputProcess(uint32_t DeviceIndex, double *pClockHz, uint32_t NumSamples,
                                     const uint16_t *pSampleData);

/**
 * @brief Not supported: returns 50 without looking at its argument.
 * @param[in] DeviceIndex Not looked at.
 * @retval ERROR_NOT_SUPPORTED (50) always; end output with DACOutputClose().
 * @blocking Never.
 * @products None.
 */
KORVAL_API uint32_t DACOutputAbort(uint32_t DeviceIndex);

/**
 * @brief Not supported: returns 50 without looking at its argument.
 * @param[in] DeviceIndex Not looked at.
 * @retval ERROR_NOT_SUPPORTED (50) always.
 * @blocking Never.
 * @products None.
 */
KORVAL_API uint32_t DACOutputStatus(uint32_t DeviceIndex);

/** @} */

/**
 * @defgroup dio Digital I/O
 * @brief Digital ports, digital streaming, SPI and the CSA functions, automap, PWM, latches, debounce.
 *
 * Boards with digital ports (KorvalCapabilities::DIOBytes): 0x8001 to 0x8004, 0x8008 to 0x800A,
 * 0x800C to 0x800F, 0x8010 to 0x801F (not 0x8013, 0x8017, 0x801B), 0x8030 to 0x8037, 0x8040 to 0x805F,
 * 0x8060, 0x8070 to 0x807F, 0x8140 to 0x815F.
 *
 * Port p is byte p of every port buffer; line n is bit n % 8 of port n / 8. The direction mask
 * (pOutMask) has one bit per port, or per line on boards that say so (KorvalCapabilities::DIOConfigBits),
 * in as few bytes as hold them; the tristate mask likewise. Both go to the board unchanged. The library
 * keeps the last output levels it sent (the output cache): single-bit and single-byte writes send the
 * whole cache, changed.
 * @{
 */

/* ---- Digital ports ----------------------------------------------------------------------------------- */

/**
 * @brief Sets output levels and directions.
 *
 * The output cache takes pData even when the request fails.
 * @devindex
 * @param[in] bTristate Non-zero asks the board to float its outputs.
 * @param[in] pOutMask The direction mask: a set bit makes its port (or line) an output.
 * @param[in] pData The output levels, one byte per port.
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no digital ports.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with digital ports.
 */
KORVAL_API uint32_t DIO_Configure(uint32_t DeviceIndex, uint8_t bTristate, const void *pOutMask, const void *pData);

/**
 * @brief DIO_Configure() with a tristate mask.
 * @devindex
 * @param[in] pOutMask The direction mask.
 * @param[in] pData The output levels, one byte per port.
 * @param[in] pTristateMask The tristate mask (KorvalCapabilities::Tristates bytes).
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no tristate control.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with tristate control: 0x800C to 0x800F.
 */
KORVAL_API uint32_t DIO_ConfigureEx(uint32_t DeviceIndex, const void *pOutMask, const void *pData,
                                    const void *pTristateMask);

/**
 * @brief Reads the direction and tristate masks back from the board.
 * @devindex
 * @param[out] pOutMask The direction mask.
 * @param[out] pTristateMask The tristate mask.
 * @retval ERROR_SUCCESS (0) read.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no tristate control.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with tristate control: 0x800C to 0x800F.
 */
KORVAL_API uint32_t DIO_ConfigurationQuery(uint32_t DeviceIndex, void *pOutMask, void *pTristateMask);

/**
 * @brief Sets or clears one output line.
 * @devindex
 * @param[in] BitIndex The line, 0 to 8 x ports - 1.
 * @param[in] bData Non-zero sets the line.
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_INVALID_ADDRESS (487) a line beyond the board's.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no digital ports.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with digital ports.
 */
KORVAL_API uint32_t DIO_Write1(uint32_t DeviceIndex, uint32_t BitIndex, uint8_t bData);

/**
 * @brief Sets one port's output levels.
 * @devindex
 * @param[in] ByteIndex The port.
 * @param[in] Data Its levels.
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_INVALID_ADDRESS (487) a port beyond the board's.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no digital ports.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with digital ports.
 */
KORVAL_API uint32_t DIO_Write8(uint32_t DeviceIndex, uint32_t ByteIndex, uint8_t Data);

/**
 * @brief Sets every port's output levels.
 * @devindex
 * @param[in] pData One byte per port.
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_INVALID_PARAMETER (87) pData is NULL.
 * @retval ERROR_NOACCESS (998) pData cannot be read.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no digital ports.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with digital ports.
 */
KORVAL_API uint32_t DIO_WriteAll(uint32_t DeviceIndex, const void *pData);

/**
 * @brief Reads one line. Reads never change the output cache.
 * @devindex
 * @param[in] BitIndex The line.
 * @param[out] pBit 1 or 0.
 * @retval ERROR_SUCCESS (0) read.
 * @retval ERROR_INVALID_ADDRESS (487) a line beyond the board's.
 * @retval ERROR_INVALID_PARAMETER (87) pBit is NULL.
 * @retval ERROR_NOACCESS (998) *pBit cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no digital ports.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with digital ports.
 */
KORVAL_API uint32_t DIO_Read1(uint32_t DeviceIndex, uint32_t BitIndex, uint8_t *pBit);

/**
 * @brief Reads one port's levels.
 * @devindex
 * @param[in] ByteIndex The port.
 * @param[out] pByte Its levels.
 * @retval ERROR_SUCCESS (0) read.
 * @retval ERROR_INVALID_ADDRESS (487) a port beyond the board's.
 * @retval ERROR_INVALID_PARAMETER (87) pByte is NULL.
 * @retval ERROR_NOACCESS (998) *pByte cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no digital ports.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with digital ports.
 */
KORVAL_API uint32_t DIO_Read8(uint32_t DeviceIndex, uint32_t ByteIndex, uint8_t *pByte);

/**
 * @brief Reads every port's levels.
 * @devindex
 * @param[out] pData One byte per port.
 * @retval ERROR_SUCCESS (0) read.
 * @retval ERROR_INVALID_PARAMETER (87) pData is NULL.
 * @retval ERROR_NOACCESS (998) pData cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no digital ports.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with digital ports.
 */
KORVAL_API uint32_t DIO_ReadAll(uint32_t DeviceIndex, void *pData);

/**
 * @brief Writes one 16-bit word of the board's offline memory.
 * @devindex
 * @param[in] Address The word's 32-bit address.
 * @param[in] Value The word.
 * @retval ERROR_SUCCESS (0) written.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with offline memory.
 */
KORVAL_API uint32_t KORVAL_OfflineWrite1(uint32_t DeviceIndex, uint32_t Address, uint16_t Value);

/**
 * @brief Reads one 16-bit word of the board's offline memory.
 * @devindex
 * @param[in] Address The word's 32-bit address.
 * @param[out] pValue The word.
 * @retval ERROR_SUCCESS (0) read.
 * @retval ERROR_INVALID_PARAMETER (87) pValue is NULL.
 * @retval ERROR_NOACCESS (998) *pValue cannot be written.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with offline memory.
 */
KORVAL_API uint32_t KORVAL_OfflineRead1(uint32_t DeviceIndex, uint32_t Address, uint16_t *pValue);

/* ---- Digital streaming ------------------------------------------------------------------------------- */

/*
 * Boards with digital streaming (1349 elsewhere) move 16-bit points (2 bytes each) between the host and
 * the board, paced by two clocks of the board. One stream per board, in one direction. See the guide's
 * digital-streaming page.
 */

/**
 * @brief Opens the board's digital stream in one direction.
 *
 * The stream counts as open even when the board's request fails.
 * @devindex
 * @param[in] bIsRead Non-zero: board to host; 0: host to board.
 * @retval ERROR_SUCCESS (0) open.
 * @retval ERROR_TOO_MANY_OPEN_FILES (4) a stream is open.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no digital streaming.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products KorvalCapabilities::DIOStream: 0x8008 to 0x800A, 0x800C to 0x800F.
 */
KORVAL_API uint32_t DIO_StreamOpen(uint32_t DeviceIndex, uint32_t bIsRead);

/**
 * @brief Closes the stream on the host side; a frame still moving on another thread is cancelled.
 * @devindex
 * @retval ERROR_SUCCESS (0) closed.
 * @retval ERROR_FILE_NOT_FOUND (2) no stream is open.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no digital streaming.
 * @boardcodes
 * @blocking Until a frame moving on another thread has been cancelled.
 * @products As DIO_StreamOpen().
 */
KORVAL_API uint32_t DIO_StreamClose(uint32_t DeviceIndex);

/**
 * @brief Programs the stream's two clocks; each value is written back as the frequency the board will make.
 *
 * The stream need not be open. Values are written back whatever the request answers.
 * @devindex
 * @param[in,out] pClockAHz In: hertz asked for, 0 for off, else 1,039 Hz to 40 MHz. Out: the frequency obtained.
 * @param[in,out] pClockBHz As pClockAHz, for the other clock.
 * @retval ERROR_SUCCESS (0) programmed.
 * @retval ERROR_INVALID_PARAMETER (87) a negative value or one that is not a number; nothing is sent.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read or written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no digital streaming.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products As DIO_StreamOpen().
 */
KORVAL_API uint32_t DIO_StreamSetClocks(uint32_t DeviceIndex, double *pClockAHz, double *pClockBHz);

/**
 * @brief Moves a frame of points in the stream's direction.
 *
 * In transfers of at most the streaming block size (KORVAL_SetStreamingBlockSize(), in points). A short
 * last block is not an error.
 * @devindex
 * @param[in] FramePoints Points in the frame (2 bytes each).
 * @param[in,out] pFrameData 2 x FramePoints bytes: read from for host to board, written for board to host.
 * @param[out] pBytesTransferred The bytes moved (0 before anything else).
 * @retval ERROR_SUCCESS (0) moved.
 * @retval ERROR_HANDLE_EOF (38) a block other than the last moved fewer bytes than asked.
 * @retval ERROR_FILE_NOT_FOUND (2) no stream is open.
 * @retval ERROR_INVALID_PARAMETER (87) 0 points, or a NULL pointer.
 * @retval ERROR_INTERNAL_ERROR (1359) a buffer that cannot be used.
 * @retval ERROR_OPERATION_ABORTED (995) DIO_StreamClose() cancelled it.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no digital streaming.
 * @boardcodes
 * @blocking No time-out: until the board has moved the points at its clock rate, DIO_StreamClose() is
 *           called on another thread, or the board is unplugged.
 * @products As DIO_StreamOpen().
 */
KORVAL_API uint32_t DIO_StreamFrame(uint32_t DeviceIndex, uint32_t FramePoints, void *pFrameData,
                                    uint32_t *pBytesTransferred);

/* ---- SPI and CSA functions --------------------------------------------------------------------------- */

/**
 * @brief Writes one register of a device on the board's SPI bus.
 * @devindex
 * @param[in] SPIAddress The device's address on the bus.
 * @param[in] Register The register.
 * @param[in] Data The byte.
 * @retval ERROR_SUCCESS (0) written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no SPI bus.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products KorvalCapabilities::DIOSPI: 0x8008 to 0x800A, 0x800C to 0x800F.
 */
KORVAL_API uint32_t DIO_SPI_Write(uint32_t DeviceIndex, uint8_t SPIAddress, uint8_t Register, uint8_t Data);

/**
 * @brief Reads one register of a device on the board's SPI bus.
 * @devindex
 * @param[in] SPIAddress The device's address on the bus.
 * @param[in] Register The register.
 * @param[out] pData The byte; left as it was when the read fails.
 * @retval ERROR_SUCCESS (0) read.
 * @retval ERROR_INVALID_PARAMETER (87) pData is NULL.
 * @retval ERROR_NOACCESS (998) *pData cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no SPI bus.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products As DIO_SPI_Write().
 */
KORVAL_API uint32_t DIO_SPI_Read(uint32_t DeviceIndex, uint8_t SPIAddress, uint8_t Register, uint8_t *pData);

/**
 * @brief Programs the sync pulse generator; each value is written back as the board will run it.
 *
 * The rate is 3,000 Hz divided by 1 to 255 (below 3000/255.5 Hz the sync is off and all four values
 * become 0.0); the times are whole ticks of 1/3 ms, 0 to 255.
 * @devindex
 * @param[in,out] pRateHz The sync rate, hertz.
 * @param[in,out] pTimeA Time A, milliseconds.
 * @param[in,out] pTimeB Time B, milliseconds.
 * @param[in,out] pTimeC Time C, milliseconds.
 * @retval ERROR_SUCCESS (0) programmed.
 * @retval ERROR_INVALID_PARAMETER (87) a value that is not a number, or a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read or written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no sync generator.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products KorvalCapabilities::SetCustomClocks: 0x8001, 0x8004.
 */
KORVAL_API uint32_t DIO_CSA_DoSync(uint32_t DeviceIndex, double *pRateHz, double *pTimeA, double *pTimeB,
                                   double *pTimeC);

/**
 * @brief Sets the input debounce count.
 * @devindex
 * @param[in] DebounceCounts The count; its low 16 bits go to the board.
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no input debouncing.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products KorvalCapabilities::DIODebounce: 0x8001.
 */
KORVAL_API uint32_t DIO_CSA_DebounceSet(uint32_t DeviceIndex, uint32_t DebounceCounts);

/**
 * @brief Reads the board's debounce data, 2 bytes per digital port.
 * @devindex
 * @param[out] pData 2 x ports bytes.
 * @retval ERROR_SUCCESS (0) read.
 * @retval ERROR_INVALID_PARAMETER (87) pData is NULL.
 * @retval ERROR_NOACCESS (998) pData cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no input debouncing.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products As DIO_CSA_DebounceSet().
 */
KORVAL_API uint32_t DIO_CSA_DebounceReadAll(uint32_t DeviceIndex, void *pData);

/**
 * @brief Stores 32 bytes of DAC range limits in the board's EEPROM, marked as set.
 * @devindex
 * @param[in] pData The 32 bytes.
 * @retval ERROR_SUCCESS (0) stored.
 * @retval ERROR_INVALID_PARAMETER (87) pData is NULL.
 * @retval ERROR_NOACCESS (998) pData cannot be read.
 * @boardcodes
 * @blocking A few control requests, at most 5 s each.
 * @products Every product (the limits are kept in the EEPROM).
 */
KORVAL_API uint32_t DAC_CSA_SetRangeLimits(uint32_t DeviceIndex, const void *pData);

/**
 * @brief Removes the mark that the DAC range limits are set (the bytes stay).
 * @devindex
 * @retval ERROR_SUCCESS (0) cleared.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Every product.
 */
KORVAL_API uint32_t DAC_CSA_ClearRangeLimits(uint32_t DeviceIndex);

/**
 * @brief Reads all digital ports over and over, back to back, filling pBuffer with whole snapshots.
 * @devindex
 * @param[out] pBuffer The buffer: snapshots of one byte per port each.
 * @param[in,out] pBufferSize In: the buffer's size. Out: the bytes of whole snapshots stored (0 on failure).
 * @retval ERROR_SUCCESS (0) stored.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer.
 * @retval ERROR_INTERNAL_ERROR (1359) caller memory that cannot be read or written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no digital ports.
 * @boardcodes
 * @blocking One control request per snapshot, at most 5 s each.
 * @products Boards with digital ports.
 */
KORVAL_API uint32_t DIO_CSA_ReadAllString(uint32_t DeviceIndex, void *pBuffer, uint32_t *pBufferSize);

/* ---- Automap, PWM, latch and debounce ---------------------------------------------------------------- */

/*
 * These need the boards' newer firmware: 50 (ERROR_NOT_SUPPORTED) when the board's firmware lacks it. The
 * firmware is asked once per slot. Caller memory that cannot be read or written gives 998.
 */

/**
 * @brief Clears the board's automap table.
 * @devindex
 * @retval ERROR_SUCCESS (0) cleared.
 * @retval ERROR_NOT_SUPPORTED (50) the firmware lacks the newer feature set.
 * @boardcodes
 * @blocking At most two control requests (the firmware is asked once per slot), 5 s each.
 * @products Boards whose firmware has the newer feature set.
 */
KORVAL_API uint32_t DIO_Automap_ClearTable(uint32_t DeviceIndex);

/**
 * @brief Loads the whole automap table of 2-byte entries. An odd size is made even and written back.
 * @devindex
 * @param[in] pTable The entries.
 * @param[in,out] pTableSize In: the table's bytes, at most 64. Out: the even count sent.
 * @retval ERROR_SUCCESS (0) loaded.
 * @retval ERROR_BAD_LENGTH (24) more than 64 bytes.
 * @retval ERROR_NOT_SUPPORTED (50) the firmware lacks the newer feature set.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read or written.
 * @boardcodes
 * @blocking At most two control requests, 5 s each.
 * @products Boards whose firmware has the newer feature set.
 */
KORVAL_API uint32_t DIO_Automap_SetTable(uint32_t DeviceIndex, const void *pTable, uint32_t *pTableSize);

/**
 * @brief Appends one 16-bit entry to the automap table (sent low byte first).
 * @devindex
 * @param[in] pEntry The entry.
 * @retval ERROR_SUCCESS (0) appended.
 * @retval ERROR_NOT_SUPPORTED (50) the firmware lacks the newer feature set.
 * @retval ERROR_INVALID_PARAMETER (87) pEntry is NULL.
 * @retval ERROR_NOACCESS (998) *pEntry cannot be read.
 * @boardcodes
 * @blocking At most two control requests, 5 s each.
 * @products Boards whose firmware has the newer feature set.
 */
KORVAL_API uint32_t DIO_Automap_AddEntry(uint32_t DeviceIndex, const uint16_t *pEntry);

/**
 * @brief Sets the automap tick divisor.
 * @devindex
 * @param[in] pDivisor The divisor.
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_NOT_SUPPORTED (50) the firmware lacks the newer feature set.
 * @retval ERROR_INVALID_PARAMETER (87) pDivisor is NULL.
 * @retval ERROR_NOACCESS (998) *pDivisor cannot be read.
 * @boardcodes
 * @blocking At most two control requests, 5 s each.
 * @products Boards whose firmware has the newer feature set.
 */
KORVAL_API uint32_t DIO_Automap_SetTickDivisor(uint32_t DeviceIndex, const uint8_t *pDivisor);

/**
 * @brief Loads the settings of all PWM outputs. An odd table size is made even and written back.
 * @devindex
 * @param[in] pPWMFirst The first setting.
 * @param[in] pTable The table.
 * @param[in,out] pTableSize In: the table's bytes, at most 16. Out: the even count sent.
 * @retval ERROR_SUCCESS (0) loaded.
 * @retval ERROR_BAD_LENGTH (24) more than 16 bytes.
 * @retval ERROR_NOT_SUPPORTED (50) the firmware lacks the newer feature set.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read or written.
 * @boardcodes
 * @blocking At most two control requests, 5 s each.
 * @products Boards whose firmware has the newer feature set.
 */
KORVAL_API uint32_t DIO_PWM_SetAll(uint32_t DeviceIndex, const uint8_t *pPWMFirst, const void *pTable,
                                   uint32_t *pTableSize);

/**
 * @brief Sets the input latches' divisor.
 * @devindex
 * @param[in] pDivisor The divisor.
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_NOT_SUPPORTED (50) the firmware lacks the newer feature set.
 * @retval ERROR_INVALID_PARAMETER (87) pDivisor is NULL.
 * @retval ERROR_NOACCESS (998) *pDivisor cannot be read.
 * @boardcodes
 * @blocking At most two control requests, 5 s each.
 * @products Boards whose firmware has the newer feature set.
 */
KORVAL_API uint32_t DIO_Latch_SetDivisor(uint32_t DeviceIndex, const uint8_t *pDivisor);

/**
 * @brief Reads the three latch groups and discards them (the board clears its latches as it answers).
 * @devindex
 * @retval ERROR_SUCCESS (0) cleared.
 * @retval ERROR_NOT_SUPPORTED (50) the firmware lacks the newer feature set.
 * @boardcodes
 * @blocking At most two control requests, 5 s each.
 * @products Boards whose firmware has the newer feature set.
 */
KORVAL_API uint32_t DIO_Latch_Reset(uint32_t DeviceIndex);

/**
 * @brief Reads the three latch groups, one byte per port each.
 * @devindex
 * @param[out] pGroup1 Group 1, min(*pLength, ports) bytes.
 * @param[out] pGroup2 Group 2, likewise.
 * @param[out] pGroup0 Group 0, likewise.
 * @param[in,out] pLength In: the room in each buffer. Out: the number of ports.
 * @retval ERROR_SUCCESS (0) read.
 * @retval ERROR_INVALID_DATA (13) the board's reply was short.
 * @retval ERROR_NOT_SUPPORTED (50) the firmware lacks the newer feature set.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read or written.
 * @boardcodes
 * @blocking At most two control requests, 5 s each.
 * @products Boards whose firmware has the newer feature set.
 */
KORVAL_API uint32_t DIO_Latch_Read(uint32_t DeviceIndex, void *pGroup1, void *pGroup2, void *pGroup0,
                                   uint32_t *pLength);

/**
 * @brief Loads the debounce configuration.
 * @devindex
 * @param[in] pConfig The configuration.
 * @param[in] pConfigSize Its bytes, at most 1,024.
 * @retval ERROR_SUCCESS (0) loaded.
 * @retval ERROR_BAD_LENGTH (24) more than 1,024 bytes.
 * @retval ERROR_NOT_SUPPORTED (50) the firmware lacks the newer feature set.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read.
 * @boardcodes
 * @blocking At most two control requests, 5 s each.
 * @products Boards whose firmware has the newer feature set.
 */
KORVAL_API uint32_t DIO_Deb_SetConfig(uint32_t DeviceIndex, const void *pConfig, const uint32_t *pConfigSize);

/**
 * @brief Reads the debounced state of all ports.
 * @devindex
 * @param[out] pData One byte per port.
 * @retval ERROR_SUCCESS (0) read.
 * @retval ERROR_NOT_SUPPORTED (50) the firmware lacks the newer feature set.
 * @retval ERROR_INVALID_PARAMETER (87) pData is NULL.
 * @retval ERROR_NOACCESS (998) pData cannot be written.
 * @boardcodes
 * @blocking At most two control requests, 5 s each.
 * @products Boards whose firmware has the newer feature set.
 */
KORVAL_API uint32_t DIO_Deb_ReadAll(uint32_t DeviceIndex, void *pData);

/** @} */

/**
 * @defgroup counters Counters
 * @brief 8254 counters, frequency output (the ADC scan clock), gate waits, the global tick, pulse widths.
 *
 * Boards with counters (KorvalCapabilities::Counters blocks of three 16-bit counters): 0x8001 (3 blocks,
 * 3 MHz), 0x8020 (5 blocks, 10 MHz, selectable gates), 0x8040 to 0x805F and 0x8140 to 0x815F (1 block,
 * 10 MHz). A counter is named by BlockIndex and CounterIndex; with BlockIndex 0, CounterIndex is a flat
 * number across all blocks (block x 3 + counter). See the guide's @ref md_docs_counters "Counters" page.
 * @{
 */

/* ---- 8254 counters ----------------------------------------------------------------------------------- */

/**
 * @brief Programs a counter's mode.
 * @devindex
 * @param[in] BlockIndex The block (0: CounterIndex is flat).
 * @param[in] CounterIndex The counter in the block, 0 to 2, or the flat number.
 * @param[in] Mode 0 to 5, as the 8254 numbers them.
 * @retval ERROR_SUCCESS (0) programmed.
 * @retval ERROR_INVALID_ADDRESS (487) a counter or mode the board does not have.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no counters.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with counters.
 */
KORVAL_API uint32_t CTR_8254Mode(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex, uint32_t Mode);

/**
 * @brief Loads a counter's count.
 * @devindex
 * @param[in] BlockIndex The block (0: CounterIndex is flat).
 * @param[in] CounterIndex The counter in the block, or the flat number.
 * @param[in] LoadValue The count (0 counts 65,536).
 * @retval ERROR_SUCCESS (0) loaded.
 * @retval ERROR_INVALID_ADDRESS (487) a counter the board does not have.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no counters.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with counters.
 */
KORVAL_API uint32_t CTR_8254Load(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex,
                                 uint16_t LoadValue);

/**
 * @brief Programs a counter's mode and loads its count in one request.
 * @devindex
 * @param[in] BlockIndex The block (0: CounterIndex is flat).
 * @param[in] CounterIndex The counter in the block, or the flat number.
 * @param[in] Mode 0 to 5.
 * @param[in] LoadValue The count.
 * @retval ERROR_SUCCESS (0) programmed.
 * @retval ERROR_INVALID_ADDRESS (487) a counter or mode the board does not have.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no counters.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with counters.
 */
KORVAL_API uint32_t CTR_8254ModeLoad(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex,
                                     uint32_t Mode, uint16_t LoadValue);

/**
 * @brief Programs mode and count, then reads the counter back.
 * @devindex
 * @param[in] BlockIndex The block (0: CounterIndex is flat).
 * @param[in] CounterIndex The counter in the block, or the flat number.
 * @param[in] Mode 0 to 5.
 * @param[in] LoadValue The count.
 * @param[out] pReadValue The count read back.
 * @retval ERROR_SUCCESS (0) programmed and read.
 * @retval ERROR_INVALID_ADDRESS (487) a counter or mode the board does not have.
 * @retval ERROR_INVALID_PARAMETER (87) pReadValue is NULL.
 * @retval ERROR_NOACCESS (998) *pReadValue cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no counters.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with counters.
 */
KORVAL_API uint32_t CTR_8254ReadModeLoad(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex,
                                         uint32_t Mode, uint16_t LoadValue, uint16_t *pReadValue);

/**
 * @brief Reads a counter's count.
 * @devindex
 * @param[in] BlockIndex The block (0: CounterIndex is flat).
 * @param[in] CounterIndex The counter in the block, or the flat number.
 * @param[out] pReadValue The count.
 * @retval ERROR_SUCCESS (0) read.
 * @retval ERROR_INVALID_ADDRESS (487) a counter the board does not have.
 * @retval ERROR_INVALID_PARAMETER (87) pReadValue is NULL.
 * @retval ERROR_NOACCESS (998) *pReadValue cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no counters.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with counters.
 */
KORVAL_API uint32_t CTR_8254Read(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex,
                                 uint16_t *pReadValue);

/**
 * @brief Reads a counter's count and its 8254 status byte.
 * @devindex
 * @param[in] BlockIndex The block (0: CounterIndex is flat).
 * @param[in] CounterIndex The counter in the block, or the flat number.
 * @param[out] pReadValue The count.
 * @param[out] pStatus The status byte.
 * @retval ERROR_SUCCESS (0) read.
 * @retval ERROR_INVALID_ADDRESS (487) a counter the board does not have.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no counters.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with counters.
 */
KORVAL_API uint32_t CTR_8254ReadStatus(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex,
                                       uint16_t *pReadValue, uint8_t *pStatus);

/**
 * @brief Reads every counter: Counters x 3 counts of 16 bits, little-endian, in flat order.
 * @devindex
 * @param[out] pData Counters x 6 bytes.
 * @retval ERROR_SUCCESS (0) read.
 * @retval ERROR_INVALID_PARAMETER (87) pData is NULL.
 * @retval ERROR_NOACCESS (998) pData cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no counters.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with counters.
 */
KORVAL_API uint32_t CTR_8254ReadAll(uint32_t DeviceIndex, void *pData);

/**
 * @brief Reads every counter latched at one instant, and one further byte from the board.
 * @devindex
 * @param[out] pData Counters x 6 + 1 bytes: the counts of CTR_8254ReadAll() and the board's byte.
 * @retval ERROR_SUCCESS (0) read.
 * @retval ERROR_INVALID_PARAMETER (87) pData is NULL.
 * @retval ERROR_NOACCESS (998) pData cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no counters.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with counters.
 */
KORVAL_API uint32_t CTR_8254ReadLatched(uint32_t DeviceIndex, void *pData);

/**
 * @brief Selects a counter's gate source, by flat counter number.
 * @devindex
 * @param[in] GateIndex The flat counter number.
 * @retval ERROR_SUCCESS (0) selected.
 * @retval ERROR_INVALID_ADDRESS (487) a gate the board does not have.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no selectable gates.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with selectable gates: 0x8020.
 */
KORVAL_API uint32_t CTR_8254SelectGate(uint32_t DeviceIndex, uint32_t GateIndex);

/* ---- Frequency output, gate waits and global tick rate ---------------------------------------------- */

/**
 * @brief Makes counters 1 and 2 of a block a frequency source; writes back the frequency obtained.
 *
 * Counter 1 (mode 2) divides the root clock by L, counter 2 (mode 3) divides that by H; the frequency
 * obtained is RootClock / (L x H). On an analog-input board, block 0 is the ADC's scan clock: with the
 * trigger byte's start source 01 the board takes one scan per period.
 * @devindex
 * @param[in] BlockIndex The block.
 * @param[in,out] pHz In: hertz asked for (0 or less stops both counters and leaves *pHz). Out: the
 *                frequency obtained, written before the counters are loaded.
 * @retval ERROR_SUCCESS (0) programmed.
 * @retval ERROR_INVALID_ADDRESS (487) a block the board lacks.
 * @retval ERROR_INVALID_PARAMETER (87) a frequency too low for two 16-bit divisors, or not a number; nothing is programmed.
 * @retval ERROR_NOACCESS (998) *pHz cannot be read or written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no counters.
 * @boardcodes
 * @blocking Two control requests, at most 5 s each.
 * @products Boards with counters.
 */
KORVAL_API uint32_t CTR_StartOutputFreq(uint32_t DeviceIndex, uint32_t BlockIndex, double *pHz);

/**
 * @brief Watches two gates; the board reports their events on two bulk endpoints.
 * @devindex
 * @param[in] GateA Gate A's flat counter number (low byte).
 * @param[in] GateB Gate B's flat counter number (low byte).
 * @retval ERROR_SUCCESS (0) watching.
 * @retval ERROR_INVALID_ADDRESS (487) a gate the board lacks.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no selectable gates.
 * @boardcodes
 * @blocking One control request, at most 5 s.
 * @products Boards with selectable gates: 0x8020.
 */
KORVAL_API uint32_t CTR_SetWaitGates(uint32_t DeviceIndex, uint32_t GateA, uint32_t GateB);

/**
 * @brief Stops watching the gates and ends the waits still blocked (they return 995).
 * @devindex
 * @retval ERROR_SUCCESS (0) stopped.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no selectable gates.
 * @boardcodes
 * @blocking One control request, at most 5 s, and until the blocked waits have returned.
 * @products Boards with selectable gates: 0x8020.
 */
KORVAL_API uint32_t CTR_EndWaitGates(uint32_t DeviceIndex);

/**
 * @brief Blocks until the board reports an event of gate A or B and stores the report.
 * @devindex
 * @param[in] GateId 0 for gate A, 1 for gate B.
 * @param[out] pContent The report's 2 bytes.
 * @retval ERROR_SUCCESS (0) an event came.
 * @retval ERROR_OPERATION_ABORTED (995) CTR_EndWaitGates() ended the wait.
 * @retval ERROR_INVALID_ADDRESS (487) another GateId.
 * @retval ERROR_INVALID_PARAMETER (87) pContent is NULL.
 * @retval ERROR_NOACCESS (998) pContent cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no selectable gates.
 * @boardcodes
 * @blocking No time-out: until an event, CTR_EndWaitGates() from another thread, or an unplug (1617).
 * @products Boards with selectable gates: 0x8020.
 */
KORVAL_API uint32_t CTR_WaitForGate(uint32_t DeviceIndex, uint32_t GateId, void *pContent);

/**
 * @brief Sets the board's global tick on a 12 MHz base.
 *
 * Rates below about 183 Hz give the slowest tick, negative ones the fastest.
 * @devindex
 * @param[in] pHz The tick rate, hertz.
 * @retval ERROR_SUCCESS (0) set.
 * @retval ERROR_NOT_SUPPORTED (50) the firmware lacks the newer feature set.
 * @retval ERROR_INVALID_PARAMETER (87) a rate that is not a number, or pHz NULL.
 * @retval ERROR_NOACCESS (998) *pHz cannot be read.
 * @boardcodes
 * @blocking At most two control requests, 5 s each.
 * @products Boards whose firmware has the newer feature set.
 */
KORVAL_API uint32_t KORVAL_SetGlobalTickRate(uint32_t DeviceIndex, const double *pHz);

/* ---- Pulse-width measurement ------------------------------------------------------------------------ */

/**
 * @brief Starts measuring pulse widths on every counter.
 *
 * A monitor thread reads all counters over and over; a counter that reads the same twice in a row has
 * stopped, and its count becomes its measurement. Starting again replaces the monitor and clears every
 * measurement. Start, stop and fetch may be called from several threads.
 * @devindex
 * @retval ERROR_SUCCESS (0) started.
 * @retval ERROR_NOT_ENOUGH_MEMORY (8) no thread could be started.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no counters.
 * @boardcodes
 * @blocking Never waits for the board.
 * @thread The monitor runs on a thread of the library; no callback.
 * @products Boards with counters.
 */
KORVAL_API uint32_t CTR_StartMeasuringPulseWidth(uint32_t DeviceIndex);

/**
 * @brief Stops and frees the pulse-width monitor; also after the board has gone.
 * @devindex
 * @retval ERROR_SUCCESS (0) stopped.
 * @retval ERROR_FILE_NOT_FOUND (2) no monitor runs.
 * @boardcodes
 * @blocking Until the monitor's request in flight has ended, at most 5 s.
 * @products Boards with counters.
 */
KORVAL_API uint32_t CTR_StopMeasuringPulseWidth(uint32_t DeviceIndex);

/**
 * @brief Takes a counter's measurement; the next fetch gets a new one once the counter has settled again.
 * @devindex
 * @param[in] BlockIndex The block (0: CounterIndex is flat).
 * @param[in] CounterIndex The counter in the block, or the flat number.
 * @param[out] pReadValue The raw count (counter clock periods).
 * @retval ERROR_SUCCESS (0) a measurement was taken.
 * @retval ERROR_NO_DATA_DETECTED (1104) none is waiting; *pReadValue is 0.
 * @retval ERROR_FILE_NOT_FOUND (2) no monitor runs.
 * @retval ERROR_INVALID_ADDRESS (487) a counter the board does not have.
 * @retval ERROR_INVALID_PARAMETER (87) pReadValue is NULL.
 * @retval ERROR_NOACCESS (998) *pReadValue cannot be written.
 * @boardcodes
 * @blocking Never waits for the board.
 * @products Boards with counters.
 */
KORVAL_API uint32_t CTR_GetPulseWidthMeasurement(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex,
                                                 uint16_t *pReadValue);

/** @} */

/**
 * @defgroup host The host seam
 * @brief The platform layer the library reaches boards through, and the thread's last-error value.
 *
 * See korval/host.h for the table of platform calls; simulated boards (korval/sim.h) are one host.
 * @{
 */

/* ---- Host seam -------------------------------------------------------------------------------------- */

struct KorvalHost;

/**
 * @brief Installs the platform layer the library talks to boards through.
 *
 * Closes nothing: every slot starts empty again and one discovery pass runs. No other call may run
 * meanwhile. Loading the library does nothing but set up memory: the first call into it installs
 * the operating system's host and runs the first discovery. When this is the first call, that happens
 * on `host` instead, and the operating system's host is never started.
 * Board notifications (KORVAL_RegisterBoardNotification()) go on, on the new host.
 * @param[in] host The host (copied), or NULL for the operating system's.
 * @retval ERROR_SUCCESS (0) installed.
 * @retval ERROR_INVALID_PARAMETER (87) the host's version is neither 1 nor ::KORVAL_HOST_VERSION (2); a
 *         version-1 host is read up to cancel_io only.
 * @blocking The discovery pass: one descriptor read per board, at most 5 s each.
 * @products Not board-specific.
 */
KORVAL_API uint32_t KORVAL_InstallHost(const struct KorvalHost *host);

/**
 * @brief Gives a program the operating system's host, to offer this machine's boards to others.
 *
 * What `korval serve` uses: the library first lets go of every board it holds and installs a host with
 * no boards for itself, so that the program's host can open them all. The host stays valid until the
 * next KORVAL_InstallHost(). The table is of version 1 (written up to cancel_io, version 1), so a
 * program built with an older header gets what its structure holds; the host's board watch is not
 * offered through it.
 * @param[out] pHost The operating system's host.
 * @retval ERROR_SUCCESS (0) filled.
 * @retval ERROR_INVALID_PARAMETER (87) pHost is NULL.
 * @retval ERROR_NOACCESS (998) *pHost cannot be written.
 * @blocking Closes the boards the library held; sends nothing.
 * @products Not board-specific.
 */
KORVAL_API uint32_t KORVAL_SystemHost(struct KorvalHost *pHost);

/**
 * @brief Adds the boards of a `korval serve` server on another machine to the device table.
 *
 * The server's boards go into free slots after the local ones, as discovery places boards, and every
 * later discovery (GetDevices()) looks for them again, so a server that was down is found when it comes
 * back. A remote board behaves as a local one, result codes included; when its server stops or the
 * network drops, its calls fail as an unplugged board's do (1617) within a few seconds. A remote board's
 * path is "HOST:PORT/" followed by its path on the server (KORVAL_GetRemoteServer()). The environment
 * variable KORVAL_REMOTE (HOST:PORT[,HOST:PORT...], with KORVAL_REMOTE_TOKEN_FILE and KORVAL_REMOTE_CA)
 * does the same at the library's first discovery. The servers stay when KORVAL_InstallHost() replaces
 * the local host. The gRPC client is loaded from libkorval_remote.so (beside the library, or
 * $KORVAL_REMOTE_LIBRARY) at the first server named. One call moves at most 16 MiB: a longer bulk
 * transfer gets 24 (ERROR_BAD_LENGTH). Not available on Windows yet.
 * @param[in] Address The server, "HOST:PORT" (a host name, an IPv4 address or a bracketed IPv6 one).
 * @param[in] TokenFile A file holding the server's token (trailing white space is dropped), or NULL or ""
 *            for a server that needs none.
 * @param[in] CaFile A PEM file of the certificate authority the server's TLS certificate must be signed
 *            by, or NULL or "" for a plain connection.
 * @retval ERROR_SUCCESS (0) the server was added (whether or not it answered yet).
 * @retval ERROR_FILE_NOT_FOUND (2) a file cannot be read.
 * @retval ERROR_TOO_MANY_OPEN_FILES (4) more than 32 servers.
 * @retval ERROR_NOT_SUPPORTED (50) on Windows.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL or malformed Address.
 * @retval ERROR_MOD_NOT_FOUND (126) libkorval_remote.so cannot be loaded.
 * @retval ERROR_ALREADY_EXISTS (183) the server was added before.
 * @retval ERROR_NOACCESS (998) a string cannot be read.
 * @blocking One discovery of the server's boards: at most 3 s for a server that does not answer.
 * @products Not board-specific.
 */
KORVAL_API uint32_t KORVAL_AddRemote(const char *Address, const char *TokenFile, const char *CaFile);

/**
 * @brief The calling thread's last-error value as the library sets it.
 *
 * Device lookups, index resolution and driver failures set it. On Windows this is GetLastError.
 * @return The value.
 * @blocking Never.
 * @products Not board-specific.
 */
KORVAL_API uint32_t KORVAL_GetLastError(void);

/**
 * @brief Sets the calling thread's last-error value (on Windows, SetLastError).
 * @param[in] error The value.
 * @blocking Never.
 * @products Not board-specific.
 */
KORVAL_API void KORVAL_SetLastError(uint32_t error);

/** @} */

#ifdef __cplusplus
}
#endif

/* Measurements at a rate, in blocks of volts, with a software trigger. */
#include "measure.h"

#endif /* KORVAL_KORVAL_H */
