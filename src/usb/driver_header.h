// The 38-byte request header of the DeviceIoControl driver path, little-endian with no gaps:
//
//   0 bmRequestType, 1 bRequest, 2 wValue, 4 wIndex, 6 wLength, 8 time-out (4 bytes), 12 reserved,
//   13 endpoint address, 14 driver status words (12 bytes), 26 reserved (4), 30 data offset (4),
//   34 data length (4).
//
// A control request fills the setup fields, the time-out 42, endpoint 0, data offset 38 and data
// length = wLength, and carries its data stage right after the header. A bulk transfer sets only the
// endpoint; its data travels in the call's second buffer.
#pragma once

#include <cstdint>
#include <cstring>

#include "korval/host.h"

namespace korval::usb {

inline constexpr uint32_t kHeaderSize = KORVAL_IOCTL_HEADER_SIZE;
inline constexpr uint32_t kControlTimeout = 42;

// The 8-byte setup packet of a control request.
struct Setup {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;

    void to_bytes(uint8_t out[8]) const
    {
        out[0] = bmRequestType;
        out[1] = bRequest;
        out[2] = static_cast<uint8_t>(wValue);
        out[3] = static_cast<uint8_t>(wValue >> 8);
        out[4] = static_cast<uint8_t>(wIndex);
        out[5] = static_cast<uint8_t>(wIndex >> 8);
        out[6] = static_cast<uint8_t>(wLength);
        out[7] = static_cast<uint8_t>(wLength >> 8);
    }
};

inline void put_le32(uint8_t* at, uint32_t value)
{
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

inline void build_control_header(uint8_t header[kHeaderSize], const Setup& setup)
{
    std::memset(header, 0, kHeaderSize);
    setup.to_bytes(header);
    put_le32(header + 8, kControlTimeout);
    header[13] = 0;
    put_le32(header + 30, kHeaderSize);
    put_le32(header + 34, setup.wLength);
}

inline void build_bulk_header(uint8_t header[kHeaderSize], uint8_t pipe_id)
{
    std::memset(header, 0, kHeaderSize);
    header[13] = pipe_id;
}

}  // namespace korval::usb
