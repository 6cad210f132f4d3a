// The 8254 counter blocks: three counters per block, clocked by the product's root clock in simulated
// time. Counter 2 of each block is clocked by counter 1's output, so the two divide in cascade (the
// library's frequency output relies on it); any counter can be switched to the root clock or, for
// counters 1 and 2, to the output of the counter before it.
//
// Requests (block in the low byte of wValue unless stated):
//   0x20 IN   read: counter in the high byte of wValue; 2 bytes of count, or 3 with the status byte
//   0x21 OUT  control word in the high byte of wValue (read-back commands included)
//   0x22 OUT  load: counter in bits 14-15 of wValue, the count in wIndex
//   0x23 OUT  control word (high byte of wValue) and count (wIndex); IN: the same, then the count read back
//   0x24 OUT  gate selection: the flat counter number in wValue (products with selectable gates)
//   0x25 IN   every counter's count, 16-bit little-endian, in flat order
//   0x26 IN   the same, all latched at one instant, then one byte: the outputs of flat counters 0 to 7
// A block or counter the board does not have stalls the request.
#include <vector>

#include "host/sim/board.h"
#include "host/sim/counter8254.h"
#include "host/sim/simulation.h"

namespace korval::sim {

namespace {

constexpr uint32_t kPerBlock = 3;
constexpr uint64_t kNanosecondsPerSecond = 1000000000;

class Counters final : public Feature {
public:
    explicit Counters(Board& board)
        : board_(board),
          blocks_(board.product().counter_blocks),
          root_hz_(static_cast<uint64_t>(board.product().root_clock_hz + 0.5)),
          counters_(blocks_ * kPerBlock),
          sources_(blocks_ * kPerBlock, KORVAL_SIM_CLOCK_ROOT),
          pulses_done_(pulses_at(board.now_ns()))
    {
        for (uint32_t b = 0; b < blocks_; ++b) sources_[b * kPerBlock + 2] = KORVAL_SIM_CLOCK_CASCADE;

        board.on_control(Direction::in, 0x20, [this](const ControlRequest& r, std::span<uint8_t> data) {
            Counter8254* c = at(r.wValue & 0xFF, r.wValue >> 8);
            if (c == nullptr) return ControlReply::stalled();
            catch_up();
            const bool with_status = data.size() >= 3;
            const uint8_t status = with_status ? c->read_status() : 0;
            const uint16_t count = c->read_count();
            const uint8_t reply[3] = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8), status};
            return ControlReply::ok(answer(data, reply, with_status ? 3 : 2));
        });
        board.on_control(Direction::out, 0x21, [this](const ControlRequest& r, std::span<uint8_t>) {
            const uint32_t block = r.wValue & 0xFF;
            const auto control = static_cast<uint8_t>(r.wValue >> 8);
            if (block >= blocks_) return ControlReply::stalled();
            catch_up();
            if ((control >> 6) == 3) read_back(block, control);
            else change(block * kPerBlock + (control >> 6), [&](Counter8254& c) { c.write_control(control); });
            return ControlReply::ok(0);
        });
        board.on_control(Direction::out, 0x22, [this](const ControlRequest& r, std::span<uint8_t>) {
            if (at(r.wValue & 0xFF, r.wValue >> 14) == nullptr) return ControlReply::stalled();
            catch_up();
            change((r.wValue & 0xFF) * kPerBlock + (r.wValue >> 14), [&](Counter8254& c) { c.write_count(r.wIndex); });
            return ControlReply::ok(0);
        });
        board.on_control(Direction::out, 0x23, [this](const ControlRequest& r, std::span<uint8_t>) {
            return mode_and_load(r) ? ControlReply::ok(0) : ControlReply::stalled();
        });
        board.on_control(Direction::in, 0x23, [this](const ControlRequest& r, std::span<uint8_t> data) {
            if (!mode_and_load(r)) return ControlReply::stalled();
            const uint16_t count = at(r.wValue & 0xFF, r.wValue >> 14)->read_count();
            const uint8_t reply[2] = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8)};
            return ControlReply::ok(answer(data, reply, sizeof reply));
        });
        if (board.product().gate_select) {
            board.on_control(Direction::out, 0x24, [this](const ControlRequest& r, std::span<uint8_t>) {
                if (r.wValue >= counters_.size()) return ControlReply::stalled();
                selected_gate_ = r.wValue;
                return ControlReply::ok(0);
            });
        }
        board.on_control(Direction::in, 0x25, [this](const ControlRequest&, std::span<uint8_t> data) {
            catch_up();
            return ControlReply::ok(answer(data, read_all().data(), counters_.size() * 2));
        });
        board.on_control(Direction::in, 0x26, [this](const ControlRequest&, std::span<uint8_t> data) {
            catch_up();
            for (Counter8254& c : counters_) c.latch_count();
            std::vector<uint8_t> reply = read_all();
            uint8_t outputs = 0;
            for (size_t i = 0; i < counters_.size() && i < 8; ++i) outputs |= counters_[i].out() ? 1u << i : 0u;
            reply.push_back(outputs);
            return ControlReply::ok(answer(data, reply.data(), reply.size()));
        });
    }

    // ---- For the simulation's C API, under the board's lock ----

    uint32_t describe(uint32_t flat, KorvalSimCounter& s)
    {
        if (flat >= counters_.size()) return ERROR_INVALID_PARAMETER;
        catch_up();
        const Counter8254& c = counters_[flat];
        s = {};
        s.mode = c.mode();
        s.programmed = c.programmed();
        s.initial_count = c.initial_count();
        s.count = c.count();
        s.out = c.out();
        s.gate = c.gate();
        s.null_count = c.null_count();
        s.status = c.status();
        s.clock_source = sources_[flat];
        s.rising_edges = c.rising_edges();
        return ERROR_SUCCESS;
    }

    uint32_t set_gate(uint32_t flat, bool level)
    {
        if (flat >= counters_.size()) return ERROR_INVALID_PARAMETER;
        catch_up();
        change(flat, [&](Counter8254& c) { c.set_gate(level); });
        return ERROR_SUCCESS;
    }

    uint32_t set_source(uint32_t flat, uint32_t source)
    {
        if (flat >= counters_.size()) return ERROR_INVALID_PARAMETER;
        if (source != KORVAL_SIM_CLOCK_ROOT && !(source == KORVAL_SIM_CLOCK_CASCADE && flat % kPerBlock != 0))
            return ERROR_INVALID_PARAMETER;
        catch_up();
        sources_[flat] = source;
        return ERROR_SUCCESS;
    }

    uint32_t selected_gate() const { return selected_gate_; }

