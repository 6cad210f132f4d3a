// Digital ports: configuration, writes through the output cache, reads, and the offline word accessors.
// Every operation is one vendor request.
//
// Caller memory is only ever copied through the guard. The configure and query functions answer 998
// for memory they cannot use; the read and write functions take no null test of their own, and any
// fault in them (an unusable buffer, null included) is 1359.
#include <cstring>
#include <vector>

#include "base/caller_memory.h"
#include "board/board.h"
#include "core/registry.h"
#include "dio/dio.h"
#include "dio/dio_state.h"
#include "korval/korval.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace {

// The lengths every request is built from: ports, direction-mask bytes, tristate-mask bytes.
struct Shape {
    uint32_t D;
    uint32_t M;
    uint32_t T;
};

Shape shape_of(const ProductRow& d) { return {d.DIOBytes, (d.DIOConfigBits + 7) / 8, (d.Tristates + 7) / 8}; }

// The output cache always has one byte per port (the open check sizes it; this keeps a write safe even
// if the record was set up some other way).
std::vector<uint8_t>& output_cache(DioState& d, uint32_t ports)
{
    if (d.LastDIOData.size() < ports) d.LastDIOData.resize(ports, 0);
    return d.LastDIOData;
}

// Sends the whole output cache.
Result send_outputs(uint32_t slot, const std::vector<uint8_t>& cache, uint32_t ports)
{
    return usb::vendor_write(slot, usb::kDioWriteOutputsRequest, 0, 0, ports, cache.data());
}

// Reads the input levels of every port. Bytes a short reply leaves out read as 0.
Result read_inputs(uint32_t slot, uint32_t ports, std::vector<uint8_t>& levels, uint32_t& received)
{
    levels.assign(ports, 0);
    received = ports;
    return usb::vendor_read(slot, usb::kDioReadInputsRequest, 0, 0, received, levels.data());
}

// Builds a configuration block: the output levels, the direction mask, then `tail_size` bytes that are
// the tristate mask (or zeros when there is none). 998 when caller memory cannot be read.
Result build_block(const Shape& s, const void* pData, const void* pOutMask, const void* tail, uint32_t tail_size,
                   std::vector<uint8_t>& block)
{
    block.assign(s.D + s.M + tail_size, 0);
    if (const Result r = read_caller_bytes(block.data(), pData, s.D)) return r;
    if (const Result r = read_caller_bytes(block.data() + s.D, pOutMask, s.M)) return r;
    if (tail == nullptr) return ERROR_SUCCESS;
    return read_caller_bytes(block.data() + s.D + s.M, tail, tail_size);
}

}  // namespace

uint32_t DIO_Configure(uint32_t DeviceIndex, uint8_t bTristate, const void* pOutMask, const void* pData)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const Shape s = shape_of(board(slot).row());
    if (s.D == 0) return ERROR_BAD_TOKEN_TYPE;
    if (pOutMask == nullptr || pData == nullptr) return ERROR_INVALID_PARAMETER;

    // Old form: levels, direction mask, and as many zero bytes as the mask has.
    std::vector<uint8_t> block;
    if (const Result r = build_block(s, pData, pOutMask, nullptr, s.M, block)) return r;
    std::memcpy(output_cache(dio_state(slot), s.D).data(), block.data(), s.D);
    const auto flag = static_cast<uint16_t>(static_cast<int16_t>(static_cast<int8_t>(bTristate)));  // sign-extended
    return usb::vendor_write(slot, usb::kDioConfigureRequest, flag, 0, static_cast<uint32_t>(block.size()),
                             block.data());
}

uint32_t DIO_ConfigureEx(uint32_t DeviceIndex, const void* pOutMask, const void* pData, const void* pTristateMask)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const ProductRow& row = board(slot).row();
    const Shape s = shape_of(board(slot).row());
    if (s.D == 0 || row.Tristates == 0) return ERROR_BAD_TOKEN_TYPE;
    if (pOutMask == nullptr || pData == nullptr || pTristateMask == nullptr) return ERROR_INVALID_PARAMETER;

    std::vector<uint8_t> block;
    if (const Result r = build_block(s, pData, pOutMask, pTristateMask, s.T, block)) return r;
    std::memcpy(output_cache(dio_state(slot), s.D).data(), block.data(), s.D);
    // Extended form: the port count in wIndex tells the board which form it is.
    return usb::vendor_write(slot, usb::kDioConfigureRequest, 0, static_cast<uint16_t>(s.D),
                             static_cast<uint32_t>(block.size()), block.data());
}

uint32_t DIO_ConfigurationQuery(uint32_t DeviceIndex, void* pOutMask, void* pTristateMask)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const ProductRow& row = board(slot).row();
    const Shape s = shape_of(board(slot).row());
    if (row.Tristates == 0) return ERROR_BAD_TOKEN_TYPE;
    if (pOutMask == nullptr || pTristateMask == nullptr) return ERROR_INVALID_PARAMETER;

    // The masks are handed over whatever the request returned; bytes the board did not send are 0.
    std::vector<uint8_t> scratch(s.M + s.T, 0);
    uint32_t size = s.M + s.T;
    const Result r =
        usb::vendor_read(slot, usb::kDioQueryConfigurationRequest, 0, static_cast<uint16_t>(s.D), size, scratch.data());
    if (const Result w = write_caller_bytes(pOutMask, scratch.data(), s.M)) return w;
    if (const Result w = write_caller_bytes(pTristateMask, scratch.data() + s.M, s.T)) return w;
    return r;
}

