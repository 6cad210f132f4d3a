// Measurements on simulated boards with the manual clock: scans counted and timed exactly, the software
// trigger to the scan, records, an unplug, refused settings and the result codes of the calls.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

#include "measure/engine.h"
#include "support/pages.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

constexpr uint64_t kMs = 1'000'000;

struct Read {
    KorvalMeasureBlock head{};
    std::vector<double> volts;
    std::vector<uint16_t> counts;
};

class Measure : public SimTest {
protected:
    uint32_t board_ = 0;
    KorvalMeasurement* m_ = nullptr;

    void make(uint32_t pid = 0x8040)
    {
        board_ = install_one(pid);
        ASSERT_EQ(KorvalSim_SetManualClock(sim_, 1), 0u);
        ASSERT_EQ(KORVAL_MeasureCreate(0, &m_), 0u);
    }
    void TearDown() override
    {
        if (m_ != nullptr) KORVAL_MeasureDestroy(m_);
        SimTest::TearDown();
    }
    void sine(uint32_t channel, double amplitude, double hz, double offset = 0.0)
    {
        const KorvalSimAdcSignal s = {KORVAL_SIM_SIGNAL_SINE, 0, offset, amplitude, hz};
        ASSERT_EQ(KorvalSim_SetAdcSignal(sim_, board_, channel, &s), 0u);
    }
    // Starts, then waits until the board has been told its first sample count: the scans' times count
    // from there, so simulated time must not move before it.
    uint32_t start(KorvalMeasureSettings& s, KorvalMeasureCallback callback = nullptr, void* context = nullptr)
    {
        clear_log(board_);
        const uint32_t r = KORVAL_MeasureStart(m_, &s, callback, context);
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (bool armed = false; r == 0 && !armed && std::chrono::steady_clock::now() < limit;) {
            for (const Transfer& t : log(board_))
                armed = armed || (t.info.kind == KORVAL_SIM_CONTROL && t.request() == 0xBC);
            if (!armed) std::this_thread::yield();
        }
        return r;
    }
    static KorvalMeasureSettings settings(uint32_t first, uint32_t last, double rate, uint64_t scans)
    {
        KorvalMeasureSettings s{};
        s.Size = sizeof s;
        s.FirstChannel = first;
        s.LastChannel = last;
        s.RangeCount = 1;
        s.Ranges[0] = 1;  // ±10 V
        s.Rate = rate;
        s.Scans = scans;
        return s;
    }
    // Blocks until the last one (or `most` blocks), moving simulated time on by `step_ns` while none comes
    // (at most `steps` times).
    std::vector<Read> read_all(size_t most = 100000, uint64_t step_ns = 5 * kMs, uint32_t steps = 100000)
    {
        std::vector<Read> got;
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (got.size() < most && std::chrono::steady_clock::now() < limit && steps != 0) {
            Read r;
            r.head.Size = sizeof r.head;
            const uint32_t code = KORVAL_MeasureRead(m_, &r.head, nullptr, nullptr, 0, 2);
            if (code == ERROR_TIMEOUT) {
                KorvalSim_AdvanceClock(sim_, step_ns);
                --steps;
                continue;
            }
            if (code != 0) break;
            const size_t n = size_t{r.head.ScanCount} * r.head.ChannelCount;
            r.volts.assign(r.head.Volts, r.head.Volts + n);
            r.counts.assign(r.head.Counts, r.head.Counts + n);
            got.push_back(std::move(r));
            if (got.back().head.Flags & KORVAL_BLOCK_LAST) break;
        }
        return got;
    }
    // Channel 0 of the last scan of the block before `b` (in the same vector).
    static double blocks_before_last(const Read& b)
    {
        const Read& prev = *(&b - 1);
        return prev.volts[(prev.head.ScanCount - 1) * prev.head.ChannelCount];
    }
    // The sine on the board at scan k of a measurement started at start_ns (scan k comes (k + 1) periods on).
    static double sine_at(uint64_t start_ns, double rate, uint64_t k, double amplitude, double hz)
    {
        const double t = static_cast<double>(start_ns) / 1e9 + static_cast<double>(k + 1) / rate;
        return amplitude * std::sin(2.0 * std::numbers::pi * (t * hz - std::floor(t * hz)));
    }
};

