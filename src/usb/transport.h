// A board's driver path: how its control requests, bulk transfers, cancels and close reach the host.
//
// Discovery chooses one for a board where it places it (WinUSB, or the driver reached with
// DeviceIoControl) and every transfer goes through it; nothing else asks which path a board is on.
// Each path's implementation has its own file (winusb_transport.cpp, ioctl_transport.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "base/caller_memory.h"
#include "board/board.h"
#include "usb/driver_header.h"

namespace korval::usb {

// How a request's data buffer is reached: the library's own memory is copied plainly and may be handed
// to the driver as it is; caller memory is copied in and out through the guard, and never handed on.
struct Memory {
    bool (*copy_in)(void* target, const void* source, size_t size) noexcept;
    bool (*copy_out)(void* target, const void* source, size_t size) noexcept;
    bool direct;
};

inline bool plain_copy(void* target, const void* source, size_t size) noexcept
{
    if (size > 0) std::memcpy(target, source, size);
    return true;
}

inline constexpr Memory kLibraryMemory{plain_copy, plain_copy, true};
inline constexpr Memory kCallerMemory{copy_from_caller, copy_to_caller, false};

// Working memory of one control request: on the stack for the usual small requests, on the heap beyond.
class Scratch {
public:
    explicit Scratch(size_t size)
    {
        if (size > sizeof inline_) {
            heap_.reset(new uint8_t[size]);
            data_ = heap_.get();
        }
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    uint8_t* data() { return data_; }

private:
    uint8_t inline_[kHeaderSize + 512];
    std::unique_ptr<uint8_t[]> heap_;
    uint8_t* data_ = inline_;
};

class Transport {
public:
    // The capability record's DriverPath: 0 for WinUSB, 1 for the DeviceIoControl path.
    virtual uint32_t driver_path() const noexcept = 0;
    // Whether the path's boards are known by their interface path (discovery then skips a path a slot
    // holds already); the other path's exclusive open refuses a board that is open.
    virtual bool known_by_path() const noexcept = 0;
    // Whether the path can list the interface's pipes (GetPipes).
    virtual bool lists_pipes() const noexcept = 0;

    // A device-to-host control request: `count` in, the bytes wanted; out, the bytes received.
    virtual Result control_read(uint32_t slot, const Setup& setup, uint32_t* count, void* data,
                                const Memory& memory) const = 0;
    // A host-to-device control request with `size` bytes of data.
    virtual Result control_write(uint32_t slot, const Setup& setup, uint32_t size, const void* data,
                                 const Memory& memory) const = 0;
    // The board's 18-byte device descriptor (the open check's read). A short descriptor leaves the
    // rest of `descriptor` as it was.
    virtual Result device_descriptor(uint32_t slot, uint8_t (&descriptor)[18]) const = 0;

    // One bulk transfer on pipe `pipe_id` (bit 7 set: IN). false on failure, with the host's code as
    // the thread's last-error value.
    virtual bool bulk(KorvalHandle handle, uint8_t pipe_id, void* data, uint32_t size,
                      uint32_t& moved) const noexcept = 0;
    // Ends the transfers in flight on pipe `pipe_id`, or, where the path cannot single out a pipe,
    // every transfer of the board. false when the host cannot cancel.
    virtual bool cancel(KorvalHandle handle, uint8_t pipe_id) const noexcept = 0;
    virtual bool can_cancel(KorvalHandle handle) const noexcept = 0;

    // Gives up the board's handles (their results are not examined).
    virtual void close(KorvalHandle handle, KorvalHandle file) const noexcept = 0;

protected:
    ~Transport() = default;
};

const Transport& winusb_transport() noexcept;
const Transport& ioctl_transport() noexcept;

// The transport of the board in a record; a record never placed has WinUSB's.
inline const Transport& transport_of(const Board& d) noexcept
{
    const Transport* t = d.transport;
    return t != nullptr ? *t : winusb_transport();
}

inline const Transport& transport(uint32_t slot) noexcept { return transport_of(board(slot)); }

}  // namespace korval::usb
