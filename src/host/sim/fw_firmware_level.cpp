// The firmware's feature-level query (request 0xA3, wValue 0x8000, wIndex 1): three bytes that tell
// whether the firmware has the newer feature set (defaults, automap, PWM, latches, tick rate).
#include <algorithm>
#include <cstring>

#include "host/sim/board.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

class FirmwareLevel final : public Feature {
public:
    explicit FirmwareLevel(Board& board)
    {
        board.on_control(Direction::in, kReqFirmwareLevel, [this](const ControlRequest& r, std::span<uint8_t> data) {
            if (r.wValue != 0x8000 || r.wIndex != 1) return ControlReply::stalled();
            return ControlReply::ok(answer(data, reply_, sizeof reply_));
        });
    }

    void set_reply(const uint8_t reply[3]) { std::memcpy(reply_, reply, sizeof reply_); }

private:
    uint8_t reply_[3] = {0x03, 0x00, 0x02};  // version 3, newer feature set
};

const RegisterFeature kFirmwareLevel{
    "firmware-level", [](const Product&) { return true; },
    [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<FirmwareLevel>(b); }};

}  // namespace

}  // namespace korval::sim

extern "C" uint32_t KorvalSim_SetFirmwareLevel(KorvalSim* sim, uint32_t board, const uint8_t reply[3])
{
    using namespace korval::sim;
    if (reply == nullptr) return ERROR_INVALID_PARAMETER;
    return with_feature<FirmwareLevel>(sim, board, [&](FirmwareLevel& f) {
        f.set_reply(reply);
        return ERROR_SUCCESS;
    });
}
