// The open check, the firmware check and closing a slot.
#include "base/last_error.h"
#include "board/board.h"
#include "board/hooks.h"
#include "core/registry.h"
#include "korval/korval.h"
#include "usb/control.h"
#include "usb/requests.h"
#include "usb/transport.h"

namespace korval {

Result open_check(uint32_t slot)
{
    // The removal mark first (usable): the device-gone mapping raises it before it takes the handles, so
    // a board found gone on another thread is removed here even while its handles are still being closed.
    if (const Result r = usb::usable(slot)) return r;
    Board& b = board_record(slot);
    if (b.bOpen) return ERROR_SUCCESS;  // the descriptor is read once per board

    b.PID = 0xFFFFFFFF;
    // Zeroed first: on the WinUSB path the byte count is not examined, so a short descriptor reads as
    // product 0 (no capabilities) rather than as stale bytes.
    uint8_t descriptor[18] = {};
    if (const Result r = usb::transport_of(b).device_descriptor(slot, descriptor)) return r;
    b.PID = static_cast<uint32_t>(descriptor[10] | descriptor[11] << 8);  // idProduct
    // The product's row is referred to, never copied: a product the table does not list has the reset
    // row (no capabilities). Then each subsystem sets up its state for the new board.
    const ProductRow* row = find_product(b.PID);
    b.product = row != nullptr ? row : &reset_product_row();
    b.StreamingBlockSize = kDefaultStreamingBlockSize;
    notify_new_board(slot);
    b.bOpen = true;
    return ERROR_SUCCESS;
}

void set_streaming_block_size(uint32_t slot, uint32_t size) { board_record(slot).StreamingBlockSize = size; }

Result close_slot(uint32_t slot)
{
    Board& b = board_record(slot);
    if (b.Handle == 0 && !b.bDeviceWasHere) return ERROR_INVALID_HANDLE;
    b.bDeviceWasHere = false;
    usb::close_handles(b);
    return ERROR_SUCCESS;
}

Result firmware_check(uint32_t slot)
{
    Board& d = board_record(slot);
    if (d.bFirmware20) return ERROR_SUCCESS;
    uint8_t reply[3] = {};
    uint32_t size = sizeof reply;
    if (const Result r = usb::vendor_read(slot, usb::kFirmwareInfoRequest, usb::kFirmwareInfoValue,
                                          usb::kFirmwareInfoIndex, size, reply))
        return r;
    // Version 3 or later (0xFF is an unprogrammed reply) with the feature-set bit.
    if (size >= 3 && reply[0] != 0xFF && reply[0] >= 3 && (reply[2] & 0x02) != 0) {
        d.bFirmware20 = true;
        return ERROR_SUCCESS;
    }
    return ERROR_NOT_SUPPORTED;  // not cached: the next call asks again
}

Result open_newer_firmware_board(uint32_t device_index, uint32_t& slot)
{
    if (const Result r = open_board(device_index, slot)) return r;
    return firmware_check(slot);
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
        Board& b = board_record(slot);
        if (b.Handle == 0) {
            b.bDeviceWasHere = false;
            continue;
        }
        // A board still open is asked for its name: a board that has gone fails the request, and the
        // device-gone mapping then closes and marks its slot (a second ClearDevices frees it).
        if (b.row().bGetName && open_check(slot) == ERROR_SUCCESS) {
            uint8_t name[514];
            uint32_t size = sizeof name;
            if (usb::vendor_read(slot, usb::kProductNameRequest, usb::kProductNameValue, 0, size, name) !=
                ERROR_SUCCESS)
                usb::device_gone(slot);
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace korval
