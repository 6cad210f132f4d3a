// korval dac wave: plays a generated waveform through a board's streamed analog outputs.
//
//     korval dac [-d N] wave [--shape sine|square|ramp] [--hz F] [--rate R] [--channels N] [--seconds S]
//
// Every channel gets the same shape, channel c shifted by c/N of a cycle so that the channels can be told
// apart. Frames are queued as fast as the library takes them (it refuses while its queue is full; the
// tool then waits a moment); output starts by itself once enough data is on its way, or when everything
// is queued. On a simulated board the tool then waits until the board has played the whole waveform
// and reports what it played.
#include "cmd_dac_wave.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cli_values.h"
#include "device_option.h"
#include "json_out.h"
#include "korval/korval.h"
#include "korval/sim.h"

namespace korval::tool {

namespace {

constexpr uint32_t kFramePoints = 1000;
constexpr double kPi = 3.14159265358979323846;

// A real number, finite, that `ok` accepts; else `message`.
CLI::Validator real_where(bool (*ok)(double), std::string message)
{
    return CLI::Validator(
        [ok, message](std::string& text) -> std::string {
            double value = 0;
            return parse_real(text, value) && std::isfinite(value) && ok(value) ? "" : message;
        },
        "");
}

// The 12-bit code of a shape at phase `cycles` (whole cycles ignored).
uint16_t code_at(const std::string& shape, double cycles)
{
    const double phase = cycles - std::floor(cycles);
    double level = 0;  // 0 to 1
    if (shape == "sine") level = 0.5 + 0.5 * std::sin(2 * kPi * phase);
    else if (shape == "square") level = phase < 0.5 ? 1.0 : 0.0;
    else level = phase;
    return static_cast<uint16_t>(std::lround(level * 4095));
}

// The simulated board in the tool's slot `index`, found by its serial number; 0 when there is none.
uint32_t simulated_board(KorvalSim* sim, uint32_t index)
{
    uint64_t serial = 0;
    if (sim == nullptr || GetDeviceSerialNumber(index, &serial) != 0) return 0;
    for (uint32_t board = 1;; ++board) {
        uint8_t bytes[8];
        if (KorvalSim_EepromRead(sim, board, 0x1DF8, sizeof bytes, bytes) != 0) return 0;
        uint64_t value = 0;
        for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
        if (value == serial) return board;
    }
}

// The progress line, on a terminal only.
void progress(const char* what, uint64_t done, uint64_t total)
{
    if (isatty(fileno(stderr)) == 0) return;
    std::fprintf(stderr, "\r%s %llu of %llu points (%3.0f%%)", what, static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(total), total > 0 ? 100.0 * static_cast<double>(done) / static_cast<double>(total) : 100.0);
    std::fflush(stderr);
}

}  // namespace

void define_dac_wave(CLI::App& wave, WaveOptions& w)
{
    wave.add_option("--shape", w.shape, "sine, square or ramp (default sine)")
        ->check(CLI::IsMember({"sine", "square", "ramp"}));
    wave.add_option("--hz", w.hz, "the waveform's frequency (default 100)")
        ->check(real_where([](double v) { return v >= 0; }, "--hz takes a frequency of 0 or more"));
    wave.add_option("--rate", w.rate, "points per second (default 10000)")
        ->check(real_where([](double) { return true; }, "--rate takes a number of points per second"));
    wave.add_option("--channels", w.channels, "channels, 1 to 8 (default 1)")
        ->transform(number_in(8, "--channels"))
        ->check(CLI::Range(1u, 8u).description(""));
    wave.add_option("--seconds", w.seconds, "how long, above 0 up to 3600 (default 1)")
        ->check(
            real_where([](double v) { return v > 0 && v <= 3600; }, "--seconds takes a duration above 0, up to 3600"));
}

namespace {

// Queues the waveform's `total` points in frames, then starts the output and closes the stream (it
// plays on). 0, or the failure's exit status; the stream is closed either way.
int queue_wave(const Options& options, uint32_t index, const WaveOptions& w, double rate, uint64_t total)
{
    std::vector<uint16_t> frame(size_t{kFramePoints} * w.channels);
    auto last_report = std::chrono::steady_clock::now();
    for (uint64_t done = 0; done < total;) {
        const auto points = static_cast<uint32_t>(std::min<uint64_t>(kFramePoints, total - done));
        for (uint32_t p = 0; p < points; ++p)
            for (uint32_t c = 0; c < w.channels; ++c)
                frame[size_t{p} * w.channels + c] =
                    code_at(w.shape, w.hz * static_cast<double>(done + p) / rate + static_cast<double>(c) / w.channels);
        uint32_t r = DACOutputFrame(index, points, frame.data());
        while (r == ERROR_NOT_READY) {  // the queue is full: the board is busy playing what it has
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            r = DACOutputFrame(index, points, frame.data());
        }
        if (r != 0) {
            DACOutputClose(index);
            return report_error(r, "dac wave: frame");
        }
        done += points;
        if (!options.json && std::chrono::steady_clock::now() - last_report > std::chrono::milliseconds(100)) {
            progress("queued", done, total);
            last_report = std::chrono::steady_clock::now();
        }
    }
    // A waveform shorter than what starts the output by itself is started here; 183: it has started.
    const uint32_t start = DACOutputStart(index);
    if (start != 0 && start != ERROR_ALREADY_EXISTS) {
        DACOutputClose(index);
        return report_error(start, "dac wave: start");
    }
    if (const uint32_t r = DACOutputClose(index)) return report_error(r, "dac wave: close");
    if (!options.json) progress("queued", total, total);
    return 0;
}

}  // namespace

int run_dac_wave(const Options& options, uint32_t index, const WaveOptions& w)
{
    double rate = w.rate;
    if (const uint32_t r = DACOutputOpen(index, &rate)) return report_error(r, "dac wave: open");
    if (const uint32_t r = DACOutputSetCount(index, w.channels)) {
        DACOutputClose(index);
        return report_error(r, "dac wave: channels");
    }
    const auto total = static_cast<uint64_t>(std::max(1.0, std::round(w.seconds * rate)));
    if (const int status = queue_wave(options, index, w, rate, total)) return status;

    KorvalSimDacStream played{};
    const uint32_t board = simulated_board(options.sim, index);
    if (board != 0) {
        // The board plays in real time: wait for the end of the data, with room for a slow machine.
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(static_cast<int64_t>(1000 * (static_cast<double>(total) / rate) + 5000));
        while (KorvalSim_GetDacStream(options.sim, board, &played) == 0 && !played.ended &&
               std::chrono::steady_clock::now() < deadline) {
            if (!options.json) progress("played", played.points, total);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!options.json) progress("played", played.points, total);
    }
    if (!options.json && isatty(fileno(stderr)) != 0) std::fprintf(stderr, "\n");

    if (options.json) {
        Json result = {{"shape", w.shape}, {"hz", w.hz}, {"rate", rounded(rate, 6)}, {"channels", w.channels}, {"points", total}};
        if (board != 0)
            result["board"] = {{"points", played.points}, {"underruns", played.underruns}, {"ended", played.ended != 0}};
        print_json(result);
    } else {
        std::printf("%s at %g Hz: %llu points of %u channels at %.3f points per second\n", w.shape.c_str(), w.hz,
                    static_cast<unsigned long long>(total), w.channels, rate);
        if (board != 0)
            std::printf("simulated board played %llu points, %llu underruns%s\n",
                        static_cast<unsigned long long>(played.points), static_cast<unsigned long long>(played.underruns),
                        played.ended ? ", end of data reached" : ", end of data not reached");
    }
    return board != 0 && !played.ended ? 1 : 0;
}

}  // namespace korval::tool
