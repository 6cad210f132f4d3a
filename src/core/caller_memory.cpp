#include "core/caller_memory.h"

#include <algorithm>
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

bool load_count_and_head(const uint32_t* count_at, uint32_t& count, const void* buffer, void* head, size_t room,
                         size_t& readable) noexcept
{
    if (!copy_from_caller(&count, count_at, sizeof count)) return false;
    readable = room > 0 && range_accessible(buffer, room, false) ? room : 0;
    if (readable > 0) std::memcpy(head, buffer, readable);
    return true;
}

bool store_data_and_count(void* buffer, const void* data, size_t size, uint32_t* count_at, uint32_t count) noexcept
{
    return copy_to_caller(buffer, data, size) && copy_to_caller(count_at, &count, sizeof count);
}

uint64_t guard_system_calls() noexcept { return 0; }

void use_pipe_copies(bool) noexcept {}

#else

namespace {

// process_vm_* take a process ID. getpid() is a system call of its own, so the ID is kept, and renewed
// in a forked child (a stale ID would copy from the parent).
std::atomic<pid_t> g_pid{0};
std::atomic<bool> g_use_pipe{false};
thread_local uint64_t t_system_calls = 0;

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

// Moves the bytes of the library's ranges `local` to or from the caller's ranges `remote` (the two
// lists' lengths adding up alike) in one system call, and returns how many bytes moved: the ranges
// are moved in order up to the first byte that cannot be (a range that runs into an unmapped page is
// moved up to that page). Where process_vm_* are refused, the pipe moves them range by range, each
// whole or not at all.
ssize_t vm_move(const iovec* local, size_t local_count, const iovec* remote, size_t remote_count,
                Direction direction) noexcept
{
    if (!g_use_pipe.load(std::memory_order_relaxed)) {
        ++t_system_calls;
        const ssize_t moved = direction == Direction::from_caller
                                  ? process_vm_readv(own_pid(), local, local_count, remote, remote_count, 0)
                                  : process_vm_writev(own_pid(), local, local_count, remote, remote_count, 0);
        if (moved >= 0) return moved;
        if (errno != ENOSYS && errno != EPERM) return 0;
        g_use_pipe.store(true, std::memory_order_relaxed);
    }
    // The pipe: both lists walked together, piece by piece where their ranges meet.
    size_t li = 0, lo = 0, ri = 0, ro = 0;
    ssize_t moved = 0;
    while (li < local_count && ri < remote_count) {
        const size_t n = std::min(local[li].iov_len - lo, remote[ri].iov_len - ro);
        auto* l = static_cast<uint8_t*>(local[li].iov_base) + lo;
        auto* r = static_cast<uint8_t*>(remote[ri].iov_base) + ro;
        if (n > 0 && !(direction == Direction::from_caller ? pipe_copy(l, r, n) : pipe_copy(r, l, n))) break;
        moved += static_cast<ssize_t>(n);
        if ((lo += n) == local[li].iov_len) li++, lo = 0;
        if ((ro += n) == remote[ri].iov_len) ri++, ro = 0;
    }
    return moved;
}

// Moves the whole of `local` to or from the caller's ranges `remote`: only the full count is a success.
bool vm_transfer(const iovec& local, const iovec* remote, size_t count, Direction direction) noexcept
{
    return vm_move(&local, 1, remote, count, direction) == static_cast<ssize_t>(local.iov_len);
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

bool load_count_and_head(const uint32_t* count_at, uint32_t& count, const void* buffer, void* head, size_t room,
                         size_t& readable) noexcept
{
    const iovec local[2] = {{&count, sizeof count}, {head, room}};
    const iovec remote[2] = {{const_cast<uint32_t*>(count_at), sizeof count}, {const_cast<void*>(buffer), room}};
    const ssize_t moved = vm_move(local, room > 0 ? 2 : 1, remote, room > 0 ? 2 : 1, Direction::from_caller);
    if (moved < static_cast<ssize_t>(sizeof count)) return false;
    readable = static_cast<size_t>(moved) - sizeof count;
    return true;
}

bool store_data_and_count(void* buffer, const void* data, size_t size, uint32_t* count_at, uint32_t count) noexcept
{
    const iovec local[2] = {{const_cast<void*>(data), size}, {&count, sizeof count}};
    const iovec remote[2] = {{buffer, size}, {count_at, sizeof count}};
    const size_t first = size > 0 ? 0 : 1;
    return vm_move(local + first, 2 - first, remote + first, 2 - first, Direction::to_caller) ==
           static_cast<ssize_t>(size + sizeof count);
}

uint64_t guard_system_calls() noexcept { return t_system_calls; }

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
