// Waveform frames tagged and queued per second, with a board that takes every block at once, so that
// what is measured is the library: the guarded copy of the caller's samples into blocks, the tagging,
// the queue, and the worker handing the blocks to the host. The figure to read is bytes_per_second
// (the caller's sample bytes), against PlainCopy: memcpy of the same frame, the ratio's base.
#include <benchmark/benchmark.h>

#include <cstring>
#include <thread>
#include <vector>

#include "korval/host.h"
#include "korval/korval.h"

namespace {

constexpr uint32_t kChannels = 8;

// A host with one WinUSB board of product 0x4001 (streamed analog output) whose transfers all
// complete at once.
void list_one(void*, const KorvalGuid* g, void (*emit)(void*, const char*), void* c)
{
    const KorvalGuid winusb = KORVAL_INTERFACE_CLASS_WINUSB;
    if (std::memcmp(g, &winusb, sizeof winusb) == 0) emit(c, "null");
}
int open_file(void*, const char*, int, KorvalHandle* f, uint32_t*)
{
    *f = 1;
    return 1;
}
int ok(void*, KorvalHandle, uint32_t*) { return 1; }
int initialize(void*, KorvalHandle, KorvalHandle* i, uint32_t*)
{
    *i = 2;
    return 1;
}
int control(void*, KorvalHandle, const uint8_t[8], void*, uint32_t length, uint32_t* transferred, uint32_t*)
{
    *transferred = length;
    return 1;
}
int descriptor(void*, KorvalHandle, uint8_t, uint8_t, uint16_t, void* buffer, uint32_t length, uint32_t* n, uint32_t*)
{
    std::memset(buffer, 0, length);
    static_cast<uint8_t*>(buffer)[10] = 0x01;  // PID 0x4001
    static_cast<uint8_t*>(buffer)[11] = 0x40;
    *n = length;
    return 1;
}
int write_pipe(void*, KorvalHandle, uint8_t, const void*, uint32_t length, uint32_t* transferred, uint32_t*)
{
    *transferred = length;
    return 1;
}
int abort_pipe(void*, KorvalHandle, uint8_t, uint32_t*) { return 1; }

KorvalHost null_host()
{
    KorvalHost h{};
    h.version = KORVAL_HOST_VERSION;
    h.list_interfaces = list_one;
    h.open_file = open_file;
    h.close_handle = ok;
    h.has_winusb = 1;
    h.winusb_initialize = initialize;
    h.winusb_free = ok;
    h.winusb_control_transfer = control;
    h.winusb_get_descriptor = descriptor;
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
