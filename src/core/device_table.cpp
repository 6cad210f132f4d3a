#include "core/device_table.h"

#include <new>

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
        // Workers still running (the application did not end them) are left to run, as the record's
        // other memory is: only their end functions stop and free them.
        records[slot].WorkerThread.release();
        records[slot].CtrMonitorThread.release();
        records[slot].ADCContAcqWorker.release();
        records[slot].ADCContBufWorker.release();
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
        std::vector<uint8_t>().swap(d.LastDIOData);
        std::vector<std::vector<uint8_t>>().swap(d.DACData);
        std::vector<uint8_t>().swap(d.PendingDACData);
        std::vector<uint8_t>().swap(d.FastITConfig);
        std::vector<uint8_t>().swap(d.FastITBakConfig);
    }
}

}  // namespace korval
