// The USB controller's own RAM-write request (0xA0, address in wValue), which every board answers
// whatever its firmware. Writing 1 to the CPU control register at 0xE600 holds the controller's
// processor in reset, writing 0 releases it and the firmware starts again. Writes elsewhere land in the
// controller's RAM and are not modelled further. The firmware model keeps its state across a restart.
#include "host/sim/board.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {


class Controller final : public Feature {
public:
    explicit Controller(Board& board)
    {
        board.on_control(Direction::out, kReqControllerRam, [this](const ControlRequest& r, std::span<uint8_t> data) {
            if (r.wValue == kAddrCpuControl && !data.empty()) {
                const bool hold = (data[0] & 0x01) != 0;
                if (held_ && !hold) ++restarts_;
                held_ = hold;
            }
            return ControlReply::ok(static_cast<uint32_t>(data.size()));
        });
    }

    bool held() const { return held_; }
    uint32_t restarts() const { return restarts_; }

private:
    bool held_ = false;
    uint32_t restarts_ = 0;
};

const RegisterFeature kController{"controller", [](const Product&) { return true; },
                                  [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<Controller>(b); }};

}  // namespace

}  // namespace korval::sim

extern "C" uint32_t KorvalSim_GetControllerState(KorvalSim* sim, uint32_t board, uint32_t* held_in_reset,
                                                 uint32_t* restarts)
{
    using namespace korval::sim;
    return with_feature<Controller>(sim, board, [&](const Controller& c) -> uint32_t {
        if (held_in_reset != nullptr) *held_in_reset = c.held() ? 1 : 0;
        if (restarts != nullptr) *restarts = c.restarts();
        return ERROR_SUCCESS;
    });
}
