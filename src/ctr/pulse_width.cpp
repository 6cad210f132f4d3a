// Pulse-width measurement: a monitor thread per board reads all counters over and over. A counter whose
// count is the same in two consecutive reads has stopped (its gate closed), and that count becomes its
// latest measurement, which one fetch consumes. The count is passed on raw: what it means in clock
// ticks depends on how the application programmed the counter.
//
// Start, stop and fetch on one board may come from several threads at once: the board's ctr_monitor_lock
// keeps a fetch from using a monitor that a stop is freeing. The monitor never takes that lock, so a
// stop can hold it while it joins the thread.
#include <chrono>
#include <mutex>
#include <new>
#include <vector>

#include "base/caller_memory.h"
#include "base/worker.h"
#include "board/board.h"
#include "ctr/ctr.h"
#include "ctr/ctr_state.h"
#include "korval/korval.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

class TCtrMonitorThread {
public:
    TCtrMonitorThread(uint32_t slot, size_t counters) : DI(slot), MeasuredPulseWidth(counters, 0) {}

    bool start() { return worker_.start([this] { run(); }); }
    // Asks the loop to stop and waits for the pass in progress to end.
    void stop()
    {
        worker_.request_stop();
        worker_.join();
    }

    // Takes a counter's measurement, leaving 0 (none waiting) in its place.
    uint16_t take(uint32_t flat)
    {
        std::lock_guard lock(hListMutex);
        if (flat >= MeasuredPulseWidth.size()) return 0;  // a counter the board did not have at start
        const uint16_t value = MeasuredPulseWidth[flat];
        MeasuredPulseWidth[flat] = 0;
        return value;
    }
    // Puts back a measurement that could not be handed over, unless a newer one has arrived.
    void put_back(uint32_t flat, uint16_t value)
    {
        std::lock_guard lock(hListMutex);
        if (flat < MeasuredPulseWidth.size() && MeasuredPulseWidth[flat] == 0) MeasuredPulseWidth[flat] = value;
    }

private:
    // After a failed read (a board that has gone answers at once) the loop pauses this long, so that it
    // does not spin on failures until it is stopped.
    static constexpr auto kPauseAfterFailure = std::chrono::milliseconds(1);

    // One whole-board read into a snapshot. The snapshot has the size the board had at start, which the
    // request asks for; a failed read leaves the snapshot as it was.
    bool read_all(std::vector<uint16_t>& snapshot)
    {
        std::vector<uint8_t> bytes(snapshot.size() * 2);
        uint32_t size = static_cast<uint32_t>(bytes.size());
        uint32_t slot = 0;
        Result r = open_for_feature(DI, slot, ctr::kHasCounters);
        if (r == ERROR_SUCCESS) r = usb::vendor_read(slot, usb::kCtrReadAllRequest, 0, 0, size, bytes.data());
        if (r != ERROR_SUCCESS) {
            worker_.result = r;
            return false;
        }
        // Counts a short reply leaves out keep their previous value.
        for (size_t i = 0; i < snapshot.size() && 2 * i + 1 < size; ++i)
            snapshot[i] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        return true;
    }

    void run()
    {
        std::vector<uint16_t> a(MeasuredPulseWidth.size(), 0);
        std::vector<uint16_t> b(MeasuredPulseWidth.size(), 0);
        read_all(b);
        for (bool into_a = true;; into_a = !into_a) {
            const bool read = read_all(into_a ? a : b);
            {
                // A and B hold the two most recent snapshots; a counter that did not move between them
                // has settled, and its count is the measurement.
                std::lock_guard lock(hListMutex);
                for (size_t i = 0; i < a.size(); ++i)
                    if (a[i] == b[i]) MeasuredPulseWidth[i] = a[i];
            }
            if (worker_.stop_requested()) break;
            if (!read && worker_.wait_for(kPauseAfterFailure)) break;
        }
    }

    // The board's slot: the device index as resolved at start, so that a first- or only-board index
    // that later names another board does not move the monitor to it.
    const uint32_t DI;
    std::mutex hListMutex;
    std::vector<uint16_t> MeasuredPulseWidth;  // flat counter order; 0: no measurement waiting
    Worker worker_;
};

namespace {

// Stops the slot's monitor, if it has one, and frees it. Under the slot's ctr_monitor_lock.
bool stop_monitor(CtrState& d)
{
    // Out of the record first: a fetch on another thread finds no monitor rather than a stopping one.
    const std::unique_ptr<TCtrMonitorThread, FreeCtrMonitor> monitor = std::move(d.CtrMonitorThread);
    if (monitor == nullptr) return false;
    monitor->stop();
    return true;
}

}  // namespace

uint32_t CTR_StartMeasuringPulseWidth(uint32_t DeviceIndex)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, ctr::kHasCounters)) return r;
    const ProductRow& row = board(slot).row();
    CtrState& d = ctr_state(slot);
    std::lock_guard lock(d.ctr_monitor_lock);
    // A new start replaces the monitor and with it every measurement.
    stop_monitor(d);
    auto* monitor = new (std::nothrow) TCtrMonitorThread(slot, row.Counters * ctr::kCountersPerBlock);
    if (monitor == nullptr) return ERROR_INTERNAL_ERROR;
    if (!monitor->start()) {
        delete monitor;
        return ERROR_INTERNAL_ERROR;
    }
    d.CtrMonitorThread.reset(monitor);
    return ERROR_SUCCESS;
}

uint32_t CTR_StopMeasuringPulseWidth(uint32_t DeviceIndex)
{
    uint32_t slot = 0;
    if (const Result r = resolve_index(DeviceIndex, slot)) return r;
    // A board that has gone still has its monitor stopped and freed, and then the open check's failure
    // (1617) is reported, as every other end function reports it.
    const Result opened = open_for_feature(slot, slot, ctr::kHasCounters);
    CtrState& d = ctr_state(slot);
    std::lock_guard lock(d.ctr_monitor_lock);
    if (stop_monitor(d)) return opened;
    return opened != ERROR_SUCCESS ? opened : ERROR_FILE_NOT_FOUND;
}

uint32_t CTR_GetPulseWidthMeasurement(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex,
                                      uint16_t* pReadValue)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, ctr::kHasCounters)) return r;
    CtrState& d = ctr_state(slot);
    ctr::CounterAddress address;
    if (const Result r = ctr::address_counter(board(slot).row(), BlockIndex, CounterIndex, address)) return r;
    std::lock_guard lock(d.ctr_monitor_lock);
    TCtrMonitorThread* monitor = d.CtrMonitorThread.get();
    if (monitor == nullptr) return ERROR_FILE_NOT_FOUND;
    if (const uint32_t r = write_caller(pReadValue, 0)) return r;
    const uint16_t value = monitor->take(address.flat());
    if (!store_to_caller(pReadValue, value)) {
        monitor->put_back(address.flat(), value);
        return ERROR_NOACCESS;
    }
    return value != 0 ? ERROR_SUCCESS : ERROR_NO_DATA_DETECTED;
}

void FreeCtrMonitor::operator()(TCtrMonitorThread* monitor) const noexcept { delete monitor; }

}  // namespace korval
