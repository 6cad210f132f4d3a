// The digital part of a slot's record: the ports, their output cache, the special functions the board
// has and the digital stream's flags. Its hooks (dio_state.cpp) look after it when the core opens or
// releases the slot.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "base/relaxed.h"

namespace korval {

struct TDIOState {
    Relaxed<uint32_t> DIOBytes;
    Relaxed<uint32_t> DIOConfigBits;
    std::vector<uint8_t> LastDIOData;  // output cache, one byte per port
    Relaxed<uint32_t> Tristates;
    Relaxed<bool> bDIOStream;
    Relaxed<bool> bDIOOpen;
    Relaxed<bool> bDIORead;
    std::atomic<uint32_t> DIOFramesInFlight{0};  // frames moving now; closing the stream cancels them
    Relaxed<bool> bDIODebounce;
    Relaxed<bool> bDIOSPI;
    Relaxed<bool> bSetCustomClocks;
    Relaxed<uint32_t> WDGBytes;
};

}  // namespace korval
