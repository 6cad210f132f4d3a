// The device table: one TDeviceData record per slot, 32 slots, for the life of the loaded library.
//
// Fields the board family's documentation names keep its names (b for flags, h for handles and
// locks); fields the library adds are snake_case (CONTRIBUTING.md, "Names"). Fields that threads share
// without a lock (flags, handles, counts) are Relaxed<>; the strings and arrays are changed only by
// calls that the application serialises with every other use of the slot.
#pragma once

#include <cstdint>
#include <string>

#include "adc/adc_state.h"
#include "base/relaxed.h"
#include "ctr/ctr_state.h"
#include "dac/dac_state.h"
#include "dio/dio_state.h"
#include "korval/host.h"

namespace korval {

namespace usb {
class Transport;
}

inline constexpr uint32_t kSlotCount = 32;
inline constexpr uint32_t kDefaultStreamingBlockSize = 0x7C00;  // 31,744

// The core's part of the record: the slot, its driver handles, the board's identity and what the
// transport layer needs for every subsystem's transfers.
struct TCoreSlot {
    Relaxed<bool> bOpen;           // the open check has read this board's descriptor
    Relaxed<bool> bDeviceWasHere;  // removal mark: the board has gone, the slot is not reused
    Relaxed<KorvalHandle> Handle;  // file handle (DeviceIoControl path) or WinUSB interface handle
    Relaxed<KorvalHandle> hWinUSBFile;
    Relaxed<bool> bCyUSB;          // true: DeviceIoControl driver path; false: WinUSB
    // The driver path's operations, chosen with bCyUSB where discovery places the board.
    Relaxed<const usb::Transport*> transport;
    std::string DevPath;           // interface path, written on the DeviceIoControl path only
    Relaxed<uint32_t> PID;         // 0xFFFFFFFF while the open check reads the descriptor
    Relaxed<bool> bGetName;
    Relaxed<uint32_t> StreamingBlockSize;  // largest single streaming bulk transfer
    Relaxed<bool> bClearFIFO;
    Relaxed<int32_t> FlashSectors;  // 64 KiB sectors; 0 = no flash
    Relaxed<bool> bFirmware20;      // the firmware check has passed
};

// One record per slot: the core's part and each subsystem's, every field under its own name. Each
// subsystem defines its part in its own folder and looks after it through its hooks
// (core/subsystem_hooks.h); the core changes only its own part.
struct TDeviceData : TCoreSlot, TDIOState, TCtrState, TADCState, TDACState {};

// The record of a slot (0 to 31).
TDeviceData& device(uint32_t slot);

// Every slot zeroed: no handles, no flags, empty paths and arrays. Only while no other call runs.
// Each subsystem's slot-zeroed hook runs first.
void zero_device_table();

// Releases the strings and arrays of every record and nothing else (library unload): the core's own,
// then each subsystem's through its unload hook.
void release_dynamic_fields();

}  // namespace korval
