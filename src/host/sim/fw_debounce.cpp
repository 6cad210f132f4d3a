// Debounced inputs (digital boards, newer firmware): request 0x3C OUT with wIndex 0x51 loads the
// debounce configuration (kept as it came, at most 1024 bytes, more stalls); 0x15 IN answers the
// debounced state, one byte per port. Inputs are pulled up: they read 0xFF until
// KorvalSim_SetDebouncedInputs says otherwise.
#include <algorithm>
#include <cstring>
#include <vector>

#include "host/sim/board.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

constexpr size_t kConfigBytes = 1024;

class Debounce final : public Feature {
public:
    explicit Debounce(Board& board) : state_(board.product().dio_ports, 0xFF)
    {
        board.on_control(Direction::out, kReqNewerFunction, keep_block(config_, kConfigBytes), kSelDebounceConfig);
        board.on_control(Direction::in, kReqDioDebounceRead, [this](const ControlRequest&, std::span<uint8_t> data) {
            return ControlReply::ok(answer(data, state_.data(), state_.size()));
        });
    }

    uint32_t get_config(void* config, uint32_t capacity, uint32_t* size) const
    {
        if (config != nullptr) std::memcpy(config, config_.data(), std::min<size_t>(capacity, config_.size()));
        if (size != nullptr) *size = static_cast<uint32_t>(config_.size());
        return ERROR_SUCCESS;
    }

    uint32_t set_state(const void* state, uint32_t size)
    {
        if (size != state_.size() || state == nullptr) return ERROR_INVALID_PARAMETER;
        std::memcpy(state_.data(), state, size);
        return ERROR_SUCCESS;
    }

private:
    std::vector<uint8_t> config_;
    std::vector<uint8_t> state_;  // one byte per port
};

const RegisterFeature kDebounce{"debounce", [](const Product& p) { return p.dio_ports > 0; },
                                [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<Debounce>(b); }};

}  // namespace

}  // namespace korval::sim

extern "C" uint32_t KorvalSim_GetDebounceConfig(KorvalSim* sim, uint32_t board, void* config, uint32_t capacity,
                                                uint32_t* size)
{
    using namespace korval::sim;
    return with_feature<Debounce>(sim, board, [&](const Debounce& d) { return d.get_config(config, capacity, size); });
}

extern "C" uint32_t KorvalSim_SetDebouncedInputs(KorvalSim* sim, uint32_t board, const void* state, uint32_t size)
{
    using namespace korval::sim;
    return with_feature<Debounce>(sim, board, [&](Debounce& d) { return d.set_state(state, size); });
}
