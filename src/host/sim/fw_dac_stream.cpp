// The waveform player of the boards with streamed analog output. The host fills the board's sample
// buffer through bulk OUT endpoint 0x02 and controls the player with request 0xB0 (wValue 0x80: stop
// and empty the buffer, forgetting what was played; 0x01: start; 0x20 and 0x00: interlock on and off),
// 0xB1 (prepare) and 0xB2 (wIndex: the divisor of the point rate, 12 MHz / divisor points per second).
//
// Once started, the player takes one point per period of the point rate, in simulated time: the samples
// up to the one with the end-of-point bit (bit 13), or the board's eighth channel, the first sample going
// to channel 0. It records each channel's codes (bits 0-11), stops after the sample with the end-of-data
// bit (bit 15), and counts an underrun each time a point is due and no whole point is waiting (except
// before the first point after a start: the board then waits for its data); playing then goes on from
// the moment data arrives. A write waits while the buffer has no room for it, so a
// board that has stopped playing stops taking data, as a real one does.
//
// Time is evaluated lazily: every transfer and every look from a program first plays the points due
// by now, so the manual clock steps the player exactly.
#include <algorithm>
#include <deque>
#include <vector>

#include "host/sim/board.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

constexpr uint64_t kDefaultCapacity = 0x40000;  // holds the largest one-shot buffer the host sends
constexpr size_t kRecordLimit = 1u << 20;       // codes kept per channel
constexpr uint16_t kEndOfPoint = 0x2000;
constexpr uint16_t kEndOfData = 0x8000;

class DacStream final : public Feature {
public:
    explicit DacStream(Board& board) : board_(board), channels_(std::max<uint32_t>(board.product().dacs, 1)), played_(channels_)
    {
        board.on_control(Direction::out, kReqDacStreamControl, [this](const ControlRequest& r, std::span<uint8_t>) {
            advance();
            switch (r.wValue) {
                case 0x80:
                    reset();
                    break;
                case 0x01:
                    start();
                    break;
                case 0x20:
                    interlock_ = true;
                    break;
                case 0x00:
                    interlock_ = false;
                    break;
                default:
                    return ControlReply::stalled();
            }
            board_.notify();  // writes waiting for room look again
            return ControlReply::ok(0);
        });
        board.on_control(Direction::out, kReqDacStreamPrepare, [this](const ControlRequest&, std::span<uint8_t>) {
            ++prepares_;
            return ControlReply::ok(0);
        });
        board.on_control(Direction::out, kReqDacStreamDivisor, [this](const ControlRequest& r, std::span<uint8_t>) {
            if (r.wIndex == 0) return ControlReply::stalled();
            advance();
            // A new rate takes effect from now on.
            rebase(board_.now_ns());
            divisor_ = r.wIndex;
            return ControlReply::ok(0);
        });
        board.on_bulk_out(kEpOut, [this](std::span<const uint8_t> data) { return take(data); });
    }

    // Plays the points due by now.
    void advance()
    {
        if (!playing_ || starved_ || divisor_ == 0) return;
        const uint64_t now = board_.now_ns();
        const uint64_t due = now < base_ns_ ? 0 : (now - base_ns_) * 12 / 1000 / divisor_ + 1;
        while (playing_ && since_base_ < due) {
            if (!play_point()) {
                // A board started before its first data waits for it; once playing, running dry is an
                // underrun.
                if (points_ > run_start_points_) ++underruns_;
                starved_ = true;
                return;
            }
            ++since_base_;
        }
    }

    void set_capacity(uint64_t bytes) { capacity_ = bytes; }

    void state(KorvalSimDacStream& s) const
    {
        s.divisor = divisor_;
        s.playing = playing_ ? 1 : 0;
        s.starts = starts_;
        s.ended = ended_ ? 1 : 0;
        s.interlock = interlock_ ? 1 : 0;
        s.channels = widest_;
        s.resets = resets_;
        s.prepares = prepares_;
        s.points = points_;
        s.underruns = underruns_;
        s.bytes_received = received_;
        s.buffered = buffer_.size();
        s.capacity = capacity_;
    }

    uint32_t channels() const { return channels_; }
    const std::vector<uint16_t>& played(uint32_t channel) const { return played_[channel]; }

private:
    BulkReply take(std::span<const uint8_t> data)
    {
        advance();
        const bool fits = buffer_.size() + data.size() <= capacity_;
        // A transfer larger than the whole buffer goes in once the buffer is empty.
        const bool oversized = capacity_ > 0 && data.size() > capacity_ && buffer_.empty();
        if (!fits && !oversized) return BulkReply::wait(room_at(buffer_.size() + data.size() - capacity_));
        buffer_.insert(buffer_.end(), data.begin(), data.end());
        received_ += data.size();
        if (starved_) {
            starved_ = false;
            rebase(board_.now_ns());
        }
        return BulkReply::done(static_cast<uint32_t>(data.size()));
    }

