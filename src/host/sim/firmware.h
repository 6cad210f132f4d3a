// The firmware model of a simulated board is a set of features. Each feature lives in one file
// (fw_*.cpp): a class holding the feature's state, which registers the control requests it answers and
// the bulk endpoints it serves with its board, plus a registration saying which products have it.
// Adding a feature to the model is adding a file; the board core, the log, the faults and the host
// stay as they are.
//
//     class Eeprom final : public Feature {
//     public:
//         explicit Eeprom(Board& board) { board.on_control(Direction::in, 0xA2, [this](...) {...}); }
//     };
//     const RegisterFeature kEeprom{"eeprom", [](const Product&) { return true; },
//                                   [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<Eeprom>(b); }};
//
// Handlers run under the board's lock, one at a time per board; they change their feature's state
// freely and must not call back into the board's locking functions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "host/sim/catalog.h"

namespace korval::sim {

class Board;

enum class Direction { out, in };  // host-to-device, device-to-host

struct ControlRequest {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;

    Direction direction() const { return (bmRequestType & 0x80) != 0 ? Direction::in : Direction::out; }
};

// What a control handler answers: the data-stage bytes it produced (IN) or took (OUT), or a stall,
// which the host reports as a failed transfer (ERROR_GEN_FAILURE), as a board that does not know a
// request does.
struct ControlReply {
    bool stall = false;
    uint32_t length = 0;

    static ControlReply ok(uint32_t length) { return {false, length}; }
    static ControlReply stalled() { return {true, 0}; }
};

// IN: `data` is the room the host gave (at most wLength bytes); write the answer there.
// OUT: `data` holds the data stage the host sent.
using ControlHandler = std::function<ControlReply(const ControlRequest&, std::span<uint8_t> data)>;

// What a bulk handler answers: bytes moved, "nothing yet" (the transfer waits and the handler is asked
// again when the board changes, the clock passes `wake_at_ns`, or the transfer is cancelled), or a stall.
struct BulkReply {
    enum class Kind { done, wait, stall } kind = Kind::done;
    uint32_t length = 0;
    std::optional<uint64_t> wake_at_ns;  // simulated time; none: only a change of the board wakes it

    static BulkReply done(uint32_t length) { return {Kind::done, length, std::nullopt}; }
    static BulkReply wait(std::optional<uint64_t> wake_at_ns = std::nullopt) { return {Kind::wait, 0, wake_at_ns}; }
    static BulkReply stalled() { return {Kind::stall, 0, std::nullopt}; }
};

// Copies an answer into the room an IN request gave, as much as fits; the count for ControlReply::ok.
inline uint32_t answer(std::span<uint8_t> room, const void* bytes, size_t size)
{
    const size_t n = size < room.size() ? size : room.size();
    for (size_t i = 0; i < n; ++i) room[i] = static_cast<const uint8_t*>(bytes)[i];
    return static_cast<uint32_t>(n);
}

// Handlers of OUT requests that only keep what the host sends: a block of at most `limit` bytes kept
// as it came (a longer one stalls), or a single byte (an empty data stage stalls). The storage belongs
// to the feature that registers the handler and lives as long as it.
inline ControlHandler keep_block(std::vector<uint8_t>& block, size_t limit)
{
    return [&block, limit](const ControlRequest&, std::span<uint8_t> data) {
        if (data.size() > limit) return ControlReply::stalled();
        block.assign(data.begin(), data.end());
        return ControlReply::ok(static_cast<uint32_t>(data.size()));
    };
}
inline ControlHandler keep_byte(uint8_t& value)
{
    return [&value](const ControlRequest&, std::span<uint8_t> data) {
        if (data.empty()) return ControlReply::stalled();
        value = data[0];
        return ControlReply::ok(1);
    };
}

using BulkInHandler = std::function<BulkReply(std::span<uint8_t> buffer)>;
using BulkOutHandler = std::function<BulkReply(std::span<const uint8_t> data)>;

class Feature {
public:
    virtual ~Feature() = default;
};

struct FeatureRegistration {
    const char* name;
    bool (*present)(const Product& product);
    std::unique_ptr<Feature> (*create)(Board& board);
};

// All features of the model, in registration order.
const std::vector<FeatureRegistration>& registered_features();

// A static RegisterFeature in a feature's file adds it to the model.
struct RegisterFeature {
    RegisterFeature(const char* name, bool (*present)(const Product&), std::unique_ptr<Feature> (*create)(Board&));
};

}  // namespace korval::sim
