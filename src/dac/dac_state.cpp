// The analog-output subsystem's hooks on its part of the slot's record.
#include "core/subsystem_hooks.h"

namespace korval {

namespace {

// Waveform output of a board that has left the slot is neither open nor closing.
void output_closed(TDeviceData& d)
{
    d.bDACOpen = false;
    d.bDACClosing = false;
}

const RegisterSubsystemHooks kHooks{{
    .board_placed = output_closed,
    .board_removed = output_closed,
    // A waveform worker the application left running is left to run, as the record's other memory is:
    // only its end functions stop and free it.
    .slot_zeroed = [](TDeviceData& d) { d.WorkerThread.release(); },
    .unload =
        [](TDeviceData& d) {
            std::vector<std::vector<uint8_t>>().swap(d.DACData);
            std::vector<uint8_t>().swap(d.PendingDACData);
        },
}};

}  // namespace

}  // namespace korval
