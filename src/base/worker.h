// The life every background operation shares (one-shot and continuous acquisition, DAC output, the
// pulse-width monitor, gate waits): the start function creates a Worker and starts it, the end function
// asks it to stop, joins it and frees it, and nothing else does. No thread is ever detached.
//
// The body polls stop_requested() between transfers and sleeps only through wait_for(), which a stop
// request wakes at once. A body blocked in a transfer is ended by cancelling that transfer through the
// host (usb::cancel_transfers), so join() never waits on a board that has stopped answering.
//
// result is the one field the worker reports through; callers may read it at any time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "base/relaxed.h"

namespace korval {

enum class WorkerPriority { normal, time_critical };

class Worker {
public:
    Worker() = default;
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    // Stops and joins a thread still running, so a Worker never outlives its thread.
    ~Worker();

    // Starts the thread running `body`. false when the system gives no thread (the body never runs).
    // time_critical raises the thread's priority where the system grants it and carries on at normal
    // priority where it does not.
    bool start(std::function<void()> body, WorkerPriority priority = WorkerPriority::normal) noexcept;

    // Asks the body to stop and wakes it from wait_for(). Safe from any thread, any number of times.
    void request_stop() noexcept;
    bool stop_requested() const noexcept { return stop_.load(std::memory_order_acquire); }

    // Sleeps up to `timeout`, or until a stop request or notify(). true when a stop was requested.
    bool wait_for(std::chrono::nanoseconds timeout);
    // Wakes wait_for() without a stop request (new work for the worker).
    void notify() noexcept;

    // Waits for the body to return. Safe to call again; a no-op for a worker never started. Must not be
    // called from the worker's own thread.
    void join() noexcept;

    bool running() const noexcept { return started_ && !finished_.load(std::memory_order_acquire); }
    bool finished() const noexcept { return finished_.load(std::memory_order_acquire); }

    Relaxed<uint32_t> result;

    // How many workers the library has started since it was loaded (for the tests that count the
    // threads an operation starts).
    static uint64_t started_count() noexcept;

private:
    std::thread thread_;
    bool started_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool notified_ = false;
};

}  // namespace korval
