// Rounding of rates, frequencies and mean counts to integers: to nearest, halves to even, whatever
// rounding mode the caller's thread has set.
#pragma once

#include <cmath>

namespace korval {

inline double round_half_even(double x)
{
    if (std::fabs(x - std::trunc(x)) == 0.5) return 2.0 * std::round(x / 2.0);
    return std::round(x);
}

}  // namespace korval
