// Finding a board by bytes of its EEPROM custom area.
#include <vector>

#include "base/caller_memory.h"
#include "base/last_error.h"
#include "board/board.h"
#include "core/registry.h"
#include "korval/korval.h"
#include "memory/memory.h"
#include "memory/nvmem.h"
#include "usb/requests.h"

namespace korval {

namespace {

// Finds the slots whose custom EEPROM bytes at `start` are `wanted`: the first match, with the thread's
// last error 0, or 52 when a later slot matches too, or 2 when none does.
uint32_t find_by_eeprom(uint32_t start, const std::vector<uint8_t>& wanted)
{
    uint32_t result = KORVAL_NO_SLOT;
    uint32_t error = ERROR_FILE_NOT_FOUND;
    std::vector<uint8_t> got(wanted.size());
    for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
        uint32_t size = static_cast<uint32_t>(wanted.size());
        if (memory::custom_eeprom_read(slot, start, size, got.data()) != ERROR_SUCCESS || size != wanted.size())
            continue;
        if (got != wanted) continue;
        if (result == KORVAL_NO_SLOT) {
            result = slot;
            error = ERROR_SUCCESS;
        } else {
            error = ERROR_DUP_NAME;
        }
    }
    set_last_error(error);
    return result;
}

}  // namespace

uint32_t GetDeviceByEEPROMByte(uint8_t EEPROMByte) { return find_by_eeprom(0, {EEPROMByte}); }

uint32_t GetDeviceByEEPROMData(uint32_t StartAddress, uint32_t DataSize, const void* pData)
{
    if (DataSize > usb::kCustomEepromSize) {
        set_last_error(ERROR_BAD_LENGTH);
        return KORVAL_NO_SLOT;
    }
    if (DataSize == 0) return ResolveDeviceIndex(FirstDeviceIndex);
    std::vector<uint8_t> wanted(DataSize);
    if (!copy_from_caller(wanted.data(), pData, DataSize)) {
        set_last_error(pData == nullptr ? ERROR_INVALID_PARAMETER : ERROR_NOACCESS);
        return KORVAL_NO_SLOT;
    }
    return find_by_eeprom(StartAddress, wanted);
}

}  // namespace korval
