#include "core/subsystem_hooks.h"

#include <cstddef>

namespace korval {

namespace {

// Room for every subsystem (four today). Plain static storage, filled while the library's static
// objects are made and read-only afterwards, and never destroyed: the unload hooks run from the
// library's destructor, which may come after the C++ static objects are gone.
constexpr size_t kMaxSubsystems = 8;
SubsystemHooks g_hooks[kMaxSubsystems];
size_t g_hook_count = 0;

void notify(void (*SubsystemHooks::*hook)(TDeviceData&), TDeviceData& d)
{
    for (size_t i = 0; i < g_hook_count; ++i)
        if (g_hooks[i].*hook != nullptr) (g_hooks[i].*hook)(d);
}

}  // namespace

RegisterSubsystemHooks::RegisterSubsystemHooks(SubsystemHooks h)
{
    if (g_hook_count < kMaxSubsystems) g_hooks[g_hook_count++] = h;
}

void notify_board_placed(TDeviceData& d) { notify(&SubsystemHooks::board_placed, d); }
void notify_new_board(TDeviceData& d) { notify(&SubsystemHooks::new_board, d); }
void notify_board_removed(TDeviceData& d) { notify(&SubsystemHooks::board_removed, d); }
void notify_slot_zeroed(TDeviceData& d) { notify(&SubsystemHooks::slot_zeroed, d); }
void notify_unload(TDeviceData& d) { notify(&SubsystemHooks::unload, d); }

}  // namespace korval
