// Gate waits: the board watches two gate sources (flat counter numbers) and reports an event on one of
// two bulk IN endpoints, 0x82 for the first and 0x86 for the second. A wait is a 2-byte bulk read that
// blocks until the board reports; what the two bytes mean is the board's.
//
// A blocked wait ends by an event, by CTR_EndWaitGates (which cancels the reads in flight on both
// endpoints), by the host cancelling the transfer, or by the board going away.
#include "base/caller_memory.h"
#include "board/board.h"
#include "ctr/ctr.h"
#include "ctr/ctr_state.h"
#include "korval/korval.h"
#include "usb/bulk.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace {

constexpr uint32_t kContentBytes = 2;

// The test of the three gate-wait functions: counters with selectable gates.
constexpr FeatureTest kHasGateWaits = [](const ProductRow& d) { return d.Counters != 0 && d.bGateSelectable; };

}  // namespace

uint32_t CTR_SetWaitGates(uint32_t DeviceIndex, uint32_t GateA, uint32_t GateB)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasGateWaits)) return r;
    // Gate numbers travel as one byte each; only the low bytes count.
    const uint32_t gates = board(slot).row().Counters * ctr::kCountersPerBlock;
    const auto a = static_cast<uint8_t>(GateA);
    const auto b = static_cast<uint8_t>(GateB);
    if (a >= gates || b >= gates) return ERROR_INVALID_ADDRESS;
    return usb::vendor_write(slot, usb::kCtrSetWaitGatesRequest, 0, static_cast<uint16_t>(a | b << 8), 0, nullptr);
}

uint32_t CTR_EndWaitGates(uint32_t DeviceIndex)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasGateWaits)) return r;
    const Result result = usb::vendor_write(slot, usb::kCtrEndWaitGatesRequest, 0, 0, 0, nullptr);
    // The board stops watching; waits still blocked, or about to block, would never hear from it again,
    // so they are ended here, whatever the request answered.
    usb::cancel_counted(slot, {usb::kCtrGateEndpoints[0], usb::kCtrGateEndpoints[1]}, ctr_state(slot).gate_waits);
    return result;
}

uint32_t CTR_WaitForGate(uint32_t DeviceIndex, uint32_t GateId, void* pContent)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasGateWaits)) return r;
    const auto gate = static_cast<uint8_t>(GateId);
    if (gate > 1) return ERROR_INVALID_ADDRESS;
    // The board's report goes straight into the caller's buffer, which must take it: an event read into
    // memory that cannot hold it would be lost.
    if (const Result r = require_caller_range(pContent, kContentBytes, true)) return r;
    usb::CountedTransfer counted(ctr_state(slot).gate_waits);
    uint32_t transferred = 0;  // the count is not reported
    return usb::bulk_read(slot, usb::kCtrGateEndpoints[gate], pContent, kContentBytes, transferred);
}

}  // namespace korval