private:
    Counter8254* at(uint32_t block, uint32_t counter)
    {
        if (block >= blocks_ || counter >= kPerBlock) return nullptr;
        return &counters_[block * kPerBlock + counter];
    }

    // Root-clock pulses from the start of simulated time to `ns`.
    uint64_t pulses_at(uint64_t ns) const
    {
        return ns / kNanosecondsPerSecond * root_hz_ + ns % kNanosecondsPerSecond * root_hz_ / kNanosecondsPerSecond;
    }

    // Brings every counter to the board's present time. Gates only change between catch-ups, so each
    // counter sees its pulses with a steady gate.
    void catch_up()
    {
        const uint64_t now = pulses_at(board_.now_ns());
        if (now <= pulses_done_) return;
        const uint64_t pulses = now - pulses_done_;
        pulses_done_ = now;
        for (uint32_t b = 0; b < blocks_; ++b) {
            uint64_t previous_edges = 0;
            for (uint32_t i = b * kPerBlock; i < (b + 1) * kPerBlock; ++i) {
                const uint64_t before = counters_[i].rising_edges();
                counters_[i].clock(sources_[i] == KORVAL_SIM_CLOCK_CASCADE ? previous_edges : pulses);
                previous_edges = counters_[i].rising_edges() - before;
            }
        }
    }

    // Applies a change to one counter; rising edges it makes on the output clock the counters cascaded
    // from it.
    template <class Op>
    void change(uint32_t flat, Op op)
    {
        uint64_t before = counters_[flat].rising_edges();
        op(counters_[flat]);
        uint64_t edges = counters_[flat].rising_edges() - before;
        for (uint32_t next = flat + 1; edges > 0 && next % kPerBlock != 0; ++next) {
            if (sources_[next] != KORVAL_SIM_CLOCK_CASCADE) break;
            before = counters_[next].rising_edges();
            counters_[next].clock(edges);
            edges = counters_[next].rising_edges() - before;
        }
    }

    // The chip's read-back command: latches the count (bit 5 clear) and the status (bit 4 clear) of the
    // counters selected by bits 1 to 3.
    void read_back(uint32_t block, uint8_t control)
    {
        for (uint32_t counter = 0; counter < kPerBlock; ++counter) {
            if ((control & (2u << counter)) == 0) continue;
            Counter8254& c = counters_[block * kPerBlock + counter];
            if ((control & 0x20) == 0) c.latch_count();
            if ((control & 0x10) == 0) c.latch_status();
        }
    }

    bool mode_and_load(const ControlRequest& r)
    {
        const uint32_t block = r.wValue & 0xFF;
        const auto control = static_cast<uint8_t>(r.wValue >> 8);
        if (at(block, control >> 6) == nullptr) return false;
        catch_up();
        change(block * kPerBlock + (control >> 6), [&](Counter8254& c) {
            c.write_control(control);
            c.write_count(r.wIndex);
        });
        return true;
    }

    std::vector<uint8_t> read_all()
    {
        std::vector<uint8_t> bytes;
        for (Counter8254& c : counters_) {
            const uint16_t count = c.read_count();
            bytes.push_back(static_cast<uint8_t>(count));
            bytes.push_back(static_cast<uint8_t>(count >> 8));
        }
        return bytes;
    }

    Board& board_;
    const uint32_t blocks_;
    const uint64_t root_hz_;
    std::vector<Counter8254> counters_;  // flat order: block * 3 + counter
    std::vector<uint32_t> sources_;
    uint64_t pulses_done_;  // root-clock pulses the counters have been given
    uint32_t selected_gate_ = KORVAL_SIM_NO_GATE;
};

