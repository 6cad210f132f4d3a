// Remote boards over loopback: a simulated board behind a server in the same program, reached by the
// library as a remote server's board.
//
//   RemoteControlRoundTrip   one control request (a 64-byte vendor read): median_us is the median
//                            round trip over the run (goal: under 150 us)
//   RemoteContinuous         continuous acquisition at the board's full speed (a fixed pattern of
//                            counts), every sample word checked against the pattern in the callback;
//                            bytes_per_second as delivered (goal: at least 100 MB/s), mismatches 0
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/remote/server.h"
#include "korval/host.h"
#include "korval/korval.h"
#include "korval/sim.h"

namespace {

using Clock = std::chrono::steady_clock;

// The board's pattern of counts. The board starts it again with each count of samples the library
// announces (whole multiples of 256 samples), so every word of the stream has one expected value.
constexpr uint16_t kPattern[8] = {0x0102, 0x8304, 0x0506, 0xF708, 0x090A, 0x4B0C, 0x0D0E, 0xCF10};

// One 16-channel board with a fixed pattern, behind a loopback server, for the whole program.
struct RemoteBoard {
    KorvalSim* sim = KorvalSim_Create();
    uint32_t board = KorvalSim_AddBoard(sim, 0x8040, KORVAL_SIM_WINUSB);
    std::unique_ptr<korval::remote::Server> server;
    bool ok = false;

    RemoteBoard()
    {
        KorvalSim_SetLogLimits(sim, board, 16, 0);
        KorvalSim_SetAdcPattern(sim, board, kPattern, 8);
        uint8_t block[20] = {};
        block[17] = 0x01;  // the board samples on its own clock
        KorvalSim_SetAdcConfig(sim, board, block, sizeof block);
        korval::remote::ServerOptions options;
        options.listen = "127.0.0.1:0";
        std::string error;
        server = korval::remote::Server::start(*KorvalSim_Host(sim), options, error);
        if (!server) return;
        KorvalHost none{};
        none.version = KORVAL_HOST_VERSION;
        KORVAL_InstallHost(&none);
        const std::string address = "127.0.0.1:" + std::to_string(server->port());
        ok = KORVAL_AddRemote(address.c_str(), nullptr, nullptr) == 0 && GetDevices() == 1u;
    }
};

RemoteBoard& remote_board()
{
    static RemoteBoard b;
    return b;
}

void BM_RemoteControlRoundTrip(benchmark::State& state)
{
    if (!remote_board().ok) {
        state.SkipWithError("no remote board");
        return;
    }
    std::vector<double> times;
    uint8_t data[64];
    for (auto _ : state) {
        uint32_t size = sizeof data;
        const auto start = Clock::now();
        if (GenericVendorRead(0, 0x06, 0x0302, 0, &size, data) != 0) state.SkipWithError("request failed");
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    state.counters["median_us"] = times.empty() ? 0 : times[times.size() / 2];
}
BENCHMARK(BM_RemoteControlRoundTrip)->MinTime(1.0)->UseRealTime();

struct Checker {
    std::atomic<uint64_t> words{0};
    std::atomic<uint64_t> mismatches{0};
};
Checker g_checker;

// Every word of every buffer against the pattern, continuing where the last buffer ended.
void KORVAL_CALLBACK check(uint16_t* buffer, uint32_t size, uint32_t flags, uint32_t)
{
    if (flags & KORVAL_CONT_FINAL) return;
    uint64_t at = g_checker.words.load(std::memory_order_relaxed);
    uint64_t bad = (size % 2) != 0;
    for (uint32_t i = 0; i < size / 2; ++i, ++at) bad += buffer[i] != kPattern[at % 8];
    g_checker.words.store(at, std::memory_order_relaxed);
    if (bad != 0) g_checker.mismatches.fetch_add(bad, std::memory_order_relaxed);
}

void BM_RemoteContinuous(benchmark::State& state)
{
    if (!remote_board().ok) {
        state.SkipWithError("no remote board");
        return;
    }
    const auto buffer_size = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        g_checker.words = 0;
        g_checker.mismatches = 0;
        const auto start = Clock::now();
        if (ADC_BulkContinuousStart(0, buffer_size, 8, 0, check) != 0) {
            state.SkipWithError("start failed");
            break;
        }
        // The acquisition runs for two seconds of the benchmark's own time.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        uint32_t status = 0;
        ADC_BulkContinuousEnd(0, &status);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        state.counters["bytes_per_second"] = static_cast<double>(g_checker.words.load() * 2) / seconds;
        state.counters["mismatches"] = static_cast<double>(g_checker.mismatches.load());
        if (status != 0 && status != ERROR_OPERATION_ABORTED) state.SkipWithError("the stream failed");
    }
}
BENCHMARK(BM_RemoteContinuous)->Arg(1 << 20)->Iterations(1)->UseManualTime();

}  // namespace
