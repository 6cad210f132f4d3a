// The shared worker life: thread creation, priority, stop requests, bounded sleeps and joins.
#include "base/worker.h"

#include <new>
#include <system_error>

#include "korval/korval.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace korval {

namespace {

// Raises the calling thread to the top of the normal priority range. On Windows that is
// THREAD_PRIORITY_TIME_CRITICAL; on Linux the thread's nice value, which only a privileged process may
// lower. A refusal is not an error: the worker runs at the priority it has.
void raise_priority() noexcept
{
#ifdef _WIN32
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
#elif defined(__linux__)
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -10);
#endif
}

std::atomic<uint64_t> g_started{0};

}  // namespace

uint64_t Worker::started_count() noexcept { return g_started.load(std::memory_order_relaxed); }

Worker::~Worker()
{
    request_stop();
    join();
}

bool Worker::start(std::function<void()> body, WorkerPriority priority) noexcept
{
    if (started_) return false;
    try {
        thread_ = std::thread([this, body = std::move(body), priority]() {
            if (priority == WorkerPriority::time_critical) raise_priority();
            try {
                body();
            } catch (...) {
                // A body never lets an exception end the process; the result says what went wrong.
                result = ERROR_INTERNAL_ERROR;
            }
            finished_.store(true, std::memory_order_release);
        });
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    started_ = true;
    g_started.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void Worker::request_stop() noexcept
{
    stop_.store(true, std::memory_order_release);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        notified_ = true;
    }
    wake_.notify_all();
}

bool Worker::wait_for(std::chrono::nanoseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, timeout, [this] { return notified_ || stop_requested(); });
    notified_ = false;
    return stop_requested();
}

void Worker::notify() noexcept
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        notified_ = true;
    }
    wake_.notify_all();
}

void Worker::join() noexcept
{
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

}  // namespace korval
