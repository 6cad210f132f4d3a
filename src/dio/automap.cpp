// Automap: a table of 2-byte entries the board keeps, with its tick divisor. The library clears the
// table, loads it whole or appends one entry; what the entries mean is the board's.
#include "dio/dio.h"
#include "dio/newer_firmware.h"
#include "pipes/pipes.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace {

constexpr uint32_t kAutomapTableMax = 64;  // 32 entries of 2 bytes

}  // namespace

uint32_t DIO_Automap_ClearTable(uint32_t DeviceIndex)
{
    uint32_t slot = 0;
    if (const Result r = open_newer_firmware_board(DeviceIndex, slot)) return r;
    return usb::vendor_write(slot, usb::kNewerFunctionRequest, 0, usb::kAutomapClearIndex, 0, nullptr);
}

uint32_t DIO_Automap_SetTable(uint32_t DeviceIndex, const void* pTable, uint32_t* pTableSize)
{
    uint32_t slot = 0;
    if (const Result r = open_newer_firmware_board(DeviceIndex, slot)) return r;
    uint32_t size = 0;
    if (const Result r = read_caller<uint32_t>(pTableSize, size)) return r;
    if (size > kAutomapTableMax) return ERROR_BAD_LENGTH;
    // Whole entries only: an odd count loses its last byte, and the caller learns the count sent.
    if ((size & 1) != 0) {
        size &= ~1u;
        if (const Result r = write_caller<uint32_t>(pTableSize, size)) return r;
    }
    if (size > 0 && pTable == nullptr) return ERROR_INVALID_PARAMETER;
    // The data stage is the table itself, `size` bytes; boards take the table without its entry count.
    return GenericVendorWrite(slot, usb::kNewerFunctionRequest, 0, usb::kAutomapTableIndex, size, pTable);
}

uint32_t DIO_Automap_AddEntry(uint32_t DeviceIndex, const uint16_t* pEntry)
{
    uint32_t slot = 0;
    if (const Result r = open_newer_firmware_board(DeviceIndex, slot)) return r;
    uint16_t entry = 0;
    if (const Result r = read_caller(pEntry, entry)) return r;
    const uint8_t bytes[2] = {static_cast<uint8_t>(entry & 0xFF), static_cast<uint8_t>(entry >> 8)};
    return usb::vendor_write(slot, usb::kNewerFunctionRequest, 0, usb::kAutomapEntryIndex, sizeof bytes, bytes);
}

uint32_t DIO_Automap_SetTickDivisor(uint32_t DeviceIndex, const uint8_t* pDivisor)
{
    uint32_t slot = 0;
    if (const Result r = open_newer_firmware_board(DeviceIndex, slot)) return r;
    uint8_t divisor = 0;
    if (const Result r = read_caller(pDivisor, divisor)) return r;
    return usb::vendor_write(slot, usb::kNewerFunctionRequest, 0, usb::kAutomapDivisorIndex, 1, &divisor);
}

}  // namespace korval
