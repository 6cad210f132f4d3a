// korval ctr: programs and reads a board's 8254 counters.
//
//     korval ctr [--device N] mode BLOCK COUNTER MODE [LOAD]
//     korval ctr [--device N] load BLOCK COUNTER VALUE
//     korval ctr [--device N] read BLOCK COUNTER
//     korval ctr [--device N] all [--latched]
//     korval ctr [--device N] gate GATE
//     korval ctr [--device N] freq --hz F [-b BLOCK]     counters 1 and 2 of a block as a frequency source
//     korval ctr [--device N] pulse --seconds S          pulse widths of every counter, live
//
// Several operations may follow one another in one run, separated by "then" (as in korval dio), so that
// a simulated board can be programmed and read back: korval --sim 0x8020 ctr mode 0 4 2 1000 then read 0 4
// BLOCK 0 takes COUNTER as a flat number over all blocks (block * 3 + counter), as the library does.
// Output is one line (or one JSON object) per operation; the first failure ends the run.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
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

const char* const kModeNames[] = {"interrupt on terminal count", "retriggerable one-shot", "rate generator",
                                  "square-wave generator", "software-triggered strobe", "hardware-triggered strobe"};

struct Target {
    uint32_t device = FirstDeviceIndex;
    uint32_t block = 0;
    uint32_t counter = 0;
};

constexpr uint32_t kCountersPerBlock = 3;

// The counter a (block, counter) pair names, as the library addresses it: block 0 takes a flat counter
// number across all blocks, another block its counters 0 to 2. False when the board has no such counter.
bool address_counter(const Target& t, uint32_t& block, uint32_t& counter)
{
    KorvalCapabilities caps{};
    caps.Size = sizeof caps;
    if (KORVAL_GetCapabilities(t.device, &caps) != 0) return false;
    if (t.block != 0) {
        block = t.block;
        counter = t.counter;
        return t.block < caps.Counters && t.counter < kCountersPerBlock;
    }
    block = t.counter / kCountersPerBlock;
    counter = t.counter % kCountersPerBlock;
    return block < caps.Counters;
}

// "block 1, counter 1 (flat 4)" for the counter the library addressed.
std::string describe(const Target& t)
{
    uint32_t block = 0, counter = 0;
    if (!address_counter(t, block, counter))
        return "block " + std::to_string(t.block) + ", counter " + std::to_string(t.counter);
    return "block " + std::to_string(block) + ", counter " + std::to_string(counter) + " (flat " +
           std::to_string(block * kCountersPerBlock + counter) + ")";
}

uint32_t flat_of(const Target& t)
{
    uint32_t block = 0, counter = 0;
    return address_counter(t, block, counter) ? block * kCountersPerBlock + counter : 0;
}

// What the command line gave an operation.
struct Request {
    Target t;
    uint32_t mode = 0, value = 0, gate = 0, block = 0;
    bool with_load = false, latched = false;
    double hz = 0, seconds = 0;
};

// A mode's name (the library takes modes 0 to 5 only).
const char* mode_name(uint32_t mode) { return mode < 6 ? kModeNames[mode] : "unknown mode"; }

int run_mode(const Options& o, const Request& q)
{
    const Target& t = q.t;
    const uint32_t mode = q.mode, load = q.value;
    const bool with_load = q.with_load;
    const uint32_t r = with_load ? CTR_8254ModeLoad(t.device, t.block, t.counter, mode, static_cast<uint16_t>(load))
                                 : CTR_8254Mode(t.device, t.block, t.counter, mode);
    if (r != 0) return report_error(r, with_load ? "CTR_8254ModeLoad" : "CTR_8254Mode");
    if (o.json) {
        Json result = {{"flat", flat_of(t)}, {"mode", mode}};
        if (with_load) result["load"] = load;
        print_json(result);
    } else {
        std::printf("%s: mode %u (%s)", describe(t).c_str(), mode, mode_name(mode));
        if (with_load) std::printf(", loaded with %u", load);
        std::printf("\n");
    }
    return 0;
}

int run_load(const Options& o, const Request& q)
{
    const Target& t = q.t;
    const uint32_t value = q.value;
    if (const uint32_t r = CTR_8254Load(t.device, t.block, t.counter, static_cast<uint16_t>(value)))
        return report_error(r, "CTR_8254Load");
    if (o.json) print_json({{"flat", flat_of(t)}, {"load", value}});
    else std::printf("%s: loaded with %u\n", describe(t).c_str(), value);
    return 0;
}

