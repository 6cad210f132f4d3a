// Waveform frames tagged and queued per second, with a board that takes every block at once, so that
// what is measured is the library: the guarded copy of the caller's samples into blocks, the tagging,
// the queue, and the worker handing the blocks to the host. The figure to read is bytes_per_second
// (the caller's sample bytes), against PlainCopy: memcpy of the same frame, the ratio's base.
#include <benchmark/benchmark.h>

#include <cstring>
#include <thread>
#include <vector>

#include "instant_host.h"
#include "korval/host.h"
#include "korval/korval.h"

namespace {

constexpr uint32_t kChannels = 8;

// A host with one WinUSB board of product 0x4001 (streamed analog output) whose transfers all
// complete at once.
int write_pipe(void*, KorvalHandle, uint8_t, const void*, uint32_t length, uint32_t* transferred, uint32_t*)
{
    *transferred = length;
    return 1;
}
int abort_pipe(void*, KorvalHandle, uint8_t, uint32_t*) { return 1; }

KorvalHost null_host()
{
    KorvalHost h = korval::bench::instant_host(0x4001);
    h.winusb_write_pipe = write_pipe;
    h.winusb_abort_pipe = abort_pipe;
    return h;
}

std::vector<uint16_t> frame_of(uint32_t points)
{
    std::vector<uint16_t> frame(size_t{points} * kChannels);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint16_t>(i * 7);
    return frame;
}

class OpenOutput : public benchmark::Fixture {
public:
    void SetUp(const benchmark::State&) override
    {
        const KorvalHost h = null_host();
        KORVAL_InstallHost(&h);
        GetDevices();
        double rate = 1e6;
        DACOutputOpen(0, &rate);
        DACOutputSetCount(0, kChannels);
    }
    void TearDown(const benchmark::State&) override
    {
        DACOutputClose(0);
        KORVAL_InstallHost(nullptr);
    }

protected:
    // Queues frames of `points` points until the benchmark ends; a full queue is waited out, as an
    // application would, so the figure is what the queue and its worker sustain.
    template <class Queue>
    void run(benchmark::State& state, Queue queue)
    {
        const auto points = static_cast<uint32_t>(state.range(0));
        const std::vector<uint16_t> frame = frame_of(points);
        for (auto _ : state) {
            uint32_t r;
            while ((r = queue(points, frame.data())) == ERROR_NOT_READY) std::this_thread::yield();
            if (r != 0) state.SkipWithError("frame refused");
        }
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(frame.size() * 2));
    }
};

BENCHMARK_DEFINE_F(OpenOutput, Frame)(benchmark::State& state)
{
    run(state, [](uint32_t points, const uint16_t* data) { return DACOutputFrame(0, points, data); });
}
BENCHMARK_REGISTER_F(OpenOutput, Frame)->Arg(6400)->Arg(1000)->Arg(100);

BENCHMARK_DEFINE_F(OpenOutput, FrameRaw)(benchmark::State& state)
{
    run(state, [](uint32_t points, const uint16_t* data) { return DACOutputFrameRaw(0, points, data); });
}
BENCHMARK_REGISTER_F(OpenOutput, FrameRaw)->Arg(6400);

// The base: the same bytes copied once with memcpy into a buffer that is already there.
void PlainCopy(benchmark::State& state)
{
    const std::vector<uint16_t> frame = frame_of(static_cast<uint32_t>(state.range(0)));
    std::vector<uint16_t> target(frame.size());
    for (auto _ : state) {
        std::memcpy(target.data(), frame.data(), frame.size() * 2);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(frame.size() * 2));
}
BENCHMARK(PlainCopy)->Arg(6400)->Arg(1000)->Arg(100);

}  // namespace
