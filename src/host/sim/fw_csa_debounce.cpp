// Input debouncing on the boards that have it (request 0x18): wIndex 0x0100 sets the debounce count
// (wValue), wIndex 0x0101 reads the debounce data, two bytes per digital port.
#include <algorithm>
#include <cstring>
#include <vector>

#include "host/sim/board.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

class CsaDebounce final : public Feature {
public:
    explicit CsaDebounce(Board& board) : data_(2 * board.product().dio_ports, 0)
    {
        board.on_control(
            Direction::out, kReqCsaDebounce,
            [this](const ControlRequest& r, std::span<uint8_t>) {
                counts_ = r.wValue;
                return ControlReply::ok(0);
            },
            kSelCsaDebounceSet);
        board.on_control(
            Direction::in, kReqCsaDebounce,
            [this](const ControlRequest&, std::span<uint8_t> room) {
                return ControlReply::ok(answer(room, data_.data(), data_.size()));
            },
            kSelCsaDebounceRead);
    }

    uint32_t counts() const { return counts_; }
    std::vector<uint8_t>& data() { return data_; }

private:
    uint32_t counts_ = 0;
    std::vector<uint8_t> data_;
};

const RegisterFeature kCsaDebounce{
    "csa-debounce", [](const Product& p) { return p.debounce; },
    [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<CsaDebounce>(b); }};

}  // namespace

}  // namespace korval::sim

extern "C" uint32_t KorvalSim_GetDebounceCounts(KorvalSim* sim, uint32_t board, uint32_t* counts)
{
    using namespace korval::sim;
    if (counts == nullptr) return ERROR_INVALID_PARAMETER;
    return with_feature<CsaDebounce>(sim, board, [&](const CsaDebounce& d) {
        *counts = d.counts();
        return ERROR_SUCCESS;
    });
}

extern "C" uint32_t KorvalSim_SetDebounceData(KorvalSim* sim, uint32_t board, const void* data, uint32_t size)
{
    using namespace korval::sim;
    if (data == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
    return with_feature<CsaDebounce>(sim, board, [&](CsaDebounce& d) -> uint32_t {
        if (size != d.data().size()) return ERROR_INVALID_PARAMETER;
        if (size > 0) std::memcpy(d.data().data(), data, size);
        return ERROR_SUCCESS;
    });
}
