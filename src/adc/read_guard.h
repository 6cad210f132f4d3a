// Bounds the bulk reads of one ADC operation, so that no scan, calibration or acquisition waits
// without end for a board that has stopped sending.
//
// Bulk reads carry no time-out of their own. Each read is made within the time it may take; a read still pending when that time has passed is cancelled through the host by
// the library's deadline timer (usb/deadline.h), and timed_out() tells the reader why its read failed.
// cancel() does the same at once, for an abort. The guard starts no thread of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "usb/bulk.h"
#include "usb/deadline.h"

namespace korval::adc {

class ReadGuard {
public:
    ReadGuard(uint32_t slot, uint8_t pipe) : deadline_(slot, pipe) {}
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    ~ReadGuard() { stop(); }

    // false when the system gives the library's timer no thread: reads then go unguarded.
    bool start();
    // The bound of one read that may take `allowance` (armed by the read, disarmed after it).
    usb::Within within(std::chrono::milliseconds allowance) { return {&deadline_, allowance}; }
    void cancel() { deadline_.cancel(); }
    bool timed_out() const { return deadline_.timed_out(); }
    // No cancel of this guard runs after it returns.
    void stop() { deadline_.end(); }

private:
    usb::Deadline deadline_;
};

// The time one read of `samples` samples may take. A board converts far faster than 1,000 samples a
// second; `base` covers its start (a trigger, the first packet) and a busy bus.
inline std::chrono::milliseconds read_allowance(std::chrono::milliseconds base, uint64_t samples)
{
    return base + std::chrono::milliseconds(samples);
}

}  // namespace korval::adc
