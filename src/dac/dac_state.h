// The analog-output state of a slot: the waveform output's queue, flags and worker. Its hooks
// (dac_state.cpp) look after it when the core places, opens, removes, zeroes or releases the slot.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <semaphore>
#include <vector>

#include "base/relaxed.h"

namespace korval {

// The waveform output's worker thread, defined with the feature.
class TDACWorker;

// Frees a worker whose end function has already stopped and joined it; defined with the worker.
struct FreeDacWorker {
    void operator()(TDACWorker* worker) const noexcept;
};

struct DacState {
    Relaxed<int32_t> DACsUsed;      // channels per waveform point; not reset by the open check
    Relaxed<uint16_t> dac_divisor;  // the waveform clock's divisor last programmed
    Relaxed<bool> bDACOpen;
    Relaxed<bool> bDACClosing;
    Relaxed<bool> bDACStarted;
    std::vector<std::vector<uint8_t>> DACData;  // queued waveform blocks, under hDACDataMutex
    std::mutex hDACDataMutex;
    std::counting_semaphore<0x7FFFFFFF> hDACDataSem{0};  // one release per queued block
    std::vector<uint8_t> PendingDACData;
    std::unique_ptr<TDACWorker, FreeDacWorker> WorkerThread;
    // Open, frame and close of waveform output from several threads take turns: WorkerThread and
    // PendingDACData change only under it.
    std::mutex dac_stream_lock;
};

// The state of the slot (0 to 31), in the subsystem's own table (board/board.h, SlotStates).
DacState& dac_state(uint32_t slot);

}  // namespace korval
