// Deadlines on the transfers of one pipe of a board, kept by one timer thread for the whole library.
//
// Bulk transfers carry no time-out of their own. A caller that must not wait without end for a board
// that has stopped answering arms a Deadline before its transfer and disarms it after: a transfer still
// pending when the time has passed (on the steady clock) is cancelled through the board's transport,
// and timed_out() tells the caller why its transfer failed. cancel() cancels at once, for an abort. A
// cancel is repeated until the caller disarms, since the caller may not yet have reached the driver
// when the first one is sent.
//
// The timer thread is started by the first arm or cancel and runs until the host changes or the
// library unloads; between them it sleeps. So an operation with a deadline starts no thread of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace korval::usb {

class Deadline {
public:
    Deadline(uint32_t slot, uint8_t pipe) noexcept : slot_(slot), pipe_(pipe) {}
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;
    ~Deadline() { end(); }
    // Disarms, ends a cancel and leaves the timer for good: no cancel of this deadline runs after it,
    // and later arms and cancels do nothing.
    void end() noexcept;

    // A transfer on the pipe still pending after `allowance` is cancelled. false when the system gives
    // the timer no thread: the transfer then goes without a bound.
    bool arm(std::chrono::nanoseconds allowance) noexcept;
    // When it returns, the timer sends no further cancel for this deadline (a cancel asked for through
    // cancel() stays asked for).
    void disarm() noexcept;
    // Cancels the pipe's transfers now and again every few milliseconds until the deadline is gone.
    bool cancel() noexcept;
    bool timed_out() const noexcept { return timed_out_.load(std::memory_order_acquire); }

private:
    friend class DeadlineTimer;

    const uint32_t slot_;
    const uint8_t pipe_;
    std::atomic<bool> timed_out_{false};
    std::atomic<bool> ended_{false};
    // The rest is the timer's, under its mutex.
    int64_t due_ns_ = 0;  // 0: not armed
    int64_t next_cancel_ns_ = 0;
    bool cancelling_ = false;
    bool in_cancel_ = false;  // the timer is cancelling for it with its mutex released
    bool listed_ = false;
    Deadline* prev_ = nullptr;
    Deadline* next_ = nullptr;
};

// Whether the timer thread runs (for the tests that count the library's threads).
bool deadline_timer_running() noexcept;

// Ends the timer thread (when the host changes: no deadline is armed then). The next arm starts it again.
void end_deadline_timer() noexcept;

// Ends it at unload, and frees it where that is safe.
void end_deadline_timer_at_unload() noexcept;

}  // namespace korval::usb
