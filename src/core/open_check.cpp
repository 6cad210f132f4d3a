// The open check, the device-gone mapping and closing a slot.
#include "base/last_error.h"
#include "core/registry.h"
#include "core/subsystem_hooks.h"
#include "korval/korval.h"
#include "usb/control.h"
#include "usb/requests.h"
#include "usb/transport.h"

namespace korval {

Result open_check(uint32_t slot)
{
    TDeviceData& d = device(slot);
    // The removal mark first: the device-gone mapping raises it before it takes the handles, so a board
    // found gone on another thread is removed here even while its handles are still being closed.
    if (d.bDeviceWasHere) return ERROR_DEVICE_REMOVED;
    if (d.Handle == 0) return ERROR_FILE_NOT_FOUND;
    if (d.bOpen) return ERROR_SUCCESS;  // the descriptor is read once per board

    d.PID = 0xFFFFFFFF;
    // Zeroed first: on the WinUSB path the byte count is not examined, so a short descriptor reads as
    // product 0 (no capabilities) rather than as stale bytes.
    uint8_t descriptor[18] = {};
    if (const Result r = usb::transport_of(d).device_descriptor(slot, descriptor)) return r;
    d.PID = static_cast<uint32_t>(descriptor[10] | descriptor[11] << 8);  // idProduct
    set_up_capabilities(d);
    d.bOpen = true;
    return ERROR_SUCCESS;
}

Result device_gone(uint32_t slot)
{
    const uint32_t error = get_last_error();
    // A transfer that failed because another thread found the board gone meanwhile (its handle was
    // closed under it, so it ended as cancelled) reports the removal, not the cancel.
    if (device(slot).bDeviceWasHere) return ERROR_DEVICE_REMOVED;
    // A transfer whose handle the program closed meanwhile (KORVAL_CloseDevice took the handle and set no
    // removal mark) failed because of that close, whatever the host made of the stale handle: it reports
    // the cancel, and the slot stays empty instead of being marked as a board that was unplugged.
    if (device(slot).Handle == 0) return ERROR_OPERATION_ABORTED;
    if (error == 0) return ERROR_GEN_FAILURE;
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_INVALID_HANDLE && error != ERROR_DEVICE_NOT_CONNECTED &&
        error != ERROR_DEVICE_REMOVED)
        return error;
    TDeviceData& d = device(slot);
    // The removal mark goes up before the handles come out, and stays up: a call on another thread (a
    // second caller, a worker) that finds the same board gone, or that checks the slot meanwhile, sees a
    // removed board, never an empty slot (2) or a mark cleared by a second close.
    d.bDeviceWasHere = true;
    close_handles(d);
    d.bOpen = false;
    notify_board_removed(d);
    return ERROR_DEVICE_REMOVED;
}

bool close_handles(TDeviceData& d)
{
    // Taking the handles out of the record before closing them means that two threads finding the same
    // board gone (a worker and the caller) close each handle once: a handle value closed twice could by
    // then belong to something else.
    const KorvalHandle handle = d.Handle.exchange(0);
    const KorvalHandle file = d.hWinUSBFile.exchange(0);
    if (handle == 0) return false;
    // The results of closing are not examined: the handles are given up whatever the driver says.
    usb::transport_of(d).close(handle, file);
    return true;
}

Result close_slot(uint32_t slot)
{
    TDeviceData& d = device(slot);
    if (d.Handle == 0 && !d.bDeviceWasHere) return ERROR_INVALID_HANDLE;
    d.bDeviceWasHere = false;
    close_handles(d);
    return ERROR_SUCCESS;
}

uint32_t KORVAL_CloseDevice(uint32_t DeviceIndex)
{
    uint32_t slot = 0;
    if (const Result r = resolve_index(DeviceIndex, slot)) return r;
    return close_slot(slot);
}

uint32_t GetDevices()
{
    discover();
    uint32_t mask = 0;
    for (uint32_t slot = 0; slot < kSlotCount; ++slot)
        if (open_check(slot) == ERROR_SUCCESS) mask |= 1u << slot;
    return mask;
}

uint32_t ClearDevices()
{
    for (uint32_t slot = kSlotCount; slot-- > 0;) {
        TDeviceData& d = device(slot);
        if (d.Handle == 0) {
            d.bDeviceWasHere = false;
            continue;
        }
        // A board still open is asked for its name: a board that has gone fails the request, and the
        // device-gone mapping then closes and marks its slot (a second ClearDevices frees it).
        if (d.bGetName && open_check(slot) == ERROR_SUCCESS) {
            uint8_t name[514];
            uint32_t size = sizeof name;
            if (usb::vendor_read(slot, usb::kProductNameRequest, usb::kProductNameValue, 0, size, name) !=
                ERROR_SUCCESS)
                device_gone(slot);
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace korval