// Scans in all, blocks in order with no gap, the period and the values at their times.
TEST_F(Measure, ExactScansAndTimesAtARate)
{
    struct Case {
        double rate, obtained;
        uint32_t block_scans, oversample;
        uint64_t scans;
    } cases[] = {
        {1000.0, 1000.0, 100, 0, 1000},
        {3000.0, 3000.30003, 0, 0, 700},  // 50 ms blocks: 150 scans
        {2000.0, 2000.0, 64, 3, 333},
    };
    make();
    sine(2, 5.0, 50.0);
    for (const Case& c : cases) {
        KorvalMeasureSettings s = settings(0, 3, c.rate, c.scans);
        s.BlockScans = c.block_scans;
        s.Oversample = c.oversample;
        const uint64_t start_ns = KorvalSim_ClockNanoseconds(sim_);
        ASSERT_EQ(start(s), 0u);
        EXPECT_NEAR(s.Rate, c.obtained, 1e-4);
        const std::vector<Read> blocks = read_all();
        ASSERT_FALSE(blocks.empty());
        const uint32_t per_block = c.block_scans ? c.block_scans : static_cast<uint32_t>(std::llround(0.05 * s.Rate));
        uint64_t next = 0;
        for (const Read& b : blocks) {
            ASSERT_EQ(b.head.FirstScan, next);
            EXPECT_EQ(b.head.ChannelCount, 4u);
            EXPECT_DOUBLE_EQ(b.head.ScanPeriod, 1.0 / s.Rate);
            if (!(b.head.Flags & KORVAL_BLOCK_LAST)) {
                EXPECT_EQ(b.head.ScanCount, per_block);
            }
            for (uint32_t i = 0; i < b.head.ScanCount; i += 17)
                ASSERT_NEAR(b.volts[i * 4 + 2], sine_at(start_ns, s.Rate, next + i, 5.0, 50.0), 1e-3) << next + i;
            next += b.head.ScanCount;
        }
        EXPECT_EQ(next, c.scans);
        EXPECT_TRUE(blocks.back().head.Flags & KORVAL_BLOCK_LAST);
        EXPECT_TRUE(blocks.front().head.Flags & KORVAL_BLOCK_RECORD_START);
        KorvalMeasureBlock after{};
        after.Size = sizeof after;
        EXPECT_EQ(KORVAL_MeasureRead(m_, &after, nullptr, nullptr, 0, 0), ERROR_HANDLE_EOF);
        KorvalMeasureStatus st{};
        st.Size = sizeof st;
        ASSERT_EQ(KORVAL_MeasureGetStatus(m_, &st), 0u);
        EXPECT_EQ(st.ScansDelivered, c.scans);
        EXPECT_EQ(st.Result, 0u);
        EXPECT_EQ(KORVAL_MeasureStop(m_), 0u);
        EXPECT_EQ(KORVAL_MeasureStop(m_), ERROR_HANDLE_EOF);
    }
}

// The conversion's values, whatever path the channel count takes (groups held whole for counts that
// divide 16, runs of the tables for the others) and wherever a block ends in a group: each value is its
// own channel's count by that channel's range, as one column converts alone.
TEST(MeasureConversion, EveryValueByItsChannelsRange)
{
    const uint8_t codes[] = {1, 0, 2, 1, 3, 0, 1, 2};  // ranges differ from one channel to the next
    for (const uint32_t n : {1u, 2u, 3u, 4u, 5u, 8u, 16u}) {
        for (const size_t scans : {size_t{1}, size_t{7}, size_t{64}, size_t{301}}) {
            measure::Plan plan;
            plan.channels = n;
            plan.scan_bytes = 2 * n;
            for (uint32_t k = 0; k < n; ++k) plan.codes[k] = codes[k % std::size(codes)];
            const auto c = measure::Conversion::make(plan);
            std::vector<uint16_t> raw(scans * n);
            for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint16_t>(i * 2654435761u >> 7);
            std::vector<double> volts(raw.size());
            std::vector<uint16_t> counts(raw.size());
            const auto* bytes = reinterpret_cast<const uint8_t*>(raw.data());
            c->convert(bytes, scans, volts.data(), counts.data());
            ASSERT_EQ(counts, raw) << n << " channels, " << scans << " scans";
            for (size_t s = 0; s < scans; ++s)
                for (uint32_t k = 0; k < n; ++k)
                    ASSERT_EQ(volts[s * n + k], c->column_volts(bytes + s * plan.scan_bytes, k))
                        << n << " channels, scan " << s << ", channel " << k;
        }
    }
}

