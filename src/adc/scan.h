// The scan routine that every scan shares (immediate, triggered, and the calibration's reference
// readings), its conversions, and the bounded sample reads.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

#include "core/registry.h"

namespace korval::adc {

inline constexpr uint32_t kMaxScanSamples = 1024;
inline constexpr uint32_t kMaxChannels = 256;  // channel numbers are 8-bit

// One scan as it was taken.
struct Scan {
    std::array<uint8_t, 22> block{};  // the configuration block as the scan used it
    std::array<uint16_t, kMaxScanSamples> samples{};
    uint32_t start = 0;  // first and last channel scanned
    uint32_t end = 0;
    uint32_t channels() const { return end - start + 1; }
    uint8_t oversample() const { return block[19]; }  // 0 only for immediate inputs
};

// Runs a scan on an open slot: started at once (timeout_ms 0) or left to the board's trigger, started
// by the library after timeout_ms (then 1460, with the scan's samples).
Result run_scan(uint32_t slot, int32_t timeout_ms, Scan& scan);

// The scan's channels, start to end, as counts (the mean of each channel's samples after the first,
// rounded halves to even) or volts (the unrounded mean by the channel's range).
void scan_counts(const Scan& scan, uint16_t* counts);
void scan_volts(const Scan& scan, uint8_t range_shift, double* volts);

// Volts of a mean count in the range a range code selects.
double counts_to_volts(double mean, uint8_t range_code);

// The start request (0xBF, wIndex the channel). 4 while a one-shot acquisition has bytes to read.
Result start_conversion(uint32_t slot, uint16_t channel);

// Reads `size` bytes from the sample pipe into `data`, read after read until all have come. Each read
// must end within its allowance (`base` plus 1 ms a sample), else it is cancelled: 1460.
Result read_samples(uint32_t slot, void* data, uint32_t size, std::chrono::milliseconds base);

}  // namespace korval::adc
