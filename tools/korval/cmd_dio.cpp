// korval dio: configure, read and write a board's digital ports.
//
//     korval dio [-d INDEX] OPERATION [then OPERATION]...
//
//     show                                  levels of every port (and the masks, on tristate boards)
//     configure [out MASK] [levels LIST] [float | tristate MASK]
//     read all | read port P | read bit N
//     write all LIST | write port P VALUE | write bit N 0|1
//     stream in --points N [--hz F] [--out FILE] | stream out --file FILE --hz F   (cmd_dio_stream.cpp)
//
// MASK is a number whose bytes, lowest first, make the direction (or tristate) mask; LIST is one byte
// per port, port 0 first, separated by commas (one value alone stands for every port).
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "device_option.h"
#include "json_out.h"
#include "korval/korval.h"

namespace korval::tool {

int dio_stream(const Options& options, uint32_t device, const Args& args);

namespace {

using Bytes = std::vector<uint8_t>;

struct Board {
    uint32_t index;
    uint32_t ports;
    uint32_t mask_bytes;
    uint32_t tristate_bytes;
};

std::string hex_byte(uint8_t b)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", b);
    return text;
}

std::string binary(uint8_t b)
{
    std::string text;
    for (int i = 7; i >= 0; --i) {
        text += ((b >> i) & 1) ? '1' : '0';
        if (i == 4) text += ' ';
    }
    return text;
}

std::string hex_bytes(const Bytes& bytes)
{
    std::string text;
    for (const uint8_t b : bytes) text += (text.empty() ? "" : " ") + hex_byte(b);
    return text;
}


// A number as `size` bytes, lowest first.
bool parse_mask(const std::string& text, uint32_t size, Bytes& mask)
{
    uint64_t value = 0;
    if (!parse_number(text, value) || (size < 8 && value >> (8 * size) != 0)) return false;
    mask.assign(size, 0);
    for (uint32_t i = 0; i < size && i < 8; ++i) mask[i] = static_cast<uint8_t>(value >> (8 * i));
    return true;
}

// One byte per port, or one byte for every port.
bool parse_levels(const std::string& text, uint32_t ports, Bytes& levels)
{
    const std::vector<std::string> parts = split_list(text);
    if (parts.size() != 1 && parts.size() != ports) return false;
    levels.clear();
    for (const std::string& part : parts) {
        uint64_t value = 0;
        if (!parse_bounded(part, 0xFF, value)) return false;
        levels.push_back(static_cast<uint8_t>(value));
    }
    if (levels.size() == 1) levels.assign(ports, levels[0]);
    return true;
}

void print_ports(const Options& options, const char* what, const Bytes& levels)
{
    if (options.json) {
        print_json({{"operation", what}, {"ports", levels}});
        return;
    }
    for (size_t p = 0; p < levels.size(); ++p)
        std::printf("port %-2zu %s  %s\n", p, hex_byte(levels[p]).c_str(), binary(levels[p]).c_str());
}

int show(const Options& options, const Board& b, const Args& args)
{
    if (!args.empty()) return usage_error("show takes no arguments");
    Bytes mask(b.mask_bytes), tristate(b.tristate_bytes);
    const bool masks = b.tristate_bytes > 0;
    if (masks) {
        if (const uint32_t r = DIO_ConfigurationQuery(b.index, mask.data(), tristate.data()))
            return report_error(r, "reading the port configuration");
    }
    Bytes levels(b.ports);
    if (const uint32_t r = DIO_ReadAll(b.index, levels.data())) return report_error(r, "reading the ports");
    if (options.json) {
        Json result = {{"operation", "show"}, {"ports", levels}};
        if (masks) {
            result["direction"] = mask;
            result["tristate"] = tristate;
        }
        print_json(result);
        return 0;
    }
    print_ports(options, "show", levels);
    if (masks) std::printf("direction mask %s, tristate mask %s\n", hex_bytes(mask).c_str(), hex_bytes(tristate).c_str());
    return 0;
}

int configure(const Options& options, const Board& b, const Args& args)
{
    Bytes mask(b.mask_bytes, 0), levels(b.ports, 0), tristate;
    bool floating = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        const bool has_value = i + 1 < args.size();
        if (word == "out" && has_value) {
            if (!parse_mask(args[++i], b.mask_bytes, mask)) return usage_error("bad direction mask '" + args[i] + "'");
        } else if (word == "levels" && has_value) {
            if (!parse_levels(args[++i], b.ports, levels))
                return usage_error("levels needs one byte or " + std::to_string(b.ports) + " bytes, comma-separated");
        } else if (word == "float") {
            floating = true;
        } else if (word == "tristate" && has_value) {
            if (b.tristate_bytes == 0) return report_error(ERROR_BAD_TOKEN_TYPE, "this board has no tristate control");
            if (!parse_mask(args[++i], b.tristate_bytes, tristate)) return usage_error("bad tristate mask '" + args[i] + "'");
        } else {
            return usage_error("configure: unexpected '" + word + "'");
        }
    }
    if (floating && !tristate.empty()) return usage_error("configure takes float or tristate, not both");
    const uint32_t r = tristate.empty() ? DIO_Configure(b.index, floating ? 1 : 0, mask.data(), levels.data())
                                        : DIO_ConfigureEx(b.index, mask.data(), levels.data(), tristate.data());
    if (r != 0) return report_error(r, "configuring the ports");
    if (options.json) {
        Json result = {{"operation", "configure"}, {"direction", mask}, {"levels", levels}, {"float", floating}};
        if (!tristate.empty()) result["tristate"] = tristate;
        print_json(result);
    } else {
        std::printf("configured: direction mask %s, levels %s%s%s\n", hex_bytes(mask).c_str(), hex_bytes(levels).c_str(),
                    floating ? ", outputs floating" : "",
                    tristate.empty() ? "" : (", tristate mask " + hex_bytes(tristate)).c_str());
    }
    return 0;
}

