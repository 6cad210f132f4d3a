// The measurement engine's own cost, on a host whose board answers every bulk read with a whole buffer
// written whole, as a board's transfer is: scans into volts and counts, in blocks, to a callback.
//
//   MeasureInstant     samples per second the engine turns into volts, 16 channels, as fast as it goes
//   PlainConvert       a plain loop turning the same number of counts into volts: the base of the ratio
//   EngineConvert      the engine's conversion (volts and counts) on the plain loop's block
// Beside the rate in wall time, per_cpu_second is the rate in the process's CPU time (all its threads),
// which a busy machine does not change; engine_per_cpu_second the same in the CPU time of the thread
// that converts (the instant board keeps the reading thread busy growing the ring, which is not the
// engine's cost). ring_growths is the buffers the ring grew by in a run: how far the instant board's
// reader ran ahead of the engine, whose scans then come from memory the reader wrote long before.
//   MeasurePaced       the board paced at 1 M samples/s (62,500 scans/s of 16 channels); cpu_percent is
//                      the process's CPU time over the wall time, in percent of one core
#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "instant_host.h"
#include "korval/host.h"
#include "korval/korval.h"
#include "measure/engine.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kChannels = 16;

korval::bench::PacedPipe& g_board = korval::bench::g_paced_pipe;

double process_cpu_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double thread_cpu_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Delivered {
    std::atomic<uint64_t> scans{0};
    std::atomic<bool> last{false};
    double sink = 0;
    double first_cpu = -1, last_cpu = 0;  // the engine's thread: its CPU time at the first and last block
    uint64_t first_scans = 0;
};

void KORVAL_CALLBACK on_block(const KorvalMeasureBlock* b, void* context)
{
    auto* d = static_cast<Delivered*>(context);
    if (d->first_cpu < 0) {
        d->first_cpu = thread_cpu_seconds();
        d->first_scans = b->ScanCount;
    }
    if (b->ScanCount != 0) d->sink += b->Volts[0];
    d->scans.fetch_add(b->ScanCount, std::memory_order_relaxed);
    if ((b->Flags & KORVAL_BLOCK_LAST) != 0) {
        d->last_cpu = thread_cpu_seconds();
        d->last = true;
        d->last.notify_all();
    }
}

class Bench : public benchmark::Fixture {
public:
    void SetUp(const benchmark::State&) override
    {
        const KorvalHost h = korval::bench::paced_host(0x8040);
        g_board.fill = true;
        KORVAL_InstallHost(&h);
        GetDevices();
    }
    void TearDown(const benchmark::State&) override { KORVAL_InstallHost(nullptr); }

protected:
    // One measurement of `scans` scans of 16 channels in ±10 V, the board at `bytes_per_second`.
    void measure(benchmark::State& state, uint64_t scans, double rate, double bytes_per_second)
    {
        KorvalMeasurement* m = nullptr;
        if (KORVAL_MeasureCreate(0, &m) != 0) {
            state.SkipWithError("create failed");
            return;
        }
        uint64_t samples = 0, engine_samples = 0;
        double wall = 0, cpu = 0, engine_cpu = 0;
        uint64_t growths = 0;
        for (auto _ : state) {
            KorvalMeasureSettings settings{};
            settings.Size = sizeof settings;
            settings.LastChannel = kChannels - 1;
            settings.RangeCount = 1;
            settings.Ranges[0] = 1;
            settings.Rate = rate;
            settings.Scans = scans;
            Delivered d;
            g_board.reset(bytes_per_second);
            const double cpu0 = process_cpu_seconds();
            const auto t0 = Clock::now();
            if (KORVAL_MeasureStart(m, &settings, on_block, &d) != 0) {
                state.SkipWithError("start failed");
                break;
            }
            d.last.wait(false);
            const auto t1 = Clock::now();
            KorvalMeasureStatus st{};
            st.Size = sizeof st;
            KORVAL_MeasureGetStatus(m, &st);
            growths += st.RingGrowths;
            KORVAL_MeasureStop(m);
            const double seconds = std::chrono::duration<double>(t1 - t0).count();
            state.SetIterationTime(seconds);
            wall += seconds;
            cpu += process_cpu_seconds() - cpu0;
            samples += d.scans * kChannels;
            engine_samples += (d.scans - d.first_scans) * kChannels;
            engine_cpu += d.last_cpu - d.first_cpu;
            benchmark::DoNotOptimize(d.sink);
        }
        KORVAL_MeasureDestroy(m);
        state.SetItemsProcessed(static_cast<int64_t>(samples));
        state.counters["ring_growths"] = static_cast<double>(growths) / static_cast<double>(state.iterations());
        state.counters["cpu_percent"] = wall > 0 ? 100.0 * cpu / wall : 0;
        // Samples per second of the process's CPU time: the cost, whatever else the machine runs.
        state.counters["per_cpu_second"] = cpu > 0 ? static_cast<double>(samples) / cpu : 0;
        // The engine's thread alone (the continuous acquisition's buffer thread, where the scans are
        // converted and cut into blocks), without the reader that the instant board keeps busy.
        state.counters["engine_per_cpu_second"] = engine_cpu > 0 ? static_cast<double>(engine_samples) / engine_cpu : 0;
    }
};