// A sine's crossing of the level is found at exactly its scan, on the slope asked for only; the record
// starts with the scans just before it; further records come at later crossings, one period apart.
TEST_F(Measure, TriggerAtTheCrossingScan)
{
    constexpr double kRate = 10000.0, kHz = 50.0, kAmplitude = 5.0, kLevel = 1.0;
    struct Case {
        uint32_t slope;
        uint32_t pre, scans, records;
    } cases[] = {
        {KORVAL_TRIGGER_RISING, 1000, 1500, 1},
        {KORVAL_TRIGGER_FALLING, 1000, 1500, 1},
        {KORVAL_TRIGGER_RISING, 10, 100, 3},
        {KORVAL_TRIGGER_FALLING, 0, 50, 2},
    };
    make();
    sine(0, kAmplitude, kHz);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "slope " << c.slope << ", " << c.records << " records");
        KorvalMeasureSettings s = settings(0, 7, kRate, c.scans);
        s.BlockScans = 256;
        s.Trigger = {c.slope, 0, kLevel, 0.1, c.pre, c.records};
        const uint64_t start_ns = KorvalSim_ClockNanoseconds(sim_);
        ASSERT_EQ(start(s), 0u);
        // Where the crossings of the slope are, from the sine itself.
        std::vector<int64_t> expected;
        bool armed = false;
        for (uint64_t k = 0; expected.size() < c.records; ++k) {
            const double v = sine_at(start_ns, kRate, k, kAmplitude, kHz);
            const bool rising = c.slope == KORVAL_TRIGGER_RISING;
            const bool past = rising ? v >= kLevel : v <= kLevel;
            const bool from = rising ? v <= kLevel - 0.1 : v >= kLevel + 0.1;
            const uint64_t search_from = expected.empty() ? 0 : expected.back() + (c.scans - c.pre);
            if (k < search_from) continue;
            if (k == search_from) armed = false;
            if (armed && past) {  // a crossing: a trigger once the pre-trigger scans are there
                if (k >= search_from + c.pre) expected.push_back(static_cast<int64_t>(k));
                armed = false;
                continue;
            }
            if (from) armed = true;
        }
        const std::vector<Read> blocks = read_all();
        std::vector<int64_t> triggers;
        uint64_t in_record = 0;
        for (const Read& b : blocks) {
            if (b.head.Flags & KORVAL_BLOCK_RECORD_START) {
                in_record = 0;
                ASSERT_EQ(b.head.Record, triggers.size());
            }
            if (b.head.Flags & KORVAL_BLOCK_TRIGGER) {
                triggers.push_back(b.head.TriggerScan);
                const uint64_t at = static_cast<uint64_t>(b.head.TriggerScan) - b.head.FirstScan;
                const double v = b.volts[at * 8];
                // With pre-trigger scans, the scan before is in the record: it is on the other side.
                const double before = at > 0 ? b.volts[(at - 1) * 8] : c.pre > 0 ? blocks_before_last(b) : kLevel;
                EXPECT_TRUE(c.slope == KORVAL_TRIGGER_RISING ? v >= kLevel && before <= kLevel
                                                             : v <= kLevel && before >= kLevel)
                    << before << " then " << v;
                EXPECT_EQ(in_record + at, c.pre);  // the pre-trigger scans come first
            }
            // Every value is the sine at its scan: the pre-trigger scans are those just before.
            for (uint32_t i = 0; i < b.head.ScanCount; i += 7)
                ASSERT_NEAR(b.volts[i * 8], sine_at(start_ns, kRate, b.head.FirstScan + i, kAmplitude, kHz), 1e-3);
            in_record += b.head.ScanCount;
            if (in_record == c.scans && !triggers.empty()) {
                EXPECT_EQ(b.head.FirstScan + b.head.ScanCount, triggers.back() + c.scans - c.pre);
            }
        }
        EXPECT_EQ(triggers, expected);
        ASSERT_FALSE(blocks.empty());
        EXPECT_TRUE(blocks.back().head.Flags & KORVAL_BLOCK_LAST);
        if (c.records > 1 && triggers.size() > 1) {
            EXPECT_EQ(triggers[1] - triggers[0], static_cast<int64_t>(kRate / kHz));
        }
        EXPECT_EQ(KORVAL_MeasureStop(m_), 0u);
    }
}

