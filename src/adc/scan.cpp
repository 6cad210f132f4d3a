// Immediate and triggered scans: the scan routine, the trigger time-out thread, and the exported scans.
#include "adc/scan.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "adc/acquire.h"
#include "adc/adc.h"
#include "adc/config_block.h"
#include "adc/read_guard.h"
#include "base/caller_memory.h"
#include "base/relaxed.h"
#include "base/worker.h"
#include "board/board.h"
#include "core/rounding.h"
#include "korval/korval.h"
#include "usb/bulk.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace {

constexpr uint8_t kImmediateRange = 2;  // immediate inputs read 0 to 5 V
// A started scan of at most 1,024 samples is sent in a few milliseconds; a second covers a busy bus.
constexpr std::chrono::milliseconds kScanBase{1000};

}  // namespace

// Starts a triggered scan itself when the board's trigger has not come within TimeoutMS, measured on
// the steady clock. Lives for one scan: started after the sample count is sent, ended and joined by
// the scan before bTimeout is read.
class TTimeoutTriggerThread {
public:
    TTimeoutTriggerThread(uint32_t slot, int32_t timeout_ms) : DI(slot), TimeoutMS(timeout_ms) {}
    ~TTimeoutTriggerThread() { end(); }

    bool start() { return thread_.start([this] { Execute(); }); }
    void end()
    {
        thread_.request_stop();
        thread_.join();
    }

    const uint32_t DI;
    const int32_t TimeoutMS;
    Relaxed<bool> bTimeout;

private:
    void Execute()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMS);
        for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now())
            if (thread_.wait_for(deadline - now)) return;  // the data came first
        usb::vendor_write(DI, usb::kAdcStartRequest, 0, 0, 0, nullptr);
        bTimeout = true;
    }

    Worker thread_;
};

