// Immediate analog output: request 0xB3 sets one channel (the channel in wIndex, the count in wValue, no
// data) or several (a data stage of 17-byte groups: a mask of the channels present among eight, then
// their eight 16-bit little-endian counts); 0xB7 selects the board-wide output range (wValue); 0xF0
// tells the board that a channel's calibration table (in the flash) was cleared. A board refuses
// (stalls) a write naming a channel it does not have, and then changes nothing.
#include <algorithm>
#include <cstring>
#include <vector>

#include "host/sim/board.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

constexpr uint32_t kGroupSize = 17;

class ImmediateDac final : public Feature {
public:
    explicit ImmediateDac(Board& board)
        : has_range_(board.product().dac_board_range),
          has_calibration_(board.product().dac_channel_cal),
          values_(board.product().dacs, 0),
          resets_(board.product().dacs, 0)
    {
        if (!values_.empty()) {
            board.on_control(
                Direction::out, kReqDacImmediate, [this](const ControlRequest& r, std::span<uint8_t> data) {
                    const bool ok = data.empty() ? write_one(r.wIndex, r.wValue) : write_block(data);
                    return ok ? ControlReply::ok(static_cast<uint32_t>(data.size())) : ControlReply::stalled();
                });
        }
        if (has_range_) {
            board.on_control(Direction::out, kReqDacBoardRange, [this](const ControlRequest& r, std::span<uint8_t>) {
                range_ = r.wValue;
                return ControlReply::ok(0);
            });
        }
        if (has_calibration_) {
            board.on_control(Direction::out, kReqDacCalReset, [this](const ControlRequest& r, std::span<uint8_t>) {
                if (r.wIndex >= resets_.size()) return ControlReply::stalled();
                ++resets_[r.wIndex];
                return ControlReply::ok(0);
            });
        }
    }

    const std::vector<uint16_t>& values() const { return values_; }
    bool has_range() const { return has_range_; }
    bool has_calibration() const { return has_calibration_; }
    uint32_t range() const { return range_; }
    const std::vector<uint32_t>& resets() const { return resets_; }

private:
    bool write_one(uint32_t channel, uint16_t value)
    {
        if (channel >= values_.size()) return false;
        values_[channel] = value;
        return true;
    }

    // Checks the whole block before taking any of it.
    bool write_block(std::span<const uint8_t> block)
    {
        if (block.size() % kGroupSize != 0) return false;
        for (size_t g = 0; g < block.size() / kGroupSize; ++g)
            for (uint32_t k = 0; k < 8; ++k)
                if ((block[g * kGroupSize] >> k & 1) != 0 && 8 * g + k >= values_.size()) return false;
        for (size_t g = 0; g < block.size() / kGroupSize; ++g) {
            const uint8_t* group = block.data() + g * kGroupSize;
            for (uint32_t k = 0; k < 8; ++k)
                if ((group[0] >> k & 1) != 0)
                    values_[8 * g + k] = static_cast<uint16_t>(group[1 + 2 * k] | group[2 + 2 * k] << 8);
        }
        return true;
    }

    bool has_range_;
    bool has_calibration_;
    std::vector<uint16_t> values_;
    uint32_t range_ = 0;
    std::vector<uint32_t> resets_;
};

const RegisterFeature kImmediateDac{
    "immediate-dac", [](const Product& p) { return p.dacs > 0 || p.dac_board_range || p.dac_channel_cal; },
    [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<ImmediateDac>(b); }};

// The C API's access to the outputs: 50 for a board without them, or without the part asked for.
}  // namespace

}  // namespace korval::sim

using korval::sim::ImmediateDac;

extern "C" uint32_t KorvalSim_GetDacValues(KorvalSim* sim, uint32_t board, uint16_t* values, uint32_t* count)
{
    if (count == nullptr || (values == nullptr && *count > 0)) return ERROR_INVALID_PARAMETER;
    return korval::sim::with_feature<ImmediateDac>(sim, board, [&](ImmediateDac& dac) {
        if (dac.values().empty()) return uint32_t{ERROR_NOT_SUPPORTED};
        const size_t n = std::min<size_t>(*count, dac.values().size());
        std::copy_n(dac.values().begin(), n, values);
        *count = static_cast<uint32_t>(dac.values().size());
        return uint32_t{ERROR_SUCCESS};
    });
}

extern "C" uint32_t KorvalSim_GetDacRange(KorvalSim* sim, uint32_t board, uint32_t* range)
{
    if (range == nullptr) return ERROR_INVALID_PARAMETER;
    return korval::sim::with_feature<ImmediateDac>(sim, board, [&](ImmediateDac& dac) {
        if (!dac.has_range()) return uint32_t{ERROR_NOT_SUPPORTED};
        *range = dac.range();
        return uint32_t{ERROR_SUCCESS};
    });
}

extern "C" uint32_t KorvalSim_GetDacCalResets(KorvalSim* sim, uint32_t board, uint32_t channel, uint32_t* count)
{
    if (count == nullptr) return ERROR_INVALID_PARAMETER;
    return korval::sim::with_feature<ImmediateDac>(sim, board, [&](ImmediateDac& dac) {
        if (!dac.has_calibration()) return uint32_t{ERROR_NOT_SUPPORTED};
        if (channel >= dac.resets().size()) return uint32_t{ERROR_INVALID_PARAMETER};
        *count = dac.resets()[channel];
        return uint32_t{ERROR_SUCCESS};
    });
}
