// The library's own cost per control request, on a host that answers at once without doing anything,
// so that what is measured is the library: argument checks, the open check, the setup packet, and, for
// the exported routines, the guarded copies of caller memory (by taking the fault, after the call's two
// checks; the SystemCallCopies rows make them by process_vm_*, one system call per direction). Each
// exported routine also reports the guard's system calls per call.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <sys/syscall.h>

#include "base/caller_memory.h"
#include "core/registry.h"
#include "instant_host.h"
#include "korval/host.h"
#include "korval/korval.h"
#include "usb/control.h"

namespace {

// A host with one WinUSB board whose control transfers complete at once with the bytes asked for.
class NullHost : public benchmark::Fixture {
public:
    void SetUp(const benchmark::State&) override
    {
        const KorvalHost h = korval::bench::instant_host(0x8001);
        KORVAL_InstallHost(&h);
        GetDevices();
    }
    void TearDown(const benchmark::State&) override { KORVAL_InstallHost(nullptr); }
};

BENCHMARK_F(NullHost, InternalVendorRead)(benchmark::State& state)
{
    uint8_t data[8];
    for (auto _ : state) {
        uint32_t size = sizeof data;
        benchmark::DoNotOptimize(korval::usb::vendor_read(0, 0x11, 0, 0, size, data));
    }
}

BENCHMARK_F(NullHost, InternalVendorWrite)(benchmark::State& state)
{
    const uint8_t data[4] = {1, 2, 3, 4};
    for (auto _ : state) benchmark::DoNotOptimize(korval::usb::vendor_write(0, 0x10, 0, 0, sizeof data, data));
}

// The guard's system calls per iteration, as a counter of the benchmark.
class GuardCalls {
public:
    explicit GuardCalls(benchmark::State& state) : state_(state), start_(korval::guard_system_calls()) {}
    ~GuardCalls()
    {
        const double calls = static_cast<double>(korval::guard_system_calls() - start_);
        state_.counters["guard_syscalls"] =
            state_.iterations() > 0 ? calls / static_cast<double>(state_.iterations()) : 0;
    }

private:
    benchmark::State& state_;
    const uint64_t start_;
};

BENCHMARK_F(NullHost, GenericVendorWriteNoData)(benchmark::State& state)
{
    const GuardCalls calls(state);
    for (auto _ : state) benchmark::DoNotOptimize(GenericVendorWrite(0, 0x35, 0, 0, 0, nullptr));
}

BENCHMARK_F(NullHost, GenericVendorWrite8)(benchmark::State& state)
{
    const GuardCalls calls(state);
    const uint8_t data[8] = {};
    for (auto _ : state) benchmark::DoNotOptimize(GenericVendorWrite(0, 0x10, 0, 0, sizeof data, data));
}

// The guarded 8-byte read: the count and the data read in one system call, written back in another.
BENCHMARK_F(NullHost, GenericVendorRead8)(benchmark::State& state)
{
    const GuardCalls calls(state);
    uint8_t data[8];
    for (auto _ : state) {
        uint32_t size = sizeof data;
        benchmark::DoNotOptimize(GenericVendorRead(0, 0x11, 0, 0, &size, data));
    }
}

// The same read with every copy a system call (as in programs that replace the library's fault handler,
// and in sanitizer builds).
BENCHMARK_F(NullHost, GenericVendorRead8SystemCallCopies)(benchmark::State& state)
{
    korval::use_fault_copies(false);
    const GuardCalls calls(state);
    uint8_t data[8];
    for (auto _ : state) {
        uint32_t size = sizeof data;
        benchmark::DoNotOptimize(GenericVendorRead(0, 0x11, 0, 0, &size, data));
    }
    korval::use_fault_copies(true);
}

// The guard alone, for an 8-byte read's count and data: four copies each in a system call of its own
// (the count in, the data in, the data out, the count out), against the two that gather them.
void GuardSeparateCopies8(benchmark::State& state)
{
    uint8_t data[8] = {}, stage[8];
    uint32_t size = sizeof data, count = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(korval::load_from_caller(&size, count));
        benchmark::DoNotOptimize(korval::copy_from_caller(stage, data, count));
        benchmark::DoNotOptimize(korval::copy_to_caller(data, stage, count));
        benchmark::DoNotOptimize(korval::store_to_caller(&size, count));
    }
}
BENCHMARK(GuardSeparateCopies8);

void GuardGatheredCopies8(benchmark::State& state)
{
    uint8_t data[8] = {}, stage[512];
    uint32_t size = sizeof data, count = 0;
    size_t readable = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(korval::load_count_and_head(&size, count, data, stage, sizeof data, readable));
        benchmark::DoNotOptimize(korval::store_data_and_count(data, stage, count, &size, count));
    }
}
BENCHMARK(GuardGatheredCopies8);

// The price of one system call on this machine, for reading the guarded figures above: a request makes
// two guard system calls (by process_vm_*, a write with data makes one).
void BareSystemCall(benchmark::State& state)
{
    for (auto _ : state) benchmark::DoNotOptimize(syscall(SYS_getppid));
}
BENCHMARK(BareSystemCall);

}  // namespace
