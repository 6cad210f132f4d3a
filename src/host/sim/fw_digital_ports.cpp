// Digital ports: output latches, the direction mask, tristate control and the levels outside the board.
//
//   0x10 OUT  output latches, port 0 first
//   0x11 IN   port levels, port 0 first
//   0x12 OUT  configuration: wIndex 0 the old form (latches, direction mask, as many zero bytes; wValue
//             non-zero floats every output), wIndex = port count the extended form (latches, direction
//             mask, tristate mask)
//   0x13 IN   direction mask then tristate mask
//
// A set direction bit makes its port an output (or its line, on a product with one direction bit per
// line). Tristate bits each float an equal share of the ports, in order. A port reads back what it
// drives on its output lines and the outside level on the others (lines floating or set as inputs).
// Outside levels start high, as pulled-up inputs read, and are set with KorvalSim_SetDigitalInputs.
#include <algorithm>
#include <cstring>
#include <vector>

#include "host/sim/board.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

class DigitalPorts final : public Feature {
public:
    explicit DigitalPorts(Board& board)
        : ports_(board.product().dio_ports),
          direction_bits_(board.product().direction_bits),
          tristate_bits_(board.product().tristate_bits),
          latches_(ports_, 0),
          direction_((direction_bits_ + 7) / 8, 0),
          tristate_((tristate_bits_ + 7) / 8, 0),
          inputs_(ports_, 0xFF)
    {
        board.on_control(Direction::out, kReqDioWrite, [this](const ControlRequest&, std::span<uint8_t> data) {
            const size_t n = std::min(data.size(), latches_.size());
            std::copy_n(data.begin(), n, latches_.begin());
            return ControlReply::ok(static_cast<uint32_t>(n));
        });
        board.on_control(Direction::in, kReqDioRead, [this](const ControlRequest&, std::span<uint8_t> data) {
            const std::vector<uint8_t> now = levels();
            return ControlReply::ok(answer(data, now.data(), now.size()));
        });
        board.on_control(Direction::out, kReqDioConfigure, [this](const ControlRequest& r, std::span<uint8_t> data) {
            return configure(r, data) ? ControlReply::ok(static_cast<uint32_t>(data.size())) : ControlReply::stalled();
        });
        board.on_control(Direction::in, kReqDioQuery, [this](const ControlRequest&, std::span<uint8_t> data) {
            std::vector<uint8_t> masks = direction_;
            for (size_t i = 0; i < tristate_.size(); ++i)
                masks.push_back(all_floating_ ? tristate_byte_all(i) : tristate_[i]);
            return ControlReply::ok(answer(data, masks.data(), masks.size()));
        });
    }

    std::vector<uint8_t> levels() const
    {
        std::vector<uint8_t> out(ports_);
        for (uint32_t p = 0; p < ports_; ++p) {
            const uint8_t driven = driven_lines(p);
            out[p] = static_cast<uint8_t>((latches_[p] & driven) | (inputs_[p] & ~driven));
        }
        return out;
    }

    void state(KorvalSimDigitalState& s) const
    {
        s = {};
        s.ports = ports_;
        s.direction_bytes = static_cast<uint32_t>(direction_.size());
        s.tristate_bytes = static_cast<uint32_t>(tristate_.size());
        s.outputs_floating = all_floating_ ? 1 : 0;
        const std::vector<uint8_t> now = levels();
        std::copy(latches_.begin(), latches_.end(), s.outputs);
        std::copy(direction_.begin(), direction_.end(), s.direction);
        std::copy(tristate_.begin(), tristate_.end(), s.tristate);
        std::copy(inputs_.begin(), inputs_.end(), s.inputs);
        std::copy(now.begin(), now.end(), s.levels);
    }

    uint32_t ports() const { return ports_; }
    void set_inputs(const uint8_t* levels, uint32_t count) { std::copy_n(levels, count, inputs_.begin()); }

private:
    bool configure(const ControlRequest& r, std::span<uint8_t> data)
    {
        const size_t d = ports_;
        const size_t m = direction_.size();
        const size_t t = tristate_.size();
        if (r.wIndex == 0) {  // old form
            if (data.size() < d + 2 * m) return false;
            all_floating_ = r.wValue != 0;
            std::fill(tristate_.begin(), tristate_.end(), 0);
        } else if (r.wIndex == d) {  // extended form
            if (data.size() < d + m + t) return false;
            all_floating_ = false;
            std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(d + m), t, tristate_.begin());
        } else {
            return false;
        }
        std::copy_n(data.begin(), d, latches_.begin());
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(d), m, direction_.begin());
        return true;
    }

    bool bit(const std::vector<uint8_t>& mask, uint32_t n) const
    {
        return n / 8 < mask.size() && ((mask[n / 8] >> (n % 8)) & 1) != 0;
    }

    uint8_t tristate_byte_all(size_t i) const
    {
        const uint32_t bits_here = std::min<uint32_t>(8, tristate_bits_ - static_cast<uint32_t>(i) * 8);
        return static_cast<uint8_t>((1u << bits_here) - 1);
    }

    bool floating(uint32_t port) const
    {
        if (all_floating_) return true;
        if (tristate_bits_ == 0) return false;
        const uint32_t ports_per_bit = (ports_ + tristate_bits_ - 1) / tristate_bits_;
        return bit(tristate_, port / ports_per_bit);
    }

    // The lines of a port that the board drives.
    uint8_t driven_lines(uint32_t port) const
    {
        if (floating(port)) return 0;
        if (direction_bits_ >= ports_ * 8) {  // one bit per line
            return direction_[port];
        }
        return bit(direction_, port) ? 0xFF : 0x00;
    }

    const uint32_t ports_;
    const uint32_t direction_bits_;
    const uint32_t tristate_bits_;
    std::vector<uint8_t> latches_;
    std::vector<uint8_t> direction_;
    std::vector<uint8_t> tristate_;
    std::vector<uint8_t> inputs_;
    bool all_floating_ = false;
};

const RegisterFeature kDigitalPorts{
    "digital-ports", [](const Product& p) { return p.dio_ports > 0; },
    [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<DigitalPorts>(b); }};

}  // namespace

}  // namespace korval::sim

extern "C" uint32_t KorvalSim_GetDigitalState(KorvalSim* sim, uint32_t board, KorvalSimDigitalState* state)
{
    using namespace korval::sim;
    if (state == nullptr) return ERROR_INVALID_PARAMETER;
    return with_feature<DigitalPorts>(
        sim, board,
        [&](const DigitalPorts& ports) {
            ports.state(*state);
            return ERROR_SUCCESS;
        },
        ERROR_INVALID_PARAMETER);
}

extern "C" uint32_t KorvalSim_SetDigitalInputs(KorvalSim* sim, uint32_t board, const uint8_t* levels, uint32_t count)
{
    using namespace korval::sim;
    if (levels == nullptr && count > 0) return ERROR_INVALID_PARAMETER;
    return with_feature<DigitalPorts>(
        sim, board,
        [&](DigitalPorts& ports) -> uint32_t {
            if (count > ports.ports()) return ERROR_INVALID_PARAMETER;
            ports.set_inputs(levels, count);
            return ERROR_SUCCESS;
        },
        ERROR_INVALID_PARAMETER);
}
