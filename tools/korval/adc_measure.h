// The measuring subcommands of korval adc (cmd_adc_measure.cpp and cmd_adc_rate.cpp): scan, acquire,
// cal and stream. Each takes the board's device index and what the command line gave it.
#pragma once

#include <cstdint>
#include <string>

#include "command.h"
#include "korval/korval.h"

namespace CLI {
class App;
}

namespace korval::tool {

int adc_scan(const Options& options, uint32_t index, const Args& args);
// A one-shot acquisition of `samples` samples as the board's block says, to a CSV file when `out` is set.
int adc_acquire(const Options& options, uint32_t index, uint64_t samples, const std::string& out);
int adc_cal(const Options& options, uint32_t index, const std::string& file);

// What korval adc acquire --rate and korval adc stream are asked for.
struct RateRequest {
    bool stream = false;
    double rate = 0;       // 0: not given (a stream takes 100000)
    std::string channels;  // empty: the block's span
    std::string range = "±10 V";
    uint64_t samples = 0;
    double seconds = 0;
    std::string out, plot;
    std::string trigger;  // CH:rising|falling:LEVEL[:HYSTERESIS], or empty
    uint64_t pretrigger = 0, records = 1;
    // Filled by the checks:
    KorvalTrigger parsed{};
    bool has_span = false;
    uint32_t first = 0, last = 0;

    bool at_rate() const { return stream || rate != 0 || seconds != 0; }
};

// Adds the options of acquire (stream: also --plot) to the operation's sub-command, bound to `r`.
void define_rate_options(CLI::App& operation, RateRequest& r, bool stream);

// korval adc acquire --rate and korval adc stream: scans at a rate on the board's scan clock, through
// the library's measurements (cmd_adc_rate.cpp).
int adc_measure_at_rate(const Options& options, uint32_t index, RateRequest& r);

// A gain code's input range in words: "±10 V", "0-5 V" (cmd_adc.cpp).
std::string range_words(uint8_t gain);
// "±10 V", "+-10V", "-10..10 V", "-10-+10", "0-5V", "0..5": a gain code, or -1 (cmd_adc.cpp).
int parse_range(std::string text);

}  // namespace korval::tool
