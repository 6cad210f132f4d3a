// The ADC configuration block: whole-block reads and writes, and the field setters, each a read of the
// block from the board, a change, and a write of the whole block back. The library keeps no copy.
#include <array>
#include <cstring>

#include "adc/adc.h"
#include "adc/config_block.h"
#include "base/caller_memory.h"
#include "board/board.h"
#include "korval/korval.h"
#include "pipes/pipes.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace adc {

Result read_block(uint32_t slot, uint8_t* block)
{
    const uint32_t size = board(slot).row().ConfigBytes;
    uint32_t received = size;
    if (const Result r = usb::vendor_read(slot, usb::kAdcReadBlockRequest, 0, 0, received, block)) return r;
    return received < size ? ERROR_READ_FAULT : ERROR_SUCCESS;
}

Result write_block(uint32_t slot, const uint8_t* block)
{
    return usb::vendor_write(slot, usb::kAdcWriteBlockRequest, 0, 0, board(slot).row().ConfigBytes, block);
}

Result request_samples(uint32_t slot, uint32_t samples)
{
    return usb::vendor_write(slot, usb::kAdcSampleCountRequest, static_cast<uint16_t>(samples >> 16),
                             static_cast<uint16_t>(samples & 0xFFFF), 0, nullptr);
}

}  // namespace adc

namespace {

using Block = std::array<uint8_t, adc::kMaxBlockBytes>;

using adc::has_adc;

// Reads the block, lets `change` edit it, and writes it back. A block that comes back short is not
// written back: the missing bytes would overwrite the board's settings with made-up values.
template <class Change>
Result read_modify_write(uint32_t slot, Change change)
{
    Block block{};
    if (const Result r = adc::read_block(slot, block.data())) return r;
    change(block, board(slot).row().ConfigBytes);
    return adc::write_block(slot, block.data());
}

// The checks ADC_GetConfig and ADC_SetConfig share: 1349, then 122 with the size needed written back,
// then 87. *pConfigBufSize is caller memory and goes through the guard.
Result check_block_buffer(uint32_t slot, const void* pConfigBuf, uint32_t* pConfigBufSize)
{
    const uint32_t needed = board(slot).row().ConfigBytes;
    if (needed == 0) return ERROR_BAD_TOKEN_TYPE;
    uint32_t capacity = 0;
    if (const uint32_t r = read_caller(pConfigBufSize, capacity)) return r;
    if (capacity < needed) {
        return store_to_caller(pConfigBufSize, needed) ? ERROR_INSUFFICIENT_BUFFER : ERROR_NOACCESS;
    }
    if (pConfigBuf == nullptr) return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

Result report_block_size(uint32_t slot, uint32_t* pConfigBufSize)
{
    const uint32_t size = board(slot).row().ConfigBytes;
    return write_caller(pConfigBufSize, size);
}

uint8_t range_code(uint8_t gain, uint32_t flag) { return static_cast<uint8_t>(gain | (flag << 3)); }

}  // namespace

uint32_t ADC_GetConfig(uint32_t DeviceIndex, uint8_t* pConfigBuf, uint32_t* pConfigBufSize)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    if (const Result r = check_block_buffer(slot, pConfigBuf, pConfigBufSize)) return r;
    // Straight into the caller's buffer, through the guarded control routine. The size reported is the
    // block's, whatever length the board answered with.
    uint32_t size = board(slot).row().ConfigBytes;
    if (const Result r = GenericVendorRead(slot, usb::kAdcReadBlockRequest, 0, 0, &size, pConfigBuf)) return r;
    return report_block_size(slot, pConfigBufSize);
}

uint32_t ADC_SetConfig(uint32_t DeviceIndex, const uint8_t* pConfigBuf, uint32_t* pConfigBufSize)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    if (const Result r = check_block_buffer(slot, pConfigBuf, pConfigBufSize)) return r;
    if (const Result r =
            GenericVendorWrite(slot, usb::kAdcWriteBlockRequest, 0, 0, board(slot).row().ConfigBytes, pConfigBuf))
        return r;
    return report_block_size(slot, pConfigBufSize);
}

uint32_t ADC_RangeAll(uint32_t DeviceIndex, const uint8_t* pGainCodes, uint32_t RangeFlag)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const ProductRow& row = board(slot).row();
    const uint32_t slots = row.ADCChannels;
    if (slots == 0 || !has_adc(row)) return ERROR_BAD_TOKEN_TYPE;
    std::array<uint8_t, adc::kRangeSlots> gains{};
    const uint32_t count = slots < adc::kRangeSlots ? slots : adc::kRangeSlots;
    if (const Result r = read_caller_bytes(gains.data(), pGainCodes, count)) return r;
    // Every code is checked before anything is read from the board.
    for (uint32_t i = 0; i < count; ++i)
        if (gains[i] > adc::kGainCodeMask) return ERROR_INVALID_DATA;
    return read_modify_write(slot, [&](Block& block, uint32_t) {
        for (uint32_t i = 0; i < count; ++i) block[i] = range_code(gains[i], RangeFlag);
    });
}

uint32_t ADC_Range1(uint32_t DeviceIndex, uint32_t ADChannel, uint8_t GainCode, uint32_t RangeFlag)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const ProductRow& row = board(slot).row();
    if (!has_adc(row)) return ERROR_BAD_TOKEN_TYPE;
    if (ADChannel >= row.ADCChannels || ADChannel >= adc::kRangeSlots) return ERROR_INVALID_ADDRESS;
    if (GainCode > adc::kGainCodeMask) return ERROR_INVALID_PARAMETER;
    return read_modify_write(slot, [&](Block& block, uint32_t) { block[ADChannel] = range_code(GainCode, RangeFlag); });
}

uint32_t ADC_ADMode(uint32_t DeviceIndex, uint8_t TriggerMode, uint8_t CalMode)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    if (!has_adc(board(slot).row())) return ERROR_BAD_TOKEN_TYPE;
    if (CalMode != 0 && CalMode != 1 && CalMode != 3 && CalMode != 5 && CalMode != 7) return ERROR_INVALID_PARAMETER;
    return read_modify_write(slot, [&](Block& block, uint32_t) {
        block[adc::kCalModeByte] = CalMode;
        block[adc::kTriggerByte] = TriggerMode;
    });
}

uint32_t ADC_SetScanLimits(uint32_t DeviceIndex, uint32_t StartChannel, uint32_t EndChannel)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const ProductRow& row = board(slot).row();
    if (!has_adc(row)) return ERROR_BAD_TOKEN_TYPE;
    if (StartChannel > EndChannel || EndChannel >= row.ADCMUXChannels) return ERROR_INVALID_PARAMETER;
    return read_modify_write(slot, [&](Block& block, uint32_t size) {
        if (size > adc::kScanLimitsHighByte) {
            block[adc::kScanLimitsByte] = static_cast<uint8_t>((StartChannel & 0x0F) | ((EndChannel << 4) & 0xF0));
            block[adc::kScanLimitsHighByte] = static_cast<uint8_t>((StartChannel >> 4) | (EndChannel & 0xF0));
        } else {
            block[adc::kScanLimitsByte] = static_cast<uint8_t>(StartChannel | (EndChannel << 4));
        }
    });
}

uint32_t ADC_SetOversample(uint32_t DeviceIndex, uint8_t Oversample)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    if (!has_adc(board(slot).row())) return ERROR_BAD_TOKEN_TYPE;
    return read_modify_write(slot, [&](Block& block, uint32_t) { block[adc::kOversampleByte] = Oversample; });
}

}  // namespace korval
