// A host for the benchmarks: one WinUSB board of a chosen product whose transfers complete at once, so
// that what a benchmark measures is the library's own cost. A benchmark adds the pipe entry points its
// feature needs (a read that stamps a sequence, a write that takes the data) to the table it returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "korval/host.h"

namespace korval::bench {

inline std::atomic<uint16_t> g_instant_pid{0x8001};

inline void instant_list(void*, const KorvalGuid* g, void (*emit)(void*, const char*), void* c)
{
    const KorvalGuid winusb = KORVAL_INTERFACE_CLASS_WINUSB;
    if (std::memcmp(g, &winusb, sizeof winusb) == 0) emit(c, "instant");
}
inline int instant_open(void*, const char*, int, KorvalHandle* f, uint32_t*)
{
    *f = 1;
    return 1;
}
inline int instant_ok(void*, KorvalHandle, uint32_t*) { return 1; }
inline int instant_initialize(void*, KorvalHandle, KorvalHandle* i, uint32_t*)
{
    *i = 2;
    return 1;
}
// Control transfers move every byte asked for (IN data is whatever the buffer held).
inline int instant_control(void*, KorvalHandle, const uint8_t[8], void*, uint32_t length, uint32_t* transferred,
                           uint32_t*)
{
    *transferred = length;
    return 1;
}
// The device descriptor: zeros but for the product ID at bytes 10 and 11.
inline int instant_descriptor(void*, KorvalHandle, uint8_t, uint8_t, uint16_t, void* buffer, uint32_t length,
                              uint32_t* n, uint32_t*)
{
    std::memset(buffer, 0, length);
    const uint16_t pid = g_instant_pid.load();
    if (length > 11) {
        static_cast<uint8_t*>(buffer)[10] = static_cast<uint8_t>(pid);
        static_cast<uint8_t*>(buffer)[11] = static_cast<uint8_t>(pid >> 8);
    }
    *n = length;
    return 1;
}

inline KorvalHost instant_host(uint16_t pid)
{
    g_instant_pid = pid;
    KorvalHost h{};
    h.version = KORVAL_HOST_VERSION;
    h.list_interfaces = instant_list;
    h.open_file = instant_open;
    h.close_handle = instant_ok;
    h.has_winusb = 1;
    h.winusb_initialize = instant_initialize;
    h.winusb_free = instant_ok;
    h.winusb_control_transfer = instant_control;
    h.winusb_get_descriptor = instant_descriptor;
    return h;
}

}  // namespace korval::bench
