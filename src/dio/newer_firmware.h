// What the digital functions of the newer firmware (automap, PWM, latch, debounce) share: how each call
// begins and the guarded moves of small values between caller and library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/caller_memory.h"
#include "core/registry.h"
#include "korval/korval.h"

namespace korval::dio {

// Makes sure an output buffer of `size` bytes can be read and written before a read request is sent,
// so that what a board hands over once (its latches clear when read) is not lost on a bad buffer. The
// buffer's bytes are written back unchanged. 87 for a null buffer, 998 for one out of reach.
Result probe_output(void* buffer, size_t size);

}  // namespace korval::dio
