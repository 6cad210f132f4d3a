// How the panel paces the analog input: the board's scan clock is counters 1 and 2 of 8254 block 0,
// programmed as a frequency source (whose written-back frequency is the rate obtained), and each pulse
// of counter 2 starts one scan of the configured channel span when the trigger byte's start source
// (bits 0-1) selects the counter, 01.
#include "panel.h"

namespace korval::tool::panel {

namespace {

constexpr uint32_t kClockBlock = 0;
constexpr uint32_t kTriggerByte = 17;
constexpr uint8_t kStartSourceMask = 0x03;
constexpr uint8_t kCounterStart = 0x01;

}  // namespace

uint32_t start_scan_clock(uint32_t index, double& rate) { return CTR_StartOutputFreq(index, kClockBlock, &rate); }

uint32_t stop_scan_clock(uint32_t index)
{
    double none = 0;  // 0 Hz: both counters get their mode and no count, so they stand still
    return CTR_StartOutputFreq(index, kClockBlock, &none);
}

uint32_t select_counter_start(uint32_t index)
{
    uint8_t block[KORVAL_ADC_CONFIG_MAX] = {};
    uint32_t size = sizeof block;
    if (const uint32_t r = ADC_GetConfig(index, block, &size)) return r;
    block[kTriggerByte] = static_cast<uint8_t>((block[kTriggerByte] & ~kStartSourceMask) | kCounterStart);
    return ADC_SetConfig(index, block, &size);
}

}  // namespace korval::tool::panel
