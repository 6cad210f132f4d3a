// Per-channel DAC calibration. A board with calibrated outputs keeps one table of 65,536 16-bit entries
// per channel in its flash: channel c's table fills sectors 2c and 2c + 1, from byte c * 0x20000. A
// table is loaded from a text file (erase both sectors, then write it), or cleared by one of the two
// special names (erase both sectors, then tell the board with request 0xF0).
#include <cstring>
#include <string>
#include <vector>

#include "base/caller_memory.h"
#include "board/board.h"
#include "core/registry.h"
#include "dac/cal_file.h"
#include "dac/dac.h"
#include "korval/korval.h"
#include "memory/memory.h"
#include "memory/nvmem.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace {

constexpr uint32_t kTableStride = 2 * usb::kFlashSectorSize;  // one channel's table: two sectors

// The names that clear a channel's table instead of naming a file (matched exactly, case and all).
constexpr const char* kOneToOne = ":1TO1:";
constexpr const char* kNone = ":NONE:";

// Longest file name taken from a caller; the longest path the system takes is shorter.
constexpr size_t kNameLimit = 32768;

// Erases the two sectors of a channel's table, the lower one first; the first failure ends it.
Result erase_table(uint32_t slot, uint32_t channel)
{
    const auto first = static_cast<int32_t>(2 * channel);
    if (const Result r = KORVAL_FlashEraseSector(slot, first)) return r;
    return KORVAL_FlashEraseSector(slot, first + 1);
}

}  // namespace

uint32_t DACSetChannelCal(uint32_t DeviceIndex, uint32_t Channel, const char* pCalFileName)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot,
                                          [](const ProductRow& d) { return d.FlashSectors != 0 && d.bDACChannelCal; }))
        return r;
    const ProductRow& row = board(slot).row();
    if (Channel >= row.ImmDACs) return ERROR_INVALID_ADDRESS;
    if (pCalFileName == nullptr) return ERROR_INVALID_PARAMETER;
    std::string name;
    if (const Result r = read_caller_string(pCalFileName, name, kNameLimit)) return r;

    if (name == kOneToOne || name == kNone) {
        if (const Result r = erase_table(slot, Channel)) return r;
        return usb::vendor_write(slot, usb::kDacCalResetRequest, 0, static_cast<uint16_t>(Channel), 0, nullptr);
    }

    // The whole file is read and converted before the flash is touched.
    std::vector<uint8_t> table;
    if (const Result r = dac::read_cal_file(name, table)) return r;
    if (const Result r = erase_table(slot, Channel)) return r;
    return memory::flash_write(slot, Channel * kTableStride, dac::kCalTableBytes, table.data());
}

}  // namespace korval