int run_read(const Options& o, const Request& q)
{
    const Target& t = q.t;
    uint16_t count = 0;
    uint8_t status = 0;
    if (const uint32_t r = CTR_8254ReadStatus(t.device, t.block, t.counter, &count, &status))
        return report_error(r, "CTR_8254ReadStatus");
    const bool out = (status & 0x80) != 0;
    const bool null_count = (status & 0x40) != 0;
    const unsigned mode = (status >> 1) & 7;
    if (o.json) {
        print_json({{"flat", flat_of(t)},
                    {"count", count},
                    {"status", status},
                    {"output", out ? 1 : 0},
                    {"null_count", null_count},
                    {"mode", mode}});
    } else {
        std::printf("%s: count %u (0x%04X), status 0x%02X: output %s, mode %u%s\n", describe(t).c_str(), count, count,
                    status, out ? "high" : "low", mode, null_count ? ", count not yet loaded" : "");
    }
    return 0;
}

int run_all(const Options& o, const Request& q)
{
    const Target& t = q.t;
    const bool latched = q.latched;
    // The buffer's size depends on the board's counters, known once the board is open.
    uint32_t slot = 0;
    KorvalCapabilities caps;
    if (const uint32_t r = open_board(t.device, slot, caps)) return report_error(r, "open");
    const uint32_t counters = caps.Counters * kCountersPerBlock;
    std::vector<uint8_t> data(counters * 2 + 1, 0);  // two bytes a counter, and the latched read's status
    const uint32_t r = latched ? CTR_8254ReadLatched(t.device, data.data()) : CTR_8254ReadAll(t.device, data.data());
    if (r != 0) return report_error(r, latched ? "CTR_8254ReadLatched" : "CTR_8254ReadAll");
    Json counts = Json::array();
    for (uint32_t i = 0; i < counters; ++i) {
        const unsigned count = data[2 * i] | data[2 * i + 1] << 8;
        if (o.json) counts.push_back(count);
        else std::printf("counter %-2u (block %u, counter %u): %5u  0x%04X\n", i, i / 3, i % 3, count, count);
    }
    if (o.json) {
        Json result = {{"counts", counts}};
        if (latched) result["extra"] = data[2 * counters];
        print_json(result);
    } else if (latched) {
        std::printf("extra byte: 0x%02X\n", data[2 * counters]);
    }
    return 0;
}

int run_gate(const Options& o, const Request& q)
{
    const Target& t = q.t;
    const uint32_t gate = q.gate;
    if (const uint32_t r = CTR_8254SelectGate(t.device, gate)) return report_error(r, "CTR_8254SelectGate");
    if (o.json) print_json({{"gate", gate}});
    else std::printf("gate %u selected\n", gate);
    return 0;
}

int run_freq(const Options& o, const Request& q)
{
    const Target& t = q.t;
    double hz = q.hz;
    const double asked = hz;
    const uint32_t b = q.block;
    if (const uint32_t r = CTR_StartOutputFreq(t.device, b, &hz)) return report_error(r, "CTR_StartOutputFreq");
    if (o.json) print_json({{"block", b}, {"asked", asked}, {"hz", hz}});
    else if (asked <= 0) std::printf("block %u: frequency output stopped\n", b);
    else std::printf("block %u: %.6f Hz (asked for %g Hz)\n", b, hz, asked);
    return 0;
}

// Starts the pulse-width monitor, prints every counter's latest width four times a second for the
// time asked, and stops it.
int run_pulse(const Options& o, const Request& q)
{
    const Target& t = q.t;
    const double seconds = q.seconds;
    uint32_t slot = 0;
    KorvalCapabilities caps;
    if (const uint32_t r = open_board(t.device, slot, caps)) return report_error(r, "open");
    const uint32_t counters = caps.Counters * kCountersPerBlock;
    if (const uint32_t r = CTR_StartMeasuringPulseWidth(t.device)) return report_error(r, "CTR_StartMeasuringPulseWidth");
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    int status = 0;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const double at = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::string line;
        Json widths = Json::array();
        for (uint32_t i = 0; i < counters && status == 0; ++i) {
            uint16_t width = 0;
            const uint32_t r = CTR_GetPulseWidthMeasurement(t.device, 0, i, &width);
            if (r != 0 && r != ERROR_NO_DATA_DETECTED) status = report_error(r, "CTR_GetPulseWidthMeasurement");
            if (o.json) widths.push_back(r == 0 ? Json(width) : Json(nullptr));
            else line += "  " + (r == 0 ? std::to_string(width) : std::string("-"));
        }
        if (status != 0) break;
        if (o.json) print_json({{"seconds", rounded(at, 2)}, {"widths", widths}});
        else std::printf("%6.2f s%s\n", at, line.c_str());
        std::fflush(stdout);
    } while (std::chrono::steady_clock::now() < end);
    const uint32_t r = CTR_StopMeasuringPulseWidth(t.device);
    if (status == 0 && r != 0) return report_error(r, "CTR_StopMeasuringPulseWidth");
    return status;
}

