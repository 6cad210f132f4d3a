// Power-on defaults, a feature of the newer firmware (request 0x3C): save the present state as the
// defaults (wIndex 0x10), restore the factory defaults (0x11), write the defaults table (0x22) and read
// it (0x20). The three requests that change the defaults need the access code 0x4E9B in wValue; a board
// stalls them without it. The table is at most 1,024 bytes and is kept as sent.
#include <algorithm>
#include <cstring>
#include <vector>

#include "host/sim/board.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

constexpr size_t kTableLimit = 1024;

class Defaults final : public Feature {
public:
    explicit Defaults(Board& board)
    {
        board.on_control(Direction::out, kReqNewerFunction, guarded([this](std::span<uint8_t>) {
                             ++saves_;
                             return 0u;
                         }),
                         kSelSaveDefaults);
        board.on_control(Direction::out, kReqNewerFunction, guarded([this](std::span<uint8_t>) {
                             ++restores_;
                             table_.clear();
                             return 0u;
                         }),
                         kSelRestoreDefaults);
        board.on_control(Direction::out, kReqNewerFunction, guarded([this](std::span<uint8_t> data) {
                             table_.assign(data.begin(), data.begin() + std::min(data.size(), kTableLimit));
                             return static_cast<uint32_t>(table_.size());
                         }),
                         kSelWriteDefaults);
        board.on_control(
            Direction::in, kReqNewerFunction,
            [this](const ControlRequest&, std::span<uint8_t> data) {
                return ControlReply::ok(answer(data, table_.data(), table_.size()));
            },
            kSelReadDefaults);
    }

    const std::vector<uint8_t>& table() const { return table_; }
    uint32_t saves() const { return saves_; }
    uint32_t restores() const { return restores_; }

private:
    // A handler for a request that changes the defaults: stalled unless wValue holds the access code.
    template <class Fn>
    static ControlHandler guarded(Fn fn)
    {
        return [fn](const ControlRequest& r, std::span<uint8_t> data) {
            if (r.wValue != kDefaultsAccessCode) return ControlReply::stalled();
            return ControlReply::ok(fn(data));
        };
    }

    std::vector<uint8_t> table_;
    uint32_t saves_ = 0;
    uint32_t restores_ = 0;
};

const RegisterFeature kDefaults{"defaults", [](const Product& p) { return p.known; },
                                [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<Defaults>(b); }};

}  // namespace

}  // namespace korval::sim

extern "C" uint32_t KorvalSim_GetDefaults(KorvalSim* sim, uint32_t board, void* table, uint32_t* table_size,
                                          uint32_t* saves, uint32_t* restores)
{
    using namespace korval::sim;
    if (table_size == nullptr || (table == nullptr && *table_size > 0)) return ERROR_INVALID_PARAMETER;
    return with_feature<Defaults>(sim, board, [&](const Defaults& d) -> uint32_t {
        const size_t n = std::min<size_t>(*table_size, d.table().size());
        if (n > 0) std::memcpy(table, d.table().data(), n);
        *table_size = static_cast<uint32_t>(d.table().size());
        if (saves != nullptr) *saves = d.saves();
        if (restores != nullptr) *restores = d.restores();
        return ERROR_SUCCESS;
    });
}