uint32_t DIO_Write1(uint32_t DeviceIndex, uint32_t BitIndex, uint8_t bData)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const ProductRow& row = board(slot).row();
    const uint32_t ports = row.DIOBytes;
    if (ports == 0) return ERROR_BAD_TOKEN_TYPE;
    const uint32_t port = BitIndex / 8;
    if (port >= ports) return ERROR_INVALID_ADDRESS;
    std::vector<uint8_t>& cache = output_cache(dio_state(slot), ports);
    const auto bit = static_cast<uint8_t>(1u << (BitIndex % 8));
    cache[port] = static_cast<uint8_t>(bData != 0 ? cache[port] | bit : cache[port] & ~bit);
    return send_outputs(slot, cache, ports);
}

uint32_t DIO_Write8(uint32_t DeviceIndex, uint32_t ByteIndex, uint8_t Data)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const ProductRow& row = board(slot).row();
    const uint32_t ports = row.DIOBytes;
    if (ports == 0) return ERROR_BAD_TOKEN_TYPE;
    if (ByteIndex >= ports) return ERROR_INVALID_ADDRESS;
    std::vector<uint8_t>& cache = output_cache(dio_state(slot), ports);
    cache[ByteIndex] = Data;
    return send_outputs(slot, cache, ports);
}

uint32_t DIO_WriteAll(uint32_t DeviceIndex, const void* pData)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const ProductRow& row = board(slot).row();
    const uint32_t ports = row.DIOBytes;
    if (ports == 0) return ERROR_BAD_TOKEN_TYPE;
    // Copied aside first, so an unusable buffer leaves the cache as it was.
    std::vector<uint8_t> levels(ports);
    if (!copy_from_caller(levels.data(), pData, ports)) return ERROR_INTERNAL_ERROR;
    std::vector<uint8_t>& cache = output_cache(dio_state(slot), ports);
    std::memcpy(cache.data(), levels.data(), ports);
    return send_outputs(slot, cache, ports);
}

uint32_t DIO_Read1(uint32_t DeviceIndex, uint32_t BitIndex, uint8_t* pBit)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const uint32_t ports = board(slot).row().DIOBytes;
    if (ports == 0) return ERROR_BAD_TOKEN_TYPE;
    if (BitIndex / 8 >= ports) return ERROR_INVALID_ADDRESS;
    std::vector<uint8_t> levels;
    uint32_t received = 0;
    if (const Result r = read_inputs(slot, ports, levels, received)) return r;
    const uint8_t bit = (levels[BitIndex / 8] >> (BitIndex % 8)) & 1;
    return copy_to_caller(pBit, &bit, 1) ? ERROR_SUCCESS : ERROR_INTERNAL_ERROR;
}

uint32_t DIO_Read8(uint32_t DeviceIndex, uint32_t ByteIndex, uint8_t* pByte)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const uint32_t ports = board(slot).row().DIOBytes;
    if (ports == 0) return ERROR_BAD_TOKEN_TYPE;
    if (ByteIndex >= ports) return ERROR_INVALID_ADDRESS;
    std::vector<uint8_t> levels;
    uint32_t received = 0;
    if (const Result r = read_inputs(slot, ports, levels, received)) return r;
    return copy_to_caller(pByte, &levels[ByteIndex], 1) ? ERROR_SUCCESS : ERROR_INTERNAL_ERROR;
}

uint32_t DIO_ReadAll(uint32_t DeviceIndex, void* pData)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const uint32_t ports = board(slot).row().DIOBytes;
    if (ports == 0) return ERROR_BAD_TOKEN_TYPE;
    std::vector<uint8_t> levels;
    uint32_t received = 0;
    if (const Result r = read_inputs(slot, ports, levels, received)) return r;
    // As a vendor read into the caller's buffer: bytes beyond what the board sent are left as they were.
    return copy_to_caller(pData, levels.data(), received) ? ERROR_SUCCESS : ERROR_INTERNAL_ERROR;
}

uint32_t KORVAL_OfflineWrite1(uint32_t DeviceIndex, uint32_t Address, uint16_t Value)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const uint8_t word[2] = {static_cast<uint8_t>(Value), static_cast<uint8_t>(Value >> 8)};
    return usb::vendor_write(slot, usb::kDioOfflineWordRequest, static_cast<uint16_t>(Address),
                             static_cast<uint16_t>(Address >> 16), sizeof word, word);
}

uint32_t KORVAL_OfflineRead1(uint32_t DeviceIndex, uint32_t Address, uint16_t* pValue)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    if (pValue == nullptr) return ERROR_INVALID_PARAMETER;
    uint8_t word[2] = {};
    uint32_t size = sizeof word;
    if (const Result r = usb::vendor_read(slot, usb::kDioOfflineWordRequest, static_cast<uint16_t>(Address),
                                          static_cast<uint16_t>(Address >> 16), size, word))
        return r;
    const auto value = static_cast<uint16_t>(word[0] | word[1] << 8);
    return write_caller(pValue, value);
}

}  // namespace korval
