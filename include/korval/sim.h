/**
 * @file sim.h
 * @brief Simulated boards: firmware models that answer as real boards do.
 *
 * Simulated boards: a host (korval/host.h) whose boards are firmware models living in this process.
 * Programs develop and test against them without hardware:
 *
 *     KorvalSim *sim = KorvalSim_Create();
 *     uint32_t board = KorvalSim_AddBoard(sim, 0x8040, KORVAL_SIM_WINUSB);
 *     KORVAL_InstallHost(KorvalSim_Host(sim));
 *     ... call the library: the board is in slot 0 ...
 *     KORVAL_InstallHost(NULL);
 *     KorvalSim_Destroy(sim);
 *
 * A board answers the requests of the features its product has, as a real board would, keeps its
 * EEPROM and other memories, can be unplugged and plugged in again, can be told to fail or answer short,
 * and logs every transfer it sees so that a test can check the exact wire traffic.
 *
 * Boards are named by the number KorvalSim_AddBoard returns (1, 2, ...). Functions that return a
 * uint32_t give a Win32 error number: 0 on success, 87 (ERROR_INVALID_PARAMETER) for a bad argument,
 * 2 (ERROR_FILE_NOT_FOUND) for a board number the simulation does not have. Every function is
 * thread-safe. Destroy a simulation only after another host has been installed.
 */
#ifndef KORVAL_SIM_H
#define KORVAL_SIM_H

#include <stdint.h>

#include "korval/host.h"
#include "korval/korval.h"

