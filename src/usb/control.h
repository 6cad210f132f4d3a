// Control requests on a board's default pipe, on both driver paths.
//
// vendor_read and vendor_write are the library's own control routines: every feature sends its vendor
// requests through them with buffers the library owns. They run the open check on the slot (so a
// removed board is answered from the table), then the transfer. The exported GenericVendorRead and
// GenericVendorWrite are the same routines for caller memory: they add index resolution and guarded
// copies of the caller's buffer.
#pragma once

#include <cstdint>

#include "core/registry.h"

namespace korval::usb {

// Device-to-host vendor request (bmRequestType 0xC0). size: in, the bytes wanted (data's size); out,
// the bytes received. Bytes of data beyond the received count keep their contents.
Result vendor_read(uint32_t slot, uint8_t request, uint16_t value, uint16_t index, uint32_t& size, void* data);

// Host-to-device vendor request (bmRequestType 0x40) with `size` bytes of data as its data stage.
Result vendor_write(uint32_t slot, uint8_t request, uint16_t value, uint16_t index, uint32_t size,
                    const void* data);

}  // namespace korval::usb
