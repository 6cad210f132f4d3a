// Nonvolatile memory, a feature of its own: the EEPROM's custom area, the flash, and the board's
// power-on defaults.
//
// The EEPROM is addressed in bytes (request 0xA2, address in wValue); the flash in 16-bit words (request
// 0xB5, word address bits 0-15 in wValue, 16 and up in wIndex). Writes go in pieces: 32 bytes to the
// EEPROM, 4,096 to the flash. The library does not erase flash before writing; callers erase first.
#include "memory/nvmem.h"

#include <cstring>
#include <vector>

#include "base/caller_memory.h"
#include "board/board.h"
#include "core/registry.h"
#include "korval/korval.h"
#include "memory/memory.h"
#include "pipes/pipes.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace {

using usb::kEepromRequest;
constexpr uint32_t kDefaultsTableLimit = 1024;

// A flash read longer than a control request's 16-bit length travels in pieces of this many bytes.
constexpr uint32_t kFlashReadPiece = 0x8000;

Result check_custom_range(uint32_t start, uint32_t size)
{
    if (start > 0xFF) return ERROR_SEEK;
    if (size > usb::kCustomEepromSize - start) return ERROR_BAD_LENGTH;
    return ERROR_SUCCESS;
}

uint16_t word_low(uint32_t byte_address) { return static_cast<uint16_t>(byte_address >> 1); }
uint16_t word_high(uint32_t byte_address) { return static_cast<uint16_t>(byte_address >> 17); }

constexpr FeatureTest kHasFlash = [](const ProductRow& d) { return d.FlashSectors != 0; };

// The bounds of a flash write: 25 for a start at or past the end of the flash, 24 for a count running past it.
Result check_flash_write(uint32_t start, uint32_t size)
{
    if (start >= usb::kFlashWriteLimit) return ERROR_SEEK;
    if (size > usb::kFlashWriteLimit - start) return ERROR_BAD_LENGTH;
    return ERROR_SUCCESS;
}

// Writes whole words in pieces of at most 4,096 bytes (a last piece is sent even when it is empty) and
// stops at the first failed piece. send(word_low, word_high, size, bytes) sends one piece.
template <class Send>
Result write_flash_pieces(uint32_t address, uint32_t size, const uint8_t* bytes, Send&& send)
{
    size &= ~1u;  // whole words only: an odd last byte is dropped
    while (size > usb::kFlashWritePiece) {
        if (const Result r = send(word_low(address), word_high(address), usb::kFlashWritePiece, bytes)) return r;
        address += usb::kFlashWritePiece;
        bytes += usb::kFlashWritePiece;
        size -= usb::kFlashWritePiece;
    }
    return send(word_low(address), word_high(address), size, bytes);
}

// Writes bytes at an EEPROM address in pieces of at most 32 bytes (a last piece is sent even when it is
// empty) and stops at the first failed piece. send(address, size, bytes) sends one piece.
template <class Send>
Result write_eeprom_pieces(uint32_t address, uint32_t size, const uint8_t* bytes, Send&& send)
{
    while (size > usb::kEepromWritePiece) {
        if (const Result r = send(static_cast<uint16_t>(address), usb::kEepromWritePiece, bytes)) return r;
        address += usb::kEepromWritePiece;
        bytes += usb::kEepromWritePiece;
        size -= usb::kEepromWritePiece;
    }
    return send(static_cast<uint16_t>(address), size, bytes);
}

}  // namespace

namespace memory {

Result custom_eeprom_read(uint32_t device_index, uint32_t start, uint32_t& size, void* data)
{
    if (const Result r = check_custom_range(start, size)) return r;
    uint32_t slot = 0;
    if (const Result r = open_board(device_index, slot)) return r;
    return usb::vendor_read(slot, kEepromRequest, static_cast<uint16_t>(usb::kCustomEepromBase + start), 0, size, data);
}

Result eeprom_write(uint32_t device_index, uint32_t eeprom_address, uint32_t size, const void* data)
{
    uint32_t slot = 0;
    if (const Result r = open_board(device_index, slot)) return r;
    return write_eeprom_pieces(eeprom_address, size, static_cast<const uint8_t*>(data),
                               [slot](uint16_t address, uint32_t piece, const uint8_t* bytes) {
                                   return usb::vendor_write(slot, kEepromRequest, address, 0, piece, bytes);
                               });
}

Result flash_write(uint32_t device_index, uint32_t start, uint32_t size, const void* data, Source source)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(device_index, slot, kHasFlash)) return r;
    if (const Result r = check_flash_write(start, size)) return r;
    return write_flash_pieces(start, size, static_cast<const uint8_t*>(data),
                              [slot, source](uint16_t low, uint16_t high, uint32_t piece, const uint8_t* bytes) {
                                  // Caller memory goes through the guarded copies of the exported write.
                                  return source == Source::caller
                                             ? GenericVendorWrite(slot, usb::kFlashRequest, low, high, piece, bytes)
                                             : usb::vendor_write(slot, usb::kFlashRequest, low, high, piece, bytes);
                              });
}

}  // namespace memory

// The range tests come before the index is resolved: a bad address is reported even for an empty slot.
uint32_t CustomEEPROMRead(uint32_t DeviceIndex, uint32_t StartAddress, uint32_t* pDataSize, void* pData)
{
    uint32_t count = 0;
    if (const uint32_t r = read_caller(pDataSize, count)) return r;
    if (const Result r = check_custom_range(StartAddress, count)) return r;
    // The checked count is the one sent: the caller's variable is read once.
    if (const Result r =
            GenericVendorRead(DeviceIndex, kEepromRequest, static_cast<uint16_t>(usb::kCustomEepromBase + StartAddress),
                              0, &count, pData))
        return r;
    return write_caller(pDataSize, count);
}

