// The bulk routines on both driver paths, and the exported bulk functions.
#include "usb/bulk.h"

#include <chrono>
#include <thread>

#include "base/caller_memory.h"
#include "korval/korval.h"
#include "usb/transport.h"
#include "usb/usb_api.h"

namespace korval::usb {

namespace {

// One bulk transfer through the board's transport, bounded by `within` when it names a deadline. No
// time-out is set otherwise, and nothing is retried or split.
Result bulk_transfer(uint32_t slot, uint8_t pipe_id, void* data, uint32_t size, uint32_t& transferred,
                     const Within& within) noexcept
{
    const TDeviceData& d = device(slot);
    uint32_t moved = 0;
    if (within.deadline != nullptr) within.deadline->arm(within.allowance);
    const bool ok = transport_of(d).bulk(d.Handle, pipe_id, data, size, moved);
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
    const TDeviceData& d = device(slot);
    const KorvalHandle handle = d.Handle;
    const Transport& t = transport_of(d);
    if (handle == 0 || !t.can_cancel(handle)) return false;
    return t.cancel(handle, pipe_id);
}

bool can_cancel_transfers(uint32_t slot) noexcept
{
    const TDeviceData& d = device(slot);
    return transport_of(d).can_cancel(d.Handle);
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

namespace korval {

namespace {

// The exported bulk functions: resolve and open, check the pointers, move the data, then write the
// count back through the guard (the data itself is never copied).
template <class Data, class Move>
uint32_t exported_bulk(uint32_t DeviceIndex, Data pData, uint32_t DataSize, uint32_t* pBytesTransferred, Move move)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    if (pBytesTransferred == nullptr || (pData == nullptr && DataSize > 0)) return ERROR_INVALID_PARAMETER;
    uint32_t transferred = 0;
    if (const Result r = move(slot, transferred)) return r;
    return write_caller(pBytesTransferred, transferred);
}

}  // namespace

uint32_t QBT_GenericBulkIn(uint32_t DeviceIndex, uint32_t PipeID, void* pData, uint32_t DataSize,
                           uint32_t* pBytesTransferred)
{
    return exported_bulk(DeviceIndex, pData, DataSize, pBytesTransferred, [&](uint32_t slot, uint32_t& moved) {
        return usb::bulk_read(slot, static_cast<uint8_t>(PipeID), pData, DataSize, moved);
    });
}

uint32_t QBT_GenericBulkOut(uint32_t DeviceIndex, uint32_t PipeID, const void* pData, uint32_t DataSize,
                            uint32_t* pBytesTransferred)
{
    return exported_bulk(DeviceIndex, pData, DataSize, pBytesTransferred, [&](uint32_t slot, uint32_t& moved) {
        return usb::bulk_write(slot, static_cast<uint8_t>(PipeID), pData, DataSize, moved);
    });
}

uint32_t DEB_SetInterface(uint32_t DeviceIndex, uint16_t InterfaceNumber)
{
    (void)InterfaceNumber;  // the boards have one interface; nothing is sent
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    return ERROR_NOT_SUPPORTED;
}

uint32_t DEB_BulkIn(uint32_t, uint32_t, void*, uint32_t) { return ERROR_NOT_SUPPORTED; }

uint32_t DEB_BulkOut(uint32_t DeviceIndex, uint32_t PipeID, const void* pData, uint32_t DataSize)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    if (pData == nullptr && DataSize > 0) return ERROR_INVALID_PARAMETER;
    uint32_t transferred = 0;  // the count is not reported
    return usb::bulk_write(slot, static_cast<uint8_t>(PipeID), pData, DataSize, transferred);
}

}  // namespace korval