int read(const Options& options, const Board& b, const Args& args)
{
    uint64_t n = 0;
    if (args.size() == 1 && args[0] == "all") {
        Bytes levels(b.ports);
        if (const uint32_t r = DIO_ReadAll(b.index, levels.data())) return report_error(r, "reading the ports");
        print_ports(options, "read", levels);
        return 0;
    }
    if (args.size() == 2 && args[0] == "port" && parse_bounded(args[1], 0xFFFFFFFF, n)) {
        uint8_t level = 0;
        if (const uint32_t r = DIO_Read8(b.index, static_cast<uint32_t>(n), &level))
            return report_error(r, "reading port " + args[1]);
        if (options.json) print_json({{"operation", "read"}, {"port", n}, {"level", level}});
        else std::printf("port %llu: %s  %s\n", static_cast<unsigned long long>(n), hex_byte(level).c_str(), binary(level).c_str());
        return 0;
    }
    if (args.size() == 2 && args[0] == "bit" && parse_bounded(args[1], 0xFFFFFFFF, n)) {
        uint8_t bit = 0;
        if (const uint32_t r = DIO_Read1(b.index, static_cast<uint32_t>(n), &bit))
            return report_error(r, "reading line " + args[1]);
        if (options.json) print_json({{"operation", "read"}, {"bit", n}, {"level", bit}});
        else std::printf("line %llu (port %llu bit %llu): %u\n", static_cast<unsigned long long>(n),
                         static_cast<unsigned long long>(n / 8), static_cast<unsigned long long>(n % 8), bit);
        return 0;
    }
    return usage_error("read all | read port P | read bit N");
}

int write(const Options& options, const Board& b, const Args& args)
{
    uint64_t n = 0, value = 0;
    uint32_t r = 0;
    std::string done;
    Json result = {{"operation", "write"}};
    if (args.size() == 2 && args[0] == "all") {
        Bytes levels;
        if (!parse_levels(args[1], b.ports, levels))
            return usage_error("write all needs one byte or " + std::to_string(b.ports) + " bytes, comma-separated");
        r = DIO_WriteAll(b.index, levels.data());
        result["all"] = levels;
        done = "ports " + hex_bytes(levels);
    } else if (args.size() == 3 && args[0] == "port" && parse_bounded(args[1], 0xFFFFFFFF, n) &&
               parse_bounded(args[2], 0xFF, value)) {
        r = DIO_Write8(b.index, static_cast<uint32_t>(n), static_cast<uint8_t>(value));
        result["port"] = n;
        result["level"] = value;
        done = "port " + args[1] + " = " + hex_byte(static_cast<uint8_t>(value));
    } else if (args.size() == 3 && args[0] == "bit" && parse_bounded(args[1], 0xFFFFFFFF, n) &&
               parse_bounded(args[2], 1, value)) {
        r = DIO_Write1(b.index, static_cast<uint32_t>(n), static_cast<uint8_t>(value));
        result["bit"] = n;
        result["level"] = value;
        done = "line " + std::to_string(n) + " = " + std::to_string(value);
    } else {
        return usage_error("write all LIST | write port P VALUE | write bit N 0|1");
    }
    if (r != 0) return report_error(r, "writing the ports");
    if (options.json) print_json(result);
    else std::printf("wrote %s\n", done.c_str());
    return 0;
}

int run(const Options& options, const Args& all_args)
{
    Args args = all_args;
    uint32_t index = 0;
    if (const int status = take_device(args, index)) return status;
    if (args.empty()) return usage_error("dio needs an operation: show, configure, read or write");

    uint32_t slot = 0;
    KorvalCapabilities d;
    if (const uint32_t r = open_board(index, slot, d)) return report_error(r, "opening the board");
    const Board b{slot, d.DIOBytes, (d.DIOConfigBits + 7) / 8, (d.Tristates + 7) / 8};
    if (b.ports == 0) return report_error(ERROR_BAD_TOKEN_TYPE, "this board has no digital ports");

    // Operations separated by "then" run in order on the same board; the first failure ends the run.
    size_t at = 0;
    while (at < args.size()) {
        size_t end = at;
        while (end < args.size() && args[end] != "then") ++end;
        const Args op(args.begin() + static_cast<std::ptrdiff_t>(at) + 1, args.begin() + static_cast<std::ptrdiff_t>(end));
        const std::string& name = args[at];
        int status = 0;
        if (name == "show") status = show(options, b, op);
        else if (name == "configure") status = configure(options, b, op);
        else if (name == "read") status = read(options, b, op);
        else if (name == "write") status = write(options, b, op);
        else if (name == "stream") status = dio_stream(options, index, op);
        else status = usage_error("unknown dio operation '" + name + "'");
        if (status != 0) return status;
        at = end + 1;
    }
    return 0;
}

const RegisterCommand kDio{{"dio", "[-d N] OP [then OP]...",
                            "digital ports: show, configure, read or write (by bit, port or all); stream in or out",
                            run, true,
                            {{"show", "", "the ports' levels, directions and tristate masks"},
                             {"configure", "[out MASK] [levels LIST] [float | tristate MASK]", "directions and output levels"},
                             {"read", "all | port P | bit N", "read the inputs"},
                             {"write", "all LIST | port P VALUE | bit N 0|1", "write the outputs"},
                             {"stream", "in --points N [--hz F] [--out FILE] | out --file FILE --hz F",
                              "digital streaming from the board or to it"}}}};

}  // namespace

}  // namespace korval::tool
