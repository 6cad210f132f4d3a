// The fast-scan setting of boards with the bulk analog input: request 0xD4 with wValue 0x1E and one
// data byte switches it on (1) or off (0). The board keeps the byte and counts the switches; in the
// fast setting the converter runs from the fast configuration block the library writes, which starts
// it on the board's own clock as soon as a sample count is announced.
#include "host/sim/board.h"
#include "host/sim/scan_clock.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {


class AdcFastScan final : public Feature {
public:
    explicit AdcFastScan(Board& board)
    {
        board.on_control(Direction::out, kReqAdcFastScan, [this](const ControlRequest& r, std::span<uint8_t> data) {
            // Other wValues name settings this firmware does not have.
            if (r.wValue != kAdcFastScanSetting || data.empty()) return ControlReply::stalled();
            on_ = data[0];
            ++switches_;
            return ControlReply::ok(1);
        });
    }

    uint32_t on_ = 0;
    uint32_t switches_ = 0;
};

const RegisterFeature kAdcFastScan{
    "adc-fast-scan", [](const Product& p) { return p.adc_inputs > 0; },
    [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<AdcFastScan>(b); }};

}  // namespace

bool fast_scan_on(Board& board)
{
    const AdcFastScan* f = board.feature<AdcFastScan>();
    return f != nullptr && f->on_ != 0;
}

}  // namespace korval::sim

extern "C" uint32_t KorvalSim_GetAdcFastScan(KorvalSim* sim, uint32_t board, uint32_t* on, uint32_t* switches)
{
    return korval::sim::with_feature<korval::sim::AdcFastScan>(sim, board, [&](korval::sim::AdcFastScan& f) {
        if (on != nullptr) *on = f.on_;
        if (switches != nullptr) *switches = f.switches_;
        return uint32_t{ERROR_SUCCESS};
    });
}
