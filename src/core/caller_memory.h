// Guarded copies of caller memory.
//
// Functions that copy from or to a caller's buffer must answer ERROR_NOACCESS (998) for memory that
// cannot be read or written, never crash. The copy itself is made so that it fails instead of faulting:
// on Linux it is a process_vm_readv/process_vm_writev on our own process (one system call per copy,
// which the kernel fails with EFAULT), with a pipe as the fallback where those calls are refused; on
// Windows the range is walked with VirtualQuery before an ordinary copy.
#pragma once

#include <cstddef>

namespace korval {

// Copies `size` bytes of caller memory at `source` into the library's `target`. False when any byte of
// the caller's range cannot be read (target contents are then unspecified).
bool copy_from_caller(void* target, const void* source, size_t size) noexcept;

// Copies `size` bytes of the library's `source` into caller memory at `target`. False when any byte of
// the caller's range cannot be written (a prefix may have been written).
bool copy_to_caller(void* target, const void* source, size_t size) noexcept;

// Makes every copy take the pipe fallback (or not): for tests of the fallback on machines where the
// first choice works. No effect on Windows.
void use_pipe_copies(bool on) noexcept;

}  // namespace korval
