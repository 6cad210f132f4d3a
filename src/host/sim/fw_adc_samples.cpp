// The sampling ADC (adc_samples.h): sample-count and start requests, samples on bulk IN 0x86 made as
// they are read, the references, the calibration query and table upload, and the immediate inputs of
// boards without the bulk section. Also the C API of their state.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "host/sim/adc_config.h"
#include "host/sim/adc_samples.h"
#include "host/sim/board.h"
#include "host/sim/bulk_pipes.h"
#include "host/sim/eeprom.h"
#include "host/sim/scan_clock.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

constexpr double kNominalHighReference = 65102.80704;  // counts in 0 to 10 V of an unprogrammed board
constexpr uint64_t kFreeRunningPeriodNs = 1000;        // sample spacing when sampling as fast as read
constexpr uint8_t kImmediateGain = 2;                  // immediate inputs: 0 to 5 V

bool bipolar(uint8_t gain) { return (gain & 1) != 0; }

// Volts to the converter's count in a gain code's range, rounded, held to the 16-bit scale.
uint16_t to_counts(double volts, uint8_t gain)
{
    const double span = ((gain & 2) ? 1.0 : 2.0) * ((gain & 4) ? 1.0 : 5.0);
    const double unit = bipolar(gain) ? (volts / span + 1.0) / 2.0 : volts / span;
    const double counts = std::nearbyint(unit * 65536.0);
    return static_cast<uint16_t>(std::clamp(counts, 0.0, 65535.0));
}

// A value from -1 to just below 1 that depends only on its inputs (splitmix64).
double noise(uint32_t seed, uint32_t channel, uint64_t index)
{
    uint64_t z = (uint64_t{seed} << 32 | channel) ^ (index * 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) / static_cast<double>(1ull << 52) - 1.0;
}

}  // namespace

AdcSamples::AdcSamples(Board& board) : board_(board)
{
    for (uint32_t i = 0; i < kTableEntries; ++i) unipolar_[i] = bipolar_[i] = static_cast<uint16_t>(i);

    const Product& product = board.product();
    if (product.adc_inputs == 0) {
        // Boards without the bulk section: one read request converts every immediate input.
        board.on_control(Direction::in, kReqAdcStart, [this, &product](const ControlRequest&, std::span<uint8_t> data) {
            uint8_t bytes[2 * 16] = {};
            const uint32_t n = std::min<uint32_t>(product.immediate_adcs, 16);
            for (uint32_t c = 0; c < n; ++c) {
                const uint16_t count = to_counts(volts(c, board_.now_ns(), 0), kImmediateGain);
                bytes[2 * c] = static_cast<uint8_t>(count);
                bytes[2 * c + 1] = static_cast<uint8_t>(count >> 8);
            }
            return ControlReply::ok(answer(data, bytes, 2 * n));
        });
        return;
    }

    board.on_control(Direction::out, kReqAdcSampleCount, [this](const ControlRequest& r, std::span<uint8_t>) {
        arm(uint64_t{r.wValue} << 16 | r.wIndex);
        return ControlReply::ok(0);
    });
    board.on_control(Direction::out, kReqAdcStart, [this](const ControlRequest&, std::span<uint8_t>) {
        ++start_requests_;
        start();
        return ControlReply::ok(0);
    });
    board.on_control(Direction::in, kReqAdcCalQuery, [this](const ControlRequest&, std::span<uint8_t> data) {
        return ControlReply::ok(answer(data, &query_reply_, 1));
    });
    board.on_control(Direction::out, kReqAdcCalTable, [this](const ControlRequest& r, std::span<uint8_t>) {
        if (uint32_t{r.wValue} + r.wIndex > kTableEntries) return ControlReply::stalled();
        store_table_block(r.wValue, r.wIndex);
        return ControlReply::ok(0);
    });
}

