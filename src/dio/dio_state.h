// The digital state of a slot: the ports' output cache and the digital stream's flags. Its hooks
// (dio_state.cpp) look after it when the core opens, zeroes or releases the slot.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "base/relaxed.h"

namespace korval {

struct DioState {
    std::vector<uint8_t> LastDIOData;  // output cache, one byte per port
    Relaxed<bool> bDIOOpen;
    Relaxed<bool> bDIORead;
    std::atomic<uint32_t> dio_frames_in_flight{0};  // frames moving now; closing the stream cancels them
};

// The state of the slot (0 to 31), in the subsystem's own table (board/board.h, SlotStates).
DioState& dio_state(uint32_t slot);

}  // namespace korval
