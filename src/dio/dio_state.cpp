// The digital subsystem's state of each slot and its hooks.
#include "dio/dio_state.h"

#include "board/board.h"
#include "board/hooks.h"

namespace korval {

DioState& dio_state(uint32_t slot) { return SlotStates<DioState>::of(slot); }

namespace {

const RegisterSubsystemHooks kHooks{{
    // The output cache has one byte per port of the new board (existing output levels are kept).
    .new_board = [](uint32_t slot) { dio_state(slot).LastDIOData.resize(board(slot).row().DIOBytes, 0); },
    .slot_zeroed = [](uint32_t slot) { SlotStates<DioState>::reset(slot); },
    .unload = [](uint32_t slot) { std::vector<uint8_t>().swap(dio_state(slot).LastDIOData); },
}};

}  // namespace

}  // namespace korval
