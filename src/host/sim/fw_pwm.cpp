// PWM outputs (digital boards, newer firmware): request 0x3C OUT with wIndex 0x71 loads the settings of
// all outputs; the board keeps the data stage as it came (at most 18 bytes, more stalls).
#include <algorithm>
#include <cstring>
#include <vector>

#include "host/sim/board.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

constexpr size_t kSettingsBytes = 18;

class Pwm final : public Feature {
public:
    explicit Pwm(Board& board)
    {
        board.on_control(Direction::out, kReqNewerFunction, keep_block(settings_, kSettingsBytes), kSelPwm);
    }

    uint32_t get(void* settings, uint32_t capacity, uint32_t* size) const
    {
        if (settings != nullptr) std::memcpy(settings, settings_.data(), std::min<size_t>(capacity, settings_.size()));
        if (size != nullptr) *size = static_cast<uint32_t>(settings_.size());
        return ERROR_SUCCESS;
    }

private:
    std::vector<uint8_t> settings_;
};

const RegisterFeature kPwm{"pwm", [](const Product& p) { return p.dio_ports > 0; },
                           [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<Pwm>(b); }};

}  // namespace

}  // namespace korval::sim

extern "C" uint32_t KorvalSim_GetPwm(KorvalSim* sim, uint32_t board, void* settings, uint32_t capacity, uint32_t* size)
{
    using namespace korval::sim;
    return with_feature<Pwm>(sim, board, [&](const Pwm& p) { return p.get(settings, capacity, size); });
}
