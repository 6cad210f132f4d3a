// Immediate DAC output: one channel (request 0xB3 with the channel in wIndex and the count in wValue),
// several channels in one request (0xB3 with the multi-channel block as data stage), and the board-wide
// output range (0xB7). While waveform output owns a streaming board's DACs, immediate writes are refused.
#include <algorithm>
#include <array>
#include <vector>

#include "base/caller_memory.h"
#include "board/board.h"
#include "core/registry.h"
#include "dac/dac.h"
#include "dac/dac_state.h"
#include "dac/multi_block.h"
#include "korval/korval.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace {

// The first checks of both immediate writes, after index resolution and the open check.
Result check_immediate(uint32_t slot)
{
    const ProductRow& row = board(slot).row();
    const DacState& d = dac_state(slot);
    if (row.ImmDACs == 0) return ERROR_BAD_TOKEN_TYPE;
    if (row.bDACStream && (d.bDACOpen || d.bDACClosing)) return ERROR_TOO_MANY_OPEN_FILES;  // waveform output's
    return ERROR_SUCCESS;
}

}  // namespace

uint32_t DACDirect(uint32_t DeviceIndex, uint16_t Channel, uint16_t Value)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const ProductRow& row = board(slot).row();
    if (const Result r = check_immediate(slot)) return r;
    if (Channel >= row.ImmDACs) return ERROR_INVALID_ADDRESS;
    return usb::vendor_write(slot, usb::kDacDirectRequest, Value, Channel, 0, nullptr);
}

// The pairs are read from the caller's memory a bounded piece at a time, so any count is handled in
// fixed memory; the block never holds more than the board's channels.
uint32_t DACMultiDirect(uint32_t DeviceIndex, const KorvalDACPair* pDACData, int32_t DACDataCount)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const ProductRow& row = board(slot).row();
    if (const Result r = check_immediate(slot)) return r;
    if (DACDataCount == 0) return ERROR_SUCCESS;
    if (DACDataCount < 0 || pDACData == nullptr) return ERROR_INVALID_PARAMETER;

    dac::MultiBlock block(row.ImmDACs);
    constexpr size_t kPiece = 256;
    std::array<uint8_t, kPiece * dac::kPairSize> raw{};
    const auto* source = reinterpret_cast<const uint8_t*>(pDACData);
    for (size_t done = 0, count = static_cast<size_t>(DACDataCount); done < count;) {
        const size_t n = std::min(kPiece, count - done);
        if (const Result r = read_caller_bytes(raw.data(), source + done * dac::kPairSize, n * dac::kPairSize))
            return r;
        for (size_t i = 0; i < n; ++i) {
            const uint8_t* pair = raw.data() + i * dac::kPairSize;
            const uint16_t channel = static_cast<uint16_t>(pair[0] | pair[1] << 8);
            const uint16_t value = static_cast<uint16_t>(pair[2] | pair[3] << 8);
            // The highest channel decides: once one is outside the board, nothing is sent.
            if (!block.set(channel, value)) return ERROR_INVALID_ADDRESS;
        }
        done += n;
    }
    return usb::vendor_write(slot, usb::kDacDirectRequest, 0, 0, block.size(), block.data());
}

uint32_t DACSetBoardRange(uint32_t DeviceIndex, uint16_t Range)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, [](const ProductRow& d) { return d.bDACBoardRange; }))
        return r;
    return usb::vendor_write(slot, usb::kDacBoardRangeRequest, Range, 0, 0, nullptr);
}

}  // namespace korval