namespace adc {

double counts_to_volts(double mean, uint8_t range_code) { return KORVAL_ADC_CountsToVolts(mean, range_code); }

Result start_conversion(uint32_t slot, uint16_t channel)
{
    if (one_shot_running(slot)) return ERROR_TOO_MANY_OPEN_FILES;
    return usb::vendor_write(slot, usb::kAdcStartRequest, 0, channel, 0, nullptr);
}

Result read_samples(uint32_t slot, void* data, uint32_t size, std::chrono::milliseconds base)
{
    ReadGuard guard(slot, usb::kAdcSamplePipe);
    if (!guard.start()) return ERROR_NOT_ENOUGH_MEMORY;
    auto* at = static_cast<uint8_t*>(data);
    for (uint32_t left = size; left > 0;) {
        uint32_t got = 0;
        const Result r =
            usb::bulk_read(slot, usb::kAdcSamplePipe, at, left, got, guard.within(read_allowance(base, left / 2)));
        if (r != ERROR_SUCCESS) return guard.timed_out() ? ERROR_TIMEOUT : r;
        at += got;
        left -= got;
    }
    return ERROR_SUCCESS;
}

namespace {

// Boards without the bulk section: one read request converts every immediate input, 0 to 5 V.
Result immediate_scan(uint32_t slot, Scan& scan)
{
    const uint32_t inputs = std::min<uint32_t>(board(slot).row().ImmADCs, kMaxChannels);
    if (inputs == 0) return ERROR_BAD_TOKEN_TYPE;
    uint32_t size = inputs * 2;
    if (const Result r = usb::vendor_read(slot, usb::kAdcStartRequest, 0, 0, size, scan.samples.data())) return r;
    // A short answer would leave inputs unread: reported rather than shown as 0 V.
    if (size < inputs * 2) return ERROR_READ_FAULT;
    scan.start = 0;
    scan.end = inputs - 1;
    std::fill_n(scan.block.begin(), kRangeSlots, kImmediateRange);
    scan.block[kOversampleByte] = 0;
    return ERROR_SUCCESS;
}

}  // namespace

Result run_scan(uint32_t slot, int32_t timeout_ms, Scan& scan)
{
    const ProductRow& row = board(slot).row();
    if (!row.bADCBulk) return immediate_scan(slot, scan);
    const uint32_t block_size = row.ConfigBytes;
    if (block_size < kMinBlockBytes || block_size > kMaxBlockBytes) return ERROR_BAD_TOKEN_TYPE;

    // The block is read, changed and written back whole.
    if (const Result r = read_block(slot, scan.block.data())) return r;
    uint8_t* block = scan.block.data();

    // Bit 2 of the trigger byte for every scan; an immediate scan also takes the start source (bits
    // 0-1) to the start request.
    block[kTriggerByte] = timeout_ms > 0 ? (block[kTriggerByte] | 0x04) : ((block[kTriggerByte] & ~0x03) | 0x04);

    // The channel range comes from the board's block. One that runs backwards names no scan; the
    // count is kept whole (start 0 to end 255 is 256 channels, not 0).
    scan.start = scan_start(block, block_size);
    scan.end = scan_end(block, block_size);
    if (scan.end < scan.start) return ERROR_INVALID_DATA;
    const uint32_t channels = scan.channels();

    // Every channel sampled at least twice (the first sample is dropped), within 1,024 samples.
    if (block[kOversampleByte] == 0) block[kOversampleByte] = 1;
    if (channels * (block[kOversampleByte] + 1u) > kMaxScanSamples)
        block[kOversampleByte] = static_cast<uint8_t>(kMaxScanSamples / channels - 1);
    const uint32_t samples = channels * (block[kOversampleByte] + 1u);

    // The board must hold this block and this count, or the samples would not be the ones asked for.
    if (const Result r = write_block(slot, block)) return r;
    if (const Result r = request_samples(slot, samples)) return r;

    std::chrono::milliseconds base = kScanBase;
    Result result = ERROR_SUCCESS;
    if (timeout_ms > 0) {
        TTimeoutTriggerThread timeout(slot, timeout_ms);
        if (!timeout.start()) return ERROR_NOT_ENOUGH_MEMORY;
        base += std::chrono::milliseconds(timeout_ms);
        result = read_samples(slot, scan.samples.data(), samples * 2, base);
        // Joined before its flag is read: a flag read while the thread may still send the start
        // request could miss that it did.
        timeout.end();
        if (result == ERROR_SUCCESS && timeout.bTimeout) result = ERROR_TIMEOUT;
    } else {
        // The start request's result is not what decides: a board that did not start sends nothing,
        // and the bounded read says so.
        start_conversion(slot, 0);
        result = read_samples(slot, scan.samples.data(), samples * 2, base);
    }
    return result;
}

void scan_counts(const Scan& scan, uint16_t* counts)
{
    const uint32_t os = scan.oversample();
    for (uint32_t k = 0; k < scan.channels(); ++k) {
        if (os == 0) {
            counts[k] = scan.samples[k];
            continue;
        }
        // Sample 0 of each channel's group, the first taken, is dropped.
        const uint16_t* group = &scan.samples[k * (os + 1)];
        uint32_t sum = 0;
        for (uint32_t i = 1; i <= os; ++i) sum += group[i];
        counts[k] = static_cast<uint16_t>(round_half_even(static_cast<double>(sum) / os));
    }
}

void scan_volts(const Scan& scan, uint8_t range_shift, double* volts)
{
    const uint32_t os = scan.oversample();
    for (uint32_t k = 0; k < scan.channels(); ++k) {
        if (os == 0) {
            volts[k] = scan.samples[k] * 5.0 / 65536.0;
            continue;
        }
        const uint16_t* group = &scan.samples[k * (os + 1)];
        uint32_t sum = 0;
        for (uint32_t i = 1; i <= os; ++i) sum += group[i];
        // A block has 16 range slots; channels past them (a 160-channel board's last 32, or a channel a
        // block names beyond the board) use the last one rather than bytes that are not range codes.
        const uint32_t channel = scan.start + k;
        const uint32_t range_slot = std::min<uint32_t>(channel >> range_shift, kRangeSlots - 1);
        volts[k] = counts_to_volts(static_cast<double>(sum) / os, scan.block[range_slot]);
    }
}

}  // namespace adc

