// korval dac wave: streamed waveform output (cmd_dac_wave.cpp), reached through korval dac.
#pragma once

#include <cstdint>
#include <string>

#include "command.h"

namespace korval::tool {

struct WaveOptions {
    std::string shape = "sine";
    double hz = 100;
    double rate = 10000;
    uint32_t channels = 1;
    double seconds = 1;
};

// The options of korval dac wave, bound to `w`.
void define_dac_wave(CLI::App& wave, WaveOptions& w);
int run_dac_wave(const Options& options, uint32_t index, const WaveOptions& w);

}  // namespace korval::tool
