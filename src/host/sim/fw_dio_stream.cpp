// Digital streaming: two programmable oscillators and a stream of 16-bit points in one direction.
//   0xBC OUT  open the stream from the board (bulk IN 0x86), paced by clock A
//   0xBB OUT  open the stream to the board (bulk OUT 0x02), paced by clock B
//   0xBD OUT  5 bytes: flags (bit 0 clock B off, bit 1 clock A off), clock word B, clock word A, each
//             high byte first; a word is octave << 12 | offset << 2 and makes 2078 x 2^octave /
//             (2 - offset / 1024) Hz
// Points are taken and put out one per clock tick in simulated time. The stream's FIFOs sit behind the
// board's bulk endpoints (BulkPipes): points a program feeds to 0x86 directly still come first.
#include <algorithm>
#include <cmath>
#include <deque>
#include <optional>
#include <vector>

#include "host/sim/board.h"
#include "host/sim/bulk_pipes.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

constexpr uint64_t kFifoPoints = 1u << 20;
constexpr uint64_t kRecordPoints = 16u << 20;
constexpr double kNsPerSecond = 1e9;

double oscillator_hz(uint16_t word)
{
    const int octave = word >> 12;
    const double offset = (word >> 2) & 0x3FF;
    return std::ldexp(2078.0, octave) / (2 - offset / 1024);
}

// Ticks of a clock counted from an anchor time, so that a rate change starts a new count.
struct Ticks {
    double hz = 0;
    uint64_t anchor_ns = 0;
    uint64_t used = 0;  // ticks since the anchor already spent

    uint64_t since_anchor(uint64_t now_ns) const
    {
        if (hz <= 0 || now_ns <= anchor_ns) return 0;
        return static_cast<uint64_t>(std::floor(static_cast<double>(now_ns - anchor_ns) * hz / kNsPerSecond));
    }
    uint64_t due(uint64_t now_ns) const { return since_anchor(now_ns) - std::min(used, since_anchor(now_ns)); }
    // The simulated time at which `more` further ticks will be due; none when the clock is off.
    std::optional<uint64_t> time_of(uint64_t more) const
    {
        if (hz <= 0) return std::nullopt;
        return anchor_ns + static_cast<uint64_t>(std::ceil(static_cast<double>(used + more) * kNsPerSecond / hz));
    }
    void restart(uint64_t now_ns, double new_hz)
    {
        hz = new_hz;
        anchor_ns = now_ns;
        used = 0;
    }
};

class DigitalStream final : public Feature {
public:
    explicit DigitalStream(Board& board) : board_(board)
    {
        board.on_control(Direction::out, kReqDioStreamRead, [this](const ControlRequest&, std::span<uint8_t>) {
            open(KORVAL_SIM_STREAM_FROM_BOARD);
            return ControlReply::ok(0);
        });
        board.on_control(Direction::out, kReqDioStreamWrite, [this](const ControlRequest&, std::span<uint8_t>) {
            open(KORVAL_SIM_STREAM_TO_BOARD);
            return ControlReply::ok(0);
        });
        board.on_control(Direction::out, kReqDioStreamClocks, [this](const ControlRequest&, std::span<uint8_t> data) {
            if (data.size() != 5) return ControlReply::stalled();
            catch_up();
            const uint64_t now = board_.now_ns();
            state_.clock_flags = data[0];
            state_.clock_b_word = static_cast<uint16_t>(data[1] << 8 | data[2]);
            state_.clock_a_word = static_cast<uint16_t>(data[3] << 8 | data[4]);
            state_.clock_b_hz = (data[0] & 1) != 0 ? 0.0 : oscillator_hz(static_cast<uint16_t>(state_.clock_b_word));
            state_.clock_a_hz = (data[0] & 2) != 0 ? 0.0 : oscillator_hz(static_cast<uint16_t>(state_.clock_a_word));
            taking_.restart(now, state_.clock_a_hz);
            putting_.restart(now, state_.clock_b_hz);
            return ControlReply::ok(5);
        });
    }

    // ---- For the simulation's C API, under the board's lock ----

    uint32_t describe(KorvalSimDigitalStream& state)
    {
        catch_up();
        state = state_;
        state.points_queued = queued_.size();
        return ERROR_SUCCESS;
    }

    uint32_t set_input(const uint16_t* points, uint32_t count)
    {
        catch_up();
        input_.assign(points, points + count);
        return ERROR_SUCCESS;
    }

    uint32_t read_output(uint16_t* points, uint32_t capacity, uint32_t* count)
    {
        catch_up();
        const size_t n = std::min<size_t>(capacity, record_.size());
        std::copy_n(record_.begin(), n, points);
        record_.erase(record_.begin(), record_.begin() + static_cast<std::ptrdiff_t>(n));
        if (count != nullptr) *count = static_cast<uint32_t>(n);
        return ERROR_SUCCESS;
    }

private:
    void open(uint32_t direction)
    {
        catch_up();
        state_.direction = direction;
        taken_ = 0;
        waiting_for_ = 0;
        queued_.clear();
        const uint64_t now = board_.now_ns();
        taking_.restart(now, state_.clock_a_hz);
        putting_.restart(now, state_.clock_b_hz);
        // The pipes are shared with other firmware modes (the ADC's samples and calibration tables):
        // opening a stream takes them over.
        if (BulkPipes* pipes = board_.feature<BulkPipes>(); pipes != nullptr) {
            pipes->set_source(kEpIn, [this](std::span<uint8_t> buffer) { return read(buffer); });
            pipes->set_sink(kEpOut, [this](std::span<const uint8_t> data) { return write(data); });
        }
    }

