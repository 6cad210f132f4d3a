// The analog-input subsystem's state of each slot and its hooks.
#include "adc/adc_state.h"

#include <vector>

#include "board/board.h"
#include "board/hooks.h"

namespace korval {

AdcState& adc_state(uint32_t slot) { return SlotStates<AdcState>::of(slot); }

namespace {

const RegisterSubsystemHooks kHooks{{
    // A one-shot acquisition left from the slot's last board is stopped, joined and freed when a new
    // board is set up in the slot.
    .new_board = [](uint32_t slot) { adc_state(slot).ADCWorker = nullptr; },
    // Continuous workers the application left running are left to run, as the state's other memory
    // is: only their end functions stop and free them.
    .slot_zeroed =
        [](uint32_t slot) {
            AdcState& s = adc_state(slot);
            s.ADCContAcqWorker.release();
            s.ADCContBufWorker.release();
            SlotStates<AdcState>::reset(slot);
        },
    .unload =
        [](uint32_t slot) {
            AdcState& s = adc_state(slot);
            std::vector<uint8_t>().swap(s.FastITConfig);
            std::vector<uint8_t>().swap(s.FastITBakConfig);
        },
}};

}  // namespace

}  // namespace korval