const RegisterFeature kCounters{"counters", [](const Product& p) { return p.counter_blocks > 0; },
                                [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<Counters>(b); }};

// Runs fn on the board's counters; 50 when the board has none.
}  // namespace

}  // namespace korval::sim

using korval::sim::Counters;

extern "C" uint32_t KorvalSim_GetCounter(KorvalSim* sim, uint32_t board, uint32_t counter, KorvalSimCounter* state)
{
    if (state == nullptr) return ERROR_INVALID_PARAMETER;
    return korval::sim::with_feature<Counters>(sim, board, [&](Counters& c) { return c.describe(counter, *state); });
}

extern "C" uint32_t KorvalSim_SetCounterGate(KorvalSim* sim, uint32_t board, uint32_t counter, int level)
{
    return korval::sim::with_feature<Counters>(sim, board, [&](Counters& c) { return c.set_gate(counter, level != 0); });
}

extern "C" uint32_t KorvalSim_SetCounterClock(KorvalSim* sim, uint32_t board, uint32_t counter, uint32_t source)
{
    return korval::sim::with_feature<Counters>(sim, board, [&](Counters& c) { return c.set_source(counter, source); });
}

extern "C" uint32_t KorvalSim_GetSelectedGate(KorvalSim* sim, uint32_t board, uint32_t* gate)
{
    if (gate == nullptr) return ERROR_INVALID_PARAMETER;
    return korval::sim::with_feature<Counters>(sim, board, [&](Counters& c) {
        *gate = c.selected_gate();
        return uint32_t{ERROR_SUCCESS};
    });
}