// Noise around the level smaller than the hysteresis never triggers; without hysteresis it does.
TEST_F(Measure, HysteresisIgnoresSmallerNoise)
{
    make();
    const KorvalSimAdcSignal noise = {KORVAL_SIM_SIGNAL_NOISE, 7, 1.0, 0.2, 0.0};
    ASSERT_EQ(KorvalSim_SetAdcSignal(sim_, board_, 0, &noise), 0u);
    for (const double hysteresis : {0.5, 0.0}) {
        KorvalMeasureSettings s = settings(0, 3, 10000.0, 100);
        s.Trigger = {KORVAL_TRIGGER_RISING, 0, 1.0, hysteresis, 10, 1};
        ASSERT_EQ(start(s), 0u);
        const std::vector<Read> blocks = read_all(100000, 20 * kMs, 100);  // 2 s: 20,000 scans
        KorvalMeasureStatus st{};
        st.Size = sizeof st;
        ASSERT_EQ(KORVAL_MeasureGetStatus(m_, &st), 0u);
        if (hysteresis > 0) {
            EXPECT_TRUE(blocks.empty());
            EXPECT_GT(st.ScansAcquired, 10000u);
            EXPECT_EQ(st.State, KORVAL_MEASURE_RUNNING);
        } else {
            ASSERT_FALSE(blocks.empty());
            EXPECT_LT(blocks.front().head.FirstScan, 100u);
        }
        EXPECT_EQ(KORVAL_MeasureStop(m_), 0u);
    }
}

// The board unplugged mid-measurement: the last block says so, every scan the board sent was delivered,
// and the stop still returns.
TEST_F(Measure, UnplugEndsWithEveryScanDelivered)
{
    make();
    KorvalMeasureSettings s = settings(0, 3, 1000.0, 0);
    s.BlockScans = 30;
    ASSERT_EQ(start(s), 0u);
    std::vector<Read> blocks = read_all(3);
    ASSERT_EQ(blocks.size(), 3u);
    KorvalSim_AdvanceClock(sim_, 45 * kMs);  // 45 scans more: one block and a half
    KorvalSimAdcState adc{};
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do KorvalSim_GetAdcState(sim_, board_, &adc);
    while (adc.bytes_sent < 135 * 8 && std::chrono::steady_clock::now() < limit);
    ASSERT_EQ(KorvalSim_Unplug(sim_, board_), 0u);
    for (const Read& b : read_all()) blocks.push_back(b);
    const KorvalMeasureBlock& last = blocks.back().head;
    EXPECT_EQ(last.Flags & (KORVAL_BLOCK_LAST | KORVAL_BLOCK_GONE), KORVAL_BLOCK_LAST | KORVAL_BLOCK_GONE);
    EXPECT_EQ(last.Result, ERROR_DEVICE_REMOVED);
    uint64_t scans = 0;
    for (const Read& b : blocks) scans += b.head.ScanCount;
    KorvalSim_GetAdcState(sim_, board_, &adc);
    EXPECT_EQ(scans, adc.bytes_sent / 8);
    EXPECT_GE(scans, 135u);
    KorvalMeasureStatus st{};
    st.Size = sizeof st;
    ASSERT_EQ(KORVAL_MeasureGetStatus(m_, &st), 0u);
    EXPECT_EQ(st.Result, ERROR_DEVICE_REMOVED);
    EXPECT_EQ(st.State, KORVAL_MEASURE_ENDED);
    EXPECT_EQ(KORVAL_MeasureStop(m_), 0u);
    EXPECT_EQ(KORVAL_MeasureStop(m_), ERROR_HANDLE_EOF);
}

