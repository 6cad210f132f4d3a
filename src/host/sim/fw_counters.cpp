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
//   0x27 OUT  gate waits (products with selectable gates): watch the gates of flat counters wIndex & 0xFF
//             (gate A) and wIndex >> 8 (gate B); each rising edge of gate A is reported on bulk IN 0x82,
//             of gate B on 0x86, as 2 bytes: the number of that gate's edge since the request, 1 first
//   0x29 OUT  stop watching the gates; reports not yet read are dropped
// A block or counter the board does not have stalls the request.
//
// A gate can also be driven by a pulse train (high and low for set times, over and over), so that the
// counters gated by it count known widths. Gate edges fall at their exact simulated times: the counters
// are clocked up to each edge before the gate changes.
#include <algorithm>
#include <deque>
#include <optional>
#include <vector>

#include "host/sim/board.h"
#include "host/sim/bulk_pipes.h"
#include "host/sim/counter8254.h"
#include "host/sim/scan_clock.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

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

        board.on_control(Direction::in, kReqCtrRead, [this](const ControlRequest& r, std::span<uint8_t> data) {
            Counter8254* c = at(r.wValue & 0xFF, r.wValue >> 8);
            if (c == nullptr) return ControlReply::stalled();
            catch_up();
            const bool with_status = data.size() >= 3;
            const uint8_t status = with_status ? c->read_status() : 0;
            const uint16_t count = c->read_count();
            const uint8_t reply[3] = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8), status};
            return ControlReply::ok(answer(data, reply, with_status ? 3 : 2));
        });
        board.on_control(Direction::out, kReqCtrMode, [this](const ControlRequest& r, std::span<uint8_t>) {
            const uint32_t block = r.wValue & 0xFF;
            const auto control = static_cast<uint8_t>(r.wValue >> 8);
            if (block >= blocks_) return ControlReply::stalled();
            catch_up();
            if ((control >> 6) == 3)
                read_back(block, control);
            else
                change(block * kPerBlock + (control >> 6), [&](Counter8254& c) { c.write_control(control); });
            board_.notify();
            return ControlReply::ok(0);
        });
        board.on_control(Direction::out, kReqCtrLoad, [this](const ControlRequest& r, std::span<uint8_t>) {
            if (at(r.wValue & 0xFF, r.wValue >> 14) == nullptr) return ControlReply::stalled();
            catch_up();
            change((r.wValue & 0xFF) * kPerBlock + (r.wValue >> 14), [&](Counter8254& c) { c.write_count(r.wIndex); });
            board_.notify();
            return ControlReply::ok(0);
        });
        board.on_control(Direction::out, kReqCtrModeLoad, [this](const ControlRequest& r, std::span<uint8_t>) {
            return mode_and_load(r) ? ControlReply::ok(0) : ControlReply::stalled();
        });
        board.on_control(Direction::in, kReqCtrModeLoad, [this](const ControlRequest& r, std::span<uint8_t> data) {
            if (!mode_and_load(r)) return ControlReply::stalled();
            const uint16_t count = at(r.wValue & 0xFF, r.wValue >> 14)->read_count();
            const uint8_t reply[2] = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8)};
            return ControlReply::ok(answer(data, reply, sizeof reply));
        });
        if (board.product().gate_select) {
            board.on_control(Direction::out, kReqCtrSelectGate, [this](const ControlRequest& r, std::span<uint8_t>) {
                if (r.wValue >= counters_.size()) return ControlReply::stalled();
                selected_gate_ = r.wValue;
                return ControlReply::ok(0);
            });
            board.on_control(Direction::out, kReqCtrWaitGates, [this](const ControlRequest& r, std::span<uint8_t>) {
                const uint32_t a = r.wIndex & 0xFF;
                const uint32_t b = r.wIndex >> 8;
                if (a >= counters_.size() || b >= counters_.size()) return ControlReply::stalled();
                catch_up();
                watch_ = {a, b};
                for (GateReports& g : reports_) g = {};
                serve_gate_endpoints();
                return ControlReply::ok(0);
            });
            board.on_control(Direction::out, kReqCtrEndWaitGates, [this](const ControlRequest&, std::span<uint8_t>) {
                catch_up();
                watch_.reset();
                for (GateReports& g : reports_) g = {};
                return ControlReply::ok(0);
            });
        }
        board.on_control(Direction::in, kReqCtrReadAll, [this](const ControlRequest&, std::span<uint8_t> data) {
            catch_up();
            return ControlReply::ok(answer(data, read_all().data(), counters_.size() * 2));
        });
        board.on_control(Direction::in, kReqCtrReadLatched, [this](const ControlRequest&, std::span<uint8_t> data) {
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
        trains_[flat].reset();  // driving the gate by hand ends its pulse train
        set_gate_now(flat, level);
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

    void set_scan_clock_listener(ScanClockListener listener) { scan_clock_listener_ = std::move(listener); }

    ScanClock scan_clock()
    {
        catch_up();
        return {counters_[2].programmed(), frequency_of(2)};
    }

    // The frequency of a counter's output: a rate generator or square wave with a count of 2 or more and
    // its gate high divides its clock; anything else puts out no frequency.
    uint32_t frequency(uint32_t flat, double& hz)
    {
        if (flat >= counters_.size()) return ERROR_INVALID_PARAMETER;
        catch_up();
        hz = frequency_of(flat);
        return ERROR_SUCCESS;
    }

    // A pulse train on a counter's gate, from now: low for `low_ns`, then high for `high_ns`, over and
    // over. Either time 0 ends the train, leaving the gate as it is.
    uint32_t set_train(uint32_t flat, uint64_t high_ns, uint64_t low_ns)
    {
        if (flat >= counters_.size()) return ERROR_INVALID_PARAMETER;
        if ((high_ns != 0 && high_ns < kShortestPulseNs) || (low_ns != 0 && low_ns < kShortestPulseNs))
            return ERROR_INVALID_PARAMETER;
        catch_up();
        if (high_ns == 0 || low_ns == 0) {
            trains_[flat].reset();
            return ERROR_SUCCESS;
        }
        set_gate_now(flat, false);
        trains_[flat] = Train{high_ns, low_ns, board_.now_ns() + low_ns};
        return ERROR_SUCCESS;
    }

    uint32_t wait_gates(KorvalSimGateWaits& w)
    {
        catch_up();
        w = {};
        w.watching = watch_.has_value();
        w.gate_a = watch_ ? watch_->a : KORVAL_SIM_NO_GATE;
        w.gate_b = watch_ ? watch_->b : KORVAL_SIM_NO_GATE;
        for (size_t i = 0; i < 2; ++i) {
            w.events[i] = reports_[i].events;
            w.waiting[i] = static_cast<uint32_t>(reports_[i].pending.size());
        }
        return ERROR_SUCCESS;
    }

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

    // Brings every counter to the board's present time, stopping at each edge of a pulse train to change
    // that gate, so that every counter sees its pulses with a steady gate.
    void catch_up()
    {
        const uint64_t now_ns = board_.now_ns();
        for (;;) {
            std::optional<uint32_t> next;
            for (uint32_t i = 0; i < trains_.size(); ++i)
                if (trains_[i] && trains_[i]->next_edge_ns <= now_ns &&
                    (!next || trains_[i]->next_edge_ns < trains_[*next]->next_edge_ns))
                    next = i;
            if (!next) break;
            Train& train = *trains_[*next];
            clock_to(pulses_at(train.next_edge_ns));
            const bool rising = !counters_[*next].gate();
            set_gate_now(*next, rising);
            train.next_edge_ns += rising ? train.high_ns : train.low_ns;
        }
        clock_to(pulses_at(now_ns));
    }

    // Drives a gate, reporting a rising edge of a watched gate on its endpoint.
    void set_gate_now(uint32_t flat, bool level)
    {
        const bool rising = level && !counters_[flat].gate();
        change(flat, [&](Counter8254& c) { c.set_gate(level); });
        if (!rising || !watch_) return;
        const uint32_t watched[2] = {watch_->a, watch_->b};
        for (size_t i = 0; i < 2; ++i) {
            if (watched[i] != flat) continue;
            GateReports& g = reports_[i];
            ++g.events;
            if (g.pending.size() < kMaxPendingReports) g.pending.push_back(static_cast<uint16_t>(g.events));
        }
        board_.notify();
    }

    // The gate endpoints answer from the reports; a read with none waiting waits for the next edge of a
    // pulse train on a watched gate (or for the program to drive one).
    void serve_gate_endpoints()
    {
        BulkPipes* pipes = board_.feature<BulkPipes>();
        // The endpoints are shared with other firmware modes (0x86 with the ADC's samples): a wait
        // request takes them over.
        if (pipes == nullptr) return;
        for (size_t i = 0; i < 2; ++i) {
            if (!pipes->has_in(kGateEndpoints[i])) continue;
            pipes->set_source(kGateEndpoints[i], [this, i](std::span<uint8_t> buffer) { return gate_report(i, buffer); });
        }
    }

    BulkReply gate_report(size_t gate, std::span<uint8_t> buffer)
    {
        catch_up();
        std::deque<uint16_t>& pending = reports_[gate].pending;
        if (!pending.empty()) {
            const uint8_t bytes[2] = {static_cast<uint8_t>(pending.front()), static_cast<uint8_t>(pending.front() >> 8)};
            pending.pop_front();
            return BulkReply::done(answer(buffer, bytes, sizeof bytes));
        }
        std::optional<uint64_t> wake;
        if (watch_) {
            const uint32_t flat = gate == 0 ? watch_->a : watch_->b;
            if (trains_[flat]) wake = trains_[flat]->next_edge_ns;
        }
        return BulkReply::wait(wake);
    }

    double frequency_of(uint32_t flat) const
    {
        const Counter8254& c = counters_[flat];
        if ((c.mode() != 2 && c.mode() != 3) || c.initial_count() < 2 || !c.gate()) return 0.0;
        const double clock_hz = sources_[flat] == KORVAL_SIM_CLOCK_CASCADE ? frequency_of(flat - 1)
                                                                           : static_cast<double>(root_hz_);
        return clock_hz / c.initial_count();
    }

    // Gives every counter its root-clock pulses up to `now` (a pulse count since the start of time).
    void clock_to(uint64_t now)
    {
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
        if (flat < kPerBlock && scan_clock_listener_) scan_clock_listener_(board_.now_ns(), frequency_of(2));
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
        board_.notify();  // a read paced by the counters sees the new clock at once
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
    ScanClockListener scan_clock_listener_;

    // Pulse trains on gates: the simulated time of each gate's next edge.
    struct Train {
        uint64_t high_ns;
        uint64_t low_ns;
        uint64_t next_edge_ns;
    };
    static constexpr uint64_t kShortestPulseNs = 1000;
    std::vector<std::optional<Train>> trains_ = std::vector<std::optional<Train>>(counters_.size());

    // Gate waits: the two gates watched, and per gate its edges since and the reports not yet read.
    struct Watch {
        uint32_t a;
        uint32_t b;
    };
    struct GateReports {
        uint64_t events = 0;
        std::deque<uint16_t> pending;
    };
    static constexpr uint8_t kGateEndpoints[2] = {kEpGateA, kEpIn};
    static constexpr size_t kMaxPendingReports = 4096;
    std::optional<Watch> watch_;
    GateReports reports_[2];
};

const RegisterFeature kCounters{"counters", [](const Product& p) { return p.counter_blocks > 0; },
                                [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<Counters>(b); }};

}  // namespace

std::optional<ScanClock> scan_clock(Board& board)
{
    Counters* counters = board.feature<Counters>();
    if (counters == nullptr) return std::nullopt;
    return counters->scan_clock();
}

void on_scan_clock_change(Board& board, ScanClockListener listener)
{
    if (Counters* counters = board.feature<Counters>()) counters->set_scan_clock_listener(std::move(listener));
}

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

extern "C" uint32_t KorvalSim_GetCounterFrequency(KorvalSim* sim, uint32_t board, uint32_t counter, double* hz)
{
    if (hz == nullptr) return ERROR_INVALID_PARAMETER;
    return korval::sim::with_feature<Counters>(sim, board, [&](Counters& c) { return c.frequency(counter, *hz); });
}

extern "C" uint32_t KorvalSim_SetGatePulseTrain(KorvalSim* sim, uint32_t board, uint32_t counter, uint64_t high_ns,
                                                uint64_t low_ns)
{
    return korval::sim::with_feature<Counters>(sim, board,
                                               [&](Counters& c) { return c.set_train(counter, high_ns, low_ns); });
}

extern "C" uint32_t KorvalSim_GetGateWaits(KorvalSim* sim, uint32_t board, KorvalSimGateWaits* waits)
{
    if (waits == nullptr) return ERROR_INVALID_PARAMETER;
    return korval::sim::with_feature<Counters>(sim, board, [&](Counters& c) { return c.wait_gates(*waits); });
}
