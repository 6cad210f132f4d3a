#include "adc/read_guard.h"

#include "usb/bulk.h"

namespace korval::adc {

namespace {

int64_t steady_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// How often a cancel is repeated while the read it is meant for has not ended.
constexpr std::chrono::milliseconds kCancelRepeat{2};
constexpr std::chrono::milliseconds kUncancellableRepeat{100};
constexpr std::chrono::hours kIdle{1};

}  // namespace

bool ReadGuard::start()
{
    return worker_.start([this] { body(); });
}

void ReadGuard::arm(std::chrono::milliseconds allowance)
{
    timed_out_.store(false, std::memory_order_release);
    deadline_ns_.store(steady_ns() + std::chrono::nanoseconds(allowance).count(), std::memory_order_release);
    worker_.notify();
}

void ReadGuard::disarm() { deadline_ns_.store(0, std::memory_order_release); }

void ReadGuard::cancel()
{
    cancelling_.store(true, std::memory_order_release);
    worker_.notify();
}

void ReadGuard::stop()
{
    worker_.request_stop();
    worker_.join();
}

void ReadGuard::body()
{
    while (!worker_.stop_requested()) {
        const int64_t deadline = deadline_ns_.load(std::memory_order_acquire);
        const int64_t now = steady_ns();
        // Expired only while that read is still the pending one (not one that ended as its time ran out).
        const bool expired =
            deadline != 0 && now >= deadline && deadline_ns_.load(std::memory_order_acquire) == deadline;
        if (expired) timed_out_.store(true, std::memory_order_release);
        if (expired || cancelling_.load(std::memory_order_acquire)) {
            // A host that cannot cancel is not asked again and again; the reader ends after its slice.
            worker_.wait_for(usb::cancel_transfers(slot_, pipe_) ? kCancelRepeat : kUncancellableRepeat);
        } else if (deadline != 0) {
            worker_.wait_for(std::chrono::nanoseconds(deadline - now));
        } else {
            worker_.wait_for(kIdle);
        }
    }
}

}  // namespace korval::adc
