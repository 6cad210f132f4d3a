#include "core/device_table.h"

#include <new>

#include "core/subsystem_hooks.h"

namespace korval {

namespace {

// The table is never destroyed: worker threads that the application left running at unload may still
// touch their records, so tearing the records down with the library's static objects would pull the
// memory from under them. Unload releases only the dynamic fields. The records live in static storage
// (not on the heap), so a library that is unloaded leaves nothing behind.
TDeviceData* table()
{
    alignas(TDeviceData) static unsigned char storage[sizeof(TDeviceData) * kSlotCount];
    static TDeviceData* const records = new (storage) TDeviceData[kSlotCount];
    return records;
}

}  // namespace

TDeviceData& device(uint32_t slot) { return table()[slot]; }

void zero_device_table()
{
    TDeviceData* records = table();
    for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
        notify_slot_zeroed(records[slot]);
        records[slot].~TDeviceData();
        new (&records[slot]) TDeviceData();
    }
}

void release_dynamic_fields()
{
    TDeviceData* records = table();
    for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
        TDeviceData& d = records[slot];
        std::string().swap(d.DevPath);
        notify_unload(d);
    }
}

}  // namespace korval
