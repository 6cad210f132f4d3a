// The analog-output subsystem's state of each slot and its hooks.
#include "dac/dac_state.h"

#include "board/board.h"
#include "board/hooks.h"

namespace korval {

DacState& dac_state(uint32_t slot) { return SlotStates<DacState>::of(slot); }

namespace {

// Waveform output of a board that has left the slot is neither open nor closing.
void output_closed(uint32_t slot)
{
    DacState& s = dac_state(slot);
    s.bDACOpen = false;
    s.bDACClosing = false;
}

const RegisterSubsystemHooks kHooks{{
    .board_placed = output_closed,
    // A product whose row names the channels of a waveform point sets them; otherwise the slot keeps
    // the count its last board had.
    .new_board =
        [](uint32_t slot) {
            const int32_t used = board(slot).row().DACsUsed;
            if (used != 0) dac_state(slot).DACsUsed = used;
        },
    .board_removed = output_closed,
    // A waveform worker the application left running is left to run, as the state's other memory is:
    // only its end functions stop and free it.
    .slot_zeroed =
        [](uint32_t slot) {
            dac_state(slot).WorkerThread.release();
            SlotStates<DacState>::reset(slot);
        },
    .unload =
        [](uint32_t slot) {
            DacState& s = dac_state(slot);
            std::vector<std::vector<uint8_t>>().swap(s.DACData);
            std::vector<uint8_t>().swap(s.PendingDACData);
        },
}};

}  // namespace

}  // namespace korval
