// The counter subsystem's hooks on its part of the slot's record.
#include "core/subsystem_hooks.h"

namespace korval {

namespace {

// A pulse-width monitor the application left running is left to run, as the record's other memory is:
// only its end function stops and frees it.
const RegisterSubsystemHooks kHooks{{.slot_zeroed = [](TDeviceData& d) { d.CtrMonitorThread.release(); }}};

}  // namespace

}  // namespace korval
