// The board's bulk endpoint FIFOs, shared by the firmware features that stream.
//
// Each bulk IN endpoint of the product has a FIFO of bytes waiting for the host; each bulk OUT endpoint
// keeps what the host sent until someone takes it. Features that produce data (samples, digital input
// frames, gate events) push into an IN FIFO; features that consume data (waveforms, calibration tables)
// take from an OUT capture. Programs feed and drain them directly through the KorvalSim_ functions.
// An IN endpoint may also have a repeating pattern, which stands for a source that never runs dry.
//
// Reached from other features under the board's lock as board.feature<BulkPipes>().
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <span>
#include <vector>

#include "host/sim/firmware.h"

namespace korval::sim {

class BulkPipes final : public Feature {
public:
    explicit BulkPipes(Board& board);

    bool has_in(uint8_t endpoint) const { return in_.count(endpoint) != 0; }
    bool has_out(uint8_t endpoint) const { return out_.count(endpoint) != 0; }

    // Appends bytes for the host to read from an IN endpoint.
    void feed(uint8_t endpoint, std::span<const uint8_t> bytes);
    // The bytes sent once the FIFO is empty, over and over; empty: a read waits for data instead.
    void set_pattern(uint8_t endpoint, std::span<const uint8_t> bytes);
    // A producer asked for data once the FIFO is empty and no pattern is set (the sampling ADC); its
    // reply is the read's. Set by the feature that produces, under the board's lock.
    void set_source(uint8_t endpoint, BulkInHandler source);
    uint64_t pending_in(uint8_t endpoint) const;
    // Drops the data waiting in every IN FIFO (the repeating patterns stay).
    void clear_in();

    // Takes up to `room.size()` of the oldest bytes the host sent to an OUT endpoint; the count taken.
    uint32_t take_out(uint8_t endpoint, std::span<uint8_t> room);
    uint64_t pending_out(uint8_t endpoint) const;
    // Bytes dropped from a full capture (the oldest go first).
    uint64_t dropped_out(uint8_t endpoint) const;

    // At most this many bytes are kept per OUT endpoint.
    static constexpr uint64_t kCaptureLimit = 64ull << 20;

private:
    struct InFifo {
        std::deque<uint8_t> data;
        std::vector<uint8_t> pattern;
        size_t pattern_at = 0;
        BulkInHandler source;
    };
    struct OutCapture {
        std::deque<uint8_t> data;
        uint64_t dropped = 0;
    };
    BulkReply read(InFifo& fifo, std::span<uint8_t> buffer);
    BulkReply write(OutCapture& capture, std::span<const uint8_t> data);

    Board& board_;
    std::map<uint8_t, InFifo> in_;
    std::map<uint8_t, OutCapture> out_;
};

}  // namespace korval::sim
