// The ADC configuration block as the library reads and writes it: its layout, and the gain codes.
#pragma once

#include <cstdint>

namespace korval::adc {

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

}  // namespace korval::adc
