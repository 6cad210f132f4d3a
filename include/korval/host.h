/**
 * @file host.h
 * @brief The host seam: the table of platform calls the library reaches boards through.
 *
 * The host seam: the platform interfaces the library reaches boards through. The library calls nothing
 * of the operating system's USB stack directly; it calls the installed KorvalHost. The library ships two
 * hosts: the operating system's (installed by the first call into the library, unless that call installs
 * another) and simulated boards (korval/sim.h). Programs may bring their own, for instance to put the
 * library on another USB stack or under a test harness.
 *
 * Install a host with KORVAL_InstallHost (korval/korval.h). The library copies the struct; the context
 * and functions must stay valid until another host is installed. Every function may be called from any
 * thread, several at the same time.
 */
#ifndef KORVAL_HOST_H
#define KORVAL_HOST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/** @addtogroup host
 *  @{
 */

/** @brief A device-interface class: the same layout as a Windows GUID. */
typedef struct KorvalGuid {          /* same layout as a Windows GUID */
    uint32_t Data1;                  /**< as in a GUID */
    uint16_t Data2;                  /**< as in a GUID */
    uint16_t Data3;                  /**< as in a GUID */
    uint8_t Data4[8];                /**< as in a GUID */
} KorvalGuid;

/** A handle of the host: a file, or a WinUSB interface. 0 means "no handle". The top byte is the
    library's (it names the host a handle came from when remote servers are added): a host's handles
    leave it clear. */
typedef uint64_t KorvalHandle;

/** The version of the KorvalHost layout this header declares. KORVAL_InstallHost also takes the layouts
    of earlier versions, and reads such a table no further than its version's last field: version 1 ends
    at cancel_io (the library then watches the host's boards by listing them, see watch_boards), version
    2 at unwatch_boards (the host then reports no unusable boards, see list_unusable). */
#define KORVAL_HOST_VERSION 3

/** What a host tells the library of a board that arrived or left (KorvalHost::watch_boards). Every
    pointer is valid only during the notify call. */
typedef struct KorvalHostBoardEvent {
    uint32_t kind;                     /**< KORVAL_BOARD_ARRIVED (1) or KORVAL_BOARD_LEFT (2) */
    const KorvalGuid *interface_class; /**< the class list_interfaces gives the path under */
    const char *path;                  /**< the path, as list_interfaces gives it */
    uint16_t vendor_id;                /**< the USB vendor ID; 0 when not known */
    uint16_t product_id;               /**< the USB product ID; 0 when not known */
    const char *serial_number;         /**< the USB serial number; NULL when not known */
} KorvalHostBoardEvent;

/** A board of the family that the host sees but that this program cannot open
    (KorvalHost::list_unusable). Every pointer is valid only during the emit call. */
typedef struct KorvalHostUnusableBoard {
    uint32_t error;      /**< why it cannot be opened: ERROR_ACCESS_DENIED (5) when this user has no
                              permission on it, otherwise the system's code */
    uint16_t vendor_id;  /**< the USB vendor ID */
    uint16_t product_id; /**< the USB product ID */
    const char *path;    /**< where it is plugged, as the library names it ("usb:1-4.2") */
} KorvalHostUnusableBoard;

/** The library's end of a board watch: called by the host, on any thread, once per board that arrived
    or left. It returns at once and never calls the host. */
typedef void (*KorvalHostBoardNotify)(void *notify_context, const KorvalHostBoardEvent *event);

/**
 * @brief The platform calls the library makes, with the context they are made with.
 *
 * Every function returns non-zero on success; on failure it returns 0 and stores the system's error
 * code (a Win32 error number; 0 when the system gave none) in *error.
 */
typedef struct KorvalHost {
    uint32_t version; /**< KORVAL_HOST_VERSION; KORVAL_InstallHost refuses others with 87 */
    void *context;    /**< passed back as the first argument of every call */

    /** SetupAPI: the device-interface paths of one class, in enumeration order; emit is called once per path. */
    void (*list_interfaces)(void *context, const KorvalGuid *interface_class,
                            void (*emit)(void *emit_context, const char *path), void *emit_context);

    /** CreateFileA(path, GENERIC_READ|GENERIC_WRITE, share, ..., OPEN_EXISTING, FILE_FLAG_OVERLAPPED):
       exclusive != 0 means no sharing (the WinUSB pass), 0 means FILE_SHARE_READ|FILE_SHARE_WRITE. */
    int (*open_file)(void *context, const char *path, int exclusive, KorvalHandle *file, uint32_t *error);
    /** CloseHandle(handle). */
    int (*close_handle)(void *context, KorvalHandle handle, uint32_t *error);

    /** DeviceIoControl(file, control_code, in, in_size, out, out_size, bytes_returned, no OVERLAPPED). */
    int (*device_io_control)(void *context, KorvalHandle file, uint32_t control_code,
                             const void *in, uint32_t in_size, void *out, uint32_t out_size,
                             uint32_t *bytes_returned, uint32_t *error);

    /** The WinUSB binding. has_winusb == 0: WinUSB.dll could not be loaded (the WinUSB discovery pass is
       skipped). A null entry point with has_winusb set is an entry point that was not found. */
    int has_winusb;
    /** WinUsb_Initialize(file, interface_handle). */
    int (*winusb_initialize)(void *context, KorvalHandle file, KorvalHandle *interface_handle, uint32_t *error);
    /** WinUsb_Free(interface_handle). */
    int (*winusb_free)(void *context, KorvalHandle interface_handle, uint32_t *error);
    /** WinUsb_ControlTransfer with the 8-byte setup packet. */
    int (*winusb_control_transfer)(void *context, KorvalHandle interface_handle, const uint8_t setup[8],
                                   void *buffer, uint32_t length, uint32_t *transferred, uint32_t *error);
    /** WinUsb_GetDescriptor. */
    int (*winusb_get_descriptor)(void *context, KorvalHandle interface_handle, uint8_t type, uint8_t index,
                                 uint16_t language, void *buffer, uint32_t length, uint32_t *transferred,
                                 uint32_t *error);
    /** WinUsb_QueryInterfaceSettings: the interface's bNumEndpoints. */
    int (*winusb_query_interface_settings)(void *context, KorvalHandle interface_handle, uint8_t alternate,
                                           uint8_t *num_endpoints, uint32_t *error);
    /** WinUsb_QueryPipe: a pipe's PipeType and PipeId. */
    int (*winusb_query_pipe)(void *context, KorvalHandle interface_handle, uint8_t alternate,
                             uint8_t pipe_index, uint8_t *pipe_type, uint8_t *pipe_id, uint32_t *error);
    /** WinUsb_WritePipe. */
    int (*winusb_write_pipe)(void *context, KorvalHandle interface_handle, uint8_t pipe_id,
                             const void *buffer, uint32_t length, uint32_t *transferred, uint32_t *error);
    /** WinUsb_ReadPipe. */
    int (*winusb_read_pipe)(void *context, KorvalHandle interface_handle, uint8_t pipe_id,
                            void *buffer, uint32_t length, uint32_t *transferred, uint32_t *error);

    /** Cancelling transfers in progress, so that no wait of the library is without end (besides the eight
       WinUSB entry points above, which move data): WinUsb_AbortPipe on the WinUSB path, CancelIoEx on
       the DeviceIoControl path. A cancelled transfer fails with 995 (ERROR_OPERATION_ABORTED). Either may be
       null when the host cannot cancel; the library then bounds its waits in another way. */
    int (*winusb_abort_pipe)(void *context, KorvalHandle interface_handle, uint8_t pipe_id, uint32_t *error);
    /** CancelIoEx(file) on the DeviceIoControl path; see winusb_abort_pipe. */
    int (*cancel_io)(void *context, KorvalHandle file, uint32_t *error);

    /* ---- Version 2 ---- */

    /** Starts telling the library of boards that arrive and leave (on Windows: device-interface
       notifications of the two classes; on Linux: the USB stack's hot-plug events), by calls of notify
       from any thread until unwatch_boards returns. Boards present at the call are not reported. The
       library watches at most once at a time and only while a program asked to be told. Either entry
       may be null, or the call may fail: the library then lists the host's boards once a second instead
       and reports the differences (with IDs only when the path holds them). */
    int (*watch_boards)(void *context, KorvalHostBoardNotify notify, void *notify_context, uint32_t *error);
    /** Ends the watch: when it returns, no notify call runs and none follows. Never called from notify. */
    int (*unwatch_boards)(void *context, uint32_t *error);

    /* ---- Version 3 ---- */

    /** Lists the boards of the family that the host sees but that this program cannot open (on Linux:
       a board whose USB device node this user may not open), by one call of emit per board, in bus and
       port order, before it returns. Null when the host has none to report. */
    void (*list_unusable)(void *context, void (*emit)(void *emit_context, const KorvalHostUnusableBoard *board),
                          void *emit_context);
} KorvalHost;

#ifndef KORVAL_BOARD_ARRIVED /* also in korval/korval.h */
/** A board arrived (KorvalHostBoardEvent::kind, KorvalBoardEvent::Kind). */
#define KORVAL_BOARD_ARRIVED 1u
/** A board left (KorvalHostBoardEvent::kind, KorvalBoardEvent::Kind). */
#define KORVAL_BOARD_LEFT 2u
#endif

/** The DeviceIoControl driver's device-interface class, as an initialiser:
    KorvalGuid g = KORVAL_INTERFACE_CLASS_IOCTL; */
#define KORVAL_INTERFACE_CLASS_IOCTL \
    { 0xD52D27E3u, 0xCF76u, 0x25EBu, { 0x72u, 0xEAu, 0x59u, 0x6Fu, 0x22u, 0x34u, 0xC0u, 0xE1u } }
/** The WinUSB boards' device-interface class, as an initialiser. */
#define KORVAL_INTERFACE_CLASS_WINUSB \
    { 0x88D87F5Au, 0xEA16u, 0x93FCu, { 0x21u, 0x65u, 0x39u, 0xC9u, 0x1Cu, 0x36u, 0xC9u, 0x6Eu } }

/** The DeviceIoControl code of a control request on the DeviceIoControl driver path. */
#define KORVAL_IOCTL_CONTROL_REQUEST 0x220020u
/** The DeviceIoControl code of a bulk transfer on the DeviceIoControl driver path. */
#define KORVAL_IOCTL_BULK_TRANSFER 0x22004Bu
/** The size of the DeviceIoControl driver's request header, bytes. */
#define KORVAL_IOCTL_HEADER_SIZE 38u

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* KORVAL_HOST_H */
