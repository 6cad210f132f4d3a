// Simulated time, shared by all boards of a simulation: the steady clock from the simulation's start,
// or, in manual mode, a count that only moves when told to.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

namespace korval::sim {

class Clock {
public:
    using Steady = std::chrono::steady_clock;

    uint64_t now_ns() const
    {
        std::lock_guard lock(mutex_);
        return now_locked();
    }
    bool manual() const
    {
        std::lock_guard lock(mutex_);
        return manual_;
    }
    // Switching keeps time continuous: it never jumps back.
    void set_manual(bool manual)
    {
        std::lock_guard lock(mutex_);
        if (manual == manual_) return;
        const uint64_t now = now_locked();
        manual_ = manual;
        manual_ns_ = now;
        origin_ = Steady::now() - std::chrono::nanoseconds(now);
    }
    void advance(uint64_t ns)
    {
        std::lock_guard lock(mutex_);
        if (manual_) manual_ns_ += ns;
        else origin_ -= std::chrono::nanoseconds(ns);
    }
    // The steady-clock moment simulated time reaches `ns` (real mode only).
    Steady::time_point steady_time_of(uint64_t ns) const
    {
        std::lock_guard lock(mutex_);
        return origin_ + std::chrono::nanoseconds(ns);
    }

private:
    uint64_t now_locked() const
    {
        if (manual_) return manual_ns_;
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now() - origin_).count());
    }

    mutable std::mutex mutex_;
    bool manual_ = false;
    uint64_t manual_ns_ = 0;
    Steady::time_point origin_ = Steady::now();
};

}  // namespace korval::sim
