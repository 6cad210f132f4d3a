// The board a command works on (its -d), and small parsing helpers the commands share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "command.h"
#include "korval/korval.h"
#include "korval/sim.h"

namespace korval::tool {

// The board the command works on, once it has taken its -d: error messages name it.
inline uint32_t& current_device()
{
    static uint32_t index = FirstDeviceIndex;
    return index;
}

// Resolves the index and reads what the board can do (the library opens the board on the way). 0, or
// the failure's result code.
inline uint32_t open_board(uint32_t index, uint32_t& slot, KorvalCapabilities& caps)
{
    caps = KorvalCapabilities{};
    caps.Size = sizeof caps;
    if (const uint32_t r = KORVAL_GetCapabilities(index, &caps)) return r;
    slot = ResolveDeviceIndex(index);
    return 0;
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

// Parses a channel or a span of channels, "A" or "A-B", each at most `limit`. A is not checked
// against B.
inline bool parse_channel_span(const std::string& text, uint64_t limit, uint32_t& first, uint32_t& last)
{
    const size_t dash = text.find('-');
    uint64_t a = 0, b = 0;
    if (!parse_bounded(text.substr(0, dash), limit, a)) return false;
    b = a;
    if (dash != std::string::npos && !parse_bounded(text.substr(dash + 1), limit, b)) return false;
    first = static_cast<uint32_t>(a);
    last = static_cast<uint32_t>(b);
    return true;
}

// Parses a real number of any notation (1e6, 0.5, 1000); the whole text must be the number.
inline bool parse_real(const std::string& text, double& value)
{
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end != text.c_str() && *end == '\0';
}

// A simulated board as --sim names it, PID[:winusb|:ioctl]: its product ID, which the library must know,
// and its driver path. An empty text back, or what is wrong with the option.
inline std::string parse_sim_board(std::string text, uint32_t& pid, uint32_t& path)
{
    path = KORVAL_SIM_WINUSB;
    if (const auto colon = text.find(':'); colon != std::string::npos) {
        const std::string kind = text.substr(colon + 1);
        if (kind == "ioctl")
            path = KORVAL_SIM_IOCTL;
        else if (kind != "winusb")
            return "unknown driver path '" + kind + "'";
        text.resize(colon);
    }
    uint64_t value = 0;
    if (!parse_bounded(text, 0xFFFF, value)) return "bad product ID '" + text + "'";
    pid = static_cast<uint32_t>(value);
    KorvalCapabilities caps{};
    caps.Size = sizeof caps;
    if (KORVAL_GetProductCapabilities(pid, &caps) == ERROR_FILE_NOT_FOUND)
        return "no product has the ID '" + text + "'; korval products lists the known ones";
    return "";
}

}  // namespace korval::tool
