// The WinUSB driver path: control requests through WinUsb_ControlTransfer, bulk transfers through the
// pipe calls, and a cancel that aborts one pipe. Every failure goes through the device-gone mapping.
#include <algorithm>

#include "board/board.h"
#include "korval/korval.h"
#include "usb/host_binding.h"
#include "usb/removal.h"
#include "usb/transport.h"

namespace korval::usb {

namespace {

class WinUsbTransport final : public Transport {
public:
    uint32_t driver_path() const noexcept override { return 0; }
    bool known_by_path() const noexcept override { return false; }
    bool lists_pipes() const noexcept override { return true; }

    Result control_read(uint32_t slot, const Setup& setup, uint32_t* count, void* data,
                        const Memory& memory) const override
    {
        const uint32_t wanted = *count;
        Scratch stage(memory.direct ? 0 : wanted);
        uint8_t* buffer = memory.direct ? static_cast<uint8_t*>(data) : stage.data();
        if (!memory.direct && !memory.copy_in(buffer, data, wanted)) return ERROR_NOACCESS;
        uint8_t packet[8];
        setup.to_bytes(packet);
        uint32_t transferred = 0;
        if (!winusb_control_transfer(board(slot).Handle, packet, buffer, wanted, transferred)) return device_gone(slot);
        const uint32_t received = std::min(transferred, wanted);
        *count = received;
        if (!memory.direct && !memory.copy_out(data, buffer, received)) return ERROR_NOACCESS;
        return ERROR_SUCCESS;
    }

    Result control_write(uint32_t slot, const Setup& setup, uint32_t size, const void* data,
                         const Memory& memory) const override
    {
        Scratch stage(memory.direct ? 0 : size);
        const void* buffer = data;
        if (!memory.direct) {
            if (!memory.copy_in(stage.data(), data, size)) return ERROR_NOACCESS;
            buffer = stage.data();
        }
        uint8_t packet[8];
        setup.to_bytes(packet);
        uint32_t transferred = 0;
        if (!winusb_control_transfer(board(slot).Handle, packet, const_cast<void*>(buffer), size, transferred))
            return device_gone(slot);
        return ERROR_SUCCESS;
    }

    Result device_descriptor(uint32_t slot, uint8_t (&descriptor)[18]) const override
    {
        // The byte count is not examined: the caller's zeroed buffer makes a short descriptor product 0.
        uint32_t transferred = 0;
        if (!winusb_get_descriptor(board(slot).Handle, 1, 0, 0x0409, descriptor, sizeof descriptor, transferred))
            return device_gone(slot);
        return ERROR_SUCCESS;
    }

    bool bulk(KorvalHandle handle, uint8_t pipe_id, void* data, uint32_t size, uint32_t& moved) const noexcept override
    {
        return (pipe_id & 0x80) != 0 ? winusb_read_pipe(handle, pipe_id, data, size, moved)
                                     : winusb_write_pipe(handle, pipe_id, data, size, moved);
    }

    bool cancel(KorvalHandle handle, uint8_t pipe_id) const noexcept override
    {
        return winusb_abort_pipe(handle, pipe_id);
    }
    bool can_cancel(KorvalHandle handle) const noexcept override { return can_abort_pipe(handle); }

    void close(KorvalHandle handle, KorvalHandle file) const noexcept override
    {
        winusb_free(handle);
        close_handle(file);
    }
};

const WinUsbTransport kWinUsb;

}  // namespace

const Transport& winusb_transport() noexcept { return kWinUsb; }

}  // namespace korval::usb
