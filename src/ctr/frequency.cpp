// Frequency output: counters 1 and 2 of a block in cascade make a programmable frequency source.
// Counter 1 runs as a rate generator dividing the root clock by L, counter 2 as a square wave dividing
// that by H, so the block puts out RootClock / (L x H). The search for L and H favours a square-ish
// split (H near the square root of the ratio), which keeps both divisors well inside 16 bits.
#include <cmath>

#include "base/caller_memory.h"
#include "board/board.h"
#include "core/rounding.h"
#include "ctr/ctr.h"
#include "korval/korval.h"

namespace korval {

namespace ctr {

namespace {

constexpr uint32_t kMaxDivisor = 65535;
constexpr uint32_t kRateGeneratorMode = 2;
constexpr uint32_t kSquareWaveMode = 3;
constexpr uint32_t kLowCounter = 1;
constexpr uint32_t kHighCounter = 2;

// A rounded quotient as the 32-bit unsigned value the divisors are multiplied in; quotients beyond it
// only arise for divisors that are refused afterwards anyway.
uint32_t rounded(double x)
{
    const double r = round_half_even(x);
    return r >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(r);
}

}  // namespace

bool choose_divisors(double hz, double root_hz, Divisors& divisors)
{
    // The highest frequency the pair can give is the root clock over 2 x 2.
    if (hz * 4 >= root_hz) {
        divisors = {2, 2};
        return true;
    }
    const double ratio = root_hz / hz;
    const uint32_t start = rounded(std::sqrt(ratio));
    // The error of a pair, with the product taken as the 32-bit unsigned value it is sent as.
    auto error_of = [&](uint32_t low, uint32_t high) {
        const uint32_t product = low * high;
        return std::fabs(hz - root_hz / product);
    };
    uint32_t high = start;
    double best = error_of(rounded(ratio / start), start);
    for (uint32_t n = start; n >= 2; --n) {
        const uint32_t m = rounded(ratio / n);
        if (m > kMaxDivisor) break;  // smaller n only give larger m
        const double e = error_of(m, n);
        if (e == 0) {
            high = n;
            break;
        }
        if (e < best) {  // on equal errors the earlier, larger n stays
            high = n;
            best = e;
        }
    }
    const uint32_t low = rounded(ratio / high);
    if (low < 2 || high < 2 || low > kMaxDivisor || high > kMaxDivisor) return false;
    divisors = {low, high};
    return true;
}

}  // namespace ctr

uint32_t CTR_StartOutputFreq(uint32_t DeviceIndex, uint32_t BlockIndex, double* pHz)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, ctr::kHasCounters)) return r;
    const ProductRow& row = board(slot).row();
    if (BlockIndex >= row.Counters) return ERROR_INVALID_ADDRESS;
    double hz = 0;
    if (const uint32_t r = read_caller(pHz, hz)) return r;
    if (std::isnan(hz)) return ERROR_INVALID_PARAMETER;

    // Counters 1 and 2 of the block (with block 0 the flat numbers 1 and 2 name the same two).
    if (hz <= 0) {
        // Both counters are set to their modes without a count, which stops them. A failure of the first
        // call is returned at once: the second would only leave the pair half set up.
        if (const Result r = CTR_8254Mode(slot, BlockIndex, ctr::kLowCounter, ctr::kRateGeneratorMode)) return r;
        return CTR_8254Mode(slot, BlockIndex, ctr::kHighCounter, ctr::kSquareWaveMode);
    }

    ctr::Divisors divisors;
    // Below RootClock / 65535^2 no pair of 16-bit divisors reaches: refused, nothing programmed.
    if (!ctr::choose_divisors(hz, row.RootClock, divisors)) return ERROR_INVALID_PARAMETER;
    const double obtained = row.RootClock / (static_cast<double>(divisors.low) * divisors.high);
    if (const Result r = write_caller(pHz, obtained)) return r;
    if (const Result r = CTR_8254ModeLoad(slot, BlockIndex, ctr::kLowCounter, ctr::kRateGeneratorMode,
                                          static_cast<uint16_t>(divisors.low)))
        return r;
    return CTR_8254ModeLoad(slot, BlockIndex, ctr::kHighCounter, ctr::kSquareWaveMode,
                            static_cast<uint16_t>(divisors.high));
}

}  // namespace korval