void AdcSamples::arm(uint64_t count)
{
    // The sample pipe is shared with other firmware modes (gate events, digital streams): a new sample
    // count takes it over, as the firmware switches the endpoint to the mode last started.
    if (BulkPipes* pipes = board_.feature<BulkPipes>(); pipes != nullptr && pipes->has_in(kEpIn))
        pipes->set_source(kEpIn, [this](std::span<uint8_t> buffer) { return read(buffer); });
    // The converter keeps running between counts: a count announced when the last one has been read in
    // whole scans goes on with the same scan clock, its first scan one period after the last.
    continue_from_.reset();
    if (counter_paced_ && announced_ > 0 && bytes_sent_ >= announced_ * 2 && announced_ % scan_samples_ == 0)
        continue_from_ = ClockSegment{0, scan_time(announced_ / scan_samples_ - 1), segments_.back().hz};
    announced_ = count;
    bytes_sent_ = 0;
    running_ = false;
    armed_ = count > 0;
    const AdcConfig* config = board_.feature<AdcConfig>();
    if (armed_ && config != nullptr && (config->block()[17] & 0x03) == 1) start();
}

void AdcSamples::trigger()
{
    ++triggers_;
    start();
}

void AdcSamples::start()
{
    const AdcConfig* config = board_.feature<AdcConfig>();
    if (!armed_ || running_ || config == nullptr) return;
    const std::vector<uint8_t>& block = config->block();
    const uint32_t first = config->scan_start();
    const uint32_t last = config->scan_end();
    first_channel_ = first;
    channel_count_ = last >= first ? last - first + 1 : 1;
    per_channel_ = uint32_t{block[19]} + 1;
    const uint32_t shift = board_.product().adc_range_shift;
    for (uint32_t c = 0; c < kChannels; ++c) gain_[c] = block[std::min<uint32_t>(c >> shift, 15)] & 0x07;
    cal_mode_ = block[16];
    reference_gain_ = block[0] & 0x07;

    uint8_t word[2] = {};
    double high = kNominalHighReference;
    if (eeprom_read(board_, kAddrCalReference, 2, word) == 2) {
        const uint16_t w = static_cast<uint16_t>(word[0] | word[1] << 8);
        if (w != 0 && w != 0xFFFF) high = w;
    }
    high_reference_volts_ = high / 65536.0 * 10.0;

    period_ = period_ns();
    start_ns_ = board_.now_ns();
    scan_samples_ = uint64_t{channel_count_} * per_channel_;
    const std::optional<ScanClock> clock = scan_clock(board_);
    counter_paced_ = (block[17] & 0x03) == 1 && rate_ <= 0.0 && pattern_.empty() && clock && clock->programmed &&
                     !fast_scan_on(board_);
    segments_.clear();
    if (counter_paced_) {
        const bool goes_on = continue_from_ && continue_from_->hz == clock->hz && clock->hz > 0.0 &&
                             start_ns_ <= continue_from_->start_ns + static_cast<uint64_t>(2e9 / clock->hz) + kFlushNs;
        segments_.push_back({0, goes_on ? continue_from_->start_ns : start_ns_, clock->hz});
        on_scan_clock_change(board_, [this](uint64_t ns, double hz) { follow_clock(ns, hz); });
    }
    running_ = true;
    armed_ = false;
    board_.notify();
}

uint64_t AdcSamples::period_ns() const
{
    if (rate_ <= 0.0) return kFreeRunningPeriodNs;
    return std::max<uint64_t>(1, static_cast<uint64_t>(std::llround(1e9 / rate_)));
}

double AdcSamples::volts(uint32_t channel, uint64_t ns, uint64_t index) const
{
    const KorvalSimAdcSignal& s = signals_[channel % kChannels];
    const double t = static_cast<double>(ns) / 1e9;
    const double phase = s.frequency > 0.0 ? t * s.frequency - std::floor(t * s.frequency) : 0.0;
    switch (s.kind) {
    case KORVAL_SIM_SIGNAL_SINE: return s.offset + s.amplitude * std::sin(2.0 * std::numbers::pi * phase);
    case KORVAL_SIM_SIGNAL_SQUARE: return s.offset + (phase < 0.5 ? s.amplitude : -s.amplitude);
    case KORVAL_SIM_SIGNAL_RAMP: return s.offset + s.amplitude * (2.0 * phase - 1.0);
    case KORVAL_SIM_SIGNAL_NOISE: return s.offset + s.amplitude * noise(s.seed, channel, index);
    default: return s.offset;
    }
}

