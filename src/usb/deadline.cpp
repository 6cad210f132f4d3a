#include "usb/deadline.h"

#include <condition_variable>
#include <limits>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "usb/bulk.h"

#ifndef _WIN32
#include <pthread.h>
#endif

namespace korval::usb {

namespace {

int64_t steady_ns() noexcept
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// How often a cancel is repeated while the transfer it is meant for has not ended; a host that cannot
// cancel is asked far less often (the transfer then ends after its own short slice).
constexpr int64_t kCancelRepeatNs = 2'000'000;
constexpr int64_t kUncancellableRepeatNs = 100'000'000;
constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
// The thread ends itself when no deadline has been armed for this long, so a program that has stopped
// using the boards keeps no thread of the library's; the next deadline starts it again.
constexpr std::chrono::milliseconds kLinger{500};

}  // namespace

class DeadlineTimer {
public:
    static DeadlineTimer* get() noexcept;  // nullptr when there is no memory for it
    static DeadlineTimer* existing() noexcept { return slot().load(std::memory_order_acquire); }

    bool arm(Deadline& d, int64_t due_ns) noexcept;
    void disarm(Deadline& d) noexcept;
    bool cancel(Deadline& d) noexcept;
    void leave(Deadline& d) noexcept;
    bool running() noexcept;
    void end(bool join) noexcept;
    void forked() noexcept;
    void before_fork() noexcept { mutex_.lock(); }
    void after_fork() noexcept { mutex_.unlock(); }

private:
    static std::atomic<DeadlineTimer*>& slot() noexcept
    {
        static std::atomic<DeadlineTimer*> timer{nullptr};
        return timer;
    }
    bool ensure_thread() noexcept;  // under mutex_
    void list(Deadline& d) noexcept;
    void unlist(Deadline& d) noexcept;
    void wait_out_cancel(std::unique_lock<std::mutex>& lock, Deadline& d) noexcept;
    void wake_if_idle() noexcept;  // under mutex_
    void body() noexcept;

