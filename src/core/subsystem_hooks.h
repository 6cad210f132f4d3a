// What a subsystem does to its own part of a slot's record when the core changes the slot under it.
// Each subsystem registers its hooks in its own file (a static RegisterSubsystemHooks); the core calls
// them, so that core/ neither knows a subsystem's flags nor stops its workers.
#pragma once

#include "core/device_table.h"

namespace korval {

struct SubsystemHooks {
    void (*new_board)(TDeviceData& d) = nullptr;      // the open check sets up a newly found board
    void (*board_removed)(TDeviceData& d) = nullptr;  // the device-gone mapping closed the slot
};

struct RegisterSubsystemHooks {
    explicit RegisterSubsystemHooks(SubsystemHooks hooks);
};

// Call every subsystem's hook.
void notify_new_board(TDeviceData& d);
void notify_board_removed(TDeviceData& d);

}  // namespace korval
