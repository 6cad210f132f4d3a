// The exported generic vendor requests: index resolution, the open check, then the control routines
// with guarded copies of the caller's buffer.
#include <algorithm>
#include <cstring>
#include <memory>

#include "base/caller_memory.h"
#include "core/registry.h"
#include "korval/korval.h"
#include "pipes/pipes.h"
#include "usb/control.h"
#include "usb/transport.h"

namespace korval {

namespace {

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

}  // namespace

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
    const size_t room = pData == nullptr ? 0 : std::min<size_t>(kStageInline, to_page_end);
    Stage stage;
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
