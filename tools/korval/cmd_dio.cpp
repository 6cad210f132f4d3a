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
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli_values.h"
#include "command.h"
#include "device_option.h"
#include "json_out.h"
#include "korval/korval.h"

namespace korval::tool {

void define_dio_stream(CLI::App& stream);  // cmd_dio_stream.cpp

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

// The board's ports, read when each operation runs. 0, or the failure's exit status.
int board_of(const Options& options, Board& b)
{
    uint32_t slot = 0;
    KorvalCapabilities d;
    if (const uint32_t r = open_board(options.device, slot, d)) return report_error(r, "opening the board");
    b = Board{slot, d.DIOBytes, (d.DIOConfigBits + 7) / 8, (d.Tristates + 7) / 8};
    if (b.ports == 0) return report_error(ERROR_BAD_TOKEN_TYPE, "this board has no digital ports");
    return 0;
}

// An operation on the board's ports with the words the command line gave it.
void on_port_operation(CLI::App& operation, Args& words, int (*op)(const Options&, const Board&, const Args&))
{
    on_operation(operation, [&words, op] {
        return [args = std::exchange(words, {}), op](const Options& options) {
            Board b{};
            if (const int status = board_of(options, b)) return status;
            return op(options, b, args);
        };
    });
}

// Operations separated by "then" run in order on the same board; the first failure ends the run.
// configure's items and write's levels stay words: how many bytes a mask or a list holds is the
// board's, known once it is open.
void define(CLI::App& dio)
{
    static Args show_words, configure_words, read_words, write_words;
    on_port_operation(*dio.get_subcommand("show"), show_words, show);
    CLI::App& configure_op = *dio.get_subcommand("configure");
    configure_op.add_option("items", configure_words, "out MASK, levels LIST, float, tristate MASK");
    on_port_operation(configure_op, configure_words, configure);
    CLI::App& read_op = *dio.get_subcommand("read");
    read_op.add_option("what", read_words, "all, port P or bit N")
        ->required()
        ->expected(1, 2)
        ->check(CLI::IsMember({"all", "port", "bit"}).application_index(0))
        ->transform(number_in(0xFFFFFFFF, "a port or line").application_index(1));
    on_port_operation(read_op, read_words, read);
    CLI::App& write_op = *dio.get_subcommand("write");
    write_op.add_option("what", write_words, "all LIST, port P VALUE or bit N 0|1")
        ->required()
        ->expected(2, 3)
        ->check(CLI::IsMember({"all", "port", "bit"}).application_index(0));
    on_port_operation(write_op, write_words, write);
    define_dio_stream(*dio.get_subcommand("stream"));
}

const RegisterCommand kDio{
    {"dio",
     "[-d N] OP [then OP]...",
     "digital ports: show, configure, read or write (by bit, port or all); stream in or out",
     define,
     true,
     {{"show", "", "the ports' levels, directions and tristate masks"},
      {"configure", "[out MASK] [levels LIST] [float | tristate MASK]", "directions and output levels"},
      {"read", "all | port P | bit N", "read the inputs"},
      {"write", "all LIST | port P VALUE | bit N 0|1", "write the outputs"},
      {"stream", "in --points N [--hz F] [--out FILE] | out --file FILE --hz F",
       "digital streaming from the board or to it"}},
     true}};

}  // namespace

}  // namespace korval::tool
