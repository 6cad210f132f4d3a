// The SPI bus of the streaming digital boards, seen as a register file: request 0xC0 writes the byte in
// wValue to a register, 0xC1 reads one back; wIndex names the device on the bus (high byte) and its
// register (low byte). Registers hold what was last written, 0 before.
#include <array>

#include "host/sim/board.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

class Spi final : public Feature {
public:
    explicit Spi(Board& board)
    {
        board.on_control(Direction::out, kReqSpiWrite, [this](const ControlRequest& r, std::span<uint8_t>) {
            registers_[r.wIndex] = static_cast<uint8_t>(r.wValue);
            return ControlReply::ok(0);
        });
        board.on_control(Direction::in, kReqSpiRead, [this](const ControlRequest& r, std::span<uint8_t> data) {
            return ControlReply::ok(answer(data, &registers_[r.wIndex], 1));
        });
    }

    uint8_t& reg(uint32_t address, uint32_t reg) { return registers_[address << 8 | reg]; }

private:
    std::array<uint8_t, 0x10000> registers_{};
};

const RegisterFeature kSpi{"spi", [](const Product& p) { return p.spi; },
                           [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<Spi>(b); }};

template <class Fn>
uint32_t with_spi_register(KorvalSim* sim, uint32_t board, uint32_t address, uint32_t reg, Fn&& fn)
{
    if (address > 0xFF || reg > 0xFF) return ERROR_INVALID_PARAMETER;
    return with_feature<Spi>(sim, board, [&](Spi& spi) {
        fn(spi.reg(address, reg));
        return ERROR_SUCCESS;
    });
}

}  // namespace

}  // namespace korval::sim

extern "C" uint32_t KorvalSim_GetSpiRegister(KorvalSim* sim, uint32_t board, uint32_t address, uint32_t reg,
                                             uint8_t* value)
{
    if (value == nullptr) return ERROR_INVALID_PARAMETER;
    return korval::sim::with_spi_register(sim, board, address, reg, [&](uint8_t& r) { *value = r; });
}

extern "C" uint32_t KorvalSim_SetSpiRegister(KorvalSim* sim, uint32_t board, uint32_t address, uint32_t reg,
                                             uint8_t value)
{
    return korval::sim::with_spi_register(sim, board, address, reg, [&](uint8_t& r) { r = value; });
}