namespace {

using adc::Scan;

// The exported scans: check the output pointer, scan, convert, and copy the scanned channels'
// elements into the caller's array (and no others).
template <class T, class Convert>
uint32_t scan_into(uint32_t DeviceIndex, T* out, int32_t timeout_ms, bool deliver_on_timeout, Convert convert)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    if (out == nullptr) return ERROR_INVALID_PARAMETER;
    Scan scan;
    const Result r = adc::run_scan(slot, timeout_ms, scan);
    if (r != ERROR_SUCCESS && !(r == ERROR_TIMEOUT && deliver_on_timeout && timeout_ms > 0)) return r;
    std::array<T, adc::kMaxChannels> values{};
    convert(scan, board(slot).row().RangeShift, values.data());
    if (const Result w = write_caller_bytes(out + scan.start, values.data(), scan.channels() * sizeof(T))) return w;
    return r;
}

void counts(const Scan& scan, uint8_t, uint16_t* out) { adc::scan_counts(scan, out); }
void volts(const Scan& scan, uint8_t shift, double* out) { adc::scan_volts(scan, shift, out); }

int32_t trigger_timeout(int32_t TimeoutMS) { return TimeoutMS > 0 ? TimeoutMS : 1; }

}  // namespace

uint32_t ADC_GetImmediate(uint32_t DeviceIndex, uint16_t Channel, uint16_t* pData)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    if (!board(slot).row().bADCBulk) return ERROR_BAD_TOKEN_TYPE;
    if (adc::one_shot_running(slot)) return ERROR_TOO_MANY_OPEN_FILES;
    if (const uint32_t r = write_caller(pData, uint16_t{0})) return r;
    return adc::start_conversion(slot, Channel);
}

uint32_t ADC_GetScan(uint32_t DeviceIndex, uint16_t* pBuf) { return scan_into(DeviceIndex, pBuf, 0, false, counts); }

uint32_t ADC_GetScanV(uint32_t DeviceIndex, double* pVolts) { return scan_into(DeviceIndex, pVolts, 0, false, volts); }

uint32_t ADC_GetTrigScan(uint32_t DeviceIndex, uint16_t* pBuf, int32_t TimeoutMS)
{
    return scan_into(DeviceIndex, pBuf, trigger_timeout(TimeoutMS), false, counts);
}

uint32_t ADC_GetTrigScanV(uint32_t DeviceIndex, double* pVolts, int32_t TimeoutMS)
{
    return scan_into(DeviceIndex, pVolts, trigger_timeout(TimeoutMS), true, volts);
}

uint32_t ADC_GetChannelV(uint32_t DeviceIndex, uint32_t ChannelIndex, double* pVolt)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const ProductRow& row = board(slot).row();
    if (!row.bADCBulk) return ERROR_BAD_TOKEN_TYPE;
    if (ChannelIndex >= row.ADCMUXChannels) return ERROR_INVALID_INDEX;
    if (pVolt == nullptr) return ERROR_INVALID_PARAMETER;
    // Room for every channel a block can name, so a block naming channels past the board's stays inside.
    std::array<double, adc::kMaxChannels> all;
    all.fill(std::bit_cast<double>(uint64_t{0xFFF8000000000000}));  // a quiet NaN
    Scan scan;
    if (const Result r = adc::run_scan(slot, 0, scan)) return r;
    adc::scan_volts(scan, row.RangeShift, all.data() + scan.start);
    return write_caller(pVolt, all[ChannelIndex]);
}

}  // namespace korval
