// PWM: one call loads the settings of all PWM outputs as one block.
#include <cstring>

#include "dio/dio.h"
#include "dio/newer_firmware.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace {

constexpr uint32_t kPwmTableMax = 16;

// The PWM block: the first setting, the table zero-filled to 16 bytes, the entry count.
struct PwmBlock {
    uint8_t bytes[18] = {};
};

}  // namespace

uint32_t DIO_PWM_SetAll(uint32_t DeviceIndex, const uint8_t* pPWMFirst, const void* pTable, uint32_t* pTableSize)
{
    uint32_t slot = 0;
    if (const Result r = open_newer_firmware_board(DeviceIndex, slot)) return r;
    uint32_t size = 0;
    if (const Result r = read_caller<uint32_t>(pTableSize, size)) return r;
    if (size > kPwmTableMax) return ERROR_BAD_LENGTH;
    if ((size & 1) != 0) {
        size &= ~1u;
        if (const Result r = write_caller<uint32_t>(pTableSize, size)) return r;
    }
    PwmBlock block;
    if (const Result r = read_caller(pPWMFirst, block.bytes[0])) return r;
    if (size > 0)
        if (const Result r = read_caller_bytes(block.bytes + 1, pTable, size)) return r;
    block.bytes[17] = static_cast<uint8_t>(size / 2);
    // Boards in the field take a data stage of the even table size counted from the block's first byte:
    // the first setting and all but the last table byte, without the entry count. Kept as they expect it.
    return usb::vendor_write(slot, usb::kNewerFunctionRequest, 0, usb::kPwmIndex, size, block.bytes);
}

}  // namespace korval
