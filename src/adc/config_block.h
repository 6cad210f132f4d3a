// The ADC configuration block as the library reads and writes it: its layout, and the gain codes.
#pragma once

#include <cstdint>

#include "core/registry.h"
#include "korval/korval.h"

namespace korval::adc {

// Offsets in the block (the public header gives the layout to programs too). Range codes of range
// slots 0 to 15 come first.
inline constexpr uint32_t kRangeSlots = KORVAL_ADC_RANGE_SLOTS;
inline constexpr uint32_t kCalModeByte = KORVAL_ADC_CAL_MODE_BYTE;
inline constexpr uint32_t kTriggerByte = KORVAL_ADC_TRIGGER_BYTE;
inline constexpr uint32_t kScanLimitsByte = KORVAL_ADC_SCAN_LIMITS_BYTE;
inline constexpr uint32_t kOversampleByte = KORVAL_ADC_OVERSAMPLE_BYTE;
inline constexpr uint32_t kScanLimitsHighByte = KORVAL_ADC_SCAN_LIMITS_HIGH_BYTE;
inline constexpr uint32_t kMinBlockBytes = 20;
inline constexpr uint32_t kMaxBlockBytes = KORVAL_ADC_CONFIG_MAX;

inline constexpr uint8_t kGainCodeMask = KORVAL_ADC_GAIN_CODE_MASK;

inline bool gain_bipolar(uint8_t gain) { return KORVAL_ADC_GainBipolar(gain) != 0; }
inline double gain_span_volts(uint8_t gain) { return KORVAL_ADC_GainSpanVolts(gain); }

// The scan limits a block holds (a 20-byte block has only the low nibbles).
inline uint32_t scan_start(const uint8_t* block, uint32_t size) { return KORVAL_ADC_ScanStart(block, size); }
inline uint32_t scan_end(const uint8_t* block, uint32_t size) { return KORVAL_ADC_ScanEnd(block, size); }

// Whether the board has the bulk ADC section with a block the library can read and change.
inline bool has_adc(const ProductRow& d)
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
