#include "core/subsystem_hooks.h"

#include <vector>

namespace korval {

namespace {

// Filled while the library's static objects are made, before any call; read-only afterwards.
std::vector<SubsystemHooks>& hooks()
{
    static std::vector<SubsystemHooks> list;
    return list;
}

}  // namespace

RegisterSubsystemHooks::RegisterSubsystemHooks(SubsystemHooks h) { hooks().push_back(h); }

void notify_new_board(TDeviceData& d)
{
    for (const SubsystemHooks& h : hooks())
        if (h.new_board != nullptr) h.new_board(d);
}

void notify_board_removed(TDeviceData& d)
{
    for (const SubsystemHooks& h : hooks())
        if (h.board_removed != nullptr) h.board_removed(d);
}

}  // namespace korval