void AdcSamples::follow_clock(uint64_t now, double hz)
{
    if (!counter_paced_ || segments_.empty() || hz == segments_.back().hz) return;
    segments_.push_back({scans_at(now), now, hz});
}

uint64_t AdcSamples::scan_time(uint64_t scan) const
{
    // The last running segment that the scan falls in (a stopped one takes none).
    for (auto it = segments_.rbegin(); it != segments_.rend(); ++it)
        if (it->first_scan <= scan && it->hz > 0.0)
            return it->start_ns +
                   static_cast<uint64_t>(std::ceil(static_cast<double>(scan - it->first_scan + 1) * 1e9 / it->hz));
    return start_ns_;
}

uint64_t AdcSamples::scans_at(uint64_t ns) const
{
    const ClockSegment& s = segments_.back();
    if (s.hz <= 0.0 || ns <= s.start_ns) return s.first_scan;
    // The estimate, then corrected to agree exactly with scan_time.
    uint64_t n = s.first_scan + static_cast<uint64_t>(static_cast<double>(ns - s.start_ns) * s.hz / 1e9);
    while (n > s.first_scan && scan_time(n - 1) > ns) --n;
    while (scan_time(n) <= ns) ++n;
    return n;
}

std::optional<BulkReply> AdcSamples::paced_wait(uint64_t& want)
{
    const uint64_t now = board_.now_ns();
    const uint64_t available = std::min(announced_, scans_at(now) * scan_samples_) * 2;
    if (available >= bytes_sent_ + want) return std::nullopt;
    const uint64_t have = available > bytes_sent_ ? available - bytes_sent_ : 0;
    // Nothing taken and the clock stopped: only a change of the counters brings more.
    if (have == 0 && segments_.back().hz <= 0.0) return BulkReply::wait();
    // The first sample not yet sent is flushed once its scan, taken or still to come, is kFlushNs old.
    const uint64_t flush = scan_time(bytes_sent_ / 2 / scan_samples_) + kFlushNs;
    if (have > 0 && now >= flush) {
        want = have;
        return std::nullopt;
    }
    std::optional<uint64_t> wake = flush;
    if (segments_.back().hz > 0.0)
        wake = std::min(flush, scan_time(((bytes_sent_ + want + 1) / 2 - 1) / scan_samples_));
    return BulkReply::wait(wake);
}

uint64_t AdcSamples::sample_time(uint64_t index) const
{
    return counter_paced_ ? scan_time(index / scan_samples_) : start_ns_ + index * period_;
}

uint16_t AdcSamples::sample(uint64_t index) const
{
    if (!pattern_.empty()) return pattern_[index % pattern_.size()];
    const uint64_t at = sample_time(index);
    uint8_t gain = 0;
    double v = 0.0;
    if ((cal_mode_ & 0x01) != 0) {
        gain = reference_gain_;
        v = (cal_mode_ & 0x02) != 0 ? high_reference_volts_ : low_reference_volts_;
    } else {
        const uint32_t channel = first_channel_ + static_cast<uint32_t>((index / per_channel_) % channel_count_);
        gain = gain_[channel % kChannels];
        v = volts(channel, at, index);
    }
    const uint16_t raw = to_counts(v, gain);
    return bipolar(gain) ? bipolar_[raw] : unipolar_[raw];
}

