// What a subsystem does to its own state of a slot when the board in the slot changes under it. Each
// subsystem registers its hooks in its own folder (a static RegisterSubsystemHooks in its *_state.cpp)
// and each hook changes that subsystem's state only, so the core neither knows a subsystem's flags
// nor stops, frees or lets go of its workers. A hook gets the slot; the board is read through board().
#pragma once

#include <cstdint>

namespace korval {

struct SubsystemHooks {
    void (*board_placed)(uint32_t slot) = nullptr;   // discovery put a newly found board in the slot
    void (*new_board)(uint32_t slot) = nullptr;      // the open check found the board's product row
    void (*board_removed)(uint32_t slot) = nullptr;  // the device-gone mapping closed the slot
    void (*slot_zeroed)(uint32_t slot) = nullptr;    // the load sequence is about to zero the slot
    void (*unload)(uint32_t slot) = nullptr;         // the state's dynamic memory is released
};

struct RegisterSubsystemHooks {
    explicit RegisterSubsystemHooks(SubsystemHooks hooks);
};

// Call every subsystem's hook, in the order the subsystems registered.
void notify_board_placed(uint32_t slot);
void notify_new_board(uint32_t slot);
void notify_board_removed(uint32_t slot);
void notify_slot_zeroed(uint32_t slot);
void notify_unload(uint32_t slot);

}  // namespace korval
