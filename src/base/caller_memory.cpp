#include "base/caller_memory.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
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

void enter_library_call() noexcept {}

void leave_library_call() noexcept {}

void release_fault_handler() noexcept {}

void use_fault_copies(bool) noexcept {}

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
        while (read(fds_[0], sink, sizeof sink) > 0) {}
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

// Copies that take the fault. Inside a call into the library, a copy of caller memory is an ordinary
// memcpy under a handler of SIGSEGV and SIGBUS that turns a fault on it into a failed copy, so valid
// memory costs no system call per copy. The handler is installed on the first such copy and hands
// every other fault to the handler it replaced (or to the default action). A fault reaches it only
// while it is still the process's handler and the signals are not blocked on the thread (the kernel
// kills a thread that faults with them blocked), so each call checks both once, whatever it copies:
// two system calls. A call that finds a handler of the program's own in its place, or runs under a
// sanitizer (which owns these signals and checks memcpy's ranges itself), or runs with
// KORVAL_GUARD=syscall in the environment, takes the system-call copies instead.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KORVAL_FAULT_COPIES 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define KORVAL_FAULT_COPIES 0
#endif
#endif
#ifndef KORVAL_FAULT_COPIES
#define KORVAL_FAULT_COPIES 1
#endif

// The thread's guard state. The handler reads it, so it is in static TLS: reaching it never allocates.
struct ThreadGuard {
    sigjmp_buf* landing;          // where a fault on caller memory returns to
    volatile sig_atomic_t armed;  // a copy of caller memory is running
    uint32_t depth;               // calls into the library running on this thread
    int8_t mode;                  // this call's copies: 0 not decided, 1 by fault, -1 by system call
    bool reblock_segv;            // blocked when the call began, blocked again when it returns
    bool reblock_bus;
};
thread_local ThreadGuard t_guard __attribute__((tls_model("initial-exec"))) = {};

std::atomic<bool> g_fault_copies{true};
struct sigaction g_replaced[2];  // the handlers of SIGSEGV and SIGBUS before ours

struct sigaction& replaced(int signal) noexcept { return g_replaced[signal == SIGBUS ? 1 : 0]; }

void on_fault(int signal, siginfo_t* info, void* context)
{
    ThreadGuard& guard = t_guard;
    if (guard.armed != 0 && info->si_code > 0) {
        guard.armed = 0;
        siglongjmp(*guard.landing, 1);
    }
    const struct sigaction& before = replaced(signal);
    if ((before.sa_flags & SA_SIGINFO) != 0) {
        before.sa_sigaction(signal, info, context);
    } else if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
        before.sa_handler(signal);
    } else {
        // The default action, as if the library had never been here: with the default back in place
        // the faulting instruction faults again on return, and a signal that was sent is sent again.
        struct sigaction fallback = {};
        fallback.sa_handler = SIG_DFL;
        sigaction(signal, &fallback, nullptr);
        if (info->si_code <= 0) raise(signal);
    }
}

bool handler_installed() noexcept
{
    static const bool installed = [] {
        const char* choice = std::getenv("KORVAL_GUARD");
        if (choice != nullptr && std::strcmp(choice, "syscall") == 0) return false;
        struct sigaction ours = {};
        ours.sa_sigaction = on_fault;
        ours.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
        sigemptyset(&ours.sa_mask);
        if (sigaction(SIGSEGV, &ours, &replaced(SIGSEGV)) != 0) return false;
        if (sigaction(SIGBUS, &ours, &replaced(SIGBUS)) == 0) return true;
        sigaction(SIGSEGV, &replaced(SIGSEGV), nullptr);
        return false;
    }();
    return installed;
}

bool ours_in_place(int signal) noexcept
{
    struct sigaction current;
    return sigaction(signal, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) != 0 &&
           current.sa_sigaction == on_fault;
}

// Whether this call's copies take the fault: decided on its first copy.
bool fault_copies() noexcept
{
    ThreadGuard& guard = t_guard;
    if (!KORVAL_FAULT_COPIES || guard.depth == 0) return false;
    if (guard.mode != 0) return guard.mode > 0;
    guard.mode = -1;
    if (!g_fault_copies.load(std::memory_order_relaxed) || !handler_installed()) return false;
    ++t_system_calls;
    if (!ours_in_place(SIGSEGV)) return false;
    sigset_t faults, before;
    sigemptyset(&faults);
    sigaddset(&faults, SIGSEGV);
    sigaddset(&faults, SIGBUS);
    ++t_system_calls;
    if (pthread_sigmask(SIG_UNBLOCK, &faults, &before) != 0) return false;
    guard.reblock_segv = sigismember(&before, SIGSEGV) == 1;
    guard.reblock_bus = sigismember(&before, SIGBUS) == 1;
    guard.mode = 1;
    return true;
}

