// 8254 counter access: each function addresses one counter (or the whole board), checks its arguments
// and sends one vendor request. The counting itself happens on the board; nothing is kept here.
#include "base/caller_memory.h"
#include "board/board.h"
#include "ctr/ctr.h"
#include "korval/korval.h"
#include "pipes/pipes.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace ctr {

Result address_counter(const ProductRow& d, uint32_t block, uint32_t counter, CounterAddress& address)
{
    const uint32_t blocks = d.Counters;
    if (block != 0) {
        if (block >= blocks || counter >= kCountersPerBlock) return ERROR_INVALID_ADDRESS;
        address = {block, counter};
        return ERROR_SUCCESS;
    }
    // Block 0 takes a flat counter number across all blocks.
    if (counter / kCountersPerBlock >= blocks) return ERROR_INVALID_ADDRESS;
    address = {counter / kCountersPerBlock, counter % kCountersPerBlock};
    return ERROR_SUCCESS;
}

}  // namespace ctr

namespace {

// The board's counters, then the counter's address, then (when given) the mode, in that order.
Result open_counter(uint32_t device_index, uint32_t block, uint32_t counter, const uint32_t* mode, uint32_t& slot,
                    ctr::CounterAddress& address)
{
    if (const Result r = open_for_feature(device_index, slot, ctr::kHasCounters)) return r;
    if (const Result r = ctr::address_counter(board(slot).row(), block, counter, address)) return r;
    if (mode != nullptr && *mode >= ctr::kModes) return ERROR_INVALID_ADDRESS;
    return ERROR_SUCCESS;
}

// wValue of the mode requests: the block in the low byte, the control word in the high byte.
uint16_t mode_value(const ctr::CounterAddress& a, uint32_t mode)
{
    return static_cast<uint16_t>(a.block | ctr::control_word(a.counter, mode) << 8);
}

// wValue of the read request: the block in the low byte, the plain counter index in the high byte.
uint16_t read_value(const ctr::CounterAddress& a) { return static_cast<uint16_t>(a.block | a.counter << 8); }

// A device-to-host request straight into a caller's variable or buffer, through the guarded copies
// (998 for memory that cannot be read or written). The byte count that comes back is not examined.
Result read_into_caller(uint32_t slot, uint8_t request, uint16_t value, uint32_t size, void* target)
{
    return GenericVendorRead(slot, request, value, 0, &size, target);
}

}  // namespace

uint32_t CTR_8254Mode(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex, uint32_t Mode)
{
    uint32_t slot = 0;
    ctr::CounterAddress a;
    if (const Result r = open_counter(DeviceIndex, BlockIndex, CounterIndex, &Mode, slot, a)) return r;
    return usb::vendor_write(slot, usb::kCtrModeRequest, mode_value(a, Mode), 0, 0, nullptr);
}

uint32_t CTR_8254Load(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex, uint16_t LoadValue)
{
    uint32_t slot = 0;
    ctr::CounterAddress a;
    if (const Result r = open_counter(DeviceIndex, BlockIndex, CounterIndex, nullptr, slot, a)) return r;
    // The counter sits in the two top bits, where a control word holds its counter select.
    const auto value = static_cast<uint16_t>(a.block | a.counter << 14);
    return usb::vendor_write(slot, usb::kCtrLoadRequest, value, LoadValue, 0, nullptr);
}

uint32_t CTR_8254ModeLoad(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex, uint32_t Mode,
                          uint16_t LoadValue)
{
    uint32_t slot = 0;
    ctr::CounterAddress a;
    if (const Result r = open_counter(DeviceIndex, BlockIndex, CounterIndex, &Mode, slot, a)) return r;
    return usb::vendor_write(slot, usb::kCtrModeLoadRequest, mode_value(a, Mode), LoadValue, 0, nullptr);
}

uint32_t CTR_8254ReadModeLoad(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex, uint32_t Mode,
                              uint16_t LoadValue, uint16_t* pReadValue)
{
    uint32_t slot = 0;
    ctr::CounterAddress a;
    if (const Result r = open_counter(DeviceIndex, BlockIndex, CounterIndex, &Mode, slot, a)) return r;
    if (pReadValue == nullptr) return ERROR_INVALID_PARAMETER;
    uint32_t size = sizeof *pReadValue;
    return GenericVendorRead(slot, usb::kCtrModeLoadRequest, mode_value(a, Mode), LoadValue, &size, pReadValue);
}

uint32_t CTR_8254Read(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex, uint16_t* pReadValue)
{
    uint32_t slot = 0;
    ctr::CounterAddress a;
    if (const Result r = open_counter(DeviceIndex, BlockIndex, CounterIndex, nullptr, slot, a)) return r;
    if (pReadValue == nullptr) return ERROR_INVALID_PARAMETER;
    return read_into_caller(slot, usb::kCtrReadRequest, read_value(a), sizeof *pReadValue, pReadValue);
}

uint32_t CTR_8254ReadStatus(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex, uint16_t* pReadValue,
                            uint8_t* pStatus)
{
    uint32_t slot = 0;
    ctr::CounterAddress a;
    if (const Result r = open_counter(DeviceIndex, BlockIndex, CounterIndex, nullptr, slot, a)) return r;
    if (pReadValue == nullptr || pStatus == nullptr) return ERROR_INVALID_PARAMETER;
    // Count (least significant byte first) and status byte in one reply of three bytes.
    uint8_t reply[3] = {};
    uint32_t size = sizeof reply;
    if (const Result r = usb::vendor_read(slot, usb::kCtrReadRequest, read_value(a), 0, size, reply)) return r;
    const auto count = static_cast<uint16_t>(reply[0] | reply[1] << 8);
    if (const Result r = write_caller(pReadValue, count)) return r;
    return write_caller(pStatus, reply[2]);
}

uint32_t CTR_8254ReadAll(uint32_t DeviceIndex, void* pData)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, ctr::kHasCounters)) return r;
    if (pData == nullptr) return ERROR_INVALID_PARAMETER;
    return read_into_caller(slot, usb::kCtrReadAllRequest, 0, ctr::read_all_size(board(slot).row()), pData);
}

uint32_t CTR_8254ReadLatched(uint32_t DeviceIndex, void* pData)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, ctr::kHasCounters)) return r;
    if (pData == nullptr) return ERROR_INVALID_PARAMETER;
    return read_into_caller(slot, usb::kCtrReadLatchedRequest, 0, ctr::read_latched_size(board(slot).row()), pData);
}

uint32_t CTR_8254SelectGate(uint32_t DeviceIndex, uint32_t GateIndex)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, ctr::kHasCounters)) return r;
    const ProductRow& row = board(slot).row();
    if (!row.bGateSelectable) return ERROR_BAD_TOKEN_TYPE;
    if (GateIndex >= row.Counters * ctr::kCountersPerBlock) return ERROR_INVALID_ADDRESS;
    return usb::vendor_write(slot, usb::kCtrSelectGateRequest, static_cast<uint16_t>(GateIndex), 0, 0, nullptr);
}

}  // namespace korval