    // When `bytes` more will have been played; none when the player will not free them by itself.
    std::optional<uint64_t> room_at(uint64_t bytes) const
    {
        if (!playing_ || starved_ || divisor_ == 0) return std::nullopt;
        uint64_t points = 0;
        size_t freed = 0;  // bytes of the points counted, which is where the next point starts
        while (freed < bytes) {
            const size_t samples = point_samples(freed);
            if (samples == 0) break;
            freed += 2 * samples;
            ++points;
        }
        // The point after the last one counted is the one that plays the freeing point; at least one.
        const uint64_t index = since_base_ + std::max<uint64_t>(points, 1) - 1;
        return base_ns_ + (index * divisor_ * 1000 + 11) / 12;
    }

    uint16_t sample_at(size_t byte) const
    {
        return static_cast<uint16_t>(buffer_[byte] | buffer_[byte + 1] << 8);
    }

    // The samples of the whole point starting at byte `at` of the buffer; 0 when it is not all there.
    size_t point_samples(size_t at) const
    {
        for (size_t n = 1; n <= channels_; ++n) {
            const size_t byte = at + 2 * (n - 1);
            if (byte + 2 > buffer_.size()) return 0;
            const uint16_t s = sample_at(byte);
            if ((s & (kEndOfPoint | kEndOfData)) != 0 || n == channels_) return n;
        }
        return 0;
    }

    bool play_point()
    {
        const size_t samples = point_samples(0);
        if (samples == 0) return false;
        bool end = false;
        for (size_t c = 0; c < samples; ++c) {
            const uint16_t s = sample_at(2 * c);
            if (played_[c].size() < kRecordLimit) played_[c].push_back(static_cast<uint16_t>(s & 0x0FFF));
            end = end || (s & kEndOfData) != 0;
        }
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(2 * samples));
        widest_ = std::max(widest_, static_cast<uint32_t>(samples));
        ++points_;
        if (end) {
            playing_ = false;
            ended_ = true;
        }
        return true;
    }

    void rebase(uint64_t now)
    {
        base_ns_ = now;
        since_base_ = 0;
    }

    void reset()
    {
        buffer_.clear();
        playing_ = ended_ = starved_ = false;
        for (auto& codes : played_) codes.clear();
        points_ = run_start_points_ = underruns_ = received_ = 0;
        widest_ = 0;
        ++resets_;
    }

    void start()
    {
        ++starts_;
        if (playing_) return;
        playing_ = true;
        ended_ = starved_ = false;
        run_start_points_ = points_;
        rebase(board_.now_ns());
        advance();  // the first point goes out at once
    }

    Board& board_;
    const uint32_t channels_;
    std::deque<uint8_t> buffer_;
    uint64_t capacity_ = kDefaultCapacity;
    uint32_t divisor_ = 0;
    bool playing_ = false;
    bool ended_ = false;
    bool starved_ = false;
    bool interlock_ = false;
    uint64_t base_ns_ = 0;     // when point 0 of the present run of points was due
    uint64_t since_base_ = 0;  // points played since then
    std::vector<std::vector<uint16_t>> played_;
    uint64_t points_ = 0;
    uint64_t run_start_points_ = 0;  // points_ when the present run was started
    uint64_t underruns_ = 0;
    uint64_t received_ = 0;
    uint32_t widest_ = 0;
    uint32_t starts_ = 0;
    uint32_t resets_ = 0;
    uint32_t prepares_ = 0;
};

const RegisterFeature kDacStream{
    "dac-stream", [](const Product& p) { return p.dac_stream; },
    [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<DacStream>(b); }};

}  // namespace

}  // namespace korval::sim

using korval::sim::DacStream;

extern "C" uint32_t KorvalSim_GetDacStream(KorvalSim* sim, uint32_t board, KorvalSimDacStream* state)
{
    if (state == nullptr) return ERROR_INVALID_PARAMETER;
    return korval::sim::with_feature<DacStream>(sim, board, [&](DacStream& player) {
        player.advance();
        *state = KorvalSimDacStream{};
        player.state(*state);
        return uint32_t{ERROR_SUCCESS};
    });
}

extern "C" uint32_t KorvalSim_GetDacPlayed(KorvalSim* sim, uint32_t board, uint32_t channel, uint32_t first,
                                           uint16_t* codes, uint32_t* count)
{
    if (count == nullptr || (codes == nullptr && *count > 0)) return ERROR_INVALID_PARAMETER;
    return korval::sim::with_feature<DacStream>(sim, board, [&](DacStream& player) {
        if (channel >= player.channels()) return uint32_t{ERROR_INVALID_PARAMETER};
        player.advance();
        const std::vector<uint16_t>& played = player.played(channel);
        const size_t from = std::min<size_t>(first, played.size());
        const size_t n = std::min<size_t>(*count, played.size() - from);
        std::copy_n(played.begin() + static_cast<std::ptrdiff_t>(from), n, codes);
        *count = static_cast<uint32_t>(n);
        return uint32_t{ERROR_SUCCESS};
    });
}

extern "C" uint32_t KorvalSim_SetDacStreamBuffer(KorvalSim* sim, uint32_t board, uint32_t bytes)
{
    return korval::sim::with_feature<DacStream>(sim, board, [&](DacStream& player) {
        player.advance();
        player.set_capacity(bytes);
        return uint32_t{ERROR_SUCCESS};
    });
}
