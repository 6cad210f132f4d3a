// Checks and conversions of the tool's command-line values, for the commands' CLI11 definitions.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
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

// A real number of any notation (1e6, 0.5, 1000), finite and 0 or more: NaN and infinity are refused
// (a time or a clock made of them means nothing, and a deadline computed from them overflows).
inline CLI::Validator finite_non_negative(std::string what)
{
    return CLI::Validator(
        [what](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || !std::isfinite(value) || value < 0)
                return what + " is a number of 0 or more, not '" + text + "'";
            return "";
        },
        "");
}

}  // namespace korval::tool
