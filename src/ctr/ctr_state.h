// The counter part of a slot's record: the 8254 blocks the board has, their clock, and the pulse-width
// monitor and gate waits that run on them. Its hook (ctr_state.cpp) looks after it when the core zeroes
// the slot.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "base/relaxed.h"

namespace korval {

// The pulse-width monitor's thread, defined with the feature.
class TCtrMonitorThread;

// Frees a monitor whose end function has already stopped and joined it; defined with the monitor.
struct TCtrMonitorThreadFree {
    void operator()(TCtrMonitorThread* monitor) const noexcept;
};

struct TCtrState {
    Relaxed<uint32_t> Counters;  // 8254 blocks of three counters
    Relaxed<bool> bGateSelectable;
    Relaxed<double> RootClock;  // hertz
    std::unique_ptr<TCtrMonitorThread, TCtrMonitorThreadFree> CtrMonitorThread;
    std::mutex ctr_monitor_lock;         // start, stop and fetch of pulse widths, from any thread
    std::atomic<uint32_t> GateWaits{0};  // gate waits blocked in their bulk read now
};

}  // namespace korval
