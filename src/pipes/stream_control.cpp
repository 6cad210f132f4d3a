// Stream control: the streaming block size, FIFO clearing, the stream status word, the controller
// reset, and the firmware upload that this library does not offer.
#include "base/caller_memory.h"
#include "board/board.h"
#include "core/registry.h"
#include "korval/korval.h"
#include "pipes/pipes.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace {

constexpr FeatureTest kHasFifoControl = [](const ProductRow& d) { return d.bClearFIFO; };
constexpr uint32_t kMaxStreamingBlockSize = 0x1F00000;  // 32,505,856

uint32_t round_up(uint32_t value, uint32_t multiple) { return (value + multiple - 1) / multiple * multiple; }

// The FIFO-clearing request of each TimeMethod a program can name.
struct ClearMethod {
    uint32_t time_method;
    uint8_t request;
};
constexpr ClearMethod kClearMethods[] = {{0, usb::kClearFifoMethod0Request},
                                         {1, usb::kClearFifoMethod1Request},
                                         {5, usb::kClearFifoMethod5Request},
                                         {86, usb::kClearFifoMethod86Request}};

}  // namespace

uint32_t KORVAL_SetStreamingBlockSize(uint32_t DeviceIndex, uint32_t BlockSize)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const ProductRow& row = board(slot).row();
    if (!row.bDIOStream && !row.bADCBulk) return ERROR_BAD_TOKEN_TYPE;
    if (BlockSize == 0 || BlockSize > kMaxStreamingBlockSize) return ERROR_INVALID_PARAMETER;
    // ADC reads move whole 512-byte packets, digital streams whole 256-point frames.
    if (row.bADCBulk) BlockSize = round_up(BlockSize, 512);
    if (row.bDIOStream) BlockSize = round_up(BlockSize, 256);
    set_streaming_block_size(slot, BlockSize);
    return ERROR_SUCCESS;
}

uint32_t KORVAL_ClearFIFO(uint32_t DeviceIndex, uint32_t TimeMethod)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasFifoControl)) return r;
    for (const ClearMethod& m : kClearMethods)
        if (m.time_method == TimeMethod) return usb::vendor_write(slot, m.request, 0, 0, 0, nullptr);
    return ERROR_INVALID_PARAMETER;
}

uint32_t KORVAL_GetStreamStatus(uint32_t DeviceIndex, uint32_t* pStatus)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasFifoControl)) return r;
    if (pStatus == nullptr) return ERROR_INVALID_PARAMETER;
    // Bytes a short reply leaves out read as 0, so the status is never made of stale memory.
    uint8_t reply[4] = {};
    uint32_t size = sizeof reply;
    if (const Result r = usb::vendor_read(slot, usb::kStreamStatusRequest, 0, 0, size, reply)) return r;
    const uint32_t status =
        static_cast<uint32_t>(reply[0] | reply[1] << 8 | reply[2] << 16) | static_cast<uint32_t>(reply[3]) << 24;
    return write_caller(pStatus, status);
}

uint32_t KORVAL_ResetChip(uint32_t DeviceIndex)
{
    // Hold the controller's processor in reset, then release it: the firmware starts again. The second
    // write is not sent when the first fails.
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const uint8_t hold = 0x01;
    if (const Result r = usb::vendor_write(slot, usb::kControllerRamWrite, usb::kCpuControlRegister, 0, 1, &hold))
        return r;
    const uint8_t run = 0x00;
    return usb::vendor_write(slot, usb::kControllerRamWrite, usb::kCpuControlRegister, 0, 1, &run);
}

uint32_t KORVAL_UploadFirmware(uint32_t, const void*, uint32_t) { return ERROR_NOT_SUPPORTED; }

}  // namespace korval
