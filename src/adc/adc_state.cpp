// The analog-input subsystem's hooks on its part of the slot's record.
#include "core/subsystem_hooks.h"

namespace korval {

namespace {

const RegisterSubsystemHooks kHooks{{
    // A one-shot acquisition left from the slot's last board is stopped, joined and freed when a new
    // board is set up in the slot.
    .new_board = [](TDeviceData& d) { d.ADCWorker = nullptr; },
    // Continuous workers the application left running are left to run, as the record's other memory
    // is: only their end functions stop and free them.
    .slot_zeroed =
        [](TDeviceData& d) {
            d.ADCContAcqWorker.release();
            d.ADCContBufWorker.release();
        },
    .unload =
        [](TDeviceData& d) {
            std::vector<uint8_t>().swap(d.FastITConfig);
            std::vector<uint8_t>().swap(d.FastITBakConfig);
        },
}};

}  // namespace

}  // namespace korval
