// The sync pulse generator (request 0xC4). Its timing runs on a 3,000 Hz base clock: the rate is
// 3,000 Hz divided by a whole divider of 1 to 255 (0 turns the sync off), and each of the three times
// is a whole number of ticks of 1/3 ms, 0 to 255. The library converts the caller's hertz and
// milliseconds to these, rounding to nearest with halves to even, and writes back what the board runs.
#include <algorithm>
#include <cmath>

#include "base/caller_memory.h"
#include "core/registry.h"
#include "core/rounding.h"
#include "dio/dio.h"
#include "korval/korval.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace {

constexpr double kBaseClockHz = 3000.0;
constexpr double kLowestRateHz = kBaseClockHz / 255.5;  // below it the divider would round past 255
constexpr double kTicksPerMs = 3.0;
constexpr double kMsPerTick = 0.3333333333333333;  // what a tick count is written back with
constexpr double kMaxStep = 255.0;

uint32_t sync_divider(double rate_hz)
{
    if (rate_hz < kLowestRateHz) return 0;
    if (rate_hz >= kBaseClockHz) return 1;
    return static_cast<uint32_t>(std::min(round_half_even(kBaseClockHz / rate_hz), kMaxStep));
}

// A negative time gives 0 ticks: a negative count would spill into the neighbouring byte of the request.
uint32_t sync_ticks(double time_ms)
{
    return static_cast<uint32_t>(std::clamp(round_half_even(time_ms * kTicksPerMs), 0.0, kMaxStep));
}


}  // namespace

uint32_t DIO_CSA_DoSync(uint32_t DeviceIndex, double* pRateHz, double* pTimeA, double* pTimeB, double* pTimeC)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, [](const ProductRow& d) { return d.bSetCustomClocks; }))
        return r;

    double* const variables[4] = {pRateHz, pTimeA, pTimeB, pTimeC};
    double values[4] = {};
    for (int i = 0; i < 4; ++i) {
        if (const uint32_t r = read_caller(variables[i], values[i])) return r;
        if (std::isnan(values[i])) return ERROR_INVALID_PARAMETER;  // no divider or tick count stands for it
    }

    const uint32_t divider = sync_divider(values[0]);
    uint32_t ticks[3] = {};
    if (divider == 0) {
        // The sync is off: every variable reads 0.0 and the board gets zeros.
        for (double* variable : variables)
            if (const uint32_t r = write_caller(variable, 0.0)) return r;
    } else {
        if (const uint32_t r = write_caller(pRateHz, kBaseClockHz / divider)) return r;
        for (int i = 0; i < 3; ++i) {
            ticks[i] = sync_ticks(values[i + 1]);
            if (const uint32_t r = write_caller(variables[i + 1], ticks[i] * kMsPerTick)) return r;
        }
    }
    const auto value = static_cast<uint16_t>(divider | ticks[0] << 8);
    const auto index = static_cast<uint16_t>(ticks[1] | ticks[2] << 8);
    return usb::vendor_write(slot, usb::kSyncRequest, value, index, 0, nullptr);
}

}  // namespace korval
