// The "-d INDEX" option of the commands that work on one board, and small parsing helpers they share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "command.h"
#include "korval/korval.h"

namespace korval::tool {

// Takes a leading "-d INDEX" or "--device INDEX" off args (INDEX: a slot number, "first" or "only").
// Without one the board is FirstDeviceIndex. False, with a message, for a bad index.
inline bool take_device(Args& args, uint32_t& index, std::string& error)
{
    index = FirstDeviceIndex;
    if (args.empty() || (args[0] != "-d" && args[0] != "--device")) return true;
    if (args.size() < 2) {
        error = "-d needs a device index";
        return false;
    }
    uint64_t value = 0;
    if (args[1] == "first") value = FirstDeviceIndex;
    else if (args[1] == "only") value = OnlyDeviceIndex;
    else if (!parse_number(args[1], value) || value > 0xFFFFFFFF) {
        error = "bad device index '" + args[1] + "'";
        return false;
    }
    index = static_cast<uint32_t>(value);
    args.erase(args.begin(), args.begin() + 2);
    return true;
}

// Splits "a,b,c" into its parts.
inline std::vector<std::string> split_list(const std::string& text)
{
    std::vector<std::string> parts;
    size_t at = 0;
    for (;;) {
        const size_t comma = text.find(',', at);
        parts.push_back(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos) return parts;
        at = comma + 1;
    }
}

// Parses a number that must fit `limit`.
inline bool parse_bounded(const std::string& text, uint64_t limit, uint64_t& value)
{
    return parse_number(text, value) && value <= limit;
}

}  // namespace korval::tool
