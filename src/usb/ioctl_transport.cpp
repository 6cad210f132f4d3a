// The DeviceIoControl driver path: every request is one DeviceIoControl call on the board's file,
// with the driver's request header in front. A cancel ends every transfer of the board (the driver
// has no per-pipe cancel).
#include <algorithm>

#include "base/last_error.h"
#include "board/board.h"
#include "korval/korval.h"
#include "usb/host_binding.h"
#include "usb/removal.h"
#include "usb/requests.h"
#include "usb/transport.h"

namespace korval::usb {

namespace {

// The header and the data stage travel in one buffer, whose length the driver takes as 32 bits.
bool ioctl_length(uint32_t data_size, uint32_t& total)
{
    if (data_size > UINT32_MAX - kHeaderSize) return false;
    total = kHeaderSize + data_size;
    return true;
}

// Device-to-host. A failure is the system's code (31 when it gave none): reads on this path do not go
// through the device-gone mapping.
Result ioctl_read(KorvalHandle file, const Setup& setup, uint32_t* count, void* data, const Memory& memory)
{
    const uint32_t wanted = *count;
    uint32_t total = 0;
    if (!ioctl_length(wanted, total)) return ERROR_INVALID_PARAMETER;
    Scratch buffer(total);
    build_control_header(buffer.data(), setup);
    if (!memory.copy_in(buffer.data() + kHeaderSize, data, wanted)) return ERROR_NOACCESS;
    uint32_t returned = 0;
    if (!device_io_control(file, KORVAL_IOCTL_CONTROL_REQUEST, buffer.data(), total, buffer.data(), total, returned)) {
        const uint32_t error = get_last_error();
        return error != 0 ? error : ERROR_GEN_FAILURE;
    }
    // The returned count includes the header.
    const uint32_t n = std::min(returned, total);
    const uint32_t received = n > kHeaderSize ? n - kHeaderSize : 0;
    *count = received;
    return memory.copy_out(data, buffer.data() + kHeaderSize, received) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

class IoctlTransport final : public Transport {
public:
    uint32_t driver_path() const noexcept override { return 1; }
    bool known_by_path() const noexcept override { return true; }
    bool lists_pipes() const noexcept override { return false; }

    Result control_read(uint32_t slot, const Setup& setup, uint32_t* count, void* data,
                        const Memory& memory) const override
    {
        return ioctl_read(board(slot).Handle, setup, count, data, memory);
    }

    Result control_write(uint32_t slot, const Setup& setup, uint32_t size, const void* data,
                         const Memory& memory) const override
    {
        uint32_t total = 0;
        if (!ioctl_length(size, total)) return ERROR_INVALID_PARAMETER;
        Scratch buffer(total);
        build_control_header(buffer.data(), setup);
        if (!memory.copy_in(buffer.data() + kHeaderSize, data, size)) return ERROR_NOACCESS;
        uint32_t returned = 0;
        if (!device_io_control(board(slot).Handle, KORVAL_IOCTL_CONTROL_REQUEST, buffer.data(), total, buffer.data(),
                               total, returned))
            return device_gone(slot);
        return ERROR_SUCCESS;  // how many bytes the board took is not examined
    }

    Result device_descriptor(uint32_t slot, uint8_t (&descriptor)[18]) const override
    {
        uint32_t size = sizeof descriptor;
        const Setup setup{kStandardIn, kGetDescriptorRequest, kDeviceDescriptorValue, 0, static_cast<uint16_t>(size)};
        if (const Result r = ioctl_read(board(slot).Handle, setup, &size, descriptor, kLibraryMemory)) return r;
        return size < sizeof descriptor ? ERROR_READ_FAULT : ERROR_SUCCESS;
    }

    // The request header carries only the endpoint; the data buffer is the call's second buffer in both
    // directions: the driver fills it for IN and takes the bytes to send from it for OUT.
    bool bulk(KorvalHandle handle, uint8_t pipe_id, void* data, uint32_t size, uint32_t& moved) const noexcept override
    {
        uint8_t header[kHeaderSize];
        build_bulk_header(header, pipe_id);
        return device_io_control(handle, KORVAL_IOCTL_BULK_TRANSFER, header, kHeaderSize, data, size, moved);
    }

    bool cancel(KorvalHandle handle, uint8_t) const noexcept override { return cancel_io(handle); }
    bool can_cancel(KorvalHandle handle) const noexcept override { return can_cancel_io(handle); }

    void close(KorvalHandle handle, KorvalHandle) const noexcept override { close_handle(handle); }
};

const IoctlTransport kIoctl;

}  // namespace

const Transport& ioctl_transport() noexcept { return kIoctl; }

}  // namespace korval::usb
