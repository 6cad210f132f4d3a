// The boards' nonvolatile memory as the library itself uses it (device lookups by EEPROM contents,
// DAC calibration tables, range limits): the same requests as the exported functions, with buffers the
// library owns.
#pragma once

#include <cstdint>

#include "core/registry.h"
#include "usb/requests.h"

namespace korval::memory {

// CustomEEPROMRead for the library's own buffer: 25 for an address above 0xFF, 24 for a count running
// past the custom area, otherwise the read's result with `size` set to the bytes received.
Result custom_eeprom_read(uint32_t device_index, uint32_t start, uint32_t& size, void* data);

// Writes `size` bytes at an EEPROM address in pieces of at most 32 bytes (a last piece is sent even
// when it is empty); stops at the first failed piece. No range test: callers check their own area.
Result eeprom_write(uint32_t device_index, uint32_t eeprom_address, uint32_t size, const void* data);

// Whose memory a flash write reads: the caller's, through the guarded copies, or the library's own.
enum class Source { caller, library };

// The flash write of KORVAL_FlashWrite (caller memory) and of the DAC calibration tables (the library's
// buffer): the flash test, the bounds, then 4,096-byte pieces; stops at the first failed piece.
Result flash_write(uint32_t device_index, uint32_t start, uint32_t size, const void* data,
                   Source source = Source::library);

}  // namespace korval::memory
