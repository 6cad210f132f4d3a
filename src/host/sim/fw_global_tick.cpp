// The global tick of the newer firmware: request 0x3C OUT with wIndex 0x8001 carries 0xFFFF - T in
// wValue, for a tick of T periods of 12 MHz. The board keeps the value for its timed functions.
#include "host/sim/board.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

class GlobalTick final : public Feature {
public:
    explicit GlobalTick(Board& board)
    {
        board.on_control(
            Direction::out, kReqNewerFunction,
            [this](const ControlRequest& r, std::span<uint8_t>) {
                value_ = r.wValue;
                ++requests_;
                return ControlReply::ok(0);
            },
            kSelGlobalTick);
    }

    uint32_t get(uint32_t* value, uint32_t* requests) const
    {
        if (value != nullptr) *value = value_;
        if (requests != nullptr) *requests = requests_;
        return ERROR_SUCCESS;
    }

private:
    uint32_t value_ = 0;
    uint32_t requests_ = 0;
};

const RegisterFeature kGlobalTick{"global-tick", [](const Product&) { return true; },
                                  [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<GlobalTick>(b); }};

}  // namespace

}  // namespace korval::sim

extern "C" uint32_t KorvalSim_GetGlobalTick(KorvalSim* sim, uint32_t board, uint32_t* value, uint32_t* requests)
{
    using namespace korval::sim;
    return with_feature<GlobalTick>(sim, board, [&](const GlobalTick& t) { return t.get(value, requests); });
}
