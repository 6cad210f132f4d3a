// The device-gone mapping and closing a board's handles.
#include "usb/removal.h"

#include "base/last_error.h"
#include "board/board.h"
#include "board/hooks.h"
#include "korval/korval.h"
#include "usb/transport.h"

namespace korval::usb {

Result device_gone(uint32_t slot)
{
    const uint32_t error = get_last_error();
    // A transfer that failed because another thread found the board gone meanwhile (its handle was
    // closed under it, so it ended as cancelled) reports the removal, not the cancel.
    Board& b = board_record(slot);
    if (b.bDeviceWasHere) return ERROR_DEVICE_REMOVED;
    // A transfer whose handle the program closed meanwhile (KORVAL_CloseDevice took the handle and set no
    // removal mark) failed because of that close, whatever the host made of the stale handle: it reports
    // the cancel, and the slot stays empty instead of being marked as a board that was unplugged.
    if (b.Handle == 0) return ERROR_OPERATION_ABORTED;
    if (error == 0) return ERROR_GEN_FAILURE;
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_INVALID_HANDLE && error != ERROR_DEVICE_NOT_CONNECTED &&
        error != ERROR_DEVICE_REMOVED)
        return error;
    // The removal mark goes up before the handles come out, and stays up: a call on another thread (a
    // second caller, a worker) that finds the same board gone, or that checks the slot meanwhile, sees a
    // removed board, never an empty slot (2) or a mark cleared by a second close.
    b.bDeviceWasHere = true;
    close_handles(b);
    b.bOpen = false;
    notify_board_removed(slot);
    return ERROR_DEVICE_REMOVED;
}

bool close_handles(Board& d)
{
    // Taking the handles out of the record before closing them means that two threads finding the same
    // board gone (a worker and the caller) close each handle once: a handle value closed twice could by
    // then belong to something else.
    const KorvalHandle handle = d.Handle.exchange(0);
    const KorvalHandle file = d.hWinUSBFile.exchange(0);
    if (handle == 0) return false;
    // The results of closing are not examined: the handles are given up whatever the driver says.
    transport_of(d).close(handle, file);
    return true;
}

Result usable(uint32_t slot) noexcept
{
    const Board& b = board(slot);
    if (b.bDeviceWasHere) return ERROR_DEVICE_REMOVED;
    return b.Handle == 0 ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

}  // namespace korval::usb