BulkReply AdcSamples::read(std::span<uint8_t> buffer)
{
    const uint64_t total = announced_ * 2;
    if (!running_ || stopped_ || bytes_sent_ >= total) return BulkReply::wait();
    uint64_t want = std::min<uint64_t>(buffer.size(), total - bytes_sent_);
    if (counter_paced_) {
        if (std::optional<BulkReply> wait = paced_wait(want)) return *wait;
    } else if (rate_ > 0.0) {
        // Samples taken so far in simulated time; the read completes once it can be filled.
        const uint64_t now = board_.now_ns();
        const uint64_t taken = std::min(announced_, (now - start_ns_) / period_ + 1);
        const uint64_t needed = (bytes_sent_ + want + 1) / 2;
        if (taken < needed) return BulkReply::wait(start_ns_ + (needed - 1) * period_);
    }
    // Sample by sample; a read that began or ends inside a sample takes its half.
    uint64_t byte = bytes_sent_;
    const uint64_t end = bytes_sent_ + want;
    uint8_t* out = buffer.data();
    if ((byte & 1) != 0) *out++ = static_cast<uint8_t>(sample(byte++ / 2) >> 8);
    if (!pattern_.empty()) {
        // The fixed pattern, as sample() gives it, without its per-sample look at the signals: the
        // benchmarks stream it faster than any board sends.
        const size_t size = pattern_.size();
        std::vector<uint8_t> bytes(2 * size);
        for (size_t i = 0; i < size; ++i) {
            bytes[2 * i] = static_cast<uint8_t>(pattern_[i]);
            bytes[2 * i + 1] = static_cast<uint8_t>(pattern_[i] >> 8);
        }
        size_t at = static_cast<size_t>(byte / 2 % size) * 2;
        while (byte + 1 < end) {
            const size_t n = std::min<uint64_t>(bytes.size() - at, (end - byte) & ~uint64_t{1});
            std::memcpy(out, bytes.data() + at, n);
            out += n;
            byte += n;
            at = (at + n) % bytes.size();
        }
    }
    for (; byte + 1 < end; byte += 2) {
        const uint16_t s = sample(byte / 2);
        *out++ = static_cast<uint8_t>(s);
        *out++ = static_cast<uint8_t>(s >> 8);
    }
    if (byte < end) *out = static_cast<uint8_t>(sample(byte / 2));
    bytes_sent_ += want;
    if (bytes_sent_ >= total) running_ = false;
    return BulkReply::done(static_cast<uint32_t>(want));
}

void AdcSamples::store_table_block(uint32_t first, uint32_t count)
{
    BulkPipes* pipes = board_.feature<BulkPipes>();
    if (pipes == nullptr || !pipes->has_out(kEpOut)) return;
    std::vector<uint8_t> bytes(size_t{count} * 2);
    const uint32_t got = pipes->take_out(kEpOut, bytes);
    const AdcConfig* config = board_.feature<AdcConfig>();
    const uint8_t mode = config != nullptr ? config->block()[16] : 0;
    const bool to_bipolar = (mode & 0x01) == 0 || (mode & 0x04) != 0;
    const bool to_unipolar = (mode & 0x01) == 0 || (mode & 0x04) == 0;
    for (uint32_t i = 0; i < got / 2; ++i) {
        const uint16_t entry = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        if (to_bipolar) bipolar_[first + i] = entry;
        if (to_unipolar) unipolar_[first + i] = entry;
    }
}

KorvalSimAdcState AdcSamples::state() const
{
    KorvalSimAdcState s{};
    s.announced = announced_;
    s.bytes_sent = bytes_sent_;
    s.running = running_ ? 1 : 0;
    s.start_requests = start_requests_;
    s.triggers = triggers_;
    return s;
}

namespace {

const RegisterFeature kAdcSamples{
    "adc-samples", [](const Product& p) { return p.adc_inputs > 0 || p.immediate_adcs > 0; },
    [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<AdcSamples>(b); }};

}  // namespace

}  // namespace korval::sim

using korval::sim::AdcSamples;
using korval::sim::with_feature;

