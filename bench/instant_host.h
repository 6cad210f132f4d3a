// A host for the benchmarks: one WinUSB board of a chosen product whose transfers complete at once, so
// that what a benchmark measures is the library's own cost. A benchmark adds the pipe entry points its
// feature needs (a read that stamps a sequence, a write that takes the data) to the table it returns.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>

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

// A bulk IN pipe for the streaming benchmarks: each read reports its whole buffer as received (and,
// with `fill`, writes all of it) and stamps the buffer's first eight bytes with a sequence number (so that a benchmark can check that every
// buffer arrives once, whole and in order), at once or, paced, when its bytes would have arrived at the
// board's rate; an abort ends a paced wait.
struct PacedPipe {
    using Clock = std::chrono::steady_clock;
    std::atomic<uint64_t> sequence{0};
    double rate = 0;  // bytes per second; 0: answer at once
    Clock::time_point start;
    uint64_t sent = 0;  // bytes answered since start (paced; one reader at a time)
    std::mutex mutex;
    std::condition_variable cancelled_cv;
    bool cancelled = false;
    // Every byte of the buffer written, as a board's transfer writes it (counts rising by one), so that
    // the reader of the data does not take the first touch of the ring's fresh pages.
    bool fill = false;

    void reset(double bytes_per_second)
    {
        sequence = 0;
        rate = bytes_per_second;
        start = Clock::now();
        sent = 0;
        std::lock_guard lock(mutex);
        cancelled = false;
    }
};
inline PacedPipe g_paced_pipe;

inline int paced_read_pipe(void*, KorvalHandle, uint8_t, void* buffer, uint32_t length, uint32_t* transferred,
                           uint32_t* error)
{
    PacedPipe& p = g_paced_pipe;
    if (p.rate > 0) {
        p.sent += length;
        const auto due = p.start + std::chrono::nanoseconds(static_cast<int64_t>(p.sent / p.rate * 1e9));
        std::unique_lock lock(p.mutex);
        if (p.cancelled_cv.wait_until(lock, due, [&] { return p.cancelled; })) {
            *error = 995;  // ERROR_OPERATION_ABORTED
            return 0;
        }
    }
    if (p.fill) {
        auto* counts = static_cast<uint16_t*>(buffer);
        for (uint32_t i = 0; i < length / 2; ++i) counts[i] = static_cast<uint16_t>(i);
    }
    const uint64_t stamp = p.sequence.fetch_add(1, std::memory_order_relaxed);
    if (length >= sizeof stamp) std::memcpy(buffer, &stamp, sizeof stamp);
    *transferred = length;
    return 1;
}
inline int paced_abort_pipe(void*, KorvalHandle, uint8_t, uint32_t*)
{
    std::lock_guard lock(g_paced_pipe.mutex);
    g_paced_pipe.cancelled = true;
    g_paced_pipe.cancelled_cv.notify_all();
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

// The instant board with the paced bulk IN pipe.
inline KorvalHost paced_host(uint16_t pid)
{
    KorvalHost h = instant_host(pid);
    h.winusb_read_pipe = paced_read_pipe;
    h.winusb_abort_pipe = paced_abort_pipe;
    return h;
}

}  // namespace korval::bench
