// Checks and conversions of the tool's command-line values, for the commands' CLI11 definitions.
#pragma once

#include <cstdint>
#include <string>

#include <CLI/CLI.hpp>

#include "command.h"

namespace korval::tool {

// For transform(): a whole number in C notation (0x.. hexadecimal, otherwise decimal; never octal, never negative) from 0
// to `max`, handed on in decimal. `what` names it in the message of a bad value.
inline CLI::Validator number_in(uint64_t max, std::string what)
{
    return CLI::Validator(
        [max, what](std::string& text) -> std::string {
            uint64_t value = 0;
            if (!parse_number(text, value) || value > max)
                return what + " is 0 to " + std::to_string(max) + ", not '" + text + "'";
            text = std::to_string(value);
            return "";
        },
        "0-" + std::to_string(max));
}

}  // namespace korval::tool
