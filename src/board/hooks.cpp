#include "board/hooks.h"

#include <cstddef>

namespace korval {

namespace {

// Room for every subsystem (four today). Plain static storage, filled while the library's static
// objects are made and read-only afterwards, and never destroyed: the unload hooks run from the
// library's destructor, which may come after the C++ static objects are gone.
constexpr size_t kMaxSubsystems = 8;
SubsystemHooks g_hooks[kMaxSubsystems];
size_t g_hook_count = 0;

void notify(void (*SubsystemHooks::*hook)(uint32_t), uint32_t slot)
{
    for (size_t i = 0; i < g_hook_count; ++i)
        if (g_hooks[i].*hook != nullptr) (g_hooks[i].*hook)(slot);
}

}  // namespace

RegisterSubsystemHooks::RegisterSubsystemHooks(SubsystemHooks h)
{
    if (g_hook_count < kMaxSubsystems) g_hooks[g_hook_count++] = h;
}

void notify_board_placed(uint32_t slot) { notify(&SubsystemHooks::board_placed, slot); }
void notify_new_board(uint32_t slot) { notify(&SubsystemHooks::new_board, slot); }
void notify_board_removed(uint32_t slot) { notify(&SubsystemHooks::board_removed, slot); }
void notify_slot_zeroed(uint32_t slot) { notify(&SubsystemHooks::slot_zeroed, slot); }
void notify_unload(uint32_t slot) { notify(&SubsystemHooks::unload, slot); }

}  // namespace korval
