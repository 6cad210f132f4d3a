// The device registry: device-index resolution, the open check, the device-gone mapping, discovery and
// closing a slot. Every device function of every subsystem starts here.
#pragma once

#include <cstdint>

#include "board/board.h"
#include "board/products.h"
#include "usb/removal.h"

namespace korval {

// The slot a device index names: 0 to 31 as they are, FirstDeviceIndex and OnlyDeviceIndex by a scan of
// the slots holding a handle. 1413 for other indexes from 32 up, 2 when no slot holds a handle, 52 for
// OnlyDeviceIndex when several do. Only reads the table.
Result resolve_index(uint32_t device_index, uint32_t& slot) noexcept;

// Makes sure the slot's board is open and its capabilities known: 2 for an empty slot, 1617 for a
// removed one; the first call after discovery reads the device descriptor and applies the product table.
Result open_check(uint32_t slot);

// Index resolution then the open check: the first two steps of every device function.
Result open_board(uint32_t device_index, uint32_t& slot);

// What a feature needs of the board's product, from the capability fields the open check set.
using FeatureTest = bool (*)(const ProductRow& d);

// Index resolution, the open check, then the feature's test (1349 when the product lacks the feature):
// how every function of a feature begins.
Result open_for_feature(uint32_t device_index, uint32_t& slot, FeatureTest has_feature);

// Closes the slot's driver handles, or clears its removal mark (KORVAL_CloseDevice after resolution).
Result close_slot(uint32_t slot);

// Fills free slots with boards not yet open, DeviceIoControl path first, then WinUSB; the installed
// host's boards first, then each remote server's. The first discovery adds the servers KORVAL_REMOTE names.
void discover();
// The same for one host only (usb::host_count()).
void discover_host(uint32_t host);

// Adds the remote servers named by KORVAL_REMOTE (with KORVAL_REMOTE_TOKEN_FILE and KORVAL_REMOTE_CA),
// once in the library's life; later calls do nothing.
void add_remotes_from_environment();

// Sets the largest single streaming bulk transfer of the slot's board (KORVAL_SetStreamingBlockSize).
void set_streaming_block_size(uint32_t slot, uint32_t size);

// Whether the board has the newer firmware feature set: asks the board once per slot, 50 when it has not.
Result firmware_check(uint32_t slot);

// Index resolution, the open check and the firmware check, in that order: how every function of the
// newer feature set (power-on defaults, automap, PWM, latches, debounce, tick rate) begins.
Result open_newer_firmware_board(uint32_t device_index, uint32_t& slot);

}  // namespace korval
