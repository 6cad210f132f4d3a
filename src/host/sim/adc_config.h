// The ADC configuration block the firmware keeps (20 or 21 bytes by product), for the features that
// sample by it. Reached under the board's lock as board.feature<AdcConfig>().
#pragma once

#include <cstdint>
#include <vector>

#include "host/sim/firmware.h"

namespace korval::sim {

class AdcConfig final : public Feature {
public:
    explicit AdcConfig(Board& board);

    // The block as the board holds it: range codes of slots 0 to 15, calibration mode (16), trigger
    // (17), scan limits (18, and 20 on 21-byte blocks), oversample (19).
    const std::vector<uint8_t>& block() const { return block_; }
    // Replaces the leading bytes of the block (at most its length); the count taken.
    uint32_t write(const uint8_t* data, uint32_t size);

    uint32_t scan_start() const;
    uint32_t scan_end() const;

private:
    std::vector<uint8_t> block_;
};

}  // namespace korval::sim
