// The ADC configuration block as the library reads and writes it: its layout, and the gain codes.
#pragma once

#include <cstdint>

#include "core/registry.h"

namespace korval::adc {

// The ADC's vendor requests.
inline constexpr uint8_t kReadBlockRequest = 0xD2;
inline constexpr uint8_t kWriteBlockRequest = 0xBE;
inline constexpr uint8_t kSampleCountRequest = 0xBC;  // wValue: count bits 16-31, wIndex: bits 0-15
inline constexpr uint8_t kStartRequest = 0xBF;        // wIndex: the channel

// Offsets in the block. Range codes of range slots 0 to 15 come first.
inline constexpr uint32_t kRangeSlots = 16;
inline constexpr uint32_t kCalModeByte = 16;
inline constexpr uint32_t kTriggerByte = 17;
inline constexpr uint32_t kScanLimitsByte = 18;    // start channel bits 0-3, end channel bits 0-3
inline constexpr uint32_t kOversampleByte = 19;
inline constexpr uint32_t kScanLimitsHighByte = 20;  // 21-byte blocks: start and end channel bits 4-7
inline constexpr uint32_t kMinBlockBytes = 20;
inline constexpr uint32_t kMaxBlockBytes = 21;

inline constexpr uint8_t kGainCodeMask = 0x07;

// The range a gain code selects: bit 0 bipolar; the span is 1 V, doubled when bit 1 is clear and
// multiplied by 5 when bit 2 is clear. A bipolar range runs from -span to +span.
inline bool gain_bipolar(uint8_t gain) { return (gain & 1) != 0; }
inline double gain_span_volts(uint8_t gain) { return ((gain & 2) ? 1.0 : 2.0) * ((gain & 4) ? 1.0 : 5.0); }

// The scan limits a block holds (a 20-byte block has only the low nibbles).
inline uint32_t scan_start(const uint8_t* block, uint32_t size)
{
    return (size > kScanLimitsHighByte ? (block[kScanLimitsHighByte] & 0x0F) * 16u : 0u) +
           (block[kScanLimitsByte] & 0x0Fu);
}
inline uint32_t scan_end(const uint8_t* block, uint32_t size)
{
    return (size > kScanLimitsHighByte ? (block[kScanLimitsHighByte] & 0xF0u) : 0u) + (block[kScanLimitsByte] >> 4);
}

// Whether the board has the bulk ADC section with a block the library can read and change.
inline bool has_adc(const TDeviceData& d)
{
    return d.bADCBulk && d.ConfigBytes >= kMinBlockBytes && d.ConfigBytes <= kMaxBlockBytes;
}

// Reads the slot's block (ConfigBytes long) into `block`. A short answer is a failure (1165), so that a
// block that was not read whole is never changed and written back over the board's settings.
Result read_block(uint32_t slot, uint8_t* block);
// Writes the slot's block (ConfigBytes long) from `block`.
Result write_block(uint32_t slot, const uint8_t* block);
// Tells the board how many 16-bit samples to send next.
Result request_samples(uint32_t slot, uint32_t samples);

}  // namespace korval::adc
