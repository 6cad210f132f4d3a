// The CSA functions besides the sync: input debouncing (request 0x18), the DAC range limits kept in the
// board's EEPROM at 0x1D00, and a string of back-to-back snapshots of all digital ports (the read-all
// request 0x11).
#include <algorithm>
#include <cstring>
#include <vector>

#include "base/caller_memory.h"
#include "board/board.h"
#include "core/registry.h"
#include "dio/dio.h"
#include "korval/korval.h"
#include "memory/nvmem.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace {

// The range-limit block: a byte telling whether limits are set, then the caller's 32 bytes.
constexpr uint32_t kRangeLimitBytes = 32;
constexpr uint8_t kLimitsSet = 0x01;
constexpr uint8_t kLimitsCleared = 0x00;

constexpr FeatureTest kHasDebounce = [](const ProductRow& d) { return d.DIOBytes != 0 && d.bDIODebounce; };

}  // namespace

uint32_t DIO_CSA_DebounceSet(uint32_t DeviceIndex, uint32_t DebounceCounts)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasDebounce)) return r;
    return usb::vendor_write(slot, usb::kCsaDebounceRequest, static_cast<uint16_t>(DebounceCounts),
                             usb::kCsaDebounceSetIndex, 0, nullptr);
}

// The board's bytes land in the caller's buffer as they came; bytes it did not send keep their contents.
// A buffer that cannot take them is an internal failure, as any other fault inside this function.
uint32_t DIO_CSA_DebounceReadAll(uint32_t DeviceIndex, void* pData)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasDebounce)) return r;
    if (pData == nullptr) return ERROR_INVALID_PARAMETER;
    uint32_t size = 2 * board(slot).row().DIOBytes;
    std::vector<uint8_t> data(size);
    if (const Result r =
            usb::vendor_read(slot, usb::kCsaDebounceRequest, 0, usb::kCsaDebounceReadAllIndex, size, data.data()))
        return r;
    return copy_to_caller(pData, data.data(), size) ? ERROR_SUCCESS : ERROR_INTERNAL_ERROR;
}

// The caller's 32 bytes are copied before anything else: an unreadable buffer is refused before the
// device index is looked at. The 33-byte block goes in one request, as the boards take it.
uint32_t DAC_CSA_SetRangeLimits(uint32_t DeviceIndex, const void* pData)
{
    uint8_t block[1 + kRangeLimitBytes];
    block[0] = kLimitsSet;
    if (const Result r = read_caller_bytes(block + 1, pData, kRangeLimitBytes)) return r;
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    return usb::vendor_write(slot, usb::kEepromRequest, usb::kRangeLimitsAddress, 0, sizeof block, block);
}

// Only the leading byte changes: the limits stay in the EEPROM, marked as not set.
uint32_t DAC_CSA_ClearRangeLimits(uint32_t DeviceIndex)
{
    return memory::eeprom_write(DeviceIndex, usb::kRangeLimitsAddress, 1, &kLimitsCleared);
}

// Whole snapshots of the D ports, one request each, back to back, until the buffer has no room for
// another. A snapshot that comes back short ends the string: its bytes are in the buffer but not counted.
uint32_t DIO_CSA_ReadAllString(uint32_t DeviceIndex, void* pBuffer, uint32_t* pBufferSize)
{
    if (pBufferSize == nullptr) return ERROR_INVALID_PARAMETER;
    uint32_t slot = 0;
    Result result = open_board(DeviceIndex, slot);
    const uint32_t ports = result == ERROR_SUCCESS ? static_cast<uint32_t>(board(slot).row().DIOBytes) : 0;
    if (result == ERROR_SUCCESS && ports == 0) result = ERROR_BAD_TOKEN_TYPE;
    uint32_t space = 0;
    if (result == ERROR_SUCCESS && !load_from_caller(pBufferSize, space)) result = ERROR_INTERNAL_ERROR;
    if (result == ERROR_SUCCESS && pBuffer == nullptr && space >= ports) result = ERROR_INVALID_PARAMETER;
    if (result != ERROR_SUCCESS) {
        store_to_caller(pBufferSize, 0);
        return result;
    }

    auto* out = static_cast<uint8_t*>(pBuffer);
    std::vector<uint8_t> snapshot(ports);
    uint32_t total = 0;
    for (; space >= ports; space -= ports) {
        uint32_t got = ports;
        result = usb::vendor_read(slot, usb::kDioReadInputsRequest, 0, 0, got, snapshot.data());
        if (result != ERROR_SUCCESS) break;
        if (!copy_to_caller(out + total, snapshot.data(), got)) {
            store_to_caller(pBufferSize, 0);
            return ERROR_INTERNAL_ERROR;
        }
        if (got < ports) break;
        total += ports;
    }
    return store_to_caller(pBufferSize, total) ? result : ERROR_INTERNAL_ERROR;
}

}  // namespace korval
