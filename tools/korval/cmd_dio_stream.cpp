// korval dio stream: digital streaming on boards that have it.
//
//     korval dio [-d N] stream in --points N [--hz F] [--out FILE]
//     korval dio [-d N] stream out --file FILE --hz F
//
// "in" sets clock A (1 MHz unless --hz says otherwise), reads N points and writes them to FILE as 16-bit
// little-endian values, or prints them in hexadecimal, eight to a line. "out" sets clock B to F, sends
// the points of FILE (16-bit little-endian) and prints the rate the board runs at.
#include <cstdio>
#include <fstream>
#include <iterator>
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

namespace {

struct StreamRequest {
    uint64_t points = 0;
    double hz = 1000000;  // clock A by default; "out" takes its own
    std::string out, file;
};

// Opens the stream in one direction, moves one frame, and closes it again, whatever the frame gave.
uint32_t move_frame(uint32_t device, bool in, std::vector<uint16_t>& points, uint32_t& bytes)
{
    if (const uint32_t r = DIO_StreamOpen(device, in ? 1 : 0)) {
        DIO_StreamClose(device);
        return r;
    }
    const uint32_t r = DIO_StreamFrame(device, static_cast<uint32_t>(points.size()), points.data(), &bytes);
    DIO_StreamClose(device);
    return r;
}

int stream_in(const Options& o, uint32_t device, const StreamRequest& q)
{
    double hz = q.hz, off = 0;
    const uint64_t count = q.points;
    const std::string& out = q.out;
    if (const uint32_t r = DIO_StreamSetClocks(device, &hz, &off)) return report_error(r, "DIO_StreamSetClocks");
    std::vector<uint16_t> points(count);
    uint32_t bytes = 0;
    if (const uint32_t r = move_frame(device, true, points, bytes)) return report_error(r, "DIO_StreamFrame");
    points.resize(bytes / 2);
    if (!out.empty()) {
        std::ofstream file(out, std::ios::binary);
        for (const uint16_t p : points) file.put(static_cast<char>(p & 0xFF)).put(static_cast<char>(p >> 8));
        if (!file) return usage_error("cannot write " + out);
    }
    if (o.json) {
        Json result = {{"points", points.size()}, {"hz", hz}};
        if (!out.empty()) result["file"] = out;
        else result["data"] = points;
        print_json(result);
        return 0;
    }
    std::printf("read %zu points at %.3f Hz%s%s\n", points.size(), hz, out.empty() ? "" : " into ", out.c_str());
    if (out.empty()) {
        for (size_t i = 0; i < points.size(); ++i)
            std::printf("%s%04X%s", i % 8 == 0 ? "" : " ", points[i], i % 8 == 7 || i + 1 == points.size() ? "\n" : "");
    }
    return 0;
}

int stream_out(const Options& o, uint32_t device, const StreamRequest& q)
{
    const std::string& file_name = q.file;
    double hz = q.hz;
    std::ifstream file(file_name, std::ios::binary);
    if (!file) return usage_error("cannot read " + file_name);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() < 2) return usage_error(file_name + " holds no 16-bit points");
    std::vector<uint16_t> points(bytes.size() / 2);
    for (size_t i = 0; i < points.size(); ++i)
        points[i] = static_cast<uint16_t>(static_cast<uint8_t>(bytes[2 * i]) | static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
    double off = 0;
    if (const uint32_t r = DIO_StreamSetClocks(device, &off, &hz)) return report_error(r, "DIO_StreamSetClocks");
    uint32_t moved = 0;
    if (const uint32_t r = move_frame(device, false, points, moved)) return report_error(r, "DIO_StreamFrame");
    if (o.json) print_json({{"points", moved / 2}, {"hz", hz}});
    else std::printf("wrote %u points at %.3f Hz\n", moved / 2, hz);
    return 0;
}

}  // namespace

// "stream in ..." and "stream out ...", operations of korval dio.
void define_dio_stream(CLI::App& stream)
{
    static StreamRequest q;
    stream.require_subcommand(1, 1);
    CLI::App& in = *stream.add_subcommand("in", "read points from the board");
    in.add_option("--points", q.points, "points to read, 1 to 2^31-1")
        ->transform(number_in(0x7FFFFFFF, "--points"))
        ->check(CLI::PositiveNumber)
        ->required();
    in.add_option("--hz", q.hz, "the clock (default 1000000)")->check(finite_non_negative("F"));
    in.add_option("--out", q.out, "write the points to FILE (16-bit little-endian)")->type_name("FILE");
    on_operation(in, [] { return [r = std::exchange(q, {})](const Options& o) { return stream_in(o, o.device, r); }; });
    CLI::App& out = *stream.add_subcommand("out", "send the points of a file to the board");
    out.add_option("--file", q.file, "the points (16-bit little-endian)")->type_name("FILE")->required();
    out.add_option("--hz", q.hz, "the clock")->check(finite_non_negative("F"))->required();
    on_operation(out,
                 [] { return [r = std::exchange(q, {})](const Options& o) { return stream_out(o, o.device, r); }; });
}

}  // namespace korval::tool
