// The analog-input state of a slot: its acquisition workers and the configurations the fast scans
// keep. Its hooks (adc_state.cpp) look after it when the core opens, zeroes or releases the slot.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/relaxed.h"

namespace korval {

// Worker threads of the acquisitions; each is defined with its feature.
class TADCWorker;
class TADCContAcqWorker;
class TADCContBufWorker;

// Ends a one-shot acquisition worker (stops it, joins its thread, frees it); defined with the worker.
struct EndAdcWorker {
    void operator()(TADCWorker* worker) const noexcept;
};

// Free a worker whose end function has already stopped and joined it; each is defined with its worker.
struct FreeContAcqWorker {
    void operator()(TADCContAcqWorker* worker) const noexcept;
};
struct FreeContBufWorker {
    void operator()(TADCContBufWorker* worker) const noexcept;
};

struct AdcState {
    std::unique_ptr<TADCWorker, EndAdcWorker> ADCWorker;  // the current or last one-shot acquisition
    std::unique_ptr<TADCContAcqWorker, FreeContAcqWorker> ADCContAcqWorker;
    std::unique_ptr<TADCContBufWorker, FreeContBufWorker> ADCContBufWorker;
    // Starts and ends of bulk acquisitions (one-shot and continuous) from several threads take turns:
    // the worker pointers above change only under it. A continuous acquisition is stopped outside it
    // (its callback may call in), and adc_cont_ending keeps a new one off the pipe meanwhile.
    std::mutex adc_bulk_lock;
    Relaxed<bool> adc_cont_ending;
    std::vector<uint8_t> FastITConfig;
    std::vector<uint8_t> FastITBakConfig;
};

// The state of the slot (0 to 31), in the subsystem's own table (board/board.h, SlotStates).
AdcState& adc_state(uint32_t slot);

}  // namespace korval