    std::mutex mutex_;
    std::condition_variable wake_;     // the thread's: a nearer time, or the end
    std::condition_variable settled_;  // the callers': a cancel made with the mutex released has returned
    Deadline* head_ = nullptr;
    std::thread* thread_ = nullptr;
    bool stop_ = false;
    bool idle_ended_ = false;   // the thread has ended itself: joined by whoever starts the next
    int64_t wake_ns_ = kNever;  // when the thread wakes next
};

DeadlineTimer* DeadlineTimer::get() noexcept
{
    DeadlineTimer* timer = existing();
    if (timer != nullptr) return timer;
    auto* made = new (std::nothrow) DeadlineTimer;
    if (made == nullptr) return nullptr;
    if (slot().compare_exchange_strong(timer, made, std::memory_order_acq_rel)) {
#ifndef _WIN32
        // A forked child (the sweeps run each case in one) has no timer thread, whatever the parent had.
        pthread_atfork(
            [] {
                if (DeadlineTimer* t = existing()) t->before_fork();
            },
            [] {
                if (DeadlineTimer* t = existing()) t->after_fork();
            },
            [] {
                if (DeadlineTimer* t = existing()) t->forked();
            });
#endif
        return made;
    }
    delete made;
    return timer;
}

bool DeadlineTimer::ensure_thread() noexcept
{
    if (thread_ != nullptr && !idle_ended_) return true;
    if (thread_ != nullptr) {
        // It has left its loop and given up the mutex: what is left of it ends without the mutex.
        thread_->join();
        delete thread_;
        thread_ = nullptr;
    }
    try {
        stop_ = false;
        idle_ended_ = false;
        thread_ = new std::thread([this] { body(); });
        return true;
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    return false;
}

void DeadlineTimer::list(Deadline& d) noexcept
{
    if (d.listed_) return;
    d.prev_ = nullptr;
    d.next_ = head_;
    if (head_ != nullptr) head_->prev_ = &d;
    head_ = &d;
    d.listed_ = true;
}

void DeadlineTimer::unlist(Deadline& d) noexcept
{
    if (!d.listed_) return;
    if (d.prev_ != nullptr)
        d.prev_->next_ = d.next_;
    else
        head_ = d.next_;
    if (d.next_ != nullptr) d.next_->prev_ = d.prev_;
    d.prev_ = d.next_ = nullptr;
    d.listed_ = false;
}

void DeadlineTimer::wake_if_idle() noexcept
{
    // A thread asleep until a deadline that has just gone would otherwise keep that time, however
    // far off, before it begins to linger.
    if (head_ == nullptr && wake_ns_ != kNever) wake_.notify_one();
}

void DeadlineTimer::wait_out_cancel(std::unique_lock<std::mutex>& lock, Deadline& d) noexcept
{
    settled_.wait(lock, [&] { return !d.in_cancel_; });
}

bool DeadlineTimer::arm(Deadline& d, int64_t due_ns) noexcept
{
    std::unique_lock lock(mutex_);
    if (d.ended_.load(std::memory_order_acquire)) return true;
    if (!ensure_thread()) return false;
    wait_out_cancel(lock, d);
    d.timed_out_.store(false, std::memory_order_release);
    d.due_ns_ = due_ns;
    d.next_cancel_ns_ = 0;
    list(d);
    if (due_ns < wake_ns_) wake_.notify_one();
    return true;
}

void DeadlineTimer::disarm(Deadline& d) noexcept
{
    std::unique_lock lock(mutex_);
    wait_out_cancel(lock, d);
    d.due_ns_ = 0;
    if (!d.cancelling_) unlist(d);
    wake_if_idle();
}

bool DeadlineTimer::cancel(Deadline& d) noexcept
{
    std::unique_lock lock(mutex_);
    if (d.ended_.load(std::memory_order_acquire)) return true;
    if (!ensure_thread()) return false;
    d.cancelling_ = true;
    d.next_cancel_ns_ = 0;
    list(d);
    wake_.notify_one();
    return true;
}

void DeadlineTimer::leave(Deadline& d) noexcept
{
    std::unique_lock lock(mutex_);
    wait_out_cancel(lock, d);
    d.due_ns_ = 0;
    d.cancelling_ = false;
    unlist(d);
    wake_if_idle();
}

bool DeadlineTimer::running() noexcept
{
    std::lock_guard lock(mutex_);
    return thread_ != nullptr && !idle_ended_;
}

void DeadlineTimer::body() noexcept
{
    std::unique_lock lock(mutex_);
    while (!stop_) {
        if (head_ == nullptr) {
            if (!wake_.wait_for(lock, kLinger, [this] { return stop_ || head_ != nullptr; })) {
                idle_ended_ = true;
                return;
            }
            continue;
        }
        const int64_t now = steady_ns();
        int64_t next = kNever;
        Deadline* due = nullptr;
        for (Deadline* d = head_; d != nullptr; d = d->next_) {
            if (d->in_cancel_) continue;
            const bool expired = d->due_ns_ != 0 && now >= d->due_ns_;
            if (expired) d->timed_out_.store(true, std::memory_order_release);
            if (expired || d->cancelling_) {
                if (now >= d->next_cancel_ns_) {
                    due = d;
                    break;
                }
                if (d->next_cancel_ns_ < next) next = d->next_cancel_ns_;
            } else if (d->due_ns_ != 0 && d->due_ns_ < next) {
                next = d->due_ns_;
            }
        }
        if (due != nullptr) {
            // The cancel runs with the mutex released (a remote host's takes a round trip); the deadline
            // stays where it is meanwhile, since disarming and leaving wait for it.
            due->in_cancel_ = true;
            const uint32_t slot = due->slot_;
            const uint8_t pipe = due->pipe_;
            lock.unlock();
            const bool cancelled = cancel_transfers(slot, pipe);
            lock.lock();
            due->next_cancel_ns_ = steady_ns() + (cancelled ? kCancelRepeatNs : kUncancellableRepeatNs);
            due->in_cancel_ = false;
            settled_.notify_all();
            continue;
        }
        wake_ns_ = next;
        if (next == kNever) {
            wake_.wait(lock);
        } else {
            wake_.wait_for(lock, std::chrono::nanoseconds(next - now));
        }
        wake_ns_ = kNever;
    }
}

void DeadlineTimer::end(bool join) noexcept
{
    std::thread* thread = nullptr;
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        thread = thread_;
        thread_ = nullptr;
        wake_.notify_all();
    }
    if (thread == nullptr) return;
    if (join)
        thread->join();
    else
        thread->detach();
    delete thread;
}

void DeadlineTimer::forked() noexcept
{
    // The parent's thread does not exist here; its object is let go of without a join. The deadlines
    // listed are the parent's other threads', which do not exist here either.
    thread_ = nullptr;
    head_ = nullptr;
    stop_ = false;
    idle_ended_ = false;
    wake_ns_ = kNever;
    mutex_.unlock();
}

void Deadline::end() noexcept
{
    ended_.store(true, std::memory_order_release);
    if (DeadlineTimer* timer = DeadlineTimer::existing()) timer->leave(*this);
}

bool Deadline::arm(std::chrono::nanoseconds allowance) noexcept
{
    DeadlineTimer* timer = DeadlineTimer::get();
    return timer != nullptr && timer->arm(*this, steady_ns() + allowance.count());
}

void Deadline::disarm() noexcept
{
    if (DeadlineTimer* timer = DeadlineTimer::existing()) timer->disarm(*this);
}

bool Deadline::cancel() noexcept
{
    DeadlineTimer* timer = DeadlineTimer::get();
    return timer != nullptr && timer->cancel(*this);
}

bool deadline_timer_running() noexcept
{
    DeadlineTimer* timer = DeadlineTimer::existing();
    return timer != nullptr && timer->running();
}

void end_deadline_timer() noexcept
{
    if (DeadlineTimer* timer = DeadlineTimer::existing()) timer->end(true);
}

void end_deadline_timer_at_unload() noexcept
{
    DeadlineTimer* timer = DeadlineTimer::existing();
    if (timer == nullptr) return;
#ifdef _WIN32
    // Unload runs under the loader's lock, which a thread needs to end: it is asked to end, not joined,
    // and what it reaches stays.
    timer->end(false);
#else
    timer->end(true);
#endif
}

}  // namespace korval::usb
