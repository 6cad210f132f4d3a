// The counter state of a slot: the pulse-width monitor and the gate waits that run on the board's 8254
// blocks. Its hook (ctr_state.cpp) looks after it when the core zeroes the slot.
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
struct FreeCtrMonitor {
    void operator()(TCtrMonitorThread* monitor) const noexcept;
};

struct CtrState {
    std::unique_ptr<TCtrMonitorThread, FreeCtrMonitor> CtrMonitorThread;
    std::mutex ctr_monitor_lock;          // start, stop and fetch of pulse widths, from any thread
    std::atomic<uint32_t> gate_waits{0};  // gate waits blocked in their bulk read now
};

// The state of the slot (0 to 31), in the subsystem's own table (board/board.h, SlotStates).
CtrState& ctr_state(uint32_t slot);

}  // namespace korval