// Runs `move` (which touches caller memory and holds nothing a jump out of it would lose): false when
// it faulted on the caller's memory.
template <class Move>
bool take_fault(Move&& move) noexcept
{
    ThreadGuard& guard = t_guard;
    sigjmp_buf landing;
    guard.landing = &landing;
    if (sigsetjmp(landing, 0) != 0) return false;
    guard.armed = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    move();
    std::atomic_signal_fence(std::memory_order_seq_cst);
    guard.armed = 0;
    return true;
}

bool fault_copy(void* target, const void* source, size_t size) noexcept
{
    return take_fault([&] { std::memcpy(target, source, size); });
}

constexpr uintptr_t kSmallestPage = 4096;  // the smallest page of any supported system

// One byte of every page of the range read, or, for a range to be written, changed by nothing in one
// atomic operation (which faults on a page that cannot be written, and loses no concurrent write).
bool fault_touch(uintptr_t at, uintptr_t end, bool for_write) noexcept
{
    return take_fault([&] {
        for (; at < end; at = (at / kSmallestPage + 1) * kSmallestPage) {
            auto* byte = reinterpret_cast<uint8_t*>(at);
            if (for_write)
                __atomic_fetch_or(byte, uint8_t{0}, __ATOMIC_RELAXED);
            else
                (void)*static_cast<volatile const uint8_t*>(byte);
        }
    });
}

}  // namespace

void enter_library_call() noexcept
{
    ThreadGuard& guard = t_guard;
    if (guard.depth++ == 0) guard.mode = 0;
}

void leave_library_call() noexcept
{
    ThreadGuard& guard = t_guard;
    if (--guard.depth != 0 || !(guard.reblock_segv || guard.reblock_bus)) return;
    sigset_t faults;
    sigemptyset(&faults);
    if (guard.reblock_segv) sigaddset(&faults, SIGSEGV);
    if (guard.reblock_bus) sigaddset(&faults, SIGBUS);
    guard.reblock_segv = guard.reblock_bus = false;
    pthread_sigmask(SIG_BLOCK, &faults, nullptr);
}

void release_fault_handler() noexcept
{
    // A handler left behind would point into unmapped code after the library is unloaded.
    for (int signal : {SIGSEGV, SIGBUS})
        if (ours_in_place(signal)) sigaction(signal, &replaced(signal), nullptr);
}

void use_fault_copies(bool on) noexcept { g_fault_copies.store(on, std::memory_order_relaxed); }

bool copy_from_caller(void* target, const void* source, size_t size) noexcept
{
    if (size == 0) return true;
    if (fault_copies()) return fault_copy(target, source, size);
    return vm_copy(target, source, size, Direction::from_caller);
}

bool copy_to_caller(void* target, const void* source, size_t size) noexcept
{
    if (size == 0) return true;
    if (fault_copies()) return fault_copy(target, source, size);
    return vm_copy(target, source, size, Direction::to_caller);
}

// One byte of every page the range touches is read, and for a range to be written, written back as it
// was: up to 1,024 pages per system call, with no copy of the range itself.
bool caller_range_usable(const void* start, size_t size, bool for_write) noexcept
{
    if (size == 0) return true;
    constexpr size_t kBatch = 1024;
    uintptr_t at = reinterpret_cast<uintptr_t>(start);
    const uintptr_t end = at + size;
    if (end < at) return false;
    if (fault_copies()) return fault_touch(at, end, for_write);
    uint8_t bytes[kBatch];
    iovec remote[kBatch];
    while (at < end) {
        size_t n = 0;
        for (; n < kBatch && at < end; ++n) {
            remote[n] = {reinterpret_cast<void*>(at), 1};
            at = (at / kSmallestPage + 1) * kSmallestPage;
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
    if (fault_copies()) {
        if (!fault_copy(&count, count_at, sizeof count)) return false;
        // As much of the head as can be read, up to its first page that cannot.
        const auto* from = static_cast<const uint8_t*>(buffer);
        readable = 0;
        while (readable < room) {
            const size_t to_page_end = kSmallestPage - reinterpret_cast<uintptr_t>(from + readable) % kSmallestPage;
            const size_t n = std::min(room - readable, to_page_end);
            if (!fault_copy(static_cast<uint8_t*>(head) + readable, from + readable, n)) break;
            readable += n;
        }
        return true;
    }
    const iovec local[2] = {{&count, sizeof count}, {head, room}};
    const iovec remote[2] = {{const_cast<uint32_t*>(count_at), sizeof count}, {const_cast<void*>(buffer), room}};
    const ssize_t moved = vm_move(local, room > 0 ? 2 : 1, remote, room > 0 ? 2 : 1, Direction::from_caller);
    if (moved < static_cast<ssize_t>(sizeof count)) return false;
    readable = static_cast<size_t>(moved) - sizeof count;
    return true;
}

bool store_data_and_count(void* buffer, const void* data, size_t size, uint32_t* count_at, uint32_t count) noexcept
{
    if (fault_copies()) return fault_copy(buffer, data, size) && fault_copy(count_at, &count, sizeof count);
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
