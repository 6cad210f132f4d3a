#include "usb/control.h"

#include "base/last_error.h"
#include "korval/korval.h"
#include "usb/driver_header.h"
#include "usb/transport.h"

namespace korval::usb {

Result read_transfer(uint32_t slot, const Setup& setup, uint32_t* count, void* data, const Memory& memory)
{
    return transport(slot).control_read(slot, setup, count, data, memory);
}

Result write_transfer(uint32_t slot, const Setup& setup, uint32_t size, const void* data, const Memory& memory)
{
    return transport(slot).control_write(slot, setup, size, data, memory);
}

Setup vendor_setup(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint32_t count)
{
    return {type, request, value, index, static_cast<uint16_t>(count)};
}

Result vendor_read(uint32_t slot, uint8_t request, uint16_t value, uint16_t index, uint32_t& size, void* data)
{
    if (const Result r = usable(slot)) return r;
    return read_transfer(slot, vendor_setup(kVendorIn, request, value, index, size), &size, data, kLibraryMemory);
}

Result vendor_write(uint32_t slot, uint8_t request, uint16_t value, uint16_t index, uint32_t size, const void* data)
{
    if (const Result r = usable(slot)) return r;
    return write_transfer(slot, vendor_setup(kVendorOut, request, value, index, size), size, data, kLibraryMemory);
}

}  // namespace korval::usb
