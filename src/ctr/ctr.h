// Counters and timers: the subsystem's exported functions (their C entry points are generated from the export list).
#pragma once

#include <cstdint>

#include "core/registry.h"

namespace korval {

// ---- 8254 counter access ----

uint32_t CTR_8254Mode(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex, uint32_t Mode);
uint32_t CTR_8254Load(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex, uint16_t LoadValue);
uint32_t CTR_8254ModeLoad(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex, uint32_t Mode,
                          uint16_t LoadValue);
uint32_t CTR_8254ReadModeLoad(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex, uint32_t Mode,
                              uint16_t LoadValue, uint16_t* pReadValue);
uint32_t CTR_8254Read(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex, uint16_t* pReadValue);
uint32_t CTR_8254ReadStatus(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex, uint16_t* pReadValue,
                            uint8_t* pStatus);
uint32_t CTR_8254ReadAll(uint32_t DeviceIndex, void* pData);
uint32_t CTR_8254ReadLatched(uint32_t DeviceIndex, void* pData);
uint32_t CTR_8254SelectGate(uint32_t DeviceIndex, uint32_t GateIndex);

// ---- Frequency output, gate waits and global tick rate ----

uint32_t CTR_StartOutputFreq(uint32_t DeviceIndex, uint32_t BlockIndex, double* pHz);
uint32_t CTR_SetWaitGates(uint32_t DeviceIndex, uint32_t GateA, uint32_t GateB);
uint32_t CTR_EndWaitGates(uint32_t DeviceIndex);
uint32_t CTR_WaitForGate(uint32_t DeviceIndex, uint32_t GateId, void* pContent);
uint32_t KORVAL_SetGlobalTickRate(uint32_t DeviceIndex, const double* pHz);

// ---- Pulse-width measurement ----

uint32_t CTR_StartMeasuringPulseWidth(uint32_t DeviceIndex);
uint32_t CTR_StopMeasuringPulseWidth(uint32_t DeviceIndex);
uint32_t CTR_GetPulseWidthMeasurement(uint32_t DeviceIndex, uint32_t BlockIndex, uint32_t CounterIndex,
                                      uint16_t* pReadValue);

namespace ctr {

inline constexpr uint32_t kCountersPerBlock = 3;
inline constexpr uint32_t kModes = 6;  // 8254 modes 0 to 5

// A counter by block and counter within the block, normalised.
struct CounterAddress {
    uint32_t block = 0;
    uint32_t counter = 0;
    uint32_t flat() const { return block * kCountersPerBlock + counter; }
};

// The counter a (block, counter) pair names on this board. Block 0 takes the counter as a flat number
// across all blocks (so block 0, counter 4 is block 1, counter 1); another block takes counters 0 to 2
// only. 487 when the pair names no counter of the board.
Result address_counter(const ProductRow& d, uint32_t block, uint32_t counter, CounterAddress& address);

// The 8254 control word: counter select in bits 7-6, load/read LSB then MSB (bits 5-4 = 11), the mode
// in bits 3-1, binary counting.
inline uint8_t control_word(uint32_t counter, uint32_t mode)
{
    return static_cast<uint8_t>(counter * 64 + 0x30 + mode * 2);
}

// Bytes the whole-board read (request 0x25) and the latched read (0x26) answer with.
inline uint32_t read_all_size(const ProductRow& d) { return d.Counters * kCountersPerBlock * 2; }
inline uint32_t read_latched_size(const ProductRow& d) { return read_all_size(d) + 1; }

// The test of every counter function (open_for_feature): the board has counters.
inline constexpr FeatureTest kHasCounters = [](const ProductRow& d) { return d.Counters != 0; };

// The two divisors of a frequency source: counter 1 divides the root clock by `low`, counter 2 divides
// that by `high`.
struct Divisors {
    uint32_t low = 0;
    uint32_t high = 0;
};

// The divisor pair whose output comes closest to `hz` (> 0) from a root clock of `root_hz`, preferring
// the largest high divisor on ties. false when no pair of 16-bit divisors reaches so low a frequency.
bool choose_divisors(double hz, double root_hz, Divisors& divisors);

}  // namespace ctr

}  // namespace korval
