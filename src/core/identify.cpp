// Board identification: which board sits at an index (product, name, serial number, driver facts), and
// finding a board by its serial number.
#include <cstring>
#include <vector>

#include "base/caller_memory.h"
#include "base/last_error.h"
#include "board/board.h"
#include "core/core_api.h"
#include "core/registry.h"
#include "korval/korval.h"
#include "usb/control.h"
#include "usb/host_binding.h"
#include "usb/requests.h"
#include "usb/transport.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace korval {

namespace {

constexpr uint64_t kNoSerialNumber = 0xFFFFFFFFFFFFFFFFull;

// One UTF-16 character of a product name as one byte of the system's ANSI code page ('?' where it has
// none). Elsewhere than Windows the code page is Latin-1.
char to_ansi(uint16_t ch)
{
#ifdef _WIN32
    const wchar_t wide = static_cast<wchar_t>(ch);
    char out[4];
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, 0, &wide, 1, out, sizeof out, nullptr, &lossy);
    return n == 1 && !lossy ? out[0] : '?';
#else
    return ch < 0x100 ? static_cast<char>(ch) : '?';
#endif
}

// The serial number at the slot: 0 and the number, 50 for a board without one, or a failure. The
// thread's last error is cleared before the read, so that a read that succeeds with the wrong length
// is mapped to 31 rather than by a stale error of an earlier call (which could close a healthy board).
Result read_serial_number(uint32_t device_index, uint64_t& serial)
{
    uint32_t slot = 0;
    if (const Result r = open_board(device_index, slot)) return r;
    set_last_error(0);
    uint8_t bytes[8] = {};
    uint32_t size = sizeof bytes;
    const Result r = usb::vendor_read(slot, usb::kEepromRequest, usb::kSerialNumberAddress, 0, size, bytes);
    if (r != ERROR_SUCCESS || size != sizeof bytes) return usb::device_gone(slot);
    serial = 0;
    for (int i = 7; i >= 0; --i) serial = serial << 8 | bytes[i];
    if (serial == 0) serial = kNoSerialNumber;  // an unprogrammed serial number reads as 0 on some boards
    return serial == kNoSerialNumber ? ERROR_NOT_SUPPORTED : ERROR_SUCCESS;
}

}  // namespace

// Every pointer may be null. The caller's variables are reached through the guard: memory that cannot
// be used gives ERROR_INTERNAL_ERROR, as any other fault inside the function does.
uint32_t QueryDeviceInfo(uint32_t DeviceIndex, uint32_t* pPID, uint32_t* pNameSize, void* pName,
                         uint32_t* pDIOBytes, uint32_t* pCounters)
{
    uint32_t slot = 0;
    if (const Result r = resolve_index(DeviceIndex, slot)) return r;
    if (board(slot).Handle == 0) discover();  // a board plugged in since the last look may land here
    if (const Result r = open_check(slot)) return r;
    const Board& b = board(slot);
    const ProductRow& row = b.row();
    if (pPID != nullptr && !store_to_caller(pPID, b.PID)) return ERROR_INTERNAL_ERROR;
    if (pDIOBytes != nullptr && !store_to_caller(pDIOBytes, row.DIOBytes)) return ERROR_INTERNAL_ERROR;
    if (pCounters != nullptr && !store_to_caller(pCounters, row.Counters)) return ERROR_INTERNAL_ERROR;
    if (pNameSize == nullptr) return ERROR_SUCCESS;
    if (!row.bGetName) return store_to_caller(pNameSize, 0) ? ERROR_SUCCESS : ERROR_INTERNAL_ERROR;

    uint32_t wanted = 0;
    if (!load_from_caller(pNameSize, wanted)) return ERROR_INTERNAL_ERROR;
    // The string descriptor: a length byte, a type byte, then UTF-16 characters. Asked for as many
    // characters as the caller has room for, plus the header; a request carries at most 65,534 bytes
    // (a name is far shorter), so a very large room does not wrap the request's 16-bit length.
    const uint64_t asked = 2 * (uint64_t{wanted} + 1);
    uint32_t size = asked > 0xFFFE ? 0xFFFE : static_cast<uint32_t>(asked);
    std::vector<uint8_t> reply(size, 0);
    if (const Result r =
            usb::vendor_read(slot, usb::kProductNameRequest, usb::kProductNameValue, 0, size, reply.data()))
        return r;

    // The length byte counts the two header bytes. Only characters the board sent are used.
    uint32_t length = size > 0 ? reply[0] / 2u : 0;
    if (length > 0) length -= 1;
    const uint32_t sent = size >= 2 ? (size - 2) / 2 : 0;
    if (length > 0 && pName != nullptr) {
        const uint32_t count = std::min({wanted, length, sent});
        std::vector<char> name(count);
        for (uint32_t i = 0; i < count; ++i)
            name[i] = to_ansi(static_cast<uint16_t>(reply[2 + 2 * i] | reply[3 + 2 * i] << 8));
        if (!copy_to_caller(pName, name.data(), count)) return ERROR_INTERNAL_ERROR;
    }
    return store_to_caller(pNameSize, length) ? ERROR_SUCCESS : ERROR_INTERNAL_ERROR;
}

