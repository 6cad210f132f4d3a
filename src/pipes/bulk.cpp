// The exported bulk functions: index resolution, the open check, the pointer checks, then the bulk
// routines with the caller's buffer as it is.
#include "usb/bulk.h"
#include "base/caller_memory.h"
#include "core/registry.h"
#include "korval/korval.h"
#include "pipes/pipes.h"

namespace korval {

namespace {

// Resolve and open, check the pointers, move the data, then write the count back through the guard
// (the data itself is never copied).
template <class Data, class Move>
uint32_t exported_bulk(uint32_t DeviceIndex, Data pData, uint32_t DataSize, uint32_t* pBytesTransferred, Move move)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    if (pBytesTransferred == nullptr || (pData == nullptr && DataSize > 0)) return ERROR_INVALID_PARAMETER;
    uint32_t transferred = 0;
    if (const Result r = move(slot, transferred)) return r;
    return write_caller(pBytesTransferred, transferred);
}

}  // namespace

uint32_t QBT_GenericBulkIn(uint32_t DeviceIndex, uint32_t PipeID, void* pData, uint32_t DataSize,
                           uint32_t* pBytesTransferred)
{
    return exported_bulk(DeviceIndex, pData, DataSize, pBytesTransferred, [&](uint32_t slot, uint32_t& moved) {
        return usb::bulk_read(slot, static_cast<uint8_t>(PipeID), pData, DataSize, moved);
    });
}

uint32_t QBT_GenericBulkOut(uint32_t DeviceIndex, uint32_t PipeID, const void* pData, uint32_t DataSize,
                            uint32_t* pBytesTransferred)
{
    return exported_bulk(DeviceIndex, pData, DataSize, pBytesTransferred, [&](uint32_t slot, uint32_t& moved) {
        return usb::bulk_write(slot, static_cast<uint8_t>(PipeID), pData, DataSize, moved);
    });
}

uint32_t DEB_SetInterface(uint32_t DeviceIndex, uint16_t InterfaceNumber)
{
    (void)InterfaceNumber;  // the boards have one interface; nothing is sent
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    return ERROR_NOT_SUPPORTED;
}

uint32_t DEB_BulkIn(uint32_t, uint32_t, void*, uint32_t) { return ERROR_NOT_SUPPORTED; }

uint32_t DEB_BulkOut(uint32_t DeviceIndex, uint32_t PipeID, const void* pData, uint32_t DataSize)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    if (pData == nullptr && DataSize > 0) return ERROR_INVALID_PARAMETER;
    uint32_t transferred = 0;  // the count is not reported
    return usb::bulk_write(slot, static_cast<uint8_t>(PipeID), pData, DataSize, transferred);
}

}  // namespace korval
