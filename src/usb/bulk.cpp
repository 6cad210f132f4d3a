// The bulk routines on both driver paths.
#include "usb/bulk.h"

#include <chrono>
#include <thread>

#include "board/board.h"
#include "korval/korval.h"
#include "usb/removal.h"
#include "usb/transport.h"

namespace korval::usb {

namespace {

// One bulk transfer through the board's transport, bounded by `within` when it names a deadline. No
// time-out is set otherwise, and nothing is retried or split.
Result bulk_transfer(uint32_t slot, uint8_t pipe_id, void* data, uint32_t size, uint32_t& transferred,
                     const Within& within) noexcept
{
    const Board& b = board(slot);
    uint32_t moved = 0;
    if (within.deadline != nullptr) within.deadline->arm(within.allowance);
    const bool ok = transport_of(b).bulk(b.Handle, pipe_id, data, size, moved);
    // A failure without a code from the driver becomes 31 in the device-gone mapping; the code is read
    // before the deadline is let go of.
    const Result r = ok ? ERROR_SUCCESS : device_gone(slot);
    if (within.deadline != nullptr) within.deadline->disarm();
    if (r != ERROR_SUCCESS) return r;
    // A driver that reports more than the buffer holds is not believed beyond the buffer.
    transferred = moved < size ? moved : size;
    return ERROR_SUCCESS;
}

}  // namespace

Result bulk_read(uint32_t slot, uint8_t pipe_id, void* data, uint32_t size, uint32_t& transferred,
                 const Within& within) noexcept
{
    return bulk_transfer(slot, pipe_id, data, size, transferred, within);
}

Result bulk_write(uint32_t slot, uint8_t pipe_id, const void* data, uint32_t size, uint32_t& transferred,
                  const Within& within) noexcept
{
    // The drivers take a writable pointer for both directions; an OUT transfer only reads it.
    return bulk_transfer(slot, pipe_id, const_cast<void*>(data), size, transferred, within);
}

bool cancel_transfers(uint32_t slot, uint8_t pipe_id) noexcept
{
    const Board& b = board(slot);
    const KorvalHandle handle = b.Handle;
    const Transport& t = transport_of(b);
    if (handle == 0 || !t.can_cancel(handle)) return false;
    return t.cancel(handle, pipe_id);
}

bool can_cancel_transfers(uint32_t slot) noexcept
{
    const Board& b = board(slot);
    return transport_of(b).can_cancel(b.Handle);
}

void cancel_counted(uint32_t slot, std::initializer_list<uint8_t> pipes, const std::atomic<uint32_t>& count)
{
    constexpr int kRounds = 200;
    constexpr auto kPause = std::chrono::milliseconds(1);
    for (int round = 0; round < kRounds && count.load() > 0; ++round) {
        bool cancelled = false;
        for (const uint8_t pipe : pipes) cancelled = cancel_transfers(slot, pipe) || cancelled;
        if (!cancelled || count.load() == 0) break;
        std::this_thread::sleep_for(kPause);
    }
}

}  // namespace korval::usb
