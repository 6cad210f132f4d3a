// The global tick rate of the newer firmware: a 16-bit count T of a 12 MHz base (T = 12 MHz / rate),
// sent as 0xFFFF - T, for the board's timed functions.
#include <cmath>

#include "base/caller_memory.h"
#include "core/rounding.h"
#include "ctr/ctr.h"
#include "korval/korval.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace {

constexpr double kTickBaseHz = 12'000'000.0;

// The tick count for a rate: 0xFFFF (the slowest) for 0 Hz and for rates too slow for 16 bits, 0 for
// negative rates.
uint16_t tick_count(double rate_hz)
{
    if (rate_hz == 0) return 0xFFFF;
    const double t = kTickBaseHz / rate_hz;
    if (t <= 0) return 0;
    if (t >= 65535) return 0xFFFF;
    return static_cast<uint16_t>(round_half_even(t));
}

}  // namespace

uint32_t KORVAL_SetGlobalTickRate(uint32_t DeviceIndex, const double* pHz)
{
    uint32_t slot = 0;
    if (const Result r = open_newer_firmware_board(DeviceIndex, slot)) return r;
    double rate = 0;
    if (const uint32_t r = read_caller(pHz, rate)) return r;
    // A rate that is not a number has no tick count; it is refused before anything is sent.
    if (std::isnan(rate)) return ERROR_INVALID_PARAMETER;
    const auto value = static_cast<uint16_t>(0xFFFF - tick_count(rate));
    return usb::vendor_write(slot, usb::kNewerFunctionRequest, value, usb::kGlobalTickIndex, 0, nullptr);
}

}  // namespace korval
