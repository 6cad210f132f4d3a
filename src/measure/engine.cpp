// The measurement engine (engine.h). It reaches the board only through the library's exported
// functions, in a fixed order at the start: the configuration block, the scan clock, the counter start
// source, the continuous acquisition; and at the end: the continuous acquisition, then the scan clock.
#include "measure/engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <numeric>

#include "base/caller_memory.h"

namespace korval::measure {

namespace {

constexpr uint32_t kLargestDivisor = 65535;
constexpr uint32_t kRingBuffers = 16;
constexpr uint32_t kLargestBuffer = 4u << 20;         // bytes of one buffer of the ring
constexpr uint64_t kLargestBlockValues = 1ull << 24;  // values (scans x channels) of one block
constexpr size_t kQueuedBlocks = 8;                   // blocks a reader may leave unread before the ring grows
constexpr uint8_t kStartSourceMask = 0x03;
constexpr uint8_t kCounterStart = 0x01;  // each pulse of counter 2 of block 0 starts a scan
constexpr size_t kTableValues = 256;     // values of one run of the conversion tables, at the least

// The measurements running, by slot: the continuous acquisition's context is the slot.
std::atomic<Measurement*> g_running[KORVAL_SLOT_COUNT];

// The measurement whose callback the calling thread runs.
thread_local const Measurement* t_in_callback = nullptr;

struct InCallback {
    explicit InCallback(const Measurement* m) : previous(t_in_callback) { t_in_callback = m; }
    ~InCallback() { t_in_callback = previous; }
    const Measurement* previous;
};

void KORVAL_CALLBACK on_continuous_buffer(uint16_t* data, uint32_t size, uint32_t flags, uint32_t context)
{
    if (context >= KORVAL_SLOT_COUNT) return;
    if (Measurement* m = g_running[context].load(std::memory_order_acquire))
        m->on_buffer(reinterpret_cast<const uint8_t*>(data), size, flags);
}

constexpr size_t kGroup = 16;  // values converted together

// One run of values: the counts as they came, and volts from them by the run's tables, in one pass.
// Nothing aliases and nothing branches; the values go in groups of a fixed size, which the compiler
// vectorises at every optimisation level that vectorises at all (a loop of unknown length only at the
// higher ones), then the few left one by one.
inline void convert_run(const uint8_t* __restrict raw, size_t values, const double* __restrict scale,
                        const double* __restrict offset, double* __restrict volts, uint16_t* __restrict counts)
{
    size_t j = 0;
    for (; j + kGroup <= values; j += kGroup) {
        uint16_t c[kGroup];
        std::memcpy(c, raw + 2 * j, sizeof c);
        for (size_t i = 0; i < kGroup; ++i) {
            counts[j + i] = c[i];
            volts[j + i] = c[i] * scale[j + i] + offset[j + i];
        }
    }
    for (; j < values; ++j) {
        uint16_t c;
        std::memcpy(&c, raw + 2 * j, 2);
        counts[j] = c;
        volts[j] = c * scale[j] + offset[j];
    }
}

// The same with a table of one group's length, for channel counts that divide the group: the group's
// scales and offsets stay in registers, where the runs' tables are loaded value by value.
inline void convert_groups(const uint8_t* __restrict raw, size_t values, const double* __restrict scale,
                           const double* __restrict offset, double* __restrict volts, uint16_t* __restrict counts)
{
    double s[kGroup], o[kGroup];
    std::memcpy(s, scale, sizeof s);
    std::memcpy(o, offset, sizeof o);
    size_t j = 0;
    for (; j + kGroup <= values; j += kGroup) {
        uint16_t c[kGroup];
        std::memcpy(c, raw + 2 * j, sizeof c);
        for (size_t i = 0; i < kGroup; ++i) {
            counts[j + i] = c[i];
            volts[j + i] = c[i] * s[i] + o[i];
        }
    }
    convert_run(raw + 2 * j, values - j, scale, offset, volts + j, counts + j);
}

// Scans without oversample, run by run. Each run starts a scan, so one table serves every run.
void convert_plain(const uint8_t* raw, size_t values, const double* scale, const double* offset, size_t run,
                   uint32_t channels, double* volts, uint16_t* counts)
{
    if (channels != 0 && kGroup % channels == 0) {
        convert_groups(raw, values, scale, offset, volts, counts);
        return;
    }
    for (size_t at = 0; at < values; at += run)
        convert_run(raw + 2 * at, std::min(run, values - at), scale, offset, volts + at, counts + at);
}

int64_t utc_now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Measurement::Measurement(uint32_t slot, const KorvalCapabilities& caps) : slot_(slot), caps_(caps) {}

Measurement::~Measurement()
{
    stop();
    join_ender();
}

bool Measurement::in_own_callback() const { return t_in_callback == this; }

uint32_t Measurement::check(const KorvalMeasureSettings& settings, Plan& p) const
{
    if (settings.FirstChannel > settings.LastChannel || settings.LastChannel >= caps_.ADCMUXChannels)
        return ERROR_INVALID_PARAMETER;
    const uint32_t n = settings.LastChannel - settings.FirstChannel + 1;
    if (n > KORVAL_MEASURE_MAX_CHANNELS || (settings.RangeCount != 1 && settings.RangeCount != n))
        return ERROR_INVALID_PARAMETER;
    if (settings.Oversample > 255) return ERROR_INVALID_PARAMETER;
    p.first = settings.FirstChannel;
    p.channels = n;
    p.per_channel = settings.Oversample + 1;
    p.scan_bytes = 2 * n * p.per_channel;
    // Channels that share a range slot take one range.
    int slot_code[KORVAL_MEASURE_MAX_CHANNELS];
    std::fill(std::begin(slot_code), std::end(slot_code), -1);
    for (uint32_t k = 0; k < n; ++k) {
        const uint8_t code = settings.Ranges[settings.RangeCount == 1 ? 0 : k];
        if (code > KORVAL_ADC_GAIN_CODE_MASK) return ERROR_INVALID_PARAMETER;
        const uint32_t s = (settings.FirstChannel + k) >> caps_.RangeShift;
        if (s >= KORVAL_ADC_RANGE_SLOTS) return ERROR_INVALID_PARAMETER;
        if (slot_code[s] >= 0 && slot_code[s] != code) return ERROR_INVALID_PARAMETER;
        slot_code[s] = code;
        p.codes[k] = code;
    }
    // The rates the two cascaded counters make: the root clock over 4 to 65,535 squared.
    const double clock = caps_.RootClock;
    const double lowest = clock / (double{kLargestDivisor} * kLargestDivisor);
    if (!std::isfinite(settings.Rate) || !(settings.Rate >= lowest) || !(settings.Rate <= clock / 4))
        return ERROR_INVALID_PARAMETER;
    p.rate = settings.Rate;
    if (!std::isfinite(settings.BlockSeconds) || settings.BlockSeconds < 0) return ERROR_INVALID_PARAMETER;
    p.block_seconds = settings.BlockSeconds > 0 ? settings.BlockSeconds : 0.05;
    p.block_scans = settings.BlockScans;
    if (uint64_t{p.block_scans} * n > kLargestBlockValues) return ERROR_INVALID_PARAMETER;
    p.scans = settings.Scans;
    p.trigger = settings.Trigger;
    const KorvalTrigger& t = settings.Trigger;
    if (t.Slope > KORVAL_TRIGGER_FALLING) return ERROR_INVALID_PARAMETER;
    if (t.Slope != KORVAL_TRIGGER_NONE) {
        if (t.Channel < settings.FirstChannel || t.Channel > settings.LastChannel) return ERROR_INVALID_PARAMETER;
        if (!std::isfinite(t.Level) || !std::isfinite(t.Hysteresis) || t.Hysteresis < 0) return ERROR_INVALID_PARAMETER;
        if (settings.Scans == 0 || t.PreTriggerScans >= settings.Scans) return ERROR_INVALID_PARAMETER;
        if (uint64_t{t.PreTriggerScans} * n > kLargestBlockValues) return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

std::shared_ptr<Conversion> Conversion::make(const Plan& p)
{
    auto c = std::make_shared<Conversion>();
    c->channels = p.channels;
    c->per_channel = p.per_channel;
    c->scan_bytes = p.scan_bytes;
    for (uint32_t k = 0; k < p.channels; ++k) {
        // volts = mean x scale + offset, as KORVAL_ADC_CountsToVolts() converts.
        const uint8_t code = p.codes[k];
        const double span = KORVAL_ADC_GainSpanVolts(code);
        const bool bipolar = KORVAL_ADC_GainBipolar(code) != 0;
        c->scale[k] = (bipolar ? 2.0 : 1.0) * span / 65536.0;
        c->offset[k] = bipolar ? -span : 0.0;
    }
    const size_t run = (kTableValues + p.channels - 1) / p.channels * p.channels;
    c->run_scale.resize(run);
    c->run_offset.resize(run);
    for (size_t j = 0; j < run; ++j) {
        c->run_scale[j] = c->scale[j % p.channels];
        c->run_offset[j] = c->offset[j % p.channels];
    }
    return c;
}

void Measurement::reset_run(const Plan& p, double rate, KorvalMeasureCallback callback, void* context)
{
    plan_ = p;
    std::shared_ptr<const Conversion> c = Conversion::make(p);
    period_ = 1.0 / rate;
    uint64_t scans = p.block_scans != 0 ? p.block_scans : std::max<uint64_t>(1, std::llround(p.block_seconds * rate));
    scans = std::min<uint64_t>(scans, std::max<uint64_t>(1, kLargestBlockValues / p.channels));
    if (p.scans != 0) scans = std::min<uint64_t>(scans, p.scans);
    block_cap_ = static_cast<uint32_t>(scans);
    trigger_column_ = p.trigger.Channel - p.first;
    carry_.assign(p.scan_bytes, 0);
    carry_len_ = 0;
    acquired_index_ = 0;
    block_.reset();
    next_block_.reset();
    pending_grown_ = false;
    pending_record_start_ = true;
    last_delivered_ = false;
    done_ = false;
    searching_ = p.trigger.Slope != KORVAL_TRIGGER_NONE;
    left_ = p.scans;
    armed_ = false;
    seen_ = 0;
    const size_t pre = p.trigger.Slope != KORVAL_TRIGGER_NONE ? p.trigger.PreTriggerScans : 0;
    history_.assign(pre * p.scan_bytes, 0);
    history_head_ = history_count_ = 0;
    trigger_scan_ = -1;
    record_ = 0;
    {
        std::lock_guard lock(queue_mutex_);
        callback_ = callback;
        context_ = context;
        started_acquisition_ = true;
        ready_.clear();
        queued_ = 0;
        spare_.clear();
        reading_.reset();
        last_read_ = false;
        ended_ = false;
        stopping_ = false;
        end_reason_ = kNotEnding;
        ++run_;
        conversion_ = std::move(c);
    }
    result_ = 0;
    delivered_ = 0;
    acquired_ = 0;
    growths_ = 0;
    records_ = 0;
    rate_ = rate;
}

uint32_t Measurement::start(const Plan& p, KorvalMeasureCallback callback, void* context, double& rate)
{
    if (in_own_callback()) return ERROR_TOO_MANY_OPEN_FILES;
    std::lock_guard control(control_);
    if (state_ == KORVAL_MEASURE_RUNNING) return ERROR_TOO_MANY_OPEN_FILES;
    join_ender();  // a measurement that ended by itself: its ender has finished or is finishing
    started_ = false;
    // Another acquisition on the board is found before anything is sent: a continuous one answers its
    // debug query, a one-shot one that still reads reports bytes left.
    int32_t blanks = 0, accessings = 0, filled = 0, left = 0;
    Measurement* none = nullptr;
    if (ADC_BulkContinuousDebug(slot_, &blanks, &accessings, &filled) == ERROR_SUCCESS ||
        (ADC_BulkPoll(slot_, &left) == ERROR_SUCCESS && left != 0) ||
        !g_running[slot_].compare_exchange_strong(none, this))
        return ERROR_TOO_MANY_OPEN_FILES;
    const auto give_up = [this](uint32_t r) {
        g_running[slot_].store(nullptr);
        return r;
    };

    // The configuration block, whole: ranges, scan limits, oversample, normal conversion. Its start
    // source is cleared here and set only once the scan clock runs at the new rate, so that no scan is
    // taken at the clock's old rate.
    uint8_t block[KORVAL_ADC_CONFIG_MAX] = {};
    uint32_t size = sizeof block;
    if (const uint32_t r = ADC_GetConfig(slot_, block, &size)) return give_up(r);
    for (uint32_t k = 0; k < p.channels; ++k) block[(p.first + k) >> caps_.RangeShift] = p.codes[k];
    const uint32_t last = p.first + p.channels - 1;
    block[KORVAL_ADC_CAL_MODE_BYTE] = 0;
    block[KORVAL_ADC_TRIGGER_BYTE] = static_cast<uint8_t>(block[KORVAL_ADC_TRIGGER_BYTE] & ~kStartSourceMask);
    if (size > KORVAL_ADC_SCAN_LIMITS_HIGH_BYTE) {
        block[KORVAL_ADC_SCAN_LIMITS_BYTE] = static_cast<uint8_t>((p.first & 0x0F) | ((last & 0x0F) << 4));
        block[KORVAL_ADC_SCAN_LIMITS_HIGH_BYTE] = static_cast<uint8_t>((p.first >> 4) | (last & 0xF0));
    } else {
        block[KORVAL_ADC_SCAN_LIMITS_BYTE] = static_cast<uint8_t>(p.first | (last << 4));
    }
    block[KORVAL_ADC_OVERSAMPLE_BYTE] = static_cast<uint8_t>(p.per_channel - 1);
    if (const uint32_t r = ADC_SetConfig(slot_, block, &size)) return give_up(r);

    // The scan clock: counters 1 and 2 of block 0; the frequency written back is the rate obtained.
    double hz = p.rate;
    if (const uint32_t r = CTR_StartOutputFreq(slot_, 0, &hz)) return give_up(r);
    const auto stop_clock = [this] {
        double zero = 0.0;
        (void)CTR_StartOutputFreq(slot_, 0, &zero);
    };
    // The counter start: each pulse of the clock starts one scan.
    block[KORVAL_ADC_TRIGGER_BYTE] = static_cast<uint8_t>(block[KORVAL_ADC_TRIGGER_BYTE] | kCounterStart);
    if (const uint32_t r = ADC_SetConfig(slot_, block, &size)) {
        stop_clock();
        return give_up(r);
    }

    reset_run(p, hz, callback, context);
    // The ring's buffers hold whole 512-byte packets (the continuous acquisition needs that) and whole
    // scans: each sample count the acquisition announces (16 buffers) is then whole scans, and the
    // board goes on with the same scan clock from one count to the next instead of starting afresh.
    const uint64_t unit = std::lcm(uint64_t{512}, uint64_t{p.scan_bytes});
    const uint64_t wanted = uint64_t{block_cap_} * p.scan_bytes;
    uint64_t bytes = std::max<uint64_t>(unit, (wanted + unit - 1) / unit * unit);
    if (bytes > kLargestBuffer) bytes = std::max<uint64_t>(unit, kLargestBuffer / unit * unit);
    if (bytes * kRingBuffers > 0xFFFFFFFFull) bytes = unit;
    state_ = KORVAL_MEASURE_RUNNING;
    started_ = true;
    ender_ = std::thread([this] { ender_body(); });
    // The context names the board: the callback finds this measurement by it.
    const uint32_t r =
        ADC_BulkContinuousStart(slot_, static_cast<uint32_t>(bytes), kRingBuffers, slot_, on_continuous_buffer);
    if (r != ERROR_SUCCESS) {
        {
            std::lock_guard lock(queue_mutex_);
            stopping_ = true;
            end_reason_ = kStopped;
            last_read_ = true;
            started_acquisition_ = false;  // the acquisition the board runs, if any, is not this one's
        }
        end_cv_.notify_all();
        ender_.join();  // it stops the clock
        state_ = KORVAL_MEASURE_IDLE;
        started_ = false;
        return give_up(r);
    }
    rate = hz;
    return ERROR_SUCCESS;
}

void Measurement::on_buffer(const uint8_t* data, uint32_t size, uint32_t flags)
{
    if ((flags & KORVAL_CONT_FINAL) != 0) {
        if (!done_) request_end(kBoardEnded);
        return;
    }
    if (done_) return;
    if ((flags & KORVAL_CONT_GROWN) != 0) {
        ++growths_;
        pending_grown_ = true;
    }
    // A reader that has fallen behind holds the buffer thread here; the acquisition's ring grows
    // meanwhile, so nothing is lost. A stop ends the wait. While the reader keeps up, no lock is taken.
    if (callback_ == nullptr && queued_.load(std::memory_order_acquire) >= kQueuedBlocks) {
        std::unique_lock lock(queue_mutex_);
        queue_cv_.wait(lock, [this] { return ready_.size() < kQueuedBlocks || stopping_; });
        if (stopping_) return;
    }
    const size_t scan = plan_.scan_bytes;
    if (carry_len_ != 0) {
        const size_t take = std::min<size_t>(size, scan - carry_len_);
        std::memcpy(carry_.data() + carry_len_, data, take);
        carry_len_ += take;
        data += take;
        size -= static_cast<uint32_t>(take);
        if (carry_len_ < scan) return;
        carry_len_ = 0;
        take_scans(carry_.data(), 1);
    }
    const size_t whole = size / scan;
    if (whole != 0 && !done_) take_scans(data, whole);
    const size_t rest = size - whole * scan;
    if (rest != 0 && !done_) {
        std::memcpy(carry_.data(), data + whole * scan, rest);
        carry_len_ = rest;
    }
}

void Conversion::convert(const uint8_t* raw, size_t scans, double* volts, uint16_t* counts) const
{
    const uint32_t n = channels;
    const uint32_t per = per_channel;
    if (per == 1) {
        convert_plain(raw, scans * n, run_scale.data(), run_offset.data(), run_scale.size(), n, volts, counts);
        return;
    }
    // With oversample, a channel's value is the mean of its conversions after the first.
    const double extra = per - 1;
    for (size_t s = 0; s < scans; ++s) {
        for (uint32_t k = 0; k < n; ++k) {
            uint32_t sum = 0;
            for (uint32_t i = 1; i < per; ++i) {
                uint16_t c;
                std::memcpy(&c, raw + 2 * (k * per + i), 2);
                sum += c;
            }
            const double mean = sum / extra;
            counts[k] = static_cast<uint16_t>(std::nearbyint(mean));
            volts[k] = mean * scale[k] + offset[k];
        }
        raw += 2 * size_t{n} * per;
        volts += n;
        counts += n;
    }
}

double Conversion::column_volts(const uint8_t* raw, uint32_t k) const
{
    const uint32_t per = per_channel;
    if (per == 1) {
        uint16_t c;
        std::memcpy(&c, raw + 2 * size_t{k}, 2);
        return c * scale[k] + offset[k];
    }
    uint32_t sum = 0;
    for (uint32_t i = 1; i < per; ++i) {
        uint16_t c;
        std::memcpy(&c, raw + 2 * (size_t{k} * per + i), 2);
        sum += c;
    }
    const double mean = sum / static_cast<double>(per - 1);
    return mean * scale[k] + offset[k];
}

std::unique_ptr<Block> Measurement::new_block()
{
    if (next_block_) return std::move(next_block_);
    {
        std::lock_guard lock(queue_mutex_);
        if (!spare_.empty()) {
            std::unique_ptr<Block> b = std::move(spare_.back());
            spare_.pop_back();
            return b;
        }
    }
    auto b = std::make_unique<Block>();
    if (callback_ != nullptr) {
        b->volts.resize(size_t{block_cap_} * plan_.channels);
        b->counts.resize(size_t{block_cap_} * plan_.channels);
    } else {
        b->raw.resize(size_t{block_cap_} * plan_.scan_bytes);
    }
    return b;
}

Block& Measurement::current(uint64_t first_index)
{
    if (block_ && block_->filled == block_cap_) finish_block(false, 0);
    if (!block_) {
        block_ = new_block();
        KorvalMeasureBlock& h = block_->head;
        h = KorvalMeasureBlock{};
        h.Size = sizeof h;
        h.FirstScan = first_index;
        h.ChannelCount = plan_.channels;
        h.ScanPeriod = period_;
        h.TriggerScan = -1;
        h.Record = record_;
        if (pending_record_start_) h.Flags |= KORVAL_BLOCK_RECORD_START;
        pending_record_start_ = false;
    }
    return *block_;
}

void Measurement::add_raw(const uint8_t* raw, size_t scans, uint64_t first_index)
{
    const uint32_t n = plan_.channels;
    while (scans != 0) {
        Block& b = current(first_index);
        const size_t m = std::min<size_t>(scans, block_cap_ - b.filled);
        if (callback_ != nullptr)
            conversion_->convert(raw, m, b.volts.data() + size_t{b.filled} * n, b.counts.data() + size_t{b.filled} * n);
        else
            std::memcpy(b.raw.data() + size_t{b.filled} * plan_.scan_bytes, raw, m * plan_.scan_bytes);
        b.filled += static_cast<uint32_t>(m);
        raw += m * plan_.scan_bytes;
        scans -= m;
        first_index += m;
        if (b.filled == block_cap_ && scans != 0) finish_block(false, 0);
    }
}

bool Measurement::trigger_at(double v)
{
    const KorvalTrigger& t = plan_.trigger;
    bool fired = false;
    if (t.Slope == KORVAL_TRIGGER_RISING) {
        fired = armed_ && v >= t.Level;
        if (!fired && v <= t.Level - t.Hysteresis) armed_ = true;
    } else {
        fired = armed_ && v <= t.Level;
        if (!fired && v >= t.Level + t.Hysteresis) armed_ = true;
    }
    // Each record has its pre-trigger scans: a trigger counts once that many scans have been seen. A
    // crossing before that is used up all the same: the next trigger is the next crossing.
    if (fired) armed_ = false;
    return fired && seen_ >= t.PreTriggerScans;
}

void Measurement::record_ended()
{
    ++records_;
    const uint32_t wanted = plan_.trigger.Records;
    const bool last = plan_.trigger.Slope == KORVAL_TRIGGER_NONE || (wanted != 0 && records_ >= wanted);
    if (last) {
        done_ = true;
        state_ = KORVAL_MEASURE_ENDED;  // for the status the program reads after the last block
        finish_block(true, 0);
        request_end(kDone);
        return;
    }
    finish_block(false, 0);
    ++record_;
    pending_record_start_ = true;
    searching_ = true;
    armed_ = false;
    seen_ = 0;
    history_head_ = history_count_ = 0;
    left_ = plan_.scans;
}

void Measurement::take_scans(const uint8_t* raw, size_t scans)
{
    const size_t bytes = plan_.scan_bytes;
    while (scans != 0 && !done_) {
        if (!searching_) {
            // Delivering: straight from the buffer into the blocks.
            size_t m = scans;
            if (plan_.scans != 0) m = static_cast<size_t>(std::min<uint64_t>(m, left_));
            add_raw(raw, m, acquired_index_);
            acquired_index_ += m;
            acquired_ += m;
            raw += m * plan_.scan_bytes;
            scans -= m;
            if (plan_.scans != 0) {
                left_ -= m;
                if (left_ == 0) {
                    record_ended();
                    continue;
                }
            }
            if (block_ && block_->filled == block_cap_) finish_block(false, 0);
            continue;
        }
        // Looking for the trigger, scan by scan: only the trigger channel is converted; the last
        // pre-trigger scans are kept as they came.
        const uint8_t* scan = raw;
        const uint64_t index = acquired_index_++;
        ++acquired_;
        raw += bytes;
        --scans;
        const bool fired = trigger_at(conversion_->column_volts(scan, trigger_column_));
        ++seen_;
        const size_t pre = plan_.trigger.PreTriggerScans;
        if (!fired) {
            if (pre == 0) continue;
            const size_t at = history_count_ < pre ? history_count_++ : history_head_;
            if (history_count_ == pre && at == history_head_) history_head_ = (history_head_ + 1) % pre;
            std::memcpy(history_.data() + at * bytes, scan, bytes);
            continue;
        }
        // The record: the pre-trigger scans, oldest first (a trigger counts only once the history is
        // full: from its oldest place to its end, then from its start), then the trigger scan.
        searching_ = false;
        trigger_scan_ = static_cast<int64_t>(index);
        const size_t head = history_head_;
        add_raw(history_.data() + head * bytes, pre - head, index - pre);
        add_raw(history_.data(), head, index - head);
        Block& b = current(index);
        b.head.Flags |= KORVAL_BLOCK_TRIGGER;
        b.head.TriggerScan = trigger_scan_;
        add_raw(scan, 1, index);
        left_ = plan_.scans - pre - 1;
        if (left_ == 0)
            record_ended();
        else if (block_ && block_->filled == block_cap_)
            finish_block(false, 0);
    }
}

void Measurement::finish_block(bool last, uint32_t result)
{
    std::unique_ptr<Block> b = std::move(block_);
    if (!b) {
        if (!last) return;
        b = new_block();
        b->filled = 0;
        b->head = KorvalMeasureBlock{};
        b->head.Size = sizeof b->head;
        b->head.FirstScan = acquired_index_;
        b->head.ChannelCount = plan_.channels;
        b->head.ScanPeriod = period_;
        b->head.TriggerScan = -1;
        b->head.Record = record_;
    }
    KorvalMeasureBlock& h = b->head;
    h.ScanCount = b->filled;
    h.HostTimeNs = utc_now_ns();
    if (pending_grown_) h.Flags |= KORVAL_BLOCK_GROWN;
    pending_grown_ = false;
    if (last) {
        h.Flags |= KORVAL_BLOCK_LAST;
        h.Result = result;
        if (result == ERROR_DEVICE_REMOVED) h.Flags |= KORVAL_BLOCK_GONE;
        last_delivered_ = true;
    }
    h.Volts = callback_ != nullptr ? b->volts.data() : nullptr;  // a read points them at the values it makes
    h.Counts = callback_ != nullptr ? b->counts.data() : nullptr;
    deliver(std::move(b));
}

void Measurement::deliver(std::unique_ptr<Block> b)
{
    if (callback_ != nullptr) {
        {
            const InCallback marker(this);
            try {
                callback_(&b->head, context_);
            } catch (...) {
                // The program's exception stops neither the measurement nor the library's thread.
            }
        }
        delivered_ += b->filled;
        b->filled = 0;
        next_block_ = std::move(b);  // the next block's memory, with no lock
        return;
    }
    {
        // One lock per block: the block goes to the queue, and a spare one comes back for the next.
        std::lock_guard lock(queue_mutex_);
        if (stopping_) {
            b->filled = 0;
            next_block_ = std::move(b);
            return;
        }
        ready_.push_back(std::move(b));
        queued_.store(ready_.size(), std::memory_order_release);
        if (!next_block_ && !spare_.empty()) {
            next_block_ = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    queue_cv_.notify_all();
}

void Measurement::request_end(EndReason reason)
{
    {
        std::lock_guard lock(queue_mutex_);
        if (end_reason_ != kNotEnding) return;
        end_reason_ = reason;
    }
    end_cv_.notify_all();
}

// The end, on a thread of its own: the continuous acquisition cannot be ended from its own callback,
// where a measurement finds that it has all its scans or that the board has gone.
void Measurement::ender_body()
{
    EndReason reason = kNotEnding;
    bool acquiring = false;
    {
        std::unique_lock lock(queue_mutex_);
        end_cv_.wait(lock, [this] { return end_reason_ != kNotEnding; });
        reason = end_reason_;
        acquiring = started_acquisition_;
    }
    uint32_t io_status = 0;
    const uint32_t ended = acquiring ? ADC_BulkContinuousEnd(slot_, &io_status) : ERROR_HANDLE_EOF;
    double zero = 0.0;
    (void)CTR_StartOutputFreq(slot_, 0, &zero);  // 0 Hz stops the scan clock
    g_running[slot_].store(nullptr);
    uint32_t result = 0;
    if (reason != kStopped) {
        if (io_status != 0 && io_status != ERROR_OPERATION_ABORTED)
            result = io_status;
        else if (reason == kBoardEnded && ended != ERROR_SUCCESS && ended != ERROR_HANDLE_EOF)
            result = ended;
    }
    result_ = result;
    state_ = KORVAL_MEASURE_ENDED;
    // The buffer thread has ended: its scans not yet in a block go out with the last block.
    if (reason != kStopped && !last_delivered_) finish_block(true, result);
    {
        std::lock_guard lock(queue_mutex_);
        if (reason == kStopped) last_read_ = true;
        ended_ = true;
    }
    queue_cv_.notify_all();
}

void Measurement::join_ender()
{
    if (ender_.joinable()) ender_.join();
}

uint32_t Measurement::stop()
{
    if (in_own_callback()) return ERROR_NOT_SUPPORTED;
    std::lock_guard control(control_);
    if (!started_) return ERROR_HANDLE_EOF;
    started_ = false;
    {
        std::lock_guard lock(queue_mutex_);
        stopping_ = true;
        if (end_reason_ == kNotEnding) end_reason_ = kStopped;
    }
    end_cv_.notify_all();
    queue_cv_.notify_all();
    join_ender();
    std::lock_guard lock(queue_mutex_);
    for (auto& b : ready_) spare_.push_back(std::move(b));
    ready_.clear();
    queued_ = 0;
    reading_.reset();
    last_read_ = true;
    ended_ = true;
    state_ = KORVAL_MEASURE_ENDED;
    return ERROR_SUCCESS;
}

uint32_t Measurement::read(KorvalMeasureBlock* out, uint32_t out_size, double* volts, uint16_t* counts,
                           uint32_t capacity, uint32_t timeout_ms)
{
    std::unique_lock lock(queue_mutex_);
    if (callback_ != nullptr && state_ != KORVAL_MEASURE_IDLE) return ERROR_NOT_SUPPORTED;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    // The end is known only once no other read still converts a block that may go back to the queue.
    const auto ready = [this] { return !ready_.empty() || ((last_read_ || ended_) && converting_ == 0); };
    if (!queue_cv_.wait_until(lock, deadline, ready)) return ERROR_TIMEOUT;
    if (ready_.empty()) {
        last_read_ = true;
        return ERROR_HANDLE_EOF;
    }
    if ((volts != nullptr || counts != nullptr) && ready_.front()->filled > capacity) {
        // The block stays to be read; the caller learns its size.
        if (!store_to_caller(&out->ScanCount, ready_.front()->head.ScanCount)) return ERROR_NOACCESS;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    // The block is converted off the lock, so that the buffer thread goes on meanwhile.
    std::unique_ptr<Block> taken = std::move(ready_.front());
    ready_.pop_front();
    queued_.store(ready_.size(), std::memory_order_release);
    const uint64_t run = run_;
    const std::shared_ptr<const Conversion> conversion = conversion_;  // this run's, whatever comes meanwhile
    ++converting_;
    lock.unlock();
    queue_cv_.notify_all();  // the buffer thread may wait for room

    // The values go straight into the caller's memory, once the whole of it is known to take them (a
    // fault is 998 and the block stays to be read); what the caller gives no room for goes into the
    // block's own memory, which stays until the next read.
    Block& b = *taken;
    KorvalMeasureBlock h = b.head;
    const size_t values = size_t{b.filled} * h.ChannelCount;
    bool usable = (volts == nullptr || caller_range_usable(volts, values * sizeof(double), true)) &&
                  (counts == nullptr || caller_range_usable(counts, values * sizeof(uint16_t), true));
    if (usable) {
        const size_t room = b.raw.size() / conversion->scan_bytes * h.ChannelCount;
        if (volts == nullptr) b.volts.resize(room);
        if (counts == nullptr) b.counts.resize(room);
        double* const to_volts = volts != nullptr ? volts : b.volts.data();
        uint16_t* const to_counts = counts != nullptr ? counts : b.counts.data();
        conversion->convert(b.raw.data(), b.filled, to_volts, to_counts);
        h.Volts = to_volts;
        h.Counts = to_counts;
        h.Size = sizeof h;
        usable = copy_to_caller(out, &h, std::min<size_t>(out_size, sizeof h));
    }

    lock.lock();
    --converting_;
    // Whatever the outcome, a read that waits for the end or for this block may go on.
    struct Notify {
        std::condition_variable& cv;
        ~Notify() { cv.notify_all(); }
    } notify{queue_cv_};
    if (run != run_) {
        // Stopped and started again meanwhile: the block is of the run before, and goes.
        if (!usable) return ERROR_NOACCESS;
        if (volts == nullptr || counts == nullptr) stale_ = std::move(taken);  // the values stay as promised
        return ERROR_SUCCESS;
    }
    if (!usable) {
        if (!stopping_) {
            ready_.push_front(std::move(taken));
            queued_.store(ready_.size(), std::memory_order_release);
        } else {
            taken->filled = 0;  // stopped meanwhile: its blocks are dropped
            spare_.push_back(std::move(taken));
        }
        return ERROR_NOACCESS;
    }
    delivered_ += b.filled;
    if ((h.Flags & KORVAL_BLOCK_LAST) != 0) last_read_ = true;
    if (reading_) {
        reading_->filled = 0;
        spare_.push_back(std::move(reading_));
    }
    if (volts != nullptr && counts != nullptr) {
        taken->filled = 0;
        spare_.push_back(std::move(taken));
    } else {
        reading_ = std::move(taken);  // its values stay until the next read
    }
    return ERROR_SUCCESS;
}

void Measurement::status(KorvalMeasureStatus& s) const
{
    s.Size = sizeof s;
    s.State = state_;
    s.ScansDelivered = delivered_;
    s.ScansAcquired = acquired_;
    s.RingGrowths = growths_;
    s.Result = result_;
    s.Rate = rate_;
    s.Records = records_;
    s.Reserved = 0;
}

}  // namespace korval::measure
