// What a subsystem does to its own part of a slot's record when the core changes the slot under it.
// Each subsystem registers its hooks in its own folder (a static RegisterSubsystemHooks in its
// *_state.cpp); the core calls them, so that core/ neither knows a subsystem's flags nor stops, frees or
// lets go of its workers.
#pragma once

#include "core/device_table.h"

namespace korval {

struct SubsystemHooks {
    void (*board_placed)(TDeviceData& d) = nullptr;   // discovery put a newly found board in the slot
    void (*new_board)(TDeviceData& d) = nullptr;      // the open check applied a new board's capabilities
    void (*board_removed)(TDeviceData& d) = nullptr;  // the device-gone mapping closed the slot
    void (*slot_zeroed)(TDeviceData& d) = nullptr;    // the load sequence is about to zero the record
    void (*unload)(TDeviceData& d) = nullptr;         // the record's strings and arrays are released
};

struct RegisterSubsystemHooks {
    explicit RegisterSubsystemHooks(SubsystemHooks hooks);
};

// Call every subsystem's hook, in the order the subsystems registered.
void notify_board_placed(TDeviceData& d);
void notify_new_board(TDeviceData& d);
void notify_board_removed(TDeviceData& d);
void notify_slot_zeroed(TDeviceData& d);
void notify_unload(TDeviceData& d);

}  // namespace korval