    // Takes and puts out the points whose clock ticks have come.
    void catch_up()
    {
        const uint64_t now = board_.now_ns();
        if (state_.direction == KORVAL_SIM_STREAM_FROM_BOARD) {
            const uint64_t due = taking_.due(now);
            taking_.used += due;
            // A read waiting for more than the FIFO holds takes the points as they come, as a transfer in
            // progress does on a real board.
            const uint64_t capacity = std::max(kFifoPoints, waiting_for_);
            const uint64_t room = capacity - std::min(capacity, taken_);
            taken_ += std::min(due, room);
            state_.points_lost += due - std::min(due, room);
        }
        if (state_.direction == KORVAL_SIM_STREAM_TO_BOARD) {
            const uint64_t due = putting_.due(now);
            const uint64_t n = std::min<uint64_t>(due, queued_.size());
            for (uint64_t i = 0; i < n; ++i) {
                record_.push_back(queued_.front());
                queued_.pop_front();
            }
            if (record_.size() > kRecordPoints)
                record_.erase(record_.begin(), record_.end() - static_cast<std::ptrdiff_t>(kRecordPoints));
            state_.points_put_out += n;
            // An empty FIFO lets its ticks pass unused: the next points go out from the next tick on.
            if (n < due) putting_.restart(now, putting_.hz);
            else putting_.used += n;
        }
    }

    BulkReply read(std::span<uint8_t> buffer)
    {
        if (state_.direction != KORVAL_SIM_STREAM_FROM_BOARD) return BulkReply::wait();
        catch_up();
        const uint64_t wanted = buffer.size() / 2;
        if (wanted == 0) return BulkReply::done(0);
        if (taken_ < wanted) {
            waiting_for_ = wanted;
            return BulkReply::wait(taking_.time_of(wanted - taken_));
        }
        waiting_for_ = 0;
        for (uint64_t i = 0; i < wanted; ++i) {
            const uint64_t index = state_.points_sent + i;
            const uint16_t point = input_.empty() ? static_cast<uint16_t>(index) : input_[index % input_.size()];
            buffer[2 * i] = static_cast<uint8_t>(point);
            buffer[2 * i + 1] = static_cast<uint8_t>(point >> 8);
        }
        taken_ -= wanted;
        state_.points_sent += wanted;
        return BulkReply::done(static_cast<uint32_t>(wanted * 2));
    }

    BulkReply write(std::span<const uint8_t> data)
    {
        if (state_.direction != KORVAL_SIM_STREAM_TO_BOARD) return BulkReply::wait();
        catch_up();
        const uint64_t points = data.size() / 2;
        // A write that does not fit waits for the clock to make room; one larger than the whole FIFO
        // goes in once the FIFO is empty.
        if (!queued_.empty() && queued_.size() + points > kFifoPoints)
            return BulkReply::wait(putting_.time_of(queued_.size() + points - kFifoPoints));
        const bool was_empty = queued_.empty();
        for (uint64_t i = 0; i < points; ++i) queued_.push_back(static_cast<uint16_t>(data[2 * i] | data[2 * i + 1] << 8));
        if (was_empty) putting_.restart(board_.now_ns(), putting_.hz);
        return BulkReply::done(static_cast<uint32_t>(data.size()));
    }

    Board& board_;
    KorvalSimDigitalStream state_{};
    Ticks taking_;   // clock A: points taken from the inputs
    Ticks putting_;  // clock B: points put out
    uint64_t taken_ = 0;  // points taken and waiting for the host
    uint64_t waiting_for_ = 0;  // points a waiting read asks for
    std::deque<uint16_t> queued_;  // points from the host waiting to go out
    std::deque<uint16_t> record_;  // points put out, for the program
    std::vector<uint16_t> input_;
};

const RegisterFeature kDigitalStream{
    "digital-stream", [](const Product& p) { return p.dio_stream; },
    [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<DigitalStream>(b); }};

}  // namespace

}  // namespace korval::sim

using korval::sim::DigitalStream;

extern "C" uint32_t KorvalSim_GetDigitalStream(KorvalSim* sim, uint32_t board, KorvalSimDigitalStream* state)
{
    if (state == nullptr) return ERROR_INVALID_PARAMETER;
    return korval::sim::with_feature<DigitalStream>(sim, board, [&](DigitalStream& s) { return s.describe(*state); });
}

extern "C" uint32_t KorvalSim_SetDigitalStreamInput(KorvalSim* sim, uint32_t board, const uint16_t* points,
                                                    uint32_t count)
{
    if (points == nullptr && count > 0) return ERROR_INVALID_PARAMETER;
    return korval::sim::with_feature<DigitalStream>(sim, board,
                                                    [&](DigitalStream& s) { return s.set_input(points, count); });
}

extern "C" uint32_t KorvalSim_ReadDigitalStreamOutput(KorvalSim* sim, uint32_t board, uint16_t* points,
                                                      uint32_t capacity, uint32_t* count)
{
    if (points == nullptr && capacity > 0) return ERROR_INVALID_PARAMETER;
    return korval::sim::with_feature<DigitalStream>(
        sim, board, [&](DigitalStream& s) { return s.read_output(points, capacity, count); });
}
