// The offline word memory: one 16-bit word per 32-bit address (wValue the low half, wIndex the high
// half), written and read with request 0x50, low byte first. Unwritten words read 0xFFFF.
#include <map>

#include "host/sim/board.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

class OfflineWords final : public Feature {
public:
    explicit OfflineWords(Board& board)
    {
        board.on_control(Direction::out, kReqOfflineWord, [this](const ControlRequest& r, std::span<uint8_t> data) {
            if (data.size() < 2) return ControlReply::stalled();
            words_[address(r)] = static_cast<uint16_t>(data[0] | data[1] << 8);
            return ControlReply::ok(2);
        });
        board.on_control(Direction::in, kReqOfflineWord, [this](const ControlRequest& r, std::span<uint8_t> data) {
            const auto it = words_.find(address(r));
            const uint16_t word = it != words_.end() ? it->second : 0xFFFF;
            const uint8_t bytes[2] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8)};
            return ControlReply::ok(answer(data, bytes, sizeof bytes));
        });
    }

private:
    static uint32_t address(const ControlRequest& r) { return uint32_t{r.wIndex} << 16 | r.wValue; }
    std::map<uint32_t, uint16_t> words_;
};

const RegisterFeature kOfflineWords{
    "offline-words", [](const Product& p) { return p.known; },
    [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<OfflineWords>(b); }};

}  // namespace

}  // namespace korval::sim
