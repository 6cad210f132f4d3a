// The sampling ADC of a simulated board with the bulk analog-input section.
//
// A sample-count request (0xBC, the count's high 16 bits in wValue and its low 16 bits in wIndex)
// arms the converter for that many samples. When it starts is set by bits 0-1 of the configuration
// block's trigger byte, as on the boards: 1 (the counter start) starts at once; any other value waits
// for the start request (0xBF) or an external trigger (KorvalSim_AdcTrigger). Once started, the
// converter walks the block's scan from the start channel to the end channel, Oversample + 1 samples
// per channel, over and over until the announced count is reached.
//
// With the counter start, each rising edge of counter 2 of block 0 (the frequency source of counters 1
// and 2, as CTR_StartOutputFreq programs it) starts one scan: scans follow that counter's output in
// simulated time, and none are taken while it puts out nothing. A read completes when its buffer is
// full or, as the firmware flushes its FIFO, once the oldest sample waiting has waited kFlushNs, with
// what has been taken; so a slow clock still delivers. Two cases keep the older free-running converter:
// a counter 2 never programmed since the board started, and the fast-scan setting (request 0xD4).
//
// Samples are made when the host reads bulk IN endpoint 0x86, never queued ahead, so a long or endless
// acquisition costs no memory. Each sample is the channel's signal at the sample's time, converted by
// the channel's range code and then through the board's calibration table. A pacing rate set by the
// program (KorvalSim_SetAdcRate) overrides the counters: a read then waits until its samples have been
// taken at that rate, one sample per period. Without either, the samples are there as fast as they are
// read. A fixed pattern of counts replaces all of that for benchmarks.
//
// The calibration-mode byte of the block switches the converter to the references: the low one reads
// 0 V, the high one the voltage the EEPROM's calibration reference word names (the count it reads in
// the 0 to 10 V range). The board takes a calibration table in blocks: bulk OUT endpoint 0x02 carries
// the entries, request 0xBB (wValue the first entry, wIndex the count) stores them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "host/sim/firmware.h"
#include "korval/sim.h"

namespace korval::sim {

class AdcSamples final : public Feature {
public:
    explicit AdcSamples(Board& board);

    static constexpr uint32_t kChannels = 256;  // a block can name channels 0 to 255
    static constexpr uint32_t kTableEntries = 65536;
    static constexpr uint64_t kFlushNs = 10'000'000;  // the longest a taken sample waits for a read to fill

    // ---- For programs, through korval/sim.h ----
    void set_signal(uint32_t channel, const KorvalSimAdcSignal& signal) { signals_[channel] = signal; }
    void set_rate(double samples_per_second) { rate_ = samples_per_second; }
    void set_pattern(std::vector<uint16_t> counts) { pattern_ = std::move(counts); }
    void set_stopped(bool stopped) { stopped_ = stopped; }
    void set_query_reply(uint8_t reply) { query_reply_ = reply; }
    void set_low_reference(double volts) { low_reference_volts_ = volts; }
    // The external trigger input: starts an armed conversion waiting for its start.
    void trigger();
    KorvalSimAdcState state() const;
    const std::array<uint16_t, kTableEntries>& table(bool bipolar) const { return bipolar ? bipolar_ : unipolar_; }

    // ---- For the firmware ----
    // Arms the converter for `count` samples, dropping what the last count left unread, and starts it
    // when the trigger byte says the board starts by itself.
    void arm(uint64_t count);
    // Starts an armed conversion (start request or trigger); nothing when none waits.
    void start();
    // One channel's reading in volts at simulated time `ns`, without range or table.
    double volts(uint32_t channel, uint64_t ns, uint64_t index) const;

private:
    BulkReply read(std::span<uint8_t> buffer);
    uint16_t sample(uint64_t index) const;
    uint64_t period_ns() const;
    uint64_t sample_time(uint64_t index) const;
    // Scans paced by the counters: the clock's history of this conversion, one segment per frequency.
    void follow_clock(uint64_t now, double hz);
    uint64_t scans_at(uint64_t ns) const;
    uint64_t scan_time(uint64_t scan) const;
    // Nothing when the read can go on with `want` bytes (lowered to what has been taken when the
    // oldest of them has waited long enough); otherwise the wait.
    std::optional<BulkReply> paced_wait(uint64_t& want);
    void store_table_block(uint32_t first, uint32_t count);

    Board& board_;
    std::array<KorvalSimAdcSignal, kChannels> signals_{};
    double rate_ = 0.0;
    std::vector<uint16_t> pattern_;
    bool stopped_ = false;
    uint8_t query_reply_ = 0xBB;
    double low_reference_volts_ = 0.0;

    // The conversion under way: what the block said when it started.
    uint64_t announced_ = 0;   // samples
    uint64_t bytes_sent_ = 0;
    bool armed_ = false;
    bool running_ = false;
    uint64_t start_ns_ = 0;
    uint64_t period_ = 1000;
    uint32_t first_channel_ = 0;
    uint32_t channel_count_ = 1;
    uint32_t per_channel_ = 1;
    uint64_t scan_samples_ = 1;  // channels times samples per channel
    bool counter_paced_ = false;
    struct ClockSegment {
        uint64_t first_scan;  // scans taken before it
        uint64_t start_ns;
        double hz;  // 0: stopped
    };
    std::vector<ClockSegment> segments_;
    std::optional<ClockSegment> continue_from_;  // the last scan of the count before, and its clock
    std::array<uint8_t, kChannels> gain_{};  // gain code of each channel
    uint8_t cal_mode_ = 0;
    uint8_t reference_gain_ = 0;
    double high_reference_volts_ = 0.0;
    uint32_t start_requests_ = 0;
    uint32_t triggers_ = 0;

    std::array<uint16_t, kTableEntries> unipolar_{};
    std::array<uint16_t, kTableEntries> bipolar_{};
};

}  // namespace korval::sim
