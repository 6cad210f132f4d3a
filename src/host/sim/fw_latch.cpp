// Input latches (digital boards, newer firmware): three groups of one byte per port. Request 0x14 IN
// answers groups 0, 1 and 2 (3 x ports bytes) and clears them, as reading the board's latches does;
// 0x3C OUT with wIndex 0x63 sets the latch divisor (1 byte). What the latches catch is set through
// KorvalSim_SetLatches.
#include <algorithm>
#include <cstring>
#include <vector>

#include "host/sim/board.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

class Latches final : public Feature {
public:
    explicit Latches(Board& board) : groups_(3 * board.product().dio_ports, 0)
    {
        board.on_control(Direction::in, kReqDioLatchRead, [this](const ControlRequest&, std::span<uint8_t> data) {
            const uint32_t n = answer(data, groups_.data(), groups_.size());
            std::fill(groups_.begin(), groups_.end(), 0);
            return ControlReply::ok(n);
        });
        board.on_control(Direction::out, kReqNewerFunction, keep_byte(divisor_), kSelLatchDivisor);
    }

    uint32_t set(const void* groups, uint32_t size)
    {
        if (size != groups_.size() || groups == nullptr) return ERROR_INVALID_PARAMETER;
        std::memcpy(groups_.data(), groups, size);
        return ERROR_SUCCESS;
    }

    uint32_t get(void* groups, uint32_t capacity, uint8_t* divisor) const
    {
        if (groups != nullptr) std::memcpy(groups, groups_.data(), std::min<size_t>(capacity, groups_.size()));
        if (divisor != nullptr) *divisor = divisor_;
        return ERROR_SUCCESS;
    }

private:
    std::vector<uint8_t> groups_;  // group 0, group 1, group 2; one byte per port each
    uint8_t divisor_ = 0;
};

const RegisterFeature kLatches{"latches", [](const Product& p) { return p.dio_ports > 0; },
                               [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<Latches>(b); }};

}  // namespace

}  // namespace korval::sim

extern "C" uint32_t KorvalSim_SetLatches(KorvalSim* sim, uint32_t board, const void* groups, uint32_t size)
{
    using namespace korval::sim;
    return with_feature<Latches>(sim, board, [&](Latches& l) { return l.set(groups, size); });
}

extern "C" uint32_t KorvalSim_GetLatches(KorvalSim* sim, uint32_t board, void* groups, uint32_t capacity,
                                         uint8_t* divisor)
{
    using namespace korval::sim;
    return with_feature<Latches>(sim, board, [&](const Latches& l) { return l.get(groups, capacity, divisor); });
}
