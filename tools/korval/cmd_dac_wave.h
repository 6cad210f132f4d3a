// korval dac wave: streamed waveform output (cmd_dac_wave.cpp), reached through korval dac.
#pragma once

#include <cstdint>

#include "command.h"

namespace korval::tool {

int run_dac_wave(const Options& options, uint32_t index, const Args& args);

}  // namespace korval::tool
