// What the sampling ADC needs from the board's other features to pace itself: counter 2 of block 0 as
// its scan clock, and whether the fast-scan setting is on. Called under the board's lock.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace korval::sim {

class Board;

struct ScanClock {
    bool programmed;  // the counter has been given a control word since the board started
    double hz;        // the frequency its output runs at now; 0 when it puts out none
};

// Counter 2 of block 0, brought up to the board's present time; none on boards without counters.
std::optional<ScanClock> scan_clock(Board& board);

// Calls `listener` with the simulated time and counter 2's new frequency whenever block 0's counters
// change (a request, a gate); one listener per board, the sampling ADC. Nothing on boards without counters.
using ScanClockListener = std::function<void(uint64_t ns, double hz)>;
void on_scan_clock_change(Board& board, ScanClockListener listener);

// The fast-scan setting (request 0xD4) is on: the converter then runs on the board's own fast clock.
bool fast_scan_on(Board& board);

}  // namespace korval::sim