// Settings the board cannot take are refused before anything is sent.
TEST_F(Measure, BadSettingsSendNothing)
{
    make(0x8045);  // 64 channels, four to a range slot
    struct Case {
        const char* what;
        void (*change)(KorvalMeasureSettings&);
    } cases[] = {
        {"reversed span", [](KorvalMeasureSettings& s) { s.FirstChannel = 5, s.LastChannel = 4; }},
        {"channel beyond the board", [](KorvalMeasureSettings& s) { s.LastChannel = 64; }},
        {"range count", [](KorvalMeasureSettings& s) { s.RangeCount = 3; }},
        {"range code", [](KorvalMeasureSettings& s) { s.Ranges[0] = 8; }},
        {"shared slot", [](KorvalMeasureSettings& s) { s.RangeCount = 8, s.Ranges[1] = 3; }},
        {"oversample", [](KorvalMeasureSettings& s) { s.Oversample = 256; }},
        {"rate too high", [](KorvalMeasureSettings& s) { s.Rate = 2'600'000.0; }},
        {"rate 0", [](KorvalMeasureSettings& s) { s.Rate = 0.0; }},
        {"rate NaN", [](KorvalMeasureSettings& s) { s.Rate = NAN; }},
        {"block seconds", [](KorvalMeasureSettings& s) { s.BlockSeconds = -1; }},
        {"slope", [](KorvalMeasureSettings& s) { s.Trigger.Slope = 3; }},
        {"trigger channel", [](KorvalMeasureSettings& s) { s.Trigger = {KORVAL_TRIGGER_RISING, 8, 1.0, 0, 0, 1}; }},
        {"level", [](KorvalMeasureSettings& s) { s.Trigger = {KORVAL_TRIGGER_RISING, 0, INFINITY, 0, 0, 1}; }},
        {"hysteresis", [](KorvalMeasureSettings& s) { s.Trigger = {KORVAL_TRIGGER_RISING, 0, 1.0, -0.1, 0, 1}; }},
        {"pre-trigger", [](KorvalMeasureSettings& s) { s.Trigger = {KORVAL_TRIGGER_FALLING, 0, 1.0, 0, 100, 1}; }},
        {"trigger until stopped", [](KorvalMeasureSettings& s) { s.Scans = 0, s.Trigger = {1, 0, 1.0, 0, 0, 1}; }},
        {"size", [](KorvalMeasureSettings& s) { s.Size = 8; }},
    };
    clear_log(board_);
    for (const Case& c : cases) {
        KorvalMeasureSettings s = settings(0, 7, 1000.0, 100);
        c.change(s);
        EXPECT_EQ(KORVAL_MeasureStart(m_, &s, nullptr, nullptr), ERROR_INVALID_PARAMETER) << c.what;
    }
    EXPECT_EQ(KORVAL_MeasureStart(m_, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(log(board_).empty());
    // The same span with one range per slot is taken.
    KorvalMeasureSettings s = settings(0, 7, 1000.0, 100);
    s.RangeCount = 8;
    for (int k = 0; k < 8; ++k) s.Ranges[k] = k < 4 ? 1 : 3;
    EXPECT_EQ(KORVAL_MeasureStart(m_, &s, nullptr, nullptr), 0u);
    EXPECT_EQ(KORVAL_MeasureStop(m_), 0u);
}

// Immediate scans on a simulated board take the signals at the simulation's time, as a board would.
TEST_F(Measure, ImmediateScansSampleTheSignalsAtSimulatedTime)
{
    make();
    sine(0, 5.0, 1.0);
    const uint8_t gains[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    ASSERT_EQ(ADC_RangeAll(0, gains, 0), 0u);
    ASSERT_EQ(ADC_SetScanLimits(0, 0, 0), 0u);
    for (int step = 0; step < 4; ++step) {
        const double t = static_cast<double>(KorvalSim_ClockNanoseconds(sim_)) / 1e9;
        double volts[16] = {};
        ASSERT_EQ(ADC_GetScanV(0, volts), 0u);
        EXPECT_NEAR(volts[0], 5.0 * std::sin(2.0 * std::numbers::pi * (t - std::floor(t))), 1e-3) << t;
        KorvalSim_AdvanceClock(sim_, 250 * kMs);
    }
}

// A reader that falls behind: the ring grows (flagged on a block and counted), nothing is lost, the
// blocks' host times are UTC, in order; a read into memory that cannot be written is 998 and leaves the
// block to be read, and a read into the caller's memory converts there.
TEST_F(Measure, RingGrowthHostTimeAndCallerMemory)
{
    make();
    sine(0, 5.0, 3.0);
    const auto utc = [] {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    const int64_t before = utc();
    KorvalMeasureSettings s = settings(0, 3, 1000.0, 3000);
    s.BlockScans = 10;
    ASSERT_EQ(start(s), 0u);
    // Until the acquisition holds more filled buffers than its ring of 16 had.
    int32_t blanks = 0, accessing = 0, filled = 0;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ADC_BulkContinuousDebug(0, &blanks, &accessing, &filled) == 0 && filled <= 16 &&
           std::chrono::steady_clock::now() < limit) {
        KorvalSim_AdvanceClock(sim_, 10 * kMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GT(filled, 16);

    uint8_t* page = map_pages(1, PageAccess::read);
    ASSERT_NE(page, nullptr);
    std::vector<double> volts(10 * 4);
    std::vector<uint16_t> counts(10 * 4);
    KorvalMeasureBlock b{};
    b.Size = sizeof b;
    EXPECT_EQ(KORVAL_MeasureRead(m_, &b, reinterpret_cast<double*>(page), counts.data(), 10, 5000), ERROR_NOACCESS);
    EXPECT_EQ(KORVAL_MeasureRead(m_, &b, volts.data(), reinterpret_cast<uint16_t*>(page), 10, 5000), ERROR_NOACCESS);
    unmap_pages(page, 1);
    ASSERT_EQ(KORVAL_MeasureRead(m_, &b, volts.data(), counts.data(), 10, 5000), 0u);
    EXPECT_EQ(b.FirstScan, 0u);
    EXPECT_EQ(b.Volts, volts.data());
    for (size_t i = 0; i < volts.size(); ++i) EXPECT_NEAR(volts[i], counts[i] * (20.0 / 65536.0) - 10.0, 1e-12) << i;

    std::vector<Read> got = read_all();
    const int64_t after = utc();
    ASSERT_FALSE(got.empty());
    uint64_t next = 10;
    uint32_t grown = 0;
    int64_t last_time = b.HostTimeNs;
    for (const Read& r : got) {
        EXPECT_EQ(r.head.FirstScan, next);
        next += r.head.ScanCount;
        if (r.head.Flags & KORVAL_BLOCK_GROWN) ++grown;
        EXPECT_GE(r.head.HostTimeNs, last_time);
        last_time = r.head.HostTimeNs;
    }
    EXPECT_EQ(next, 3000u);
    EXPECT_GE(b.HostTimeNs, before);
    EXPECT_LE(last_time, after);
    KorvalMeasureStatus st{};
    st.Size = sizeof st;
    ASSERT_EQ(KORVAL_MeasureGetStatus(m_, &st), 0u);
    EXPECT_GE(grown, 1u);
    EXPECT_LE(grown, st.RingGrowths);
}

struct PushState {
    KorvalMeasurement* m = nullptr;
    std::mutex lock;
    std::condition_variable changed;
    uint64_t scans = 0;
    bool last = false;
    uint32_t stop_result = 0, destroy_result = 0;
};

void KORVAL_CALLBACK on_block(const KorvalMeasureBlock* b, void* context)
{
    auto* p = static_cast<PushState*>(context);
    const uint32_t stop = KORVAL_MeasureStop(p->m);
    const uint32_t destroy = KORVAL_MeasureDestroy(p->m);
    std::lock_guard lock(p->lock);
    p->stop_result = stop;
    p->destroy_result = destroy;
    p->scans += b->ScanCount;
    if (b->Flags & KORVAL_BLOCK_LAST) p->last = true;
    p->changed.notify_all();
}

// The result codes: not started, stopped twice, a stale or foreign handle, from the own callback; and a
// finite measurement that delivers to a callback ends by itself.
TEST_F(Measure, ResultCodesOfStopReadAndDestroy)
{
    make();
    KorvalMeasureBlock b{};
    b.Size = sizeof b;
    EXPECT_EQ(KORVAL_MeasureStop(m_), ERROR_HANDLE_EOF);
    EXPECT_EQ(KORVAL_MeasureRead(m_, &b, nullptr, nullptr, 0, 0), ERROR_HANDLE_EOF);
    EXPECT_EQ(KORVAL_MeasureStop(nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(KORVAL_MeasureRead(m_, nullptr, nullptr, nullptr, 0, 0), ERROR_INVALID_PARAMETER);
    int not_one = 0;
    EXPECT_EQ(KORVAL_MeasureStop(reinterpret_cast<KorvalMeasurement*>(&not_one)), ERROR_INVALID_HANDLE);
    KorvalMeasurement* other = nullptr;
    ASSERT_EQ(KORVAL_MeasureCreate(0, &other), 0u);
    ASSERT_EQ(KORVAL_MeasureDestroy(other), 0u);
    EXPECT_EQ(KORVAL_MeasureDestroy(other), ERROR_INVALID_HANDLE);
    EXPECT_EQ(KORVAL_MeasureCreate(0, nullptr), ERROR_INVALID_PARAMETER);

    // Pull: a second start is refused; a block too big for the room stays to be read.
    KorvalMeasureSettings s = settings(0, 3, 1000.0, 0);
    s.BlockScans = 10;
    ASSERT_EQ(start(s), 0u);
    EXPECT_EQ(KORVAL_MeasureStart(m_, &s, nullptr, nullptr), ERROR_TOO_MANY_OPEN_FILES);
    KorvalMeasureStatus st{};
    st.Size = sizeof st;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (KORVAL_MeasureGetStatus(m_, &st) == 0 && st.ScansAcquired < 10 && std::chrono::steady_clock::now() < limit)
        KorvalSim_AdvanceClock(sim_, kMs);
    std::vector<double> volts(5 * 4);
    std::vector<uint16_t> counts(10 * 4);
    EXPECT_EQ(KORVAL_MeasureRead(m_, &b, volts.data(), nullptr, 5, 5000), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(b.ScanCount, 10u);
    volts.resize(10 * 4);
    ASSERT_EQ(KORVAL_MeasureRead(m_, &b, volts.data(), counts.data(), 10, 5000), 0u);
    EXPECT_EQ(b.FirstScan, 0u);
    EXPECT_EQ(b.Volts, volts.data());
    EXPECT_EQ(b.Counts, counts.data());
    EXPECT_EQ(KORVAL_MeasureStop(m_), 0u);
    EXPECT_EQ(KORVAL_MeasureRead(m_, &b, nullptr, nullptr, 0, 0), ERROR_HANDLE_EOF);

    // Push, finite: it ends by itself; the callback cannot stop or destroy its own measurement.
    PushState p;
    p.m = m_;
    s.Scans = 95;
    ASSERT_EQ(start(s, on_block, &p), 0u);
    EXPECT_EQ(KORVAL_MeasureRead(m_, &b, nullptr, nullptr, 0, 0), ERROR_NOT_SUPPORTED);
    {
        std::unique_lock lock(p.lock);
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!p.last && std::chrono::steady_clock::now() < limit) {
            lock.unlock();
            KorvalSim_AdvanceClock(sim_, 10 * kMs);
            lock.lock();
            p.changed.wait_for(lock, std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(p.last);
        EXPECT_EQ(p.scans, 95u);
        EXPECT_EQ(p.stop_result, ERROR_NOT_SUPPORTED);
        EXPECT_EQ(p.destroy_result, ERROR_NOT_SUPPORTED);
    }
    EXPECT_EQ(KORVAL_MeasureStop(m_), 0u);
    EXPECT_EQ(KORVAL_MeasureStop(m_), ERROR_HANDLE_EOF);
    // The scan clock is stopped and the acquisition ended: a plain acquisition can start.
    EXPECT_EQ(ADC_BulkContinuousEnd(0, nullptr), ERROR_HANDLE_EOF);
}

}  // namespace
}  // namespace korval::test
