// A board found gone: the device-gone mapping, and giving up a board's driver handles.
#pragma once

#include <cstdint>

#include "board/board.h"

namespace korval::usb {

// Turns the failure of a driver call into a result from the thread's last-error value: 31 when there is
// none; for the removal codes the slot's handles are closed, the slot is marked removed (each
// subsystem's board-removed hook runs) and 1617 is returned.
Result device_gone(uint32_t slot);

// Takes the driver handles out of the record and closes them through the board's transport, each once
// however many threads call it; false when the record held none. The removal mark is not touched.
bool close_handles(Board& b);

// Whether the slot can carry a transfer: 1617 for a board marked removed, 2 for a slot without a
// handle, 0 otherwise. What the library's own requests check before they go to the transport.
Result usable(uint32_t slot) noexcept;

}  // namespace korval::usb
