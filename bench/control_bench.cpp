// The library's own cost per control request, on a host that answers at once without doing anything,
// so that what is measured is the library: argument checks, the open check, the setup packet, and, for
// the exported routines, the guarded copies of caller memory (one system call each).
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <sys/syscall.h>

#include <cstring>

#include "core/registry.h"
#include "korval/host.h"
#include "korval/korval.h"
#include "usb/control.h"

namespace {

// A host with one WinUSB board whose control transfers complete at once with the bytes asked for.
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
    static_cast<uint8_t*>(buffer)[10] = 0x01;  // PID 0x8001
    static_cast<uint8_t*>(buffer)[11] = 0x80;
    *n = length;
    return 1;
}

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
    return h;
}

class NullHost : public benchmark::Fixture {
public:
    void SetUp(const benchmark::State&) override
    {
        const KorvalHost h = null_host();
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