#ifdef __cplusplus
extern "C" {
#endif

/**
 * @defgroup sim Simulated boards
 * @brief Boards made of firmware models, for developing and testing without hardware.
 *
 * Every function is thread-safe and answers at once (it never waits for simulated time). Functions
 * that return a uint32_t give 0 on success, 87 for a bad argument, 2 for a board number the simulation
 * does not have and, where a board can lack the feature, 50. See the guide's
 * @ref md_docs_concepts "Concepts" page for how a program uses them.
 * @{
 */

/** @brief A simulation: a host with its simulated boards. */
typedef struct KorvalSim KorvalSim;

/* Driver paths a simulated board can be reached by. */
#define KORVAL_SIM_WINUSB 0u /**< WinUSB device-interface class, opened exclusively */
#define KORVAL_SIM_IOCTL 1u  /**< DeviceIoControl driver class, opened shared */

/**
 * @brief Creates a simulation with no boards.
 * @return The simulation, or NULL when memory runs out.
 */
KORVAL_API KorvalSim *KorvalSim_Create(void);
/**
 * @brief Destroys a simulation and its boards; install another host first.
 * @param[in] sim The simulation.
 */
KORVAL_API void KorvalSim_Destroy(KorvalSim *sim);

/**
 * @brief The host to pass to KORVAL_InstallHost; valid while the simulation lives.
 * @param[in] sim The simulation.
 * @return The host, valid while the simulation lives.
 */
KORVAL_API const KorvalHost *KorvalSim_Host(KorvalSim *sim);

/**
 * @brief Whether the host offers WinUSB (default 1).
 *
 * Set it before installing the host.
 * @param[in] sim The simulation.
 * @param[in] available Non-zero: the host offers WinUSB.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 */
KORVAL_API uint32_t KorvalSim_SetWinUsbAvailable(KorvalSim *sim, int available);

/**
 * @brief Attaches a board with the given USB product ID on a driver path.
 *
 * Boards are enumerated in the order
 * they were added, each path class by itself. Returns the board's number, 0 on a bad argument.
 * @param[in] sim The simulation.
 * @param[in] product_id The USB product ID (see the product table in the guide).
 * @param[in] path ::KORVAL_SIM_WINUSB or ::KORVAL_SIM_IOCTL.
 * @return The board's number (1, 2, ...), or 0 on a bad argument.
 */
KORVAL_API uint32_t KorvalSim_AddBoard(KorvalSim *sim, uint32_t product_id, uint32_t path);

/**
 * @brief Unplugging makes every transfer on the board's handles fail with 1167 (ERROR_DEVICE_NOT_CONNECTED)
 * and hides it from enumeration; transfers blocked on it end at once.
 *
 * Plugging it in again makes it
 * enumerable under its old interface path; handles opened before stay dead. Board notifications
 * (KORVAL_RegisterBoardNotification()) report the unplug, KorvalSim_Replug() and KorvalSim_AddBoard();
 * an unplug planned with KorvalSim_UnplugBeforeTransfer() is not reported.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_Unplug(KorvalSim *sim, uint32_t board);
/**
 * @brief Plugs an unplugged board in again, under its old interface path.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_Replug(KorvalSim *sim, uint32_t board);

/**
 * @brief Marks a board as one this program cannot open, or as usable again.
 *
 * A board so marked is what an attached board without permission is on a real system: it is no
 * longer enumerated, opening it fails with the error given, and KORVAL_GetUnusableBoard() lists it
 * (path: its interface path) with the library's reason text. The mark takes effect at the next
 * discovery (KORVAL_GetDevices() and the like), as a changed permission does: handles opened before
 * keep working. Board notifications report nothing.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] error Why it cannot be opened, e.g. ERROR_ACCESS_DENIED (5); 0 makes it usable again.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetUnusable(KorvalSim *sim, uint32_t board, uint32_t error);

/**
 * @brief The interface path a board is enumerated under, zero-terminated, cut to capacity.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] path The path, zero-terminated, cut to capacity.
 * @param[in] capacity The room in path, bytes.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetInterfacePath(KorvalSim *sim, uint32_t board, char *path, uint32_t capacity);


/* ---- Transfer log ------------------------------------------------------------------------------------- */
#define KORVAL_SIM_CONTROL 1u    /**< control request on endpoint 0 */
#define KORVAL_SIM_BULK_IN 2u    /**< bulk read */
#define KORVAL_SIM_BULK_OUT 3u   /**< bulk write */
#define KORVAL_SIM_DESCRIPTOR 4u /**< WinUsb_GetDescriptor (setup holds the GET_DESCRIPTOR packet it stands for) */
#define KORVAL_SIM_PIPE_QUERY 5u /**< WinUsb_QueryInterfaceSettings or WinUsb_QueryPipe */

#define KORVAL_SIM_VIA_WINUSB 0u /**< the transfer went through WinUSB */
#define KORVAL_SIM_VIA_IOCTL 1u  /**< the transfer went through DeviceIoControl */

/** @brief One entry of a board's transfer log. */
typedef struct KorvalSimTransfer {
    uint32_t kind;         /**< KORVAL_SIM_CONTROL ... */
    uint32_t via;          /**< KORVAL_SIM_VIA_WINUSB or KORVAL_SIM_VIA_IOCTL */
    uint8_t setup[8];      /**< control and descriptor transfers: the setup packet; zero otherwise */
    uint8_t endpoint;      /**< bulk transfers: the endpoint address (pipe ID); 0 for control */
    uint8_t reserved[3];   /**< 0 */
    uint32_t control_code; /**< via DeviceIoControl: the control code */
    uint8_t header[38];    /**< via DeviceIoControl: the driver request header exactly as received */
    uint8_t reserved2[2];  /**< 0 */
    uint32_t length_asked; /**< the data bytes asked for (control: wLength; bulk: the buffer length) */
    uint32_t length_moved; /**< the data bytes moved */
    uint32_t reported;     /**< the byte count the driver call reported (via DeviceIoControl it counts the header) */
    uint32_t error;        /**< 0 when the transfer succeeded, else the error code it failed with */
    uint32_t data_size;    /**< bytes of data logged: OUT what the host sent, IN what the board answered */
    uint64_t sequence;     /**< 1, 2, ... per board, counting transfers dropped from a full log */
} KorvalSimTransfer;

/**
 * @brief Number of entries in a board's log (at most the log limit, 65536 by default; older ones are dropped).
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_LogCount(KorvalSim *sim, uint32_t board);
/**
 * @brief Entry `index` (0 = oldest kept).
 *
 * The data is copied to `data` up to `capacity` bytes (either may be 0).
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] index The entry, 0 the oldest kept.
 * @param[out] entry The entry.
 * @param[out] data The logged data, up to capacity bytes; may be NULL.
 * @param[in] capacity The room in data, bytes (may be 0).
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_LogEntry(KorvalSim *sim, uint32_t board, uint32_t index, KorvalSimTransfer *entry,
                                       void *data, uint32_t capacity);
/**
 * @brief Empties a board's transfer log.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_ClearLog(KorvalSim *sim, uint32_t board);
/**
 * @brief Entries kept per board, and data bytes kept per bulk transfer (control transfers are kept whole).
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] max_entries Entries kept.
 * @param[in] max_bulk_bytes Data bytes kept per bulk transfer.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetLogLimits(KorvalSim *sim, uint32_t board, uint32_t max_entries,
                                           uint32_t max_bulk_bytes);


/* ---- Fault injection ---------------------------------------------------------------------------------- */
#define KORVAL_SIM_FAULT_FAIL 1u   /**< the transfer fails with `error`; the board does not see it */
#define KORVAL_SIM_FAULT_SHORT 2u  /**< the board moves at most `bytes` data bytes */
#define KORVAL_SIM_FAULT_REPORT 3u /**< the transfer happens, the driver reports `bytes` as its count */

#define KORVAL_SIM_ANY 0xFFFFFFFFu /**< a fault rule field that matches anything */

/** @brief A fault rule: which transfers it matches and what it does to them. */
typedef struct KorvalSimFault {
    uint32_t action;   /**< KORVAL_SIM_FAULT_... */
    uint32_t kind;     /**< transfer kind to match (KORVAL_SIM_CONTROL ...) or KORVAL_SIM_ANY */
    uint32_t request;  /**< control: bRequest to match, or KORVAL_SIM_ANY */
    uint32_t endpoint; /**< bulk: endpoint address to match, or KORVAL_SIM_ANY */
    uint32_t count;    /**< how many matching transfers the fault applies to */
    uint32_t error;    /**< FAIL: the error code (0 is a failure without a code) */
    uint32_t bytes;    /**< SHORT, REPORT: the byte count */
} KorvalSimFault;

/**
 * @brief Adds a fault rule; rules are tried in the order added and each matching transfer uses up one count.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] fault The rule.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_InjectFault(KorvalSim *sim, uint32_t board, const KorvalSimFault *fault);
/**
 * @brief Removes every fault rule of a board.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_ClearFaults(KorvalSim *sim, uint32_t board);


/* ---- Simulated time ------------------------------------------------------------------------------------ */
/**
 * @brief Boards run on simulated time: by default it follows the steady clock from the simulation's creation.
 * With the manual clock on, time stands still until KorvalSim_AdvanceClock moves it, so a test can
 * place counter and sample timing exactly.
 * @param[in] sim The simulation.
 * @param[in] manual Non-zero: time stands still until KorvalSim_AdvanceClock().
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 */
KORVAL_API uint32_t KorvalSim_SetManualClock(KorvalSim *sim, int manual);
/**
 * @brief Moves simulated time forward (with the manual clock on).
 * @param[in] sim The simulation.
 * @param[in] nanoseconds How far to move simulated time, nanoseconds.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 */
KORVAL_API uint32_t KorvalSim_AdvanceClock(KorvalSim *sim, uint64_t nanoseconds);
/**
 * @brief Simulated time now.
 * @param[in] sim The simulation.
 * @return Simulated time since the simulation was created, nanoseconds.
 */
KORVAL_API uint64_t KorvalSim_ClockNanoseconds(KorvalSim *sim);


/* ---- Firmware state ----------------------------------------------------------------------------------- */
/**
 * @brief The board's EEPROM (addresses 0x0000 to 0x1FFF), read and written directly, bypassing USB.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] address The address.
 * @param[in] size The bytes.
 * @param[out] data The data.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_EepromRead(KorvalSim *sim, uint32_t board, uint32_t address, uint32_t size,
                                         void *data);
/**
 * @brief Writes the board's EEPROM directly (addresses 0x0000 to 0x1FFF).
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] address The address.
 * @param[in] size The bytes.
 * @param[in] data The data.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_EepromWrite(KorvalSim *sim, uint32_t board, uint32_t address, uint32_t size,
                                          const void *data);
/**
 * @brief The 64-bit serial number the EEPROM holds at 0x1DF8 (each board starts with its own).
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] serial The serial number.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetSerialNumber(KorvalSim *sim, uint32_t board, uint64_t serial);

/**
 * @brief The three bytes the firmware answers its feature-level query with.
 *
 * By default the board reports the
 * newer feature set ({0x03, 0x00, 0x02}); {0x02, 0x00, 0x00} makes it an older firmware.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] reply The reply bytes.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetFirmwareLevel(KorvalSim *sim, uint32_t board, const uint8_t reply[3]);

/**
 * @brief The product name the board reports (UTF-8, at most 126 characters); each product has a default.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] name The name, UTF-8, zero-terminated.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetProductName(KorvalSim *sim, uint32_t board, const char *name);


/* ---- Nonvolatile memory -------------------------------------------------------------------------------- */
/**
 * @brief The flash of a board that has one (50 otherwise): read it, or load bytes into it as they are (no
 * erase needed, unlike a write over USB); the number of sector erases the board has done.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] address The address.
 * @param[in] size The bytes.
 * @param[out] data The data.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_FlashRead(KorvalSim *sim, uint32_t board, uint32_t address, uint32_t size, void *data);
/**
 * @brief Loads bytes into the flash as they are (no erase needed).
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] address The address.
 * @param[in] size The bytes.
 * @param[in] data The data.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_FlashLoad(KorvalSim *sim, uint32_t board, uint32_t address, uint32_t size,
                                        const void *data);
/**
 * @brief The number of sector erases the board has done.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] count Sector erases so far.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_FlashEraseCount(KorvalSim *sim, uint32_t board, uint32_t *count);

/**
 * @brief The board's power-on defaults: its defaults table (*table_size: in the buffer's size, out the table's),
 * and how often it was told to save its state and to restore the factory defaults.
 *
 * Either count may be NULL.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] table The table.
 * @param[in,out] table_size In: the room in table. Out: the table's bytes.
 * @param[out] saves Save requests received; may be NULL.
 * @param[out] restores Restore requests received; may be NULL.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetDefaults(KorvalSim *sim, uint32_t board, void *table, uint32_t *table_size,
                                          uint32_t *saves, uint32_t *restores);


/* ---- Streams, digital ports and analog input ----------------------------------------------------------- */
/**
 * @brief Bulk endpoints.
 *
 * Each bulk IN endpoint of the product (0x86, and 0x82 on counter boards) has a FIFO
 * of bytes for the host: a read takes what is waiting, up to its length, and waits when nothing is
 * (until data is fed, the transfer is cancelled or the board unplugged), unless the endpoint has a
 * repeating pattern, which then fills the read. Each bulk OUT endpoint (0x02) keeps what the host sent
 * (up to 64 MiB; the oldest bytes are dropped beyond) until it is read here. The FIFO-clear requests
 * drop the bytes waiting in the IN FIFOs. 87 for an endpoint the product lacks or of the other direction.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] endpoint The bulk endpoint address (0x86, 0x82, 0x02).
 * @param[in] data The data.
 * @param[in] size The bytes.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_FeedBulkIn(KorvalSim *sim, uint32_t board, uint32_t endpoint, const void *data,
                                         uint32_t size);
/**
 * @brief size 0 removes the pattern.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] endpoint The bulk endpoint address (0x86, 0x82, 0x02).
 * @param[in] data The data.
 * @param[in] size The bytes in the pattern; 0 removes it.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetBulkInPattern(KorvalSim *sim, uint32_t board, uint32_t endpoint,
                                               const void *data, uint32_t size);
/**
 * @brief Bytes waiting in an IN FIFO.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] endpoint The bulk endpoint address (0x86, 0x82, 0x02).
 * @param[out] bytes The bytes waiting.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_BulkInPending(KorvalSim *sim, uint32_t board, uint32_t endpoint, uint64_t *bytes);
/**
 * @brief Takes up to `capacity` of the oldest bytes the host sent to an OUT endpoint: *size gets the count
 * taken, *remaining the bytes still kept (either may be NULL; capacity 0 only asks).
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] endpoint The bulk endpoint address (0x86, 0x82, 0x02).
 * @param[out] data The data.
 * @param[in] capacity The room in the buffer, in its elements.
 * @param[out] size The bytes taken; may be NULL.
 * @param[out] remaining The bytes still kept; may be NULL.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_ReadBulkOut(KorvalSim *sim, uint32_t board, uint32_t endpoint, void *data,
                                          uint32_t capacity, uint32_t *size, uint64_t *remaining);

/**
 * @brief The 32-bit stream status word the board reports (0 at first); boards with stream FIFOs only.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] status The status word.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetStreamStatus(KorvalSim *sim, uint32_t board, uint32_t status);

/**
 * @brief The USB controller: whether its processor is held in reset, and how often it was released from reset
 * (each release starts the firmware again).
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] held_in_reset 1 while the processor is held in reset; may be NULL.
 * @param[out] restarts Releases from reset so far; may be NULL.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetControllerState(KorvalSim *sim, uint32_t board, uint32_t *held_in_reset,
                                                 uint32_t *restarts);

/* Digital ports. A set direction bit makes its port an output (its line, on a product with one direction
   bit per line); each tristate bit floats an equal share of the ports, in order. A port reads back what
   it drives on its output lines and the outside level elsewhere. Outside levels start at 0xFF. */
#define KORVAL_SIM_MAX_PORTS 16u /**< the most digital ports a product has */
/** @brief A board's digital ports as KorvalSim_GetDigitalState() reports them. */
typedef struct KorvalSimDigitalState {
    uint32_t ports;                          /**< 8-bit ports of the product */
    uint32_t direction_bytes;                /**< length of the direction mask */
    uint32_t tristate_bytes;                 /**< length of the tristate mask (0: no tristate control) */
    uint32_t outputs_floating;               /**< the last configuration floated every output */
    uint8_t outputs[KORVAL_SIM_MAX_PORTS];   /**< output latches, port 0 first */
    uint8_t direction[KORVAL_SIM_MAX_PORTS]; /**< direction mask */
    uint8_t tristate[KORVAL_SIM_MAX_PORTS];  /**< tristate mask */
    uint8_t inputs[KORVAL_SIM_MAX_PORTS];    /**< outside levels at the pins */
    uint8_t levels[KORVAL_SIM_MAX_PORTS];    /**< what reading the ports gives now */
} KorvalSimDigitalState;
/**
 * @brief The board's digital ports: masks, latches, outside levels and what reads give.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] state The state.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetDigitalState(KorvalSim *sim, uint32_t board, KorvalSimDigitalState *state);
/**
 * @brief Sets the outside levels of ports 0 to count - 1.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] levels One level byte per port, port 0 first.
 * @param[in] count The ports to set, from port 0.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetDigitalInputs(KorvalSim *sim, uint32_t board, const uint8_t *levels,
                                               uint32_t count);

/**
 * @brief The ADC configuration block the board holds (20 or 21 bytes by product; every byte 0 at first).
 * Get copies up to `capacity` bytes and gives the block's length in *size (may be NULL); Set replaces
 * the first `size` bytes.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] block The configuration block.
 * @param[in] capacity The room in the buffer, in its elements.
 * @param[out] size The block's length; may be NULL.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetAdcConfig(KorvalSim *sim, uint32_t board, uint8_t *block, uint32_t capacity,
                                           uint32_t *size);
/**
 * @brief Replaces the first size bytes of the board's ADC configuration block.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] block The configuration block.
 * @param[in] size The bytes.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetAdcConfig(KorvalSim *sim, uint32_t board, const uint8_t *block, uint32_t size);


/* ---- Analog input: signals, sampling and calibration ----------------------------------------------- */

/* A board with the bulk analog input samples when the library announces a sample count (request 0xBC).
   Bits 0-1 of the configuration block's trigger byte say when it starts: 1, its own pacing clock, at
   once; any other value on the start request (0xBF) or on an external trigger (KorvalSim_AdcTrigger).
   It then converts the block's scan, start channel to end channel, Oversample + 1 samples per channel,
   again and again until the announced count has been sent on bulk IN endpoint 0x86. Each channel reads
   its signal, converted by its range code and through the board's calibration table (the identity
   until one is uploaded). Boards with immediate analog inputs answer their read request (0xBF, device
   to host) with the same signals in the 0 to 5 V range. The functions below give 50 for a board
   without analog input. */
#define KORVAL_SIM_SIGNAL_CONSTANT 0u /**< offset volts */
#define KORVAL_SIM_SIGNAL_SINE 1u     /**< offset + amplitude * sin(2 pi frequency t) */
#define KORVAL_SIM_SIGNAL_SQUARE 2u   /**< offset + amplitude in the first half of each period, - amplitude after */
#define KORVAL_SIM_SIGNAL_RAMP 3u     /**< from offset - amplitude up to offset + amplitude in each period */
#define KORVAL_SIM_SIGNAL_NOISE 4u    /**< offset + amplitude * uniform(-1, 1), the same values for the same seed */

/** @brief The signal a simulated analog input reads. */
typedef struct KorvalSimAdcSignal {
    uint32_t kind;    /**< KORVAL_SIM_SIGNAL_... */
    uint32_t seed;    /**< NOISE: the sequence */
    double offset;    /**< volts */
    double amplitude; /**< volts */
    double frequency; /**< hertz, in the samples' time: the start plus sample index / pacing rate (1 MHz
                          when the board samples as fast as it is read) */
} KorvalSimAdcSignal;

#define KORVAL_SIM_ALL_CHANNELS 0xFFFFFFFFu /**< every channel of the board */

/**
 * @brief A channel's signal (0 to 255, or KORVAL_SIM_ALL_CHANNELS); every channel reads 0 V at first.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] channel The channel.
 * @param[in] signal The signal.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetAdcSignal(KorvalSim *sim, uint32_t board, uint32_t channel,
                                           const KorvalSimAdcSignal *signal);
/**
 * @brief Samples per second of simulated time (a read waits until its samples have been taken); 0, the
 * default: as fast as they are read.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] samples_per_second Samples per second of simulated time; 0: as fast as they are read.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetAdcRate(KorvalSim *sim, uint32_t board, double samples_per_second);
/**
 * @brief Counts sent instead of converted signals, repeated in order (size 0 goes back to the signals): a
 * source that costs the board next to nothing.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] counts The counts.
 * @param[in] size The counts in the pattern; 0 goes back to the signals.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetAdcPattern(KorvalSim *sim, uint32_t board, const uint16_t *counts, uint32_t size);
/**
 * @brief Fires the external trigger: starts a conversion that waits for its start.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_AdcTrigger(KorvalSim *sim, uint32_t board);
/**
 * @brief stopped != 0: the converter sends nothing more until told to go on (reads wait).
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] stopped Non-zero: the converter stops; 0: it goes on.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetAdcStopped(KorvalSim *sim, uint32_t board, int stopped);
/**
 * @brief The voltage the low reference reads (0 V by default), standing for the converter's offset error.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] volts What the low reference reads, volts.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetAdcLowReference(KorvalSim *sim, uint32_t board, double volts);
/**
 * @brief The byte the board answers the calibration query (0xBA) with: 0xBB (it takes a table) by default.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] reply The reply bytes.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetAdcCalQueryReply(KorvalSim *sim, uint32_t board, uint8_t reply);

/** @brief The simulated converter's state (KorvalSim_GetAdcState()). */
typedef struct KorvalSimAdcState {
    uint64_t announced;      /**< samples of the last sample-count request */
    uint64_t bytes_sent;     /**< bytes of them sent to the host */
    uint32_t running;        /**< 1 while the converter is started and has samples to send */
    uint32_t start_requests; /**< start requests (0xBF) received */
    uint32_t triggers;       /**< external triggers fired */
    uint32_t reserved;       /**< 0 */
} KorvalSimAdcState;
/**
 * @brief The converter's state: samples announced and sent, start requests, triggers.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] state The state.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetAdcState(KorvalSim *sim, uint32_t board, KorvalSimAdcState *state);

/**
 * @brief The board's calibration tables, 65,536 entries each: one for the bipolar ranges (bipolar != 0) and
 * one for the unipolar ranges.
 *
 * An upload made in the bipolar reference modes (5, 7) replaces the first,
 * in the unipolar ones (1, 3) the second, in normal conversion both. `count` entries are copied.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] bipolar Non-zero: the bipolar ranges' table; 0: the unipolar one.
 * @param[out] table The table.
 * @param[in] count The entries to copy, at most 65,536.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetAdcCalTable(KorvalSim *sim, uint32_t board, int bipolar, uint16_t *table,
                                             uint32_t count);

/**
 * @brief The fast-scan setting (request 0xD4, wValue 0x1E): *on is the byte last received (0 at power-on),
 * switches the number of such requests (either pointer may be NULL).
 *
 * For continuous streams and fast
 * scans the converter runs as set above: with the pacing rate, the pattern, or stopped.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] on The last fast-scan byte received; may be NULL.
 * @param[out] switches Fast-scan requests received; may be NULL.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetAdcFastScan(KorvalSim *sim, uint32_t board, uint32_t *on, uint32_t *switches);


/* ---- Counters, automap, PWM, latch and debounce -------------------------------------------------------- */

/* The 8254 counters of boards that have them: three per block, clocked by the product's root clock in
   simulated time (use the manual clock to place counts exactly). Counters are named by their flat number
   (block * 3 + counter). Counter 2 of each block is clocked by counter 1's output, so the two divide in
   cascade as the boards wire them; KorvalSim_SetCounterClock changes a counter's clock. Gate inputs are
   pulled up (high) until driven. The extra byte of the latched whole-board read carries the outputs of
   flat counters 0 to 7 (bit n = counter n). The functions below give 50 (ERROR_NOT_SUPPORTED) for a
   board without the feature. */
#define KORVAL_SIM_CLOCK_ROOT 0u       /**< the product's root clock */
#define KORVAL_SIM_CLOCK_CASCADE 1u    /**< rising edges of the previous counter's output (counters 1 and 2) */
#define KORVAL_SIM_NO_GATE 0xFFFFFFFFu /**< no gate */

/** @brief A simulated 8254 counter's state (KorvalSim_GetCounter()). */
typedef struct KorvalSimCounter {
    uint32_t mode;          /**< 8254 mode of the last control word, 0 to 5 */
    uint32_t programmed;    /**< 1 once a control word has been written */
    uint32_t initial_count; /**< the count last written, 1 to 65536 (a written 0 counts 65536); 0 when none
                               was written since the last control word */
    uint32_t count;         /**< the counting element now, as a read gives it */
    uint32_t out;           /**< the output level, 0 or 1 */
    uint32_t gate;          /**< the gate input level, 0 or 1 */
    uint32_t null_count;    /**< 1 while a written count has not reached the counting element */
    uint32_t status;        /**< the status byte a read with status gives now */
    uint32_t clock_source;  /**< KORVAL_SIM_CLOCK_... */
    uint32_t reserved;      /**< 0 */
    uint64_t rising_edges;  /**< rising edges of the output since the board was attached */
} KorvalSimCounter;

/**
 * @brief A counter's state now, without disturbing counts or statuses latched for reading.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] counter The flat counter number (block x 3 + counter).
 * @param[out] state The state.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetCounter(KorvalSim *sim, uint32_t board, uint32_t counter, KorvalSimCounter *state);
/**
 * @brief Drives a counter's gate input at the present simulated time (rising edges trigger modes 1 and 5 and
 * restart modes 2 and 3; a low gate stops modes 0, 2, 3 and 4).
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] counter The flat counter number (block x 3 + counter).
 * @param[in] level 0 low, non-zero high.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetCounterGate(KorvalSim *sim, uint32_t board, uint32_t counter, int level);
/**
 * @brief A counter's clock: KORVAL_SIM_CLOCK_ROOT, or KORVAL_SIM_CLOCK_CASCADE for counters 1 and 2 of a block.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] counter The flat counter number (block x 3 + counter).
 * @param[in] source ::KORVAL_SIM_CLOCK_ROOT or ::KORVAL_SIM_CLOCK_CASCADE.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetCounterClock(KorvalSim *sim, uint32_t board, uint32_t counter, uint32_t source);
/**
 * @brief The gate selected last (a flat counter number), or KORVAL_SIM_NO_GATE; boards without selectable gates
 * never have one.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] gate The gate selected last, or ::KORVAL_SIM_NO_GATE.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetSelectedGate(KorvalSim *sim, uint32_t board, uint32_t *gate);

/**
 * @brief Automap, PWM, latches and debounce of digital boards, kept as the board received them.
 *
 * `size` gives
 * the bytes the board holds; up to `capacity` of them are copied (pointers may be NULL).
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] table The table.
 * @param[in] capacity The room in the buffer, in its elements.
 * @param[out] size The bytes the board holds; may be NULL.
 * @param[out] divisor The tick divisor; may be NULL.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetAutomap(KorvalSim *sim, uint32_t board, void *table, uint32_t capacity,
                                         uint32_t *size, uint8_t *divisor);
/**
 * @brief The PWM settings the board holds.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] settings The settings.
 * @param[in] capacity The room in the buffer, in its elements.
 * @param[out] size The bytes the board holds; may be NULL.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetPwm(KorvalSim *sim, uint32_t board, void *settings, uint32_t capacity,
                                     uint32_t *size);
/**
 * @brief The three latch groups (group 0, 1, 2; one byte per port each: size = 3 x ports).
 *
 * The board clears
 * them when they are read.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] groups The three groups, one byte per port each.
 * @param[in] size The bytes.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetLatches(KorvalSim *sim, uint32_t board, const void *groups, uint32_t size);
/**
 * @brief The three latch groups the board holds, and its latch divisor.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] groups The three groups, one byte per port each.
 * @param[in] capacity The room in the buffer, in its elements.
 * @param[out] divisor The latch divisor; may be NULL.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetLatches(KorvalSim *sim, uint32_t board, void *groups, uint32_t capacity,
                                         uint8_t *divisor);
/**
 * @brief The debounce configuration the board holds.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] config The configuration.
 * @param[in] capacity The room in the buffer, in its elements.
 * @param[out] size The bytes the board holds; may be NULL.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetDebounceConfig(KorvalSim *sim, uint32_t board, void *config, uint32_t capacity,
                                                uint32_t *size);
/**
 * @brief The debounced state the board reports, one byte per port (size = ports); 0xFF each until set.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] state The state.
 * @param[in] size The bytes.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetDebouncedInputs(KorvalSim *sim, uint32_t board, const void *state, uint32_t size);


/* ---- Frequency output, gate waits, global tick and digital streams -------------------------------------- */
/**
 * @brief The frequency a counter's output runs at now, in hertz: a counter in mode 2 or 3 with a count of 2 or
 * more and its gate high divides its clock (the root clock, or the previous counter's output); any other
 * counter gives 0.
 *
 * A frequency source of counters 1 and 2 of block b puts out the frequency of flat
 * counter b * 3 + 2.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] counter The flat counter number (block x 3 + counter).
 * @param[out] hz The frequency, hertz; 0 when the counter divides nothing.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetCounterFrequency(KorvalSim *sim, uint32_t board, uint32_t counter, double *hz);

/**
 * @brief Drives a counter's gate with a pulse train from the present simulated time: low for low_ns, then high
 * for high_ns, over and over (each at least 1,000 ns).
 *
 * A counter in mode 2 loaded with N then reads
 * N - (high_ns in clock pulses) through each low stretch, which is what pulse-width measurement sees.
 * Either time 0 ends the train and leaves the gate as it is; KorvalSim_SetCounterGate ends it too.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] counter The flat counter number (block x 3 + counter).
 * @param[in] high_ns High time, nanoseconds (at least 1,000; 0 ends the train).
 * @param[in] low_ns Low time, nanoseconds (at least 1,000; 0 ends the train).
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetGatePulseTrain(KorvalSim *sim, uint32_t board, uint32_t counter, uint64_t high_ns,
                                                uint64_t low_ns);

/* Gate waits (boards with selectable gates). After request 0x27 the board watches gate A and gate B (flat
   counter numbers); each rising edge of gate A, whether the program drives it (KorvalSim_SetCounterGate)
   or a pulse train does, is reported on bulk IN endpoint 0x82, of gate B on 0x86, as 2 bytes little-endian:
   the edge's number since the request (1 first). Request 0x29 stops watching and drops reports not read. */
/** @brief A board's gate-wait state (KorvalSim_GetGateWaits()). */
typedef struct KorvalSimGateWaits {
    uint32_t watching;   /**< 1 between requests 0x27 and 0x29 */
    uint32_t gate_a;     /**< KORVAL_SIM_NO_GATE when not watching */
    uint32_t gate_b;     /**< as gate_a, for gate B */
    uint32_t waiting[2]; /**< reports not read yet, gate A and gate B */
    uint64_t events[2];  /**< rising edges since watching began */
} KorvalSimGateWaits;
/**
 * @brief The board's gate-wait state: gates watched, reports waiting, events.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] waits The gate-wait state.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetGateWaits(KorvalSim *sim, uint32_t board, KorvalSimGateWaits *waits);

/**
 * @brief The global tick value the board was last sent (request 0x3C, wIndex 0x8001: 0xFFFF - T for a tick of
 * T periods of 12 MHz), and how often.
 *
 * 0 and 0 at power-on.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] value The tick value last sent.
 * @param[out] requests Requests received.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetGlobalTick(KorvalSim *sim, uint32_t board, uint32_t *value, uint32_t *requests);

/* Digital streams (boards with digital streaming; 50 elsewhere). Two oscillators run at the frequencies
   their clock words give (request 0xBD); both are off at power-on. Clock A paces the stream from the
   board (opened with request 0xBC), clock B the stream to it (request 0xBB). Opening starts the stream
   afresh in that direction.
   From the board: the board takes one point per tick of clock A into a FIFO of 1 Mi points (points that
   find it full are lost), from the sequence the program sets, over and over (a count from 0 when none is
   set); a bulk read on 0x86 waits until enough points have been taken to fill it.
   To the board: points written to 0x02 enter a FIFO of 1 Mi points (a write waits while it lacks room),
   and leave it one per tick of clock B, into an output record the program reads (up to 16 Mi points
   kept; the oldest are dropped beyond). */
#define KORVAL_SIM_STREAM_CLOSED 0u     /**< no stream open */
#define KORVAL_SIM_STREAM_FROM_BOARD 1u /**< the stream runs from the board to the host */
#define KORVAL_SIM_STREAM_TO_BOARD 2u   /**< the stream runs from the host to the board */
/** @brief A board's digital stream (KorvalSim_GetDigitalStream()). */
typedef struct KorvalSimDigitalStream {
    uint32_t direction;      /**< KORVAL_SIM_STREAM_..., as the last open request set it */
    uint32_t clock_flags;    /**< the flag byte of the last clock block (bit 0: clock B off, bit 1: clock A off) */
    uint32_t clock_a_word;   /**< the clock words last received */
    uint32_t clock_b_word;   /**< as clock_a_word, for clock B */
    double clock_a_hz;       /**< what the oscillators run at; 0 when off */
    double clock_b_hz;       /**< as clock_a_hz, for clock B */
    uint64_t points_sent;    /**< points read by the host */
    uint64_t points_lost;    /**< points lost to a full FIFO (from the board) */
    uint64_t points_queued;  /**< points written by the host and not yet put out */
    uint64_t points_put_out; /**< points put out (to the board) */
} KorvalSimDigitalStream;
/**
 * @brief The board's digital stream: direction, clocks and point counts.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] state The state.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetDigitalStream(KorvalSim *sim, uint32_t board, KorvalSimDigitalStream *state);
/**
 * @brief The points the board streams to the host, sent in order and over and over; count 0 goes back to the
 * count from 0.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] points The points.
 * @param[in] count The points; 0 goes back to the count from 0.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetDigitalStreamInput(KorvalSim *sim, uint32_t board, const uint16_t *points,
                                                    uint32_t count);
/**
 * @brief Takes up to `capacity` of the oldest points the board has put out; *count gets the number taken.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] points The points.
 * @param[in] capacity The room in the buffer, in its elements.
 * @param[out] count The points taken.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_ReadDigitalStreamOutput(KorvalSim *sim, uint32_t board, uint16_t *points,
                                                      uint32_t capacity, uint32_t *count);


/* ---- Analog output, SPI and CSA ------------------------------------------------------------------------ */
/**
 * @brief The immediate analog outputs as the board holds them: the last count put out on each channel (0 at
 * power-on).
 *
 * *count: in, the room in values; out, the board's channel count (values past the room are
 * not copied). 50 for a board without immediate outputs.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] values The values, channel 0 first.
 * @param[in,out] count In: the room in values. Out: the board's channel count.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetDacValues(KorvalSim *sim, uint32_t board, uint16_t *values, uint32_t *count);
/**
 * @brief The output range code last selected (0 at power-on); 50 for a board without range selection.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] range The range code last selected.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetDacRange(KorvalSim *sim, uint32_t board, uint32_t *range);
/**
 * @brief How often the board was told that a channel's calibration table was cleared (request 0xF0); the
 * tables themselves are in the flash (KorvalSim_FlashRead).
 *
 * 50 for a board without calibrated outputs,
 * 87 for a channel it does not have.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] channel The channel.
 * @param[out] count Clear notices received for the channel.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetDacCalResets(KorvalSim *sim, uint32_t board, uint32_t channel, uint32_t *count);

/**
 * @brief The registers of the devices on the SPI bus of a board that has one (50 otherwise): 256 devices of 256
 * byte registers, 0 until written.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] address The address.
 * @param[in] reg The register.
 * @param[out] value The register.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetSpiRegister(KorvalSim *sim, uint32_t board, uint32_t address, uint32_t reg,
                                             uint8_t *value);
/**
 * @brief Sets a register of a device on the SPI bus.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] address The address.
 * @param[in] reg The register.
 * @param[in] value The value.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetSpiRegister(KorvalSim *sim, uint32_t board, uint32_t address, uint32_t reg,
                                             uint8_t value);

/* The sync pulse generator's settings as the last sync request left them (all 0 at power-on). */
/** @brief The sync generator's settings (KorvalSim_GetSync()). */
typedef struct KorvalSimSync {
    uint32_t divider;  /**< the rate is 3,000 Hz divided by it; 0: the sync is off */
    uint32_t ticks[3]; /**< times A, B and C in ticks of 1/3 ms */
    uint32_t requests; /**< sync requests received */
} KorvalSimSync;
/**
 * @brief 50 for a board without the sync generator.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] sync The sync settings.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetSync(KorvalSim *sim, uint32_t board, KorvalSimSync *sync);

/**
 * @brief Input debouncing on a board that has it (50 otherwise): the debounce count last set (0 at power-on),
 * and the debounce data the board answers with, 2 bytes per digital port (0 at power-on; `size` must
 * be exactly that).
 *
 * The DAC range limits are kept in the EEPROM at 0x1D00 (KorvalSim_EepromRead).
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] counts The debounce count last set.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetDebounceCounts(KorvalSim *sim, uint32_t board, uint32_t *counts);
/**
 * @brief The debounce data the board answers with, 2 bytes per port.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] data The data.
 * @param[in] size The bytes.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetDebounceData(KorvalSim *sim, uint32_t board, const void *data, uint32_t size);


/* ---- Waveform output ----------------------------------------------------------------------------------- */
/* The waveform player of a board with streamed analog output (50 for other boards). What the host sends
   to bulk endpoint 0x02 fills the board's sample buffer (on these boards the endpoint feeds the player,
   not the capture KorvalSim_ReadBulkOut reads). Once started, the player takes one point per period of
   the point rate (12 MHz / divisor) in simulated time: the samples up to the one with the end-of-point
   bit (0x2000), or up to the board's last channel, the first sample going to channel 0. It keeps each
   channel's codes (bits 0-11), stops after the sample with the end-of-data bit (0x8000), and counts an
   underrun each time a point is due and no whole point is waiting (playing goes on from when data
   arrives; a board started before its first point has arrived waits for it without an underrun). A write waits while the buffer has no room for it. Request 0xB0 with 0x80 empties the
   buffer and forgets what was played. */
/** @brief The waveform player's state (KorvalSim_GetDacStream()). */
typedef struct KorvalSimDacStream {
    uint32_t divisor;        /**< point-rate divisor last programmed; 0 until then */
    uint32_t playing;        /**< started and not yet past the end of the data */
    uint32_t starts;         /**< start requests received */
    uint32_t ended;          /**< the end-of-data sample has been played */
    uint32_t interlock;      /**< the interlock is on */
    uint32_t channels;       /**< most samples in one point played so far */
    uint32_t resets;         /**< reset requests (0xB0 with 0x80) received */
    uint32_t prepares;       /**< prepare requests (0xB1) received */
    uint64_t points;         /**< points played since the last reset */
    uint64_t underruns;      /**< times a point was due and none was waiting, since the last reset */
    uint64_t bytes_received; /**< bytes taken into the buffer since the last reset */
    uint64_t buffered;       /**< bytes waiting in the buffer */
    uint64_t capacity;       /**< size of the buffer in bytes (256 KiB at first) */
} KorvalSimDacStream;
/**
 * @brief The waveform player's state: rate divisor, points, underruns, buffer.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[out] state The state.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetDacStream(KorvalSim *sim, uint32_t board, KorvalSimDacStream *state);
/**
 * @brief The codes a channel put out, one per point, from the `first` on (the first 1,048,576 are kept).
 * count: in, the room in codes; out, the codes copied.
 *
 * 87 for a channel the board does not have.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] channel The channel.
 * @param[in] first The first point to copy.
 * @param[out] codes The codes.
 * @param[in,out] count In: the room in codes. Out: the codes copied.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_GetDacPlayed(KorvalSim *sim, uint32_t board, uint32_t channel, uint32_t first,
                                           uint16_t *codes, uint32_t *count);
/**
 * @brief The size of the board's sample buffer in bytes; 0 makes a board that takes no more data.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] bytes The buffer size, bytes.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_SetDacStreamBuffer(KorvalSim *sim, uint32_t board, uint32_t bytes);


/* ---- Unplug at a chosen transfer ---------------------------------------------------------------------- */
/**
 * @brief The board unplugs itself just before its `transfer`-th transfer from now (1: the next one; control,
 * bulk, descriptor and pipe queries all count), which then fails as on an unplugged board.
 *
 * 0 cancels.
 * For sweeping an operation's every transfer with an unplug.
 * @param[in] sim The simulation.
 * @param[in] board The board's number, from KorvalSim_AddBoard().
 * @param[in] transfer Which transfer from now, 1 the next; 0 cancels.
 * @retval ERROR_SUCCESS (0) done.
 * @retval ERROR_INVALID_PARAMETER (87) a bad argument.
 * @retval ERROR_FILE_NOT_FOUND (2) a board number the simulation does not have.
 */
KORVAL_API uint32_t KorvalSim_UnplugBeforeTransfer(KorvalSim *sim, uint32_t board, uint32_t transfer);

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* KORVAL_SIM_H */
