// Bulk transfers on a board's bulk pipes, on both driver paths, with no copy of the data: the caller's
// buffer goes to the driver as it is.
//
// These are the unchecked routines: no index resolution and no open check. The exported
// QBT_GenericBulkIn and QBT_GenericBulkOut add those; worker threads that already own an open slot
// (continuous acquisition, digital streaming) call bulk_read directly.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>

#include "board/board.h"
#include "usb/deadline.h"

namespace korval::usb {

// A bound on one transfer: the deadline it is armed with and the time it may take (usb/deadline.h).
// Without a deadline a transfer takes as long as the board does.
struct Within {
    Deadline* deadline = nullptr;
    std::chrono::nanoseconds allowance{0};
};

// Reads up to `size` bytes from the bulk IN pipe `pipe_id` (endpoint address, bit 7 set) into `data`.
// `transferred` is the count the driver reported, never more than `size`. A short read is a success.
// A failed driver call goes through the device-gone mapping. The slot must hold an open board.
Result bulk_read(uint32_t slot, uint8_t pipe_id, void* data, uint32_t size, uint32_t& transferred,
                 const Within& within = {}) noexcept;

// Writes `size` bytes of `data` to the bulk OUT pipe `pipe_id`; the same rules as bulk_read.
Result bulk_write(uint32_t slot, uint8_t pipe_id, const void* data, uint32_t size, uint32_t& transferred,
                  const Within& within = {}) noexcept;

// Ends the transfers in flight on the slot's pipe `pipe_id` through its transport: that pipe's alone
// on the WinUSB path, every pending transfer of the board on the DeviceIoControl path: they fail with 995. This is
// how an end function wakes a worker blocked on a board that has stopped answering. false when the
// host cannot cancel; the caller must then bound its waits another way.
bool cancel_transfers(uint32_t slot, uint8_t pipe_id) noexcept;

// Whether the host can cancel the slot's transfers; where it cannot, readers read in short slices and
// check their stop flag between them.
bool can_cancel_transfers(uint32_t slot) noexcept;

// Counts a transfer made on the caller's own thread (a gate wait, a digital-stream frame) in `count`
// for as long as it lives, so that the function that ends such transfers knows there is one to cancel.
class CountedTransfer {
public:
    explicit CountedTransfer(std::atomic<uint32_t>& count) : count_(count) { count_.fetch_add(1); }
    ~CountedTransfer() { count_.fetch_sub(1); }
    CountedTransfer(const CountedTransfer&) = delete;
    CountedTransfer& operator=(const CountedTransfer&) = delete;

private:
    std::atomic<uint32_t>& count_;
};

// Cancels the transfers on `pipes` while `count` has any. A counted transfer may not have reached the
// driver at the first cancel, so the cancel is repeated every millisecond for up to 200 ms. Returns at
// once on a host that cannot cancel: the transfers then end with the board.
void cancel_counted(uint32_t slot, std::initializer_list<uint8_t> pipes, const std::atomic<uint32_t>& count);

}  // namespace korval::usb
