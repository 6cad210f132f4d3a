// What the digital functions of the newer firmware (automap, PWM, latch, debounce) share: how each call
// begins, the requests' codes, and the guarded moves of small values between caller and library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/caller_memory.h"
#include "core/registry.h"
#include "korval/korval.h"

namespace korval::dio {

// Host-to-device requests of these functions share one request code; wIndex selects the function.
inline constexpr uint8_t kRequestNewerFunction = 0x3C;
inline constexpr uint16_t kIndexDebounceConfig = 0x51;
inline constexpr uint16_t kIndexLatchDivisor = 0x63;
inline constexpr uint16_t kIndexPwm = 0x71;
inline constexpr uint16_t kIndexAutomapTable = 0x81;
inline constexpr uint16_t kIndexAutomapClear = 0x82;
inline constexpr uint16_t kIndexAutomapDivisor = 0x83;
inline constexpr uint16_t kIndexAutomapEntry = 0x84;
// The two reads have codes of their own.
inline constexpr uint8_t kRequestLatchRead = 0x14;
inline constexpr uint8_t kRequestDebounceRead = 0x15;


// Makes sure an output buffer of `size` bytes can be read and written before a read request is sent,
// so that what a board hands over once (its latches clear when read) is not lost on a bad buffer. The
// buffer's bytes are written back unchanged. 87 for a null buffer, 998 for one out of reach.
Result probe_output(void* buffer, size_t size);

}  // namespace korval::dio
