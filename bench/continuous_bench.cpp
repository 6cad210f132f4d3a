// The library's own cost of continuous acquisition, on a host whose board answers every bulk read at
// once: the read reports the whole buffer as received and stamps its first eight bytes with a sequence
// number, so that the callback can check that every buffer arrives once, whole, and in order, while the
// host itself costs next to nothing. Nothing in the library copies the data: the host writes into the
// ring's buffer and the callback reads that same memory.
//
//   ContinuousInstant     bytes per second delivered to the callback as fast as the library can go
//   PlainReadInstant      the same host read in a plain loop into one buffer: the base of the ratio
//   ContinuousPaced       the board paced at 53 MB/s (USB 2.0 high-speed bulk); cpu_percent is the
//                         process's CPU time over the wall time, in percent of one core
//   PlainReadPaced        the plain loop at the same pace, for comparison
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

#include "instant_host.h"
#include "korval/host.h"
#include "korval/korval.h"
#include "usb/bulk.h"

namespace {

using Clock = std::chrono::steady_clock;

// The board: one WinUSB board with the 16-channel analog input (product 0x8040), its reads answered
// by the paced pipe.
korval::bench::PacedPipe& g_board = korval::bench::g_paced_pipe;

KorvalHost bench_host() { return korval::bench::paced_host(0x8040); }

// What the callback checks: every buffer whole and in sequence.
struct Delivery {
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> faults{0};
    uint64_t next = 0;  // buffer thread only
    uint32_t buf_size = 0;
    uint64_t target = 0;
    std::atomic<bool> done{false};
};
Delivery g_delivery;

void check(uint16_t* buf, uint32_t size, uint32_t flags, uint32_t)
{
    Delivery& d = g_delivery;
    if (flags & KORVAL_CONT_FINAL) return;
    uint64_t stamp = 0;
    std::memcpy(&stamp, buf, sizeof stamp);
    if (stamp != d.next || size != d.buf_size) d.faults.fetch_add(1, std::memory_order_relaxed);
    d.next = stamp + 1;
    if (d.bytes.fetch_add(size, std::memory_order_relaxed) + size >= d.target && !d.done.exchange(true)) {
        d.done.notify_all();
    }
}

double process_cpu_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

class BenchHost : public benchmark::Fixture {
public:
    void SetUp(const benchmark::State&) override
    {
        const KorvalHost h = bench_host();
        KORVAL_InstallHost(&h);
        GetDevices();
        wall_ = cpu_ = 0;
        delivered_ = faults_ = 0;
        ring_ = 0;
    }
    void TearDown(const benchmark::State&) override { KORVAL_InstallHost(nullptr); }

protected:
    // Streams `total` bytes into the callback; the wall and process CPU seconds it took.
    void stream(benchmark::State& state, uint32_t buf_size, int32_t buf_count, uint64_t total, double rate)
    {
        g_board.reset(rate);
        g_delivery.bytes = 0;
        g_delivery.faults = 0;
        g_delivery.next = 0;
        g_delivery.buf_size = buf_size;
        g_delivery.target = total;
        g_delivery.done = false;
        const double cpu0 = process_cpu_seconds();
        const auto t0 = Clock::now();
        if (ADC_BulkContinuousStart(0, buf_size, buf_count, 0, check) != 0) {
            state.SkipWithError("start failed");
            return;
        }
        g_delivery.done.wait(false);
        const auto t1 = Clock::now();
        int32_t blanks = 0, accessings = 0, got_datas = 0;
        ADC_BulkContinuousDebug(0, &blanks, &accessings, &got_datas);
        ring_ = std::max(ring_, blanks + accessings + got_datas);
        uint32_t status = 0;
        ADC_BulkContinuousEnd(0, &status);
        wall_ += std::chrono::duration<double>(t1 - t0).count();
        cpu_ += process_cpu_seconds() - cpu0;
        delivered_ += g_delivery.bytes.load();
        faults_ += g_delivery.faults.load();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    void report(benchmark::State& state)
    {
        state.SetBytesProcessed(static_cast<int64_t>(delivered_));
        state.counters["cpu_percent"] = wall_ > 0 ? 100.0 * cpu_ / wall_ : 0;
        state.counters["order_faults"] = static_cast<double>(faults_);
        state.counters["ring_buffers"] = ring_;
    }

    double wall_ = 0;
    double cpu_ = 0;
    uint64_t delivered_ = 0;
    uint64_t faults_ = 0;
    int32_t ring_ = 0;
};

constexpr uint32_t kUsbBuffer = 256u << 10;  // 256 KiB: about 200 buffers a second at 53 MB/s
constexpr double kUsbRate = 53e6;

BENCHMARK_DEFINE_F(BenchHost, ContinuousInstant)(benchmark::State& state)
{
    for (auto _ : state) stream(state, static_cast<uint32_t>(state.range(0)), 8, 16ull << 30, 0);
    report(state);
}
BENCHMARK_REGISTER_F(BenchHost, ContinuousInstant)
    ->Arg(kUsbBuffer / 4)
    ->Arg(kUsbBuffer)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_DEFINE_F(BenchHost, ContinuousPaced)(benchmark::State& state)
{
    for (auto _ : state) stream(state, kUsbBuffer, 8, static_cast<uint64_t>(kUsbRate * 3), kUsbRate);
    report(state);
}
BENCHMARK_REGISTER_F(BenchHost, ContinuousPaced)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// The host read in a plain loop through the library's bulk read, into one buffer.
void plain_loop(benchmark::State& state, uint32_t buf_size, uint64_t total, double rate)
{
    std::vector<uint8_t> buffer(buf_size);
    uint64_t delivered = 0;
    double wall = 0, cpu = 0;
    for (auto _ : state) {
        g_board.reset(rate);
        const double cpu0 = process_cpu_seconds();
        const auto t0 = Clock::now();
        for (uint64_t moved = 0; moved < total;) {
            uint32_t n = 0;
            korval::usb::bulk_read(0, 0x86, buffer.data(), buf_size, n);
            moved += n;
            benchmark::DoNotOptimize(buffer.data());
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(seconds);
        wall += seconds;
        cpu += process_cpu_seconds() - cpu0;
        delivered += total;
    }
    state.SetBytesProcessed(static_cast<int64_t>(delivered));
    state.counters["cpu_percent"] = wall > 0 ? 100.0 * cpu / wall : 0;
}

BENCHMARK_DEFINE_F(BenchHost, PlainReadInstant)(benchmark::State& state)
{
    plain_loop(state, static_cast<uint32_t>(state.range(0)), 16ull << 30, 0);
}
BENCHMARK_REGISTER_F(BenchHost, PlainReadInstant)
    ->Arg(kUsbBuffer / 4)
    ->Arg(kUsbBuffer)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_DEFINE_F(BenchHost, PlainReadPaced)(benchmark::State& state)
{
    plain_loop(state, kUsbBuffer, static_cast<uint64_t>(kUsbRate * 3), kUsbRate);
}
BENCHMARK_REGISTER_F(BenchHost, PlainReadPaced)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
