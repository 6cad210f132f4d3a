// The digital subsystem's hooks on its part of the slot's record.
#include "core/subsystem_hooks.h"

namespace korval {

namespace {

const RegisterSubsystemHooks kHooks{{
    // After the product table: a product that sets no direction-mask width has one bit per port, and
    // the output cache has one byte per port (existing output levels are kept).
    .new_board =
        [](TDeviceData& d) {
            if (d.DIOConfigBits == 0) d.DIOConfigBits = d.DIOBytes;
            d.LastDIOData.resize(d.DIOBytes, 0);
        },
    .unload = [](TDeviceData& d) { std::vector<uint8_t>().swap(d.LastDIOData); },
}};

}  // namespace

}  // namespace korval
