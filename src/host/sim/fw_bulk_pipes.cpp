// The bulk endpoint FIFOs (bulk_pipes.h) and their C API.
#include <algorithm>

#include "host/sim/board.h"
#include "host/sim/bulk_pipes.h"
#include "host/sim/simulation.h"

namespace korval::sim {

BulkPipes::BulkPipes(Board& board) : board_(board)
{
    for (const Endpoint& e : board.product().endpoints) {
        if (e.type != 2) continue;
        if ((e.address & 0x80) != 0) {
            InFifo& fifo = in_[e.address];
            board.on_bulk_in(e.address, [this, &fifo](std::span<uint8_t> buffer) { return read(fifo, buffer); });
        } else if (e.address == 0x02 && board.product().dac_stream) {
            continue;  // the waveform player takes these bytes (fw_dac_stream.cpp)
        } else {
            OutCapture& capture = out_[e.address];
            board.on_bulk_out(e.address,
                              [this, &capture](std::span<const uint8_t> data) { return write(capture, data); });
        }
    }
}

BulkReply BulkPipes::read(InFifo& fifo, std::span<uint8_t> buffer)
{
    if (buffer.empty()) return BulkReply::done(0);
    // Waiting data first; a read that finds less than it asked for ends with what there is, as a short
    // packet ends a bulk transfer.
    if (!fifo.data.empty()) {
        const size_t n = std::min(buffer.size(), fifo.data.size());
        std::copy_n(fifo.data.begin(), n, buffer.begin());
        fifo.data.erase(fifo.data.begin(), fifo.data.begin() + static_cast<std::ptrdiff_t>(n));
        return BulkReply::done(static_cast<uint32_t>(n));
    }
    if (!fifo.pattern.empty()) {
        for (uint8_t& byte : buffer) {
            byte = fifo.pattern[fifo.pattern_at];
            fifo.pattern_at = (fifo.pattern_at + 1) % fifo.pattern.size();
        }
        return BulkReply::done(static_cast<uint32_t>(buffer.size()));
    }
    if (fifo.source) return fifo.source(buffer);
    // Nothing to send: the transfer waits until data is fed, the host cancels, or the board goes.
    return BulkReply::wait();
}

BulkReply BulkPipes::write(OutCapture& capture, std::span<const uint8_t> data)
{
    if (capture.sink) return capture.sink(data);
    capture.data.insert(capture.data.end(), data.begin(), data.end());
    if (capture.data.size() > kCaptureLimit) {
        const size_t excess = capture.data.size() - kCaptureLimit;
        capture.data.erase(capture.data.begin(), capture.data.begin() + static_cast<std::ptrdiff_t>(excess));
        capture.dropped += excess;
    }
    return BulkReply::done(static_cast<uint32_t>(data.size()));
}

void BulkPipes::feed(uint8_t endpoint, std::span<const uint8_t> bytes)
{
    InFifo& fifo = in_.at(endpoint);
    fifo.data.insert(fifo.data.end(), bytes.begin(), bytes.end());
    board_.notify();
}

void BulkPipes::set_pattern(uint8_t endpoint, std::span<const uint8_t> bytes)
{
    InFifo& fifo = in_.at(endpoint);
    fifo.pattern.assign(bytes.begin(), bytes.end());
    fifo.pattern_at = 0;
    board_.notify();
}

uint64_t BulkPipes::pending_in(uint8_t endpoint) const { return in_.at(endpoint).data.size(); }

void BulkPipes::clear_in()
{
    for (auto& [endpoint, fifo] : in_) fifo.data.clear();
}

uint32_t BulkPipes::take_out(uint8_t endpoint, std::span<uint8_t> room)
{
    OutCapture& capture = out_.at(endpoint);
    const size_t n = std::min(room.size(), capture.data.size());
    std::copy_n(capture.data.begin(), n, room.begin());
    capture.data.erase(capture.data.begin(), capture.data.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<uint32_t>(n);
}

void BulkPipes::set_source(uint8_t endpoint, Source source)
{
    in_.at(endpoint).source = std::move(source);
    board_.notify();
}

void BulkPipes::set_sink(uint8_t endpoint, Sink sink)
{
    out_.at(endpoint).sink = std::move(sink);
    board_.notify();
}

uint64_t BulkPipes::pending_out(uint8_t endpoint) const { return out_.at(endpoint).data.size(); }
uint64_t BulkPipes::dropped_out(uint8_t endpoint) const { return out_.at(endpoint).dropped; }

namespace {

const RegisterFeature kBulkPipes{
    "bulk-pipes", [](const Product& p) { return !p.endpoints.empty(); },
    [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<BulkPipes>(b); }};

}  // namespace

}  // namespace korval::sim

using korval::sim::BulkPipes;

namespace {

// Runs fn(pipes) for a board that has the endpoint in the wanted direction; 87 otherwise.
template <class Fn>
uint32_t with_pipe(KorvalSim* sim, uint32_t board, uint32_t endpoint, bool in, Fn&& fn)
{
    if (endpoint > 0xFF || ((endpoint & 0x80) != 0) != in) return ERROR_INVALID_PARAMETER;
    const auto address = static_cast<uint8_t>(endpoint);
    return korval::sim::with_feature<BulkPipes>(
        sim, board,
        [&](BulkPipes& pipes) -> uint32_t {
            if (!(in ? pipes.has_in(address) : pipes.has_out(address))) return ERROR_INVALID_PARAMETER;
            return fn(pipes, address);
        },
        ERROR_INVALID_PARAMETER);
}

}  // namespace

extern "C" uint32_t KorvalSim_FeedBulkIn(KorvalSim* sim, uint32_t board, uint32_t endpoint, const void* data,
                                         uint32_t size)
{
    if (data == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
    return with_pipe(sim, board, endpoint, true, [&](BulkPipes& p, uint8_t e) {
        p.feed(e, {static_cast<const uint8_t*>(data), size});
        return uint32_t{ERROR_SUCCESS};
    });
}

extern "C" uint32_t KorvalSim_SetBulkInPattern(KorvalSim* sim, uint32_t board, uint32_t endpoint, const void* data,
                                               uint32_t size)
{
    if (data == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
    return with_pipe(sim, board, endpoint, true, [&](BulkPipes& p, uint8_t e) {
        p.set_pattern(e, {static_cast<const uint8_t*>(data), size});
        return uint32_t{ERROR_SUCCESS};
    });
}

extern "C" uint32_t KorvalSim_BulkInPending(KorvalSim* sim, uint32_t board, uint32_t endpoint, uint64_t* bytes)
{
    if (bytes == nullptr) return ERROR_INVALID_PARAMETER;
    return with_pipe(sim, board, endpoint, true, [&](BulkPipes& p, uint8_t e) {
        *bytes = p.pending_in(e);
        return uint32_t{ERROR_SUCCESS};
    });
}

extern "C" uint32_t KorvalSim_ReadBulkOut(KorvalSim* sim, uint32_t board, uint32_t endpoint, void* data,
                                          uint32_t capacity, uint32_t* size, uint64_t* remaining)
{
    if (data == nullptr && capacity > 0) return ERROR_INVALID_PARAMETER;
    return with_pipe(sim, board, endpoint, false, [&](BulkPipes& p, uint8_t e) {
        const uint32_t n = p.take_out(e, {static_cast<uint8_t*>(data), capacity});
        if (size != nullptr) *size = n;
        if (remaining != nullptr) *remaining = p.pending_out(e);
        return uint32_t{ERROR_SUCCESS};
    });
}
