// Bounds the bulk reads of one ADC operation, so that no scan, calibration or acquisition waits
// without end for a board that has stopped sending.
//
// Bulk reads carry no time-out of their own. The guard is a small thread beside the reader: before each
// read the reader arms it with the time that read may take; a read still pending when that time has
// passed (measured on the steady clock) is cancelled through the host, and timed_out() tells the reader
// why its read failed. cancel() does the same at once, for an abort. A cancel is repeated until the
// reader disarms, since the reader may not yet have reached the driver when the first one is sent.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "base/worker.h"

namespace korval::adc {

class ReadGuard {
public:
    ReadGuard(uint32_t slot, uint8_t pipe) : slot_(slot), pipe_(pipe) {}
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    ~ReadGuard() { stop(); }

    // false when the system gives no thread: reads then go unguarded.
    bool start();
    void arm(std::chrono::milliseconds allowance);
    void disarm();
    void cancel();
    bool timed_out() const { return timed_out_.load(std::memory_order_acquire); }
    void stop();

private:
    void body();

    const uint32_t slot_;
    const uint8_t pipe_;
    Worker worker_;
    std::atomic<int64_t> deadline_ns_{0};  // steady clock; 0 while no read is pending
    std::atomic<bool> timed_out_{false};
    std::atomic<bool> cancelling_{false};
};

// The time one read of `samples` samples may take. A board converts far faster than 1,000 samples a
// second; `base` covers its start (a trigger, the first packet) and a busy bus.
inline std::chrono::milliseconds read_allowance(std::chrono::milliseconds base, uint64_t samples)
{
    return base + std::chrono::milliseconds(samples);
}

}  // namespace korval::adc
