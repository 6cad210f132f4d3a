// Automap (digital boards, newer firmware): a table of up to 32 two-byte entries and a tick divisor,
// kept as the board received them. Request 0x3C OUT with wIndex 0x81 loads the table from the data
// stage, 0x82 clears it, 0x83 sets the divisor (1 byte), 0x84 appends one entry (2 bytes). A table
// longer than 64 bytes, or an entry that does not fit, stalls.
#include <algorithm>
#include <cstring>
#include <vector>

#include "host/sim/board.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

constexpr size_t kTableBytes = 64;

class Automap final : public Feature {
public:
    explicit Automap(Board& board)
    {
        board.on_control(Direction::out, kReqNewerFunction, keep_block(table_, kTableBytes), kSelAutomapTable);
        board.on_control(
            Direction::out, kReqNewerFunction,
            [this](const ControlRequest&, std::span<uint8_t>) {
                table_.clear();
                return ControlReply::ok(0);
            },
            kSelAutomapClear);
        board.on_control(Direction::out, kReqNewerFunction, keep_byte(divisor_), kSelAutomapDivisor);
        board.on_control(
            Direction::out, kReqNewerFunction,
            [this](const ControlRequest&, std::span<uint8_t> data) {
                if (data.size() != 2 || table_.size() + 2 > kTableBytes) return ControlReply::stalled();
                table_.insert(table_.end(), data.begin(), data.end());
                return ControlReply::ok(2);
            },
            kSelAutomapEntry);
    }

    uint32_t get(void* table, uint32_t capacity, uint32_t* size, uint8_t* divisor) const
    {
        if (table != nullptr) std::memcpy(table, table_.data(), std::min<size_t>(capacity, table_.size()));
        if (size != nullptr) *size = static_cast<uint32_t>(table_.size());
        if (divisor != nullptr) *divisor = divisor_;
        return ERROR_SUCCESS;
    }

private:
    std::vector<uint8_t> table_;
    uint8_t divisor_ = 0;
};

const RegisterFeature kAutomap{"automap", [](const Product& p) { return p.dio_ports > 0; },
                               [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<Automap>(b); }};

}  // namespace

}  // namespace korval::sim

extern "C" uint32_t KorvalSim_GetAutomap(KorvalSim* sim, uint32_t board, void* table, uint32_t capacity,
                                         uint32_t* size, uint8_t* divisor)
{
    using namespace korval::sim;
    return with_feature<Automap>(sim, board, [&](const Automap& a) { return a.get(table, capacity, size, divisor); });
}