uint32_t GetDeviceSerialNumber(uint32_t DeviceIndex, uint64_t* pSerialNumber)
{
    if (pSerialNumber == nullptr) {
        uint32_t slot = 0;
        if (const Result r = open_board(DeviceIndex, slot)) return r;
        return ERROR_INVALID_PARAMETER;
    }
    uint64_t serial = 0;
    const Result r = read_serial_number(DeviceIndex, serial);
    if (r != ERROR_SUCCESS && r != ERROR_NOT_SUPPORTED) return r;
    return store_to_caller(pSerialNumber, serial) ? r : ERROR_NOACCESS;
}

uint32_t GetDeviceUniqueStr(uint32_t DeviceIndex, const uint32_t* pUniqueSize, void* pUnique)
{
    uint64_t serial = 0;
    if (const Result r = read_serial_number(DeviceIndex, serial)) return r;
    uint32_t room = 0;
    if (const uint32_t r = read_caller(pUniqueSize, room)) return r;
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(serial >> (8 * i));
    const uint32_t count = room < 8 ? room : 8;
    if (count == 0) return ERROR_SUCCESS;  // no room asked for: the buffer may be left out
    return write_caller_bytes(pUnique, bytes, count);
}

// The thread's last error is left as the caller had it.
uint32_t GetDeviceBySerialNumber(uint64_t SerialNumber)
{
    const uint32_t saved = get_last_error();
    uint32_t found = KORVAL_NO_SLOT;
    for (uint32_t slot = 0; slot < kSlotCount && found == KORVAL_NO_SLOT; ++slot) {
        uint64_t serial = 0;
        if (read_serial_number(slot, serial) == ERROR_SUCCESS && serial == SerialNumber) found = slot;
    }
    set_last_error(saved);
    return found;
}

uint32_t GetDeviceHandle(uint32_t DeviceIndex, uint32_t* pHandle)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    return write_caller(pHandle, static_cast<uint32_t>(board(slot).Handle));
}

uint32_t GetPipes(uint32_t DeviceIndex, uint32_t* pPipeCount, uint32_t* pPipes)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const Board& b = board(slot);
    if (!usb::transport_of(b).lists_pipes()) return ERROR_NOT_SUPPORTED;
    // The count and the entries are caller memory: read and written through the guard, the count read
    // once, before anything is asked of the board.
    uint32_t room = 0;
    if (const uint32_t r = read_caller(pPipeCount, room)) return r;
    set_last_error(ERROR_GEN_FAILURE);
    uint8_t endpoints = 0;
    if (!usb::winusb_query_interface_settings(b.Handle, 0, endpoints)) {
        // The board's failure is the news; a count that cannot be written does not hide it.
        const Result r = usb::device_gone(slot);
        store_to_caller(pPipeCount, 0);
        return r;
    }
    const uint32_t filled = std::min<uint32_t>(room, endpoints);
    if (const uint32_t r = write_caller<uint32_t>(pPipeCount, endpoints)) return r;
    if (filled == 0) return ERROR_SUCCESS;  // no room: the entries may be left out
    std::vector<uint32_t> entries(filled, 0xFFFFFFFF);
    if (const uint32_t r = write_caller_bytes(pPipes, entries.data(), filled * sizeof(uint32_t))) return r;
    for (uint32_t i = 0; i < filled; ++i) {
        uint8_t type = 0;
        uint8_t id = 0;
        if (!usb::winusb_query_pipe(b.Handle, 0, static_cast<uint8_t>(i), type, id)) return usb::device_gone(slot);
        if (const uint32_t r = write_caller(pPipes + i, id + 256u * type)) return r;
    }
    return ERROR_SUCCESS;
}

}  // namespace korval
