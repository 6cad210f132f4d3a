#include "usb/control.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "base/caller_memory.h"
#include "base/last_error.h"
#include "korval/korval.h"
#include "usb/driver_header.h"
#include "usb/host_binding.h"
#include "usb/usb_api.h"

namespace korval::usb {

namespace {

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

// Where GenericVendorRead holds the caller's data while the request runs: inline for small requests,
// on the heap beyond.
constexpr size_t kStageInline = 512;

class Stage {
public:
    Stage() = default;
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;
    uint8_t* data() { return data_; }
    // Room for `size` bytes, keeping the first `keep`.
    void grow(size_t size, size_t keep)
    {
        if (size <= kStageInline) return;
        heap_.reset(new uint8_t[size]);
        std::memcpy(heap_.get(), inline_, keep);
        data_ = heap_.get();
    }

private:
    uint8_t inline_[kStageInline];
    std::unique_ptr<uint8_t[]> heap_;
    uint8_t* data_ = inline_;
};

// How a request's data buffer is reached: the library's own memory is copied plainly and may be handed
// to the driver as it is; caller memory is copied in and out through the guard, and never handed on.
struct Memory {
    bool (*copy_in)(void* target, const void* source, size_t size) noexcept;
    bool (*copy_out)(void* target, const void* source, size_t size) noexcept;
    bool direct;
};

bool plain_copy(void* target, const void* source, size_t size) noexcept
{
    if (size > 0) std::memcpy(target, source, size);
    return true;
}

constexpr Memory kLibraryMemory{plain_copy, plain_copy, true};
constexpr Memory kCallerMemory{copy_from_caller, copy_to_caller, false};

// The header and the data stage travel in one buffer, whose length the driver takes as 32 bits.
bool ioctl_length(uint32_t data_size, uint32_t& total)
{
    if (data_size > UINT32_MAX - kHeaderSize) return false;
    total = kHeaderSize + data_size;
    return true;
}

// Device-to-host on the DeviceIoControl path. A failure is the system's code (31 when it gave none):
// reads on this path do not go through the device-gone mapping.
Result ioctl_read(const TDeviceData& d, const Setup& setup, uint32_t* count, void* data, const Memory& memory)
{
    const uint32_t wanted = *count;
    uint32_t total = 0;
    if (!ioctl_length(wanted, total)) return ERROR_INVALID_PARAMETER;
    Scratch buffer(total);
    build_control_header(buffer.data(), setup);
    if (!memory.copy_in(buffer.data() + kHeaderSize, data, wanted)) return ERROR_NOACCESS;
    uint32_t returned = 0;
    if (!device_io_control(d.Handle, KORVAL_IOCTL_CONTROL_REQUEST, buffer.data(), total, buffer.data(), total,
                           returned)) {
        const uint32_t error = get_last_error();
        return error != 0 ? error : ERROR_GEN_FAILURE;
    }
    // The returned count includes the header.
    const uint32_t n = std::min(returned, total);
    const uint32_t received = n > kHeaderSize ? n - kHeaderSize : 0;
    *count = received;
    return memory.copy_out(data, buffer.data() + kHeaderSize, received) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

Result read_transfer(uint32_t slot, const Setup& setup, uint32_t* count, void* data, const Memory& memory)
{
    const TDeviceData& d = device(slot);
    if (d.bCyUSB) return ioctl_read(d, setup, count, data, memory);

    const uint32_t wanted = *count;
    Scratch stage(memory.direct ? 0 : wanted);
    uint8_t* buffer = memory.direct ? static_cast<uint8_t*>(data) : stage.data();
    if (!memory.direct && !memory.copy_in(buffer, data, wanted)) return ERROR_NOACCESS;
    uint8_t packet[8];
    setup.to_bytes(packet);
    uint32_t transferred = 0;
    if (!winusb_control_transfer(d.Handle, packet, buffer, wanted, transferred)) return device_gone(slot);
    const uint32_t received = std::min(transferred, wanted);
    *count = received;
    if (!memory.direct && !memory.copy_out(data, buffer, received)) return ERROR_NOACCESS;
    return ERROR_SUCCESS;
}

Result write_transfer(uint32_t slot, const Setup& setup, uint32_t size, const void* data, const Memory& memory)
{
    const TDeviceData& d = device(slot);
    if (d.bCyUSB) {
        uint32_t total = 0;
        if (!ioctl_length(size, total)) return ERROR_INVALID_PARAMETER;
        Scratch buffer(total);
        build_control_header(buffer.data(), setup);
        if (!memory.copy_in(buffer.data() + kHeaderSize, data, size)) return ERROR_NOACCESS;
        uint32_t returned = 0;
        if (!device_io_control(d.Handle, KORVAL_IOCTL_CONTROL_REQUEST, buffer.data(), total, buffer.data(), total,
                               returned))
            return device_gone(slot);
        return ERROR_SUCCESS;  // how many bytes the board took is not examined
    }

    Scratch stage(memory.direct ? 0 : size);
    const void* buffer = data;
    if (!memory.direct) {
        if (!memory.copy_in(stage.data(), data, size)) return ERROR_NOACCESS;
        buffer = stage.data();
    }
    uint8_t packet[8];
    setup.to_bytes(packet);
    uint32_t transferred = 0;
    if (!winusb_control_transfer(d.Handle, packet, const_cast<void*>(buffer), size, transferred))
        return device_gone(slot);
    return ERROR_SUCCESS;
}

constexpr uint8_t kVendorIn = 0xC0;
constexpr uint8_t kVendorOut = 0x40;

// wLength carries the low 16 bits of the count; the buffer handed to the driver has the full count.
Setup vendor_setup(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint32_t count)
{
    return {type, request, value, index, static_cast<uint16_t>(count)};
}

}  // namespace

Result vendor_read(uint32_t slot, uint8_t request, uint16_t value, uint16_t index, uint32_t& size, void* data)
{
    if (const Result r = open_check(slot)) return r;
    return read_transfer(slot, vendor_setup(kVendorIn, request, value, index, size), &size, data, kLibraryMemory);
}

Result vendor_write(uint32_t slot, uint8_t request, uint16_t value, uint16_t index, uint32_t size, const void* data)
{
    if (const Result r = open_check(slot)) return r;
    return write_transfer(slot, vendor_setup(kVendorOut, request, value, index, size), size, data, kLibraryMemory);
}

Result descriptor_read(uint32_t slot, uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
                       uint32_t& size, void* data)
{
    const Setup setup{static_cast<uint8_t>(request_type | 0x80), request, value, index, static_cast<uint16_t>(size)};
    return ioctl_read(device(slot), setup, &size, data, kLibraryMemory);
}

}  // namespace korval::usb

namespace korval {

uint32_t GenericVendorRead(uint32_t DeviceIndex, uint8_t Request, uint16_t RequestValue, uint16_t RequestIndex,
                           uint32_t* pDataSize, void* pData)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    if (pDataSize == nullptr) return ERROR_INVALID_PARAMETER;
    // The count and the data are caller memory: read before the request, and written back after it
    // (the count only when the read succeeded), each direction in one guarded copy. The count
    // sizes the data, so the data's first bytes, up to the end of their page, are read with it before
    // the count is known; a larger buffer has the rest read on its own.
    constexpr uintptr_t kPage = 4096;
    const size_t to_page_end = kPage - reinterpret_cast<uintptr_t>(pData) % kPage;
    const size_t room = pData == nullptr ? 0 : std::min<size_t>(usb::kStageInline, to_page_end);
    usb::Stage stage;
    uint32_t count = 0;
    size_t readable = 0;
    if (!load_count_and_head(pDataSize, count, pData, stage.data(), room, readable)) return ERROR_NOACCESS;
    if (count > readable) {
        stage.grow(count, readable);
        const auto* rest = static_cast<const uint8_t*>(pData) + readable;
        if (!copy_from_caller(stage.data() + readable, rest, count - readable)) return ERROR_NOACCESS;
    }
    const usb::Setup setup = usb::vendor_setup(usb::kVendorIn, Request, RequestValue, RequestIndex, count);
    if (const Result r = usb::read_transfer(slot, setup, &count, stage.data(), usb::kLibraryMemory)) return r;
    return store_data_and_count(pData, stage.data(), count, pDataSize, count) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

uint32_t GenericVendorWrite(uint32_t DeviceIndex, uint8_t Request, uint16_t RequestValue, uint16_t RequestIndex,
                            uint32_t DataSize, const void* pData)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const usb::Setup setup = usb::vendor_setup(usb::kVendorOut, Request, RequestValue, RequestIndex, DataSize);
    return usb::write_transfer(slot, setup, DataSize, pData, usb::kCallerMemory);
}

}  // namespace korval
