// The library's own cost per control request, on a host that answers at once without doing anything,
// so that what is measured is the library: argument checks, the open check, the setup packet, and, for
// the exported routines, the guarded copies of caller memory (one system call each).
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <sys/syscall.h>

#include "instant_host.h"
#include "core/registry.h"
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

BENCHMARK_F(NullHost, GenericVendorWriteNoData)(benchmark::State& state)
{
    for (auto _ : state) benchmark::DoNotOptimize(GenericVendorWrite(0, 0x35, 0, 0, 0, nullptr));
}

BENCHMARK_F(NullHost, GenericVendorWrite8)(benchmark::State& state)
{
    const uint8_t data[8] = {};
    for (auto _ : state) benchmark::DoNotOptimize(GenericVendorWrite(0, 0x10, 0, 0, sizeof data, data));
}

BENCHMARK_F(NullHost, GenericVendorRead8)(benchmark::State& state)
{
    uint8_t data[8];
    for (auto _ : state) {
        uint32_t size = sizeof data;
        benchmark::DoNotOptimize(GenericVendorRead(0, 0x11, 0, 0, &size, data));
    }
}

// The price of one system call on this machine, for reading the guarded figures above: the exported
// routines make one per guarded copy (a read makes two, a write with data one).
void BareSystemCall(benchmark::State& state)
{
    for (auto _ : state) benchmark::DoNotOptimize(syscall(SYS_getppid));
}
BENCHMARK(BareSystemCall);

}  // namespace
