// Control requests on a board's default pipe, on both driver paths.
//
// vendor_read and vendor_write are the library's own control routines: every feature sends its vendor
// requests through them with buffers the library owns, on a board its open check has found. They
// check the slot first (a removed board is answered from its record, 1617), then transfer. The
// exported GenericVendorRead and GenericVendorWrite (pipes/) use read_transfer and write_transfer
// with caller memory, after index resolution and the open check.
#pragma once

#include <cstdint>

#include "board/board.h"
#include "usb/driver_header.h"
#include "usb/removal.h"
#include "usb/transport.h"

namespace korval::usb {

inline constexpr uint8_t kVendorIn = 0xC0;   // bmRequestType of a device-to-host vendor request
inline constexpr uint8_t kVendorOut = 0x40;  // host-to-device

// A request's setup packet: wLength carries the low 16 bits of the count; the buffer handed to the
// driver has the full count.
Setup vendor_setup(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint32_t count);

// A control request through the slot's transport, with its buffer reached as `memory` says.
Result read_transfer(uint32_t slot, const Setup& setup, uint32_t* count, void* data, const Memory& memory);
Result write_transfer(uint32_t slot, const Setup& setup, uint32_t size, const void* data, const Memory& memory);

// Device-to-host vendor request (bmRequestType 0xC0). size: in, the bytes wanted (data's size); out,
// the bytes received. Bytes of data beyond the received count keep their contents.
Result vendor_read(uint32_t slot, uint8_t request, uint16_t value, uint16_t index, uint32_t& size, void* data);

// Host-to-device vendor request (bmRequestType 0x40) with `size` bytes of data as its data stage.
Result vendor_write(uint32_t slot, uint8_t request, uint16_t value, uint16_t index, uint32_t size,
                    const void* data);

}  // namespace korval::usb
