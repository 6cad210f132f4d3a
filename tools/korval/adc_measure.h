// The measuring subcommands of korval adc (cmd_adc_measure.cpp): scan, acquire and cal. Each takes the
// board's device index and the arguments after its own name.
#pragma once

#include <cstdint>
#include <string>

#include "command.h"

namespace korval::tool {

int adc_scan(const Options& options, uint32_t index, const Args& args);
int adc_acquire(const Options& options, uint32_t index, const Args& args);
int adc_cal(const Options& options, uint32_t index, const Args& args);

// korval adc acquire --rate and korval adc stream: scans at a rate paced by the board's scan clock
// (cmd_adc_rate.cpp).
int adc_measure_at_rate(const Options& options, uint32_t index, const Args& args, bool stream);

// A gain code's input range in words: "±10 V", "0-5 V" (cmd_adc.cpp).
std::string range_words(uint8_t gain);
// "±10 V", "+-10V", "-10..10 V", "-10-+10", "0-5V", "0..5": a gain code, or -1 (cmd_adc.cpp).
int parse_range(std::string text);

}  // namespace korval::tool
