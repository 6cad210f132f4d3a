// One-shot acquisition throughput on a simulated board whose converter sends a fixed pattern (which
// costs the board next to nothing): what is measured is the library's path from the host's bulk read
// into the caller's buffer, which moves each byte once.
#include <benchmark/benchmark.h>

#include <thread>
#include <vector>

#include "korval/korval.h"
#include "korval/sim.h"

namespace {

void BM_BulkAcquire(benchmark::State& state)
{
    KorvalSim* sim = KorvalSim_Create();
    const uint32_t board = KorvalSim_AddBoard(sim, 0x8040, static_cast<uint32_t>(state.range(1)));
    KORVAL_InstallHost(KorvalSim_Host(sim));
    KorvalSim_SetLogLimits(sim, board, 16, 0);
    const uint16_t pattern[4] = {0x1234, 0x5678, 0x9ABC, 0xDEF0};
    KorvalSim_SetAdcPattern(sim, board, pattern, 4);
    uint8_t block[20] = {};
    block[17] = 0x01;  // the board starts sampling by itself
    KorvalSim_SetAdcConfig(sim, board, block, sizeof block);
    const auto bytes = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> buffer(bytes);
    for (auto _ : state) {
        if (ADC_BulkAcquire(0, bytes, buffer.data()) != 0) state.SkipWithError("acquire failed");
        int32_t left = 1;
        while (ADC_BulkPoll(0, &left) == 0 && left != 0) std::this_thread::yield();
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
    KORVAL_InstallHost(nullptr);
    KorvalSim_Destroy(sim);
}
BENCHMARK(BM_BulkAcquire)->Args({1 << 20, KORVAL_SIM_WINUSB})->Args({1 << 20, KORVAL_SIM_IOCTL})->UseRealTime();

}  // namespace
