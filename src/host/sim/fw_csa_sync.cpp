// The sync pulse generator of the boards that take custom clocks (request 0xC4): wValue holds the
// divider of the 3,000 Hz base clock (low byte; 0 turns the sync off) and time A in ticks of 1/3 ms
// (high byte); wIndex holds times B (low byte) and C (high byte).
#include "host/sim/board.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

class CsaSync final : public Feature {
public:
    explicit CsaSync(Board& board)
    {
        board.on_control(Direction::out, kReqCsaSync, [this](const ControlRequest& r, std::span<uint8_t>) {
            state_.divider = r.wValue & 0xFFu;
            state_.ticks[0] = r.wValue >> 8;
            state_.ticks[1] = r.wIndex & 0xFFu;
            state_.ticks[2] = r.wIndex >> 8;
            ++state_.requests;
            return ControlReply::ok(0);
        });
    }

    const KorvalSimSync& state() const { return state_; }

private:
    KorvalSimSync state_{};
};

const RegisterFeature kCsaSync{"csa-sync", [](const Product& p) { return p.custom_clocks; },
                               [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<CsaSync>(b); }};

}  // namespace

}  // namespace korval::sim

extern "C" uint32_t KorvalSim_GetSync(KorvalSim* sim, uint32_t board, KorvalSimSync* sync)
{
    using namespace korval::sim;
    if (sync == nullptr) return ERROR_INVALID_PARAMETER;
    return with_feature<CsaSync>(sim, board, [&](const CsaSync& s) {
        *sync = s.state();
        return ERROR_SUCCESS;
    });
}