// An operation's callback: it queues `run` with what this occurrence of it was given.
void on_counter_operation(CLI::App& operation, Request& q, int (*run)(const Options&, const Request&))
{
    on_operation(operation, [&q, run] {
        return [r = std::exchange(q, {}), run](const Options& o) mutable {
            r.t.device = o.device;
            return run(o, r);
        };
    });
}

// BLOCK COUNTER, the counter an operation works on.
void add_counter(CLI::App& operation, Request& q)
{
    operation.add_option("block", q.t.block, "the block (0: COUNTER counts over all blocks)")
        ->transform(number_in(0xFFFFFFFF, "BLOCK"))
        ->required();
    operation.add_option("counter", q.t.counter, "the counter")
        ->transform(number_in(0xFFFFFFFF, "COUNTER"))
        ->required();
}

// Operations separated by "then" run in order on the same board; the first failure ends the run.
void define(CLI::App& ctr)
{
    static Request q;
    CLI::App& mode = *ctr.get_subcommand("mode");
    add_counter(mode, q);
    mode.add_option("mode", q.mode, "the counter's mode")->transform(number_in(0xFFFFFFFF, "MODE"))->required();
    mode.add_option("load", q.value, "a count to load")
        ->transform(number_in(0xFFFF, "LOAD"))
        ->each([](const std::string&) { q.with_load = true; });
    on_counter_operation(mode, q, run_mode);
    CLI::App& load = *ctr.get_subcommand("load");
    add_counter(load, q);
    load.add_option("value", q.value, "the count")->transform(number_in(0xFFFF, "VALUE"))->required();
    on_counter_operation(load, q, run_load);
    CLI::App& read = *ctr.get_subcommand("read");
    add_counter(read, q);
    on_counter_operation(read, q, run_read);
    CLI::App& all = *ctr.get_subcommand("all");
    all.add_flag("--latched", q.latched, "latch every counter first, and read the status byte too");
    on_counter_operation(all, q, run_all);
    CLI::App& gate = *ctr.get_subcommand("gate");
    gate.add_option("gate", q.gate, "the gate source")->transform(number_in(0xFFFFFFFF, "GATE"))->required();
    on_counter_operation(gate, q, run_gate);
    CLI::App& freq = *ctr.get_subcommand("freq");
    freq.add_option("--hz", q.hz, "the frequency (0 or less stops it)")->required();
    freq.add_option("-b,--block", q.block, "the counter block (default 0)")->transform(number_in(0xFFFFFFFF, "BLOCK"));
    on_counter_operation(freq, q, run_freq);
    CLI::App& pulse = *ctr.get_subcommand("pulse");
    pulse.add_option("--seconds", q.seconds, "how long to measure")->check(finite_non_negative("S"))->required();
    on_counter_operation(pulse, q, run_pulse);
}

const RegisterCommand kCtr{{"ctr",
                            "[-d N] OP [then OP]...",
                            "8254 counters: mode B C M [LOAD], load B C V, read B C, all [--latched], gate G, "
                            "freq --hz F [-b B], pulse --seconds S",
                            define,
                            true,
                            {{"mode", "BLOCK COUNTER MODE [LOAD]", "set a counter's mode, and optionally load it"},
                             {"load", "BLOCK COUNTER VALUE", "load a counter (0 to 65535)"},
                             {"read", "BLOCK COUNTER", "read a counter"},
                             {"all", "[--latched]", "read every counter"},
                             {"gate", "G", "choose the gate source"},
                             {"freq", "--hz F [-b BLOCK]", "a block's counters 1 and 2 as a frequency source"},
                             {"pulse", "--seconds S", "live pulse widths of every counter"}},
                            true}};

}  // namespace

}  // namespace korval::tool
