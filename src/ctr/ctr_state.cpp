// The counter subsystem's state of each slot and its hook.
#include "ctr/ctr_state.h"

#include "board/board.h"
#include "board/hooks.h"

namespace korval {

CtrState& ctr_state(uint32_t slot) { return SlotStates<CtrState>::of(slot); }

namespace {

// A pulse-width monitor the application left running is left to run, as the state's other memory is:
// only its end function stops and frees it.
const RegisterSubsystemHooks kHooks{{.slot_zeroed = [](uint32_t slot) {
    ctr_state(slot).CtrMonitorThread.release();
    SlotStates<CtrState>::reset(slot);
}}};

}  // namespace

}  // namespace korval