BENCHMARK_DEFINE_F(Bench, MeasureInstant)(benchmark::State& state) { measure(state, 8u << 20, 100000.0, 0); }
BENCHMARK_REGISTER_F(Bench, MeasureInstant)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

constexpr size_t kConvertBlockScans = 5000;
constexpr uint64_t kConvertScans = 8u << 20;

// Times `convert_block` (one block of kConvertBlockScans scans into `volts`) over kConvertScans scans.
template <class ConvertBlock>
void time_conversion(benchmark::State& state, const std::vector<double>& volts, ConvertBlock&& convert_block)
{
    uint64_t samples = 0;
    double cpu = 0;
    for (auto _ : state) {
        const double cpu0 = process_cpu_seconds();
        const auto t0 = Clock::now();
        for (uint64_t done = 0; done < kConvertScans; done += kConvertBlockScans) {
            convert_block();
            benchmark::DoNotOptimize(volts.data());
            benchmark::ClobberMemory();
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        cpu += process_cpu_seconds() - cpu0;
        samples += kConvertScans * kChannels;
    }
    state.SetItemsProcessed(static_cast<int64_t>(samples));
    state.counters["per_cpu_second"] = cpu > 0 ? static_cast<double>(samples) / cpu : 0;
}

// The same counts into volts in a plain loop, block by block, with the same per-channel scale.
void PlainConvert(benchmark::State& state)
{
    std::vector<uint16_t> counts(kConvertBlockScans * kChannels);
    std::vector<double> volts(kConvertBlockScans * kChannels);
    double scale[kChannels], offset[kChannels];
    for (uint32_t k = 0; k < kChannels; ++k) scale[k] = 20.0 / 65536.0, offset[k] = -10.0;
    time_conversion(state, volts, [&] {
        for (size_t s = 0; s < kConvertBlockScans; ++s)
            for (uint32_t k = 0; k < kChannels; ++k)
                volts[s * kChannels + k] = counts[s * kChannels + k] * scale[k] + offset[k];
    });
}
BENCHMARK(PlainConvert)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// The engine's conversion alone on the plain loop's block (the same counts, in the cache as there):
// what the conversion costs, apart from reading the board's scans out of the ring's memory.
void EngineConvert(benchmark::State& state)
{
    korval::measure::Plan plan;
    plan.channels = kChannels;
    plan.scan_bytes = 2 * kChannels;
    for (uint32_t k = 0; k < kChannels; ++k) plan.codes[k] = 1;  // ±10 V
    const auto conversion = korval::measure::Conversion::make(plan);
    std::vector<uint16_t> raw(kConvertBlockScans * kChannels), counts(kConvertBlockScans * kChannels);
    std::vector<double> volts(kConvertBlockScans * kChannels);
    time_conversion(state, volts, [&] {
        conversion->convert(reinterpret_cast<const uint8_t*>(raw.data()), kConvertBlockScans, volts.data(),
                            counts.data());
    });
}
BENCHMARK(EngineConvert)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// 1 M samples per second: 62,500 scans of 16 channels, 2 bytes a sample, for two seconds.
BENCHMARK_DEFINE_F(Bench, MeasurePaced)(benchmark::State& state) { measure(state, 125000, 62500.0, 2e6); }
BENCHMARK_REGISTER_F(Bench, MeasurePaced)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
