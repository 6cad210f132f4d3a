// Gate waits: the board watches two gate sources (flat counter numbers) and reports an event on one of
// two bulk IN endpoints, 0x82 for the first and 0x86 for the second. A wait is a 2-byte bulk read that
// blocks until the board reports; what the two bytes mean is the board's.
//
// A blocked wait ends by an event, by CTR_EndWaitGates (which cancels the reads in flight on both
// endpoints), by the host cancelling the transfer, or by the board going away.
#include <chrono>
#include <thread>

#include "core/caller_memory.h"
#include "ctr/ctr.h"
#include "korval/korval.h"
#include "usb/bulk.h"
#include "usb/control.h"

namespace korval {

namespace {

constexpr uint8_t kRequestSetWaitGates = 0x27;
constexpr uint8_t kRequestEndWaitGates = 0x29;
constexpr uint8_t kGateEndpoints[2] = {0x82, 0x86};
constexpr uint32_t kContentBytes = 2;

// Cancelling the reads of waits that are about to block, not only of those already blocked: a wait
// counted in GateWaits may not have reached the driver yet, so the cancel is repeated for a while.
constexpr int kCancelRounds = 200;
constexpr auto kCancelPause = std::chrono::milliseconds(1);

// The counter test, then the gate-selection test: how the three gate-wait functions begin.
Result open_gate_waits(uint32_t device_index, uint32_t& slot)
{
    if (const Result r = ctr::open_counters(device_index, slot)) return r;
    return device(slot).bGateSelectable ? ERROR_SUCCESS : ERROR_BAD_TOKEN_TYPE;
}

// Counts a wait in GateWaits for as long as it lives.
class CountedWait {
public:
    explicit CountedWait(std::atomic<uint32_t>& waits) : waits_(waits) { waits_.fetch_add(1); }
    ~CountedWait() { waits_.fetch_sub(1); }
    CountedWait(const CountedWait&) = delete;
    CountedWait& operator=(const CountedWait&) = delete;

private:
    std::atomic<uint32_t>& waits_;
};

}  // namespace

uint32_t CTR_SetWaitGates(uint32_t DeviceIndex, uint32_t GateA, uint32_t GateB)
{
    uint32_t slot = 0;
    if (const Result r = open_gate_waits(DeviceIndex, slot)) return r;
    // Gate numbers travel as one byte each; only the low bytes count.
    const uint32_t gates = device(slot).Counters * ctr::kCountersPerBlock;
    const auto a = static_cast<uint8_t>(GateA);
    const auto b = static_cast<uint8_t>(GateB);
    if (a >= gates || b >= gates) return ERROR_INVALID_ADDRESS;
    return usb::vendor_write(slot, kRequestSetWaitGates, 0, static_cast<uint16_t>(a | b << 8), 0, nullptr);
}

uint32_t CTR_EndWaitGates(uint32_t DeviceIndex)
{
    uint32_t slot = 0;
    if (const Result r = open_gate_waits(DeviceIndex, slot)) return r;
    const Result result = usb::vendor_write(slot, kRequestEndWaitGates, 0, 0, 0, nullptr);
    // The board stops watching; waits still blocked would never hear from it again, so they are ended
    // here, whatever the request answered.
    TDeviceData& d = device(slot);
    for (int round = 0; round < kCancelRounds && d.GateWaits.load() > 0; ++round) {
        bool cancelled = false;
        for (const uint8_t endpoint : kGateEndpoints) cancelled = usb::cancel_transfers(slot, endpoint) || cancelled;
        if (!cancelled) break;  // a host that cannot cancel: the waits end with the board
        if (d.GateWaits.load() == 0) break;
        std::this_thread::sleep_for(kCancelPause);
    }
    return result;
}

uint32_t CTR_WaitForGate(uint32_t DeviceIndex, uint32_t GateId, void* pContent)
{
    uint32_t slot = 0;
    if (const Result r = open_gate_waits(DeviceIndex, slot)) return r;
    const auto gate = static_cast<uint8_t>(GateId);
    if (gate > 1) return ERROR_INVALID_ADDRESS;
    if (pContent == nullptr) return ERROR_INVALID_PARAMETER;
    // The board's report goes straight into the caller's buffer, which must take it: an event read into
    // memory that cannot hold it would be lost.
    if (!caller_range_usable(pContent, kContentBytes, true)) return ERROR_NOACCESS;
    CountedWait counted(device(slot).GateWaits);
    uint32_t transferred = 0;  // the count is not reported
    return usb::bulk_read(slot, kGateEndpoints[gate], pContent, kContentBytes, transferred);
}

}  // namespace korval
