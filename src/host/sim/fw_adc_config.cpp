// The ADC configuration block: read whole with request 0xD2, written whole with request 0xBE (both
// wValue 0, wIndex 0). A board starts with every byte 0: ranges 0 to 10 V, normal conversion, a scan of
// channel 0 alone, no oversampling.
#include <algorithm>

#include "host/sim/adc_config.h"
#include "host/sim/board.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

AdcConfig::AdcConfig(Board& board) : block_(board.product().adc_config_bytes, 0)
{
    board.on_control(Direction::in, kReqAdcReadBlock, [this](const ControlRequest&, std::span<uint8_t> data) {
        return ControlReply::ok(answer(data, block_.data(), block_.size()));
    });
    board.on_control(Direction::out, kReqAdcWriteBlock, [this](const ControlRequest&, std::span<uint8_t> data) {
        return ControlReply::ok(write(data.data(), static_cast<uint32_t>(data.size())));
    });
}

uint32_t AdcConfig::write(const uint8_t* data, uint32_t size)
{
    const uint32_t n = std::min<uint32_t>(size, static_cast<uint32_t>(block_.size()));
    std::copy_n(data, n, block_.begin());
    return n;
}

uint32_t AdcConfig::scan_start() const
{
    return (block_.size() > 20 ? (block_[20] & 0x0F) * 16u : 0u) + (block_[18] & 0x0Fu);
}

uint32_t AdcConfig::scan_end() const { return (block_.size() > 20 ? (block_[20] & 0xF0u) : 0u) + (block_[18] >> 4); }

namespace {

const RegisterFeature kAdcConfig{
    "adc-config", [](const Product& p) { return p.adc_config_bytes >= 20; },
    [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<AdcConfig>(b); }};

}  // namespace

}  // namespace korval::sim

extern "C" uint32_t KorvalSim_GetAdcConfig(KorvalSim* sim, uint32_t board, uint8_t* block, uint32_t capacity,
                                           uint32_t* size)
{
    using namespace korval::sim;
    if (block == nullptr && capacity > 0) return ERROR_INVALID_PARAMETER;
    return with_feature<AdcConfig>(
        sim, board,
        [&](const AdcConfig& config) -> uint32_t {
            const auto& bytes = config.block();
            std::copy_n(bytes.begin(), std::min<size_t>(capacity, bytes.size()), block);
            if (size != nullptr) *size = static_cast<uint32_t>(bytes.size());
            return ERROR_SUCCESS;
        },
        ERROR_INVALID_PARAMETER);
}

extern "C" uint32_t KorvalSim_SetAdcConfig(KorvalSim* sim, uint32_t board, const uint8_t* block, uint32_t size)
{
    using namespace korval::sim;
    if (block == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
    return with_feature<AdcConfig>(
        sim, board,
        [&](AdcConfig& config) -> uint32_t {
            if (size > config.block().size()) return ERROR_INVALID_PARAMETER;
            config.write(block, size);
            return ERROR_SUCCESS;
        },
        ERROR_INVALID_PARAMETER);
}
