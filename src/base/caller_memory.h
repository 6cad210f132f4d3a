// Guarded copies of caller memory.
//
// Functions that copy from or to a caller's buffer must answer ERROR_NOACCESS (998) for memory that
// cannot be read or written, never crash. The copy itself is made so that it fails instead of faulting.
// On Linux, inside a call into the library, it is an ordinary copy under a fault handler that turns a
// fault on the caller's memory into a failed copy; the call checks once that such a fault can reach
// the handler (two system calls), and otherwise, and outside a call (worker threads), the copy is a
// process_vm_readv/process_vm_writev on our own process, which the kernel fails with EFAULT, with a
// pipe as the fallback where those are refused. A call that reads a count and the buffer it sizes
// gathers both into one system call before the request, and both writes into one after it. On Windows
// the range is walked with VirtualQuery before an ordinary copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace korval {

// Copies `size` bytes of caller memory at `source` into the library's `target`. False when any byte of
// the caller's range cannot be read (target contents are then unspecified).
bool copy_from_caller(void* target, const void* source, size_t size) noexcept;

// Copies `size` bytes of the library's `source` into caller memory at `target`. False when any byte of
// the caller's range cannot be written (a prefix may have been written).
bool copy_to_caller(void* target, const void* source, size_t size) noexcept;

// Whether the whole of a caller's range can be read, and written when `for_write`, without copying
// it: for memory that the host, not the library, will move data to or from.
bool caller_range_usable(const void* start, size_t size, bool for_write) noexcept;

// One value of a caller's variable, read or written through the guard.
template <class T>
bool load_from_caller(const T* from, T& value) noexcept
{
    return copy_from_caller(&value, from, sizeof value);
}
template <class T>
bool store_to_caller(T* to, const std::type_identity_t<T>& value) noexcept
{
    return copy_to_caller(to, &value, sizeof value);
}

// Reads a caller's 32-bit count and, in the same copy, the start of the buffer it sizes: up to
// `room` bytes from `buffer` into `head`, as many as can be read (`readable`; the rest of `head` is
// unspecified). False when the count itself cannot be read.
bool load_count_and_head(const uint32_t* count_at, uint32_t& count, const void* buffer, void* head, size_t room,
                         size_t& readable) noexcept;

// Writes `size` bytes of `data` to a caller's `buffer` and then `count` to a caller's 32-bit variable,
// in one copy. False when any byte cannot be written; the count is written only after the whole
// buffer was.
bool store_data_and_count(void* buffer, const void* data, size_t size, uint32_t* count_at, uint32_t count) noexcept;

// The span of one call into the library on the calling thread, from its exported entry to its return
// (calls nest): the guard decides once per call how its copies are made. Every exported entry holds one.
void enter_library_call() noexcept;
void leave_library_call() noexcept;
class LibraryCall {
public:
    LibraryCall() noexcept { enter_library_call(); }
    ~LibraryCall() { leave_library_call(); }
    LibraryCall(const LibraryCall&) = delete;
    LibraryCall& operator=(const LibraryCall&) = delete;
};

// Puts back the fault handlers the library replaced, where they are still the library's (unload).
void release_fault_handler() noexcept;

// The guard's system calls made by the calling thread so far (0 on Windows, which makes none): what a
// request costs in them, for the benchmark and the tests.
uint64_t guard_system_calls() noexcept;

// A caller's variable that must be given: 87 (ERROR_INVALID_PARAMETER) for a null pointer, 998
// (ERROR_NOACCESS) for memory that cannot be read, or written; 0 once the value is copied.
template <class T>
uint32_t read_caller(const T* source, T& value) noexcept
{
    if (source == nullptr) return 87;
    return load_from_caller(source, value) ? 0 : 998;
}
template <class T>
uint32_t write_caller(T* target, const std::type_identity_t<T>& value) noexcept
{
    if (target == nullptr) return 87;
    return store_to_caller(target, value) ? 0 : 998;
}

// The same for a caller's buffer of `size` bytes: 87 for a null pointer, 998 when any byte cannot be
// read (written), 0 once copied.
inline uint32_t read_caller_bytes(void* target, const void* source, size_t size) noexcept
{
    if (source == nullptr) return 87;
    return copy_from_caller(target, source, size) ? 0 : 998;
}
inline uint32_t write_caller_bytes(void* target, const void* source, size_t size) noexcept
{
    if (target == nullptr) return 87;
    return copy_to_caller(target, source, size) ? 0 : 998;
}

// A caller's buffer that the host, not the library, will fill or read later: 87 for a null pointer, 998
// when any byte cannot be read, or written when `for_write`; 0 when the whole range is usable.
inline uint32_t require_caller_range(const void* start, size_t size, bool for_write) noexcept
{
    if (start == nullptr) return 87;
    return caller_range_usable(start, size, for_write) ? 0 : 998;
}

// Copies a zero-terminated string from caller memory. The copies stop at 4 KiB boundaries, so a string
// that ends just before an unreadable page is read whole. 998 for unreadable memory, 87 for a string
// longer than `limit`.
uint32_t read_caller_string(const char* source, std::string& out, size_t limit);

// Makes every copy take the pipe fallback (or not): for tests of the fallback on machines where the
// first choice works. No effect on Windows.
void use_pipe_copies(bool on) noexcept;

// Lets calls copy by taking the fault where they may (the default), or not: for tests of the
// system-call copies, and for the benchmark's comparison. No effect on Windows.
void use_fault_copies(bool on) noexcept;

}  // namespace korval
