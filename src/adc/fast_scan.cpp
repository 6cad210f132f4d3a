// Fast internal-trigger scans: channels 0 to n - 1 converted on the board's internal trigger, in volts.
//
// ADC_InitFastITScanV keeps the caller's configuration block in FastITBakConfig, writes a fast block
// (FastITConfig) and switches the board to its fast-scan setting; ADC_GetFastITScanV takes one scan
// through a one-shot acquisition started by pulses of counter 2; ADC_ResetFastITScanV puts the caller's
// block back and switches the setting off.
#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "adc/acquire.h"
#include "adc/adc.h"
#include "adc/adc_state.h"
#include "adc/config_block.h"
#include "adc/scan.h"
#include "base/caller_memory.h"
#include "board/board.h"
#include "core/registry.h"
#include "ctr/ctr.h"
#include "korval/korval.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace {

constexpr uint32_t kMaxInitChannels = 64;
constexpr auto kScanTimeout = std::chrono::milliseconds(1000);

using Block = std::vector<uint8_t>;

constexpr FeatureTest kHasBlock = [](const ProductRow& d) {
    return d.bADCBulk && d.ConfigBytes >= adc::kMinBlockBytes;
};

Result switch_fast_scan(uint32_t slot, uint8_t on)
{
    return usb::vendor_write(slot, usb::kAdcFastScanRequest, usb::kAdcFastScanValue, 0, 1, &on);
}

Result write_block(uint32_t slot, const Block& block)
{
    uint32_t size = static_cast<uint32_t>(block.size());
    return ADC_SetConfig(slot, block.data(), &size);
}

// Scan limits 0 to n - 1: the low nibble of the end channel in byte 18, its high nibble in byte 20.
void set_channel_count(Block& block, uint32_t n)
{
    const uint32_t end = n - 1;
    block[adc::kScanLimitsByte] = static_cast<uint8_t>((end << 4) & 0xF0);
    if (block.size() > adc::kScanLimitsHighByte) block[adc::kScanLimitsHighByte] = static_cast<uint8_t>(end & 0xF0);
}

// Waits up to `timeout` for the one-shot acquisition's reader to end.
bool wait_one_shot(uint32_t slot, std::chrono::milliseconds timeout)
{
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const TADCWorker* worker = adc_state(slot).ADCWorker.get();
        if (worker == nullptr || worker->ended()) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Ends a one-shot acquisition still waiting for data, before the buffer it reads into is released:
// the abort cancels the read in flight, and the join waits for the reader (its reads are bounded
// where the host cannot cancel).
void stop_one_shot(uint32_t slot)
{
    (void)ADC_BulkAbort(slot);
    if (TADCWorker* worker = adc_state(slot).ADCWorker.get()) worker->join();
}

}  // namespace

uint32_t ADC_InitFastITScanV(uint32_t DeviceIndex)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasBlock)) return r;
    const ProductRow& row = board(slot).row();
    AdcState& d = adc_state(slot);
    const uint32_t size = row.ConfigBytes;
    d.FastITConfig.resize(size);
    d.FastITBakConfig.resize(size);

    uint32_t read = size;
    if (const Result r = ADC_GetConfig(slot, d.FastITBakConfig.data(), &read)) return r;

    const Block& saved = d.FastITBakConfig;
    Block& fast = d.FastITConfig;
    std::copy_n(saved.begin(), adc::kRangeSlots, fast.begin());
    // Internal trigger and the fast-scan start, keeping the caller's bit 4; at least three extra
    // samples per channel.
    fast[adc::kTriggerByte] = static_cast<uint8_t>((saved[adc::kTriggerByte] & 0x10) | 0x05);
    fast[adc::kOversampleByte] = std::max<uint8_t>(saved[adc::kOversampleByte], 3);
    set_channel_count(fast, std::min<uint32_t>(row.ADCMUXChannels, kMaxInitChannels));

    Result r = write_block(slot, fast);
    if (r == ERROR_SUCCESS) r = switch_fast_scan(slot, 1);
    if (r != ERROR_SUCCESS) {
        (void)write_block(slot, saved);  // the setup failed: the caller's block goes back, the first failure is returned
        return r;
    }
    return ERROR_SUCCESS;
}

