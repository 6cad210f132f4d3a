// The data stage of the multi-channel DAC write. Channels go in groups of eight; group g (channels 8g
// to 8g + 7) takes 17 bytes: a presence mask (bit k: channel 8g + k is written), then eight 16-bit
// little-endian values, 0 for the channels not written. The block holds the groups up to the one of the
// highest channel written, so channel c's value stands at byte c/8 + 2c + 1 and its mask bit is bit c%8
// of byte 17 * (c/8).
#pragma once

#include <cstdint>
#include <vector>

namespace korval::dac {

inline constexpr uint32_t kPairSize = 4;    // channel, value: 16 bits each, little-endian
inline constexpr uint32_t kGroupSize = 17;  // mask byte and eight values

class MultiBlock {
public:
    // Room for every group of a board with `channels` immediate DACs; all bytes 0.
    explicit MultiBlock(uint32_t channels) : channels_(channels), bytes_((channels + 7) / 8 * kGroupSize, 0) {}

    // Puts a channel's value in its place and marks it present; a later value for the same channel
    // replaces the earlier one. False, and nothing changed, for a channel the board does not have.
    bool set(uint16_t channel, uint16_t value)
    {
        if (channel >= channels_) return false;
        const uint32_t group = channel / 8u;
        bytes_[group * kGroupSize] |= static_cast<uint8_t>(1u << (channel % 8u));
        const uint32_t at = group + 2u * channel + 1u;
        bytes_[at] = static_cast<uint8_t>(value);
        bytes_[at + 1] = static_cast<uint8_t>(value >> 8);
        if (channel > highest_) highest_ = channel;
        return true;
    }

    // The block as sent: the groups up to the highest channel set (one group when none was set).
    const uint8_t* data() const { return bytes_.data(); }
    uint32_t size() const { return (highest_ / 8u + 1u) * kGroupSize; }

private:
    uint32_t channels_;
    uint32_t highest_ = 0;
    std::vector<uint8_t> bytes_;
};

}  // namespace korval::dac