extern "C" {

uint32_t KorvalSim_SetAdcSignal(KorvalSim* sim, uint32_t board, uint32_t channel, const KorvalSimAdcSignal* signal)
{
    if (signal == nullptr || signal->kind > KORVAL_SIM_SIGNAL_NOISE) return ERROR_INVALID_PARAMETER;
    if (channel != KORVAL_SIM_ALL_CHANNELS && channel >= AdcSamples::kChannels) return ERROR_INVALID_PARAMETER;
    return with_feature<AdcSamples>(sim, board, [&](AdcSamples& adc) {
        for (uint32_t c = 0; c < AdcSamples::kChannels; ++c)
            if (channel == KORVAL_SIM_ALL_CHANNELS || c == channel) adc.set_signal(c, *signal);
        return uint32_t{ERROR_SUCCESS};
    });
}

uint32_t KorvalSim_SetAdcRate(KorvalSim* sim, uint32_t board, double samples_per_second)
{
    if (!(samples_per_second >= 0.0) || samples_per_second > 1e9) return ERROR_INVALID_PARAMETER;
    return with_feature<AdcSamples>(sim, board, [&](AdcSamples& adc) {
        adc.set_rate(samples_per_second);
        return uint32_t{ERROR_SUCCESS};
    });
}

uint32_t KorvalSim_SetAdcPattern(KorvalSim* sim, uint32_t board, const uint16_t* counts, uint32_t size)
{
    if (counts == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
    return with_feature<AdcSamples>(sim, board, [&](AdcSamples& adc) {
        adc.set_pattern(std::vector<uint16_t>(counts, counts + size));
        return uint32_t{ERROR_SUCCESS};
    });
}

uint32_t KorvalSim_AdcTrigger(KorvalSim* sim, uint32_t board)
{
    return with_feature<AdcSamples>(sim, board, [](AdcSamples& adc) {
        adc.trigger();
        return uint32_t{ERROR_SUCCESS};
    });
}

uint32_t KorvalSim_SetAdcStopped(KorvalSim* sim, uint32_t board, int stopped)
{
    return with_feature<AdcSamples>(sim, board, [&](AdcSamples& adc) {
        adc.set_stopped(stopped != 0);
        return uint32_t{ERROR_SUCCESS};
    });
}

uint32_t KorvalSim_SetAdcLowReference(KorvalSim* sim, uint32_t board, double volts)
{
    if (!std::isfinite(volts)) return ERROR_INVALID_PARAMETER;
    return with_feature<AdcSamples>(sim, board, [&](AdcSamples& adc) {
        adc.set_low_reference(volts);
        return uint32_t{ERROR_SUCCESS};
    });
}

uint32_t KorvalSim_SetAdcCalQueryReply(KorvalSim* sim, uint32_t board, uint8_t reply)
{
    return with_feature<AdcSamples>(sim, board, [&](AdcSamples& adc) {
        adc.set_query_reply(reply);
        return uint32_t{ERROR_SUCCESS};
    });
}

uint32_t KorvalSim_GetAdcState(KorvalSim* sim, uint32_t board, KorvalSimAdcState* state)
{
    if (state == nullptr) return ERROR_INVALID_PARAMETER;
    return with_feature<AdcSamples>(sim, board, [&](AdcSamples& adc) {
        *state = adc.state();
        return uint32_t{ERROR_SUCCESS};
    });
}

uint32_t KorvalSim_GetAdcCalTable(KorvalSim* sim, uint32_t board, int bipolar, uint16_t* table, uint32_t count)
{
    if ((table == nullptr && count > 0) || count > AdcSamples::kTableEntries) return ERROR_INVALID_PARAMETER;
    return with_feature<AdcSamples>(sim, board, [&](AdcSamples& adc) {
        const auto& t = adc.table(bipolar != 0);
        std::copy_n(t.begin(), count, table);
        return uint32_t{ERROR_SUCCESS};
    });
}

}  // extern "C"