uint32_t CustomEEPROMWrite(uint32_t DeviceIndex, uint32_t StartAddress, uint32_t DataSize, const void* pData)
{
    if (const Result r = check_custom_range(StartAddress, DataSize)) return r;
    return write_eeprom_pieces(usb::kCustomEepromBase + StartAddress, DataSize, static_cast<const uint8_t*>(pData),
                               [DeviceIndex](uint16_t address, uint32_t piece, const uint8_t* bytes) {
                                   return GenericVendorWrite(DeviceIndex, kEepromRequest, address, 0, piece, bytes);
                               });
}

uint32_t KORVAL_FlashRead(uint32_t DeviceIndex, uint32_t StartAddress, uint32_t* pDataSize, void* pData)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasFlash)) return r;
    uint32_t wanted = 0;
    if (const uint32_t r = read_caller(pDataSize, wanted)) return r;
    if (StartAddress >= usb::kFlashReadLimit) return ERROR_SEEK;
    if (wanted > usb::kFlashReadLimit - StartAddress) return ERROR_BAD_LENGTH;
    const uint32_t count = wanted & ~1u;  // whole words only
    if (const uint32_t r = write_caller(pDataSize, count)) return r;

    // A count that fits a control request's length goes in one request. A longer one cannot: it goes in
    // pieces, and the count reports the bytes received up to the first short piece.
    if (count <= 0xFFFF) {
        uint32_t received = count;
        if (const Result r = GenericVendorRead(slot, usb::kFlashRequest, word_low(StartAddress),
                                               word_high(StartAddress), &received, pData))
            return r;
        return write_caller(pDataSize, received);
    }
    uint32_t received = 0;
    while (received < count) {
        const uint32_t address = StartAddress + received;
        uint32_t piece = count - received < kFlashReadPiece ? count - received : kFlashReadPiece;
        const uint32_t asked = piece;
        if (const Result r = GenericVendorRead(slot, usb::kFlashRequest, word_low(address), word_high(address), &piece,
                                               static_cast<uint8_t*>(pData) + received))
            return r;
        received += piece;
        if (piece < asked) break;
    }
    return write_caller(pDataSize, received);
}

uint32_t KORVAL_FlashWrite(uint32_t DeviceIndex, uint32_t StartAddress, uint32_t DataSize, const void* pData)
{
    return memory::flash_write(DeviceIndex, StartAddress, DataSize, pData, memory::Source::caller);
}

uint32_t KORVAL_FlashEraseSector(uint32_t DeviceIndex, int32_t Sector)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasFlash)) return r;
    if (Sector < 0 || Sector >= board(slot).row().FlashSectors) return ERROR_SEEK;
    return usb::vendor_write(slot, usb::kFlashEraseRequest, 0, static_cast<uint16_t>(Sector), 0, nullptr);
}

uint32_t KORVAL_SaveStateAsDefaults(uint32_t DeviceIndex)
{
    uint32_t slot = 0;
    if (const Result r = open_newer_firmware_board(DeviceIndex, slot)) return r;
    return usb::vendor_write(slot, usb::kNewerFunctionRequest, usb::kDefaultsAccessCode, usb::kSaveDefaultsIndex, 0,
                             nullptr);
}

uint32_t KORVAL_RestoreFactoryDefaults(uint32_t DeviceIndex)
{
    uint32_t slot = 0;
    if (const Result r = open_newer_firmware_board(DeviceIndex, slot)) return r;
    return usb::vendor_write(slot, usb::kNewerFunctionRequest, usb::kDefaultsAccessCode,
                             usb::kRestoreFactoryDefaultsIndex, 0, nullptr);
}

uint32_t KORVAL_SetDefaultsTable(uint32_t DeviceIndex, const void* pTable, const uint32_t* pTableSize)
{
    uint32_t slot = 0;
    if (const Result r = open_newer_firmware_board(DeviceIndex, slot)) return r;
    uint32_t count = 0;
    if (const uint32_t r = read_caller(pTableSize, count)) return r;
    if (count > kDefaultsTableLimit) return ERROR_BAD_LENGTH;
    return GenericVendorWrite(slot, usb::kNewerFunctionRequest, usb::kDefaultsAccessCode, usb::kWriteDefaultsTableIndex,
                              count, pTable);
}

// The table is read into a scratch copy of the caller's buffer and copied back whole, with the count,
// whatever the read's result: a failed read leaves buffer and count as they were, a short one changes
// only the bytes received.
uint32_t KORVAL_GetDefaultsTable(uint32_t DeviceIndex, void* pTable, uint32_t* pTableSize)
{
    uint32_t slot = 0;
    if (const Result r = open_newer_firmware_board(DeviceIndex, slot)) return r;
    uint32_t count = 0;
    if (const uint32_t r = read_caller(pTableSize, count)) return r;
    if (count > kDefaultsTableLimit) return ERROR_BAD_LENGTH;
    uint8_t scratch[kDefaultsTableLimit];
    if (!copy_from_caller(scratch, pTable, count)) return ERROR_NOACCESS;
    const Result result =
        usb::vendor_read(slot, usb::kNewerFunctionRequest, 0, usb::kReadDefaultsTableIndex, count, scratch);
    if (!copy_to_caller(pTable, scratch, count) || !store_to_caller(pTableSize, count)) return ERROR_NOACCESS;
    return result;
}

}  // namespace korval
