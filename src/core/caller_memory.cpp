#include "core/caller_memory.h"

#include <cstdint>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#endif

#include "korval/korval.h"

namespace korval {

#ifdef _WIN32

namespace {

bool range_accessible(const void* start, size_t size, bool for_write) noexcept
{
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    const DWORD writable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    uintptr_t at = reinterpret_cast<uintptr_t>(start);
    const uintptr_t end = at + size;
    if (end < at) return false;
    while (at < end) {
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) == 0) return false;
        if (info.State != MEM_COMMIT || (info.Protect & PAGE_GUARD) != 0) return false;
        if ((info.Protect & (for_write ? writable : readable)) == 0) return false;
        at = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    }
    return true;
}

}  // namespace

bool copy_from_caller(void* target, const void* source, size_t size) noexcept
{
    if (size == 0) return true;
    if (!range_accessible(source, size, false)) return false;
    std::memcpy(target, source, size);
    return true;
}

bool copy_to_caller(void* target, const void* source, size_t size) noexcept
{
    if (size == 0) return true;
    if (!range_accessible(target, size, true)) return false;
    std::memcpy(target, source, size);
    return true;
}

bool caller_range_usable(const void* start, size_t size, bool for_write) noexcept
{
    return size == 0 || range_accessible(start, size, for_write);
}

void use_pipe_copies(bool) noexcept {}

#else

namespace {

// process_vm_* take a process ID. getpid() is a system call of its own, so the ID is kept, and renewed
// in a forked child (a stale ID would copy from the parent).
std::atomic<pid_t> g_pid{0};
std::atomic<bool> g_use_pipe{false};

pid_t own_pid() noexcept
{
    pid_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        static const int registered = pthread_atfork(nullptr, nullptr, [] { g_pid.store(0); });
        (void)registered;
        pid = getpid();
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

// Fallback where process_vm_* are refused (seccomp, some containers): the kernel copies through a pipe
// and reports EFAULT for the caller's side. One pipe per thread, non-blocking so that nothing can hang.
class ThreadPipe {
public:
    ThreadPipe() noexcept
    {
        if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) fds_[0] = fds_[1] = -1;
    }
    ~ThreadPipe()
    {
        if (fds_[0] >= 0) close(fds_[0]);
        if (fds_[1] >= 0) close(fds_[1]);
    }
    ThreadPipe(const ThreadPipe&) = delete;
    ThreadPipe& operator=(const ThreadPipe&) = delete;

    // Moves `size` bytes from `from` to `to` through the pipe, in pieces that always fit it.
    bool move(void* to, const void* from, size_t size) noexcept
    {
        if (fds_[0] < 0) return false;
        constexpr size_t kPiece = 4096;
        auto* out = static_cast<uint8_t*>(to);
        const auto* in = static_cast<const uint8_t*>(from);
        while (size > 0) {
            const size_t piece = size < kPiece ? size : kPiece;
            const ssize_t written = write(fds_[1], in, piece);
            if (written != static_cast<ssize_t>(piece)) {
                drain();
                return false;
            }
            const ssize_t got = read(fds_[0], out, piece);
            if (got != static_cast<ssize_t>(piece)) {
                drain();
                return false;
            }
            in += piece;
            out += piece;
            size -= piece;
        }
        return true;
    }

private:
    void drain() noexcept
    {
        uint8_t sink[4096];
        while (read(fds_[0], sink, sizeof sink) > 0) {
        }
    }
    int fds_[2];
};

bool pipe_copy(void* target, const void* source, size_t size) noexcept
{
    thread_local ThreadPipe pipe;
    return pipe.move(target, source, size);
}

enum class Direction { from_caller, to_caller };

// Moves the bytes of `local` to or from the caller's ranges `remote` (their lengths adding up to
// local's) in one system call; the pipe, range by range, where process_vm_* are refused.
bool vm_transfer(const iovec& local, const iovec* remote, size_t count, Direction direction) noexcept
{
    if (!g_use_pipe.load(std::memory_order_relaxed)) {
        const ssize_t moved = direction == Direction::from_caller
                                  ? process_vm_readv(own_pid(), &local, 1, remote, count, 0)
                                  : process_vm_writev(own_pid(), &local, 1, remote, count, 0);
        // A range that runs into an unmapped page is copied up to that page: only the full count is a success.
        if (moved >= 0) return static_cast<size_t>(moved) == local.iov_len;
        if (errno != ENOSYS && errno != EPERM) return false;
        g_use_pipe.store(true, std::memory_order_relaxed);
    }
    auto* at = static_cast<uint8_t*>(local.iov_base);
    for (size_t i = 0; i < count; ++i) {
        const bool ok = direction == Direction::from_caller ? pipe_copy(at, remote[i].iov_base, remote[i].iov_len)
                                                            : pipe_copy(remote[i].iov_base, at, remote[i].iov_len);
        if (!ok) return false;
        at += remote[i].iov_len;
    }
    return true;
}

bool vm_copy(void* target, const void* source, size_t size, Direction direction) noexcept
{
    if (direction == Direction::from_caller) {
        const iovec remote{const_cast<void*>(source), size};
        return vm_transfer({target, size}, &remote, 1, direction);
    }
    const iovec remote{target, size};
    return vm_transfer({const_cast<void*>(source), size}, &remote, 1, direction);
}

}  // namespace

bool copy_from_caller(void* target, const void* source, size_t size) noexcept
{
    if (size == 0) return true;
    return vm_copy(target, source, size, Direction::from_caller);
}

bool copy_to_caller(void* target, const void* source, size_t size) noexcept
{
    if (size == 0) return true;
    return vm_copy(target, source, size, Direction::to_caller);
}

// One byte of every page the range touches is read, and for a range to be written, written back as it
// was: up to 1,024 pages per system call, with no copy of the range itself.
bool caller_range_usable(const void* start, size_t size, bool for_write) noexcept
{
    if (size == 0) return true;
    constexpr uintptr_t kPage = 4096;  // the smallest page of any supported system
    constexpr size_t kBatch = 1024;
    uintptr_t at = reinterpret_cast<uintptr_t>(start);
    const uintptr_t end = at + size;
    if (end < at) return false;
    uint8_t bytes[kBatch];
    iovec remote[kBatch];
    while (at < end) {
        size_t n = 0;
        for (; n < kBatch && at < end; ++n) {
            remote[n] = {reinterpret_cast<void*>(at), 1};
            at = (at / kPage + 1) * kPage;
        }
        const iovec local{bytes, n};
        if (!vm_transfer(local, remote, n, Direction::from_caller)) return false;
        if (for_write && !vm_transfer(local, remote, n, Direction::to_caller)) return false;
    }
    return true;
}

void use_pipe_copies(bool on) noexcept { g_use_pipe.store(on, std::memory_order_relaxed); }

#endif

uint32_t read_caller_string(const char* source, std::string& out, size_t limit)
{
    constexpr uintptr_t kPage = 4096;
    out.clear();
    char piece[kPage];
    while (out.size() < limit) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(source) + out.size();
        const size_t n = static_cast<size_t>(kPage - at % kPage);
        if (!copy_from_caller(piece, reinterpret_cast<const void*>(at), n)) return ERROR_NOACCESS;
        const void* zero = std::memchr(piece, 0, n);
        if (zero != nullptr) {
            out.append(piece, static_cast<size_t>(static_cast<const char*>(zero) - piece));
            return out.size() <= limit ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
        }
        out.append(piece, n);
    }
    return ERROR_INVALID_PARAMETER;
}

}  // namespace korval
