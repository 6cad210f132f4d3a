// Latches: the board latches its digital inputs in three groups of one byte per port. The library sets
// the latch divisor, reads the three groups, or reads and discards them.
#include <algorithm>
#include <vector>

#include "board/board.h"
#include "dio/dio.h"
#include "dio/newer_firmware.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace {

constexpr uint32_t kLatchGroups = 3;

// Reads the latch reply (groups 0, 1 and 2 of D bytes each) into `groups`; `size` gets the count received.
Result read_latches(uint32_t slot, std::vector<uint8_t>& groups, uint32_t& size)
{
    groups.assign(static_cast<size_t>(board(slot).row().DIOBytes) * kLatchGroups, 0);
    size = static_cast<uint32_t>(groups.size());
    return usb::vendor_read(slot, usb::kDioLatchReadRequest, 0, 0, size, groups.data());
}

}  // namespace

uint32_t DIO_Latch_SetDivisor(uint32_t DeviceIndex, const uint8_t* pDivisor)
{
    uint32_t slot = 0;
    if (const Result r = open_newer_firmware_board(DeviceIndex, slot)) return r;
    uint8_t divisor = 0;
    if (const Result r = read_caller(pDivisor, divisor)) return r;
    return usb::vendor_write(slot, usb::kNewerFunctionRequest, 0, usb::kLatchDivisorIndex, 1, &divisor);
}

uint32_t DIO_Latch_Reset(uint32_t DeviceIndex)
{
    uint32_t slot = 0;
    if (const Result r = open_newer_firmware_board(DeviceIndex, slot)) return r;
    // Reading the latches clears them on the board; what they held is dropped.
    std::vector<uint8_t> groups;
    uint32_t size = 0;
    return read_latches(slot, groups, size);
}

uint32_t DIO_Latch_Read(uint32_t DeviceIndex, void* pGroup1, void* pGroup2, void* pGroup0, uint32_t* pLength)
{
    uint32_t slot = 0;
    if (const Result r = open_newer_firmware_board(DeviceIndex, slot)) return r;
    const uint32_t ports = board(slot).row().DIOBytes;
    uint32_t length = 0;
    if (const Result r = read_caller<uint32_t>(pLength, length)) return r;
    const uint32_t n = std::min(length, ports);
    // The board clears its latches as it answers: every buffer, and the count (written back unchanged
    // for now), is made sure of before asking.
    for (void* buffer : {pGroup1, pGroup2, pGroup0})
        if (const Result r = dio::probe_output(buffer, n)) return r;
    if (const Result r = write_caller<uint32_t>(pLength, length)) return r;

    std::vector<uint8_t> groups;
    uint32_t size = 0;
    if (const Result r = read_latches(slot, groups, size)) return r;
    if (size < groups.size()) return ERROR_INVALID_DATA;
    // The first buffer gets group 1, the second group 2 and the last group 0.
    const uint8_t* group0 = groups.data();
    const uint8_t* group1 = group0 + ports;
    const uint8_t* group2 = group1 + ports;
    if (!copy_to_caller(pGroup1, group1, n) || !copy_to_caller(pGroup2, group2, n) ||
        !copy_to_caller(pGroup0, group0, n))
        return ERROR_NOACCESS;
    return write_caller<uint32_t>(pLength, ports);
}

}  // namespace korval