uint32_t ADC_SetFastITScanVChannels(uint32_t DeviceIndex, uint32_t NewChannels)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasBlock)) return r;
    const ProductRow& row = board(slot).row();
    AdcState& d = adc_state(slot);
    if (d.FastITConfig.size() < adc::kMinBlockBytes) return ERROR_NOT_READY;
    // No channels would make the end channel wrap to 255.
    if (NewChannels == 0) return ERROR_INVALID_PARAMETER;
    set_channel_count(d.FastITConfig, std::min<uint32_t>(NewChannels, row.ADCMUXChannels));
    return write_block(slot, d.FastITConfig);
}

uint32_t ADC_GetFastITScanV(uint32_t DeviceIndex, double* pVolts)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasBlock)) return r;
    const ProductRow& row = board(slot).row();
    AdcState& d = adc_state(slot);
    // Without a fast block there are no scan limits to read.
    if (d.FastITConfig.size() < adc::kMinBlockBytes) return ERROR_NOT_READY;
    if (pVolts == nullptr) return ERROR_INVALID_PARAMETER;

    const Block fast = d.FastITConfig;
    const auto size = static_cast<uint32_t>(fast.size());
    const uint32_t start = adc::scan_start(fast.data(), size);
    const uint32_t end = adc::scan_end(fast.data(), size);
    const uint32_t channels = (end - start + 1) & 0xFF;
    const uint32_t os = fast[adc::kOversampleByte];
    if (channels == 0 || end < start) return ERROR_INVALID_DATA;
    const uint32_t per_channel = os + 1;

    std::vector<uint16_t> samples(channels * per_channel);
    const auto bytes = static_cast<uint32_t>(samples.size() * sizeof(uint16_t));
    if (const Result r = ADC_BulkAcquire(slot, bytes, samples.data())) return r;

    // Counter 2 of the first 8254 to mode 0 and then mode 1 paces the board's internal trigger. Their
    // results are not used: the wait below tells whether data came.
    (void)CTR_8254Mode(slot, 0, 2, 0);
    (void)CTR_8254Mode(slot, 0, 2, 1);

    if (!wait_one_shot(slot, kScanTimeout)) {
        // The worker still reads into `samples`: it is stopped and has ended before they go.
        stop_one_shot(slot);
        return ERROR_TIMEOUT;
    }
    int32_t remaining = 0;
    if (const Result r = ADC_BulkPoll(slot, &remaining)) return r;
    if (remaining != 0) return ERROR_HANDLE_EOF;

    std::vector<double> volts(channels);
    for (uint32_t k = 0; k < channels; ++k) {
        const uint32_t c = start + k;
        const uint32_t range_slot = c >> row.RangeShift;
        // The first conversions of range slot 0 settle after the trigger: its channels skip four
        // samples, the others one.
        const uint32_t first = std::min<uint32_t>(range_slot == 0 ? 4 : 1, os);
        double sum = 0;
        for (uint32_t s = first; s <= os; ++s) sum += samples[k * per_channel + s];
        const uint8_t code = range_slot < adc::kRangeSlots ? fast[range_slot] : 0;
        volts[k] = adc::counts_to_volts(sum / (os - first + 1), code);
    }
    return write_caller_bytes(pVolts + start, volts.data(), volts.size() * sizeof(double));
}

uint32_t ADC_ResetFastITScanV(uint32_t DeviceIndex)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasBlock)) return r;
    // Before any setup the saved block is empty and the write refuses it with 122.
    if (const Result r = write_block(slot, adc_state(slot).FastITBakConfig)) return r;
    return switch_fast_scan(slot, 0);
}

uint32_t ADC_GetITScanV(uint32_t DeviceIndex, double* pVolts)
{
    if (const Result r = ADC_InitFastITScanV(DeviceIndex)) return r;
    const Result scan = ADC_GetFastITScanV(DeviceIndex, pVolts);
    const Result reset = ADC_ResetFastITScanV(DeviceIndex);
    return scan != ERROR_SUCCESS ? scan : reset;
}

}  // namespace korval
