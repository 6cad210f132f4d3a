// korval adc stream: continuous acquisition from a board, with a live status line.
//
//     korval adc [-d INDEX] stream [--rate HZ] [--seconds S] [--channels A-B] [--out FILE] [--plot FILE.png]
//
//     --rate HZ       samples per second (default 100000). A simulated board is paced at this rate and
//                     given a test signal on each channel; a real board samples at its pacing clock.
//     --seconds S     how long to stream (default 2; fractions allowed)
//     --channels A-B  the channels to scan (written to the board's block; default: the block's scan)
//     --out FILE      the samples as received: little-endian 16-bit counts, channels interleaved
//     --plot FILE.png the scanned channels in volts against time
//
// The board's configuration block decides the channels (its scan limits), the samples per channel
// (oversample + 1, consecutive) and the ranges; the stream starts on the board's own clock (the trigger
// byte's start source is set to 1). The status line shows the samples received, the rate, the ring's
// size and growth, and losses: blocks of the board that ended short.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "command.h"
#include "device_option.h"
#include "json_out.h"
#include "korval/korval.h"
#include "korval/sim.h"

#ifdef KORVAL_TOOL_PLPLOT
#include <plplot.h>
#endif

namespace korval::tool {

namespace {

constexpr uint32_t kMaxPlotPoints = 20000;  // per channel: more are thinned for the picture

// What the callback and the status line share.
struct Stream {
    std::mutex mutex;  // guards the captured channels
    std::FILE* out = nullptr;
    bool out_failed = false;
    uint32_t channels = 1;
    uint32_t first_channel = 0;
    uint32_t per_channel = 1;  // oversample + 1
    uint64_t bytes_per_block = 0;
    uint64_t block_bytes = 0;  // bytes since the last new-block flag
    uint64_t scan_index = 0;   // sample position in the board's scan, restarted with each block
    uint64_t sample_index = 0;
    uint32_t keep_every = 1;   // capture one sample in this many, per channel
    std::vector<std::vector<double>> times;
    std::vector<std::vector<uint16_t>> counts;
    double rate = 0;
    bool capture = false;

    std::atomic<uint64_t> samples{0};
    std::atomic<uint64_t> grown{0};
    std::atomic<uint64_t> losses{0};
    std::atomic<bool> ended{false};
};
Stream* g_stream = nullptr;

void on_buffer(uint16_t* buf, uint32_t size, uint32_t flags, uint32_t)
{
    Stream& s = *g_stream;
    if (flags & KORVAL_CONT_FINAL) {
        s.ended = true;
        return;
    }
    if (flags & KORVAL_CONT_GROWN) s.grown.fetch_add(1, std::memory_order_relaxed);
    const uint32_t n = size / 2;
    std::lock_guard lock(s.mutex);
    if (flags & KORVAL_CONT_NEW_BLOCK) {
        // The board starts each announced count at the scan's first channel; a block that came short
        // of its count means samples were lost on the way.
        if (s.sample_index != 0 && s.block_bytes != s.bytes_per_block) s.losses.fetch_add(1, std::memory_order_relaxed);
        s.block_bytes = 0;
        s.scan_index = 0;
    }
    s.block_bytes += size;
    if (s.out != nullptr && n != 0 && std::fwrite(buf, 2, n, s.out) != n) s.out_failed = true;
    if (s.capture) {
        for (uint32_t i = 0; i < n; ++i) {
            const uint64_t at = s.scan_index + i;
            const uint32_t k = static_cast<uint32_t>((at / s.per_channel) % s.channels);
            const uint64_t round = (s.sample_index + i) / (uint64_t{s.channels} * s.per_channel);
            if (round % s.keep_every != 0) continue;
            s.times[k].push_back(static_cast<double>(s.sample_index + i) / s.rate);
            s.counts[k].push_back(buf[i]);
        }
    }
    s.scan_index += n;
    s.sample_index += n;
    s.samples.fetch_add(n, std::memory_order_relaxed);
}

bool parse_seconds(const std::string& text, double& value)
{
    return parse_real(text, value) && value > 0 && value < 1e6;
}

// Pacing and test signals on every channel of the simulated boards: a sine of a few hertz within the
// channel's range, a different amplitude and frequency per channel, so that a plot shows them apart.
void give_sim_signals(KorvalSim* sim, double rate, const std::vector<uint8_t>& block, uint32_t shift)
{
    for (uint32_t board = 1; board <= KORVAL_SLOT_COUNT; ++board) {
        if (KorvalSim_SetAdcRate(sim, board, rate) != ERROR_SUCCESS) continue;
        KorvalSim_SetLogLimits(sim, board, 256, 0);  // a long stream need not fill the transfer log
        for (uint32_t c = 0; c < 256; ++c) {
            const uint8_t gain =
                block[std::min<uint32_t>(c >> shift, KORVAL_ADC_RANGE_SLOTS - 1)] & KORVAL_ADC_GAIN_CODE_MASK;
            const double span = KORVAL_ADC_GainSpanVolts(gain);
            KorvalSimAdcSignal signal{};
            signal.kind = KORVAL_SIM_SIGNAL_SINE;
            signal.offset = KORVAL_ADC_GainBipolar(gain) ? 0.0 : span / 2;
            signal.amplitude = (KORVAL_ADC_GainBipolar(gain) ? span : span / 2) * (0.9 - 0.1 * (c % 8));
            signal.frequency = 1.0 + (c % 5);
            KorvalSim_SetAdcSignal(sim, board, c, &signal);
        }
    }
}

#ifdef KORVAL_TOOL_PLPLOT
void plot(const Stream& s, const std::vector<uint8_t>& block, uint32_t shift, const std::string& file, double seconds)
{
    std::vector<std::vector<double>> volts(s.channels);
    double low = 0, high = 0;
    for (uint32_t k = 0; k < s.channels; ++k) {
        const uint32_t c = s.first_channel + k;
        const uint8_t code = block[std::min<uint32_t>(c >> shift, KORVAL_ADC_RANGE_SLOTS - 1)];
        for (uint16_t count : s.counts[k]) volts[k].push_back(KORVAL_ADC_CountsToVolts(count, code));
        const double span = KORVAL_ADC_GainSpanVolts(code & KORVAL_ADC_GAIN_CODE_MASK);
        low = std::min(low, KORVAL_ADC_GainBipolar(code & KORVAL_ADC_GAIN_CODE_MASK) ? -span : 0.0);
        high = std::max(high, span);
    }
    plsdev("pngcairo");
    plsfnam(file.c_str());
    plscolbg(255, 255, 255);
    plscol0(15, 0, 0, 0);  // axes and labels in black on the white page
    plspage(0, 0, 1200, 700, 0, 0);
    plinit();
    plcol0(15);  // black axes on the white page
    plenv(0, seconds, low, high, 0, 0);
    pllab("time (s)", "volts", ("korval adc stream: " + std::to_string(s.channels) + " channels").c_str());
    // One colour per channel from the default map, leaving out those too pale on white.
    static const PLINT kColours[] = {1, 3, 9, 8, 13, 4, 12, 10, 14, 6, 11, 5};
    for (uint32_t k = 0; k < s.channels; ++k) {
        if (volts[k].empty()) continue;
        plcol0(kColours[k % std::size(kColours)]);
        plline(static_cast<PLINT>(volts[k].size()), s.times[k].data(), volts[k].data());
        if (k < 16) {
            const std::string label = "ch " + std::to_string(s.first_channel + k);
            plmtex("rv", 1.0, 1.0 - 0.06 * k, 0.0, label.c_str());
        }
    }
    plend();
}
#endif

}  // namespace

int run_adc_stream(const Options& options, Args args, uint32_t index)
{
    double rate = 100000, seconds = 2;
    std::string out_file, plot_file, channels;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size();
        if (a == "--rate" && has_value) {
            if (!parse_seconds(args[++i], rate)) return usage_error("bad rate '" + args[i] + "'");
        } else if (a == "--seconds" && has_value) {
            if (!parse_seconds(args[++i], seconds)) return usage_error("bad time '" + args[i] + "'");
        } else if (a == "--channels" && has_value) {
            channels = args[++i];
        } else if (a == "--out" && has_value) {
            out_file = args[++i];
        } else if (a == "--plot" && has_value) {
            plot_file = args[++i];
        } else {
            return usage_error("adc stream [--rate HZ] [--seconds S] [--channels A-B] [--out FILE] [--plot FILE.png]");
        }
    }
#ifndef KORVAL_TOOL_PLPLOT
    if (!plot_file.empty()) return usage_error("this korval was built without plotting (PLplot)");
#endif

    if (!channels.empty()) {
        uint32_t first = 0, last = 0;
        if (!parse_channel_span(channels, 255, first, last)) return usage_error("bad channels '" + channels + "'");
        if (const uint32_t r = ADC_SetScanLimits(index, first, last)) return report_error(r, "setting the channels");
    }
    // The block decides what the stream holds; the stream starts on the board's own clock.
    std::vector<uint8_t> block(KORVAL_ADC_CONFIG_MAX);
    uint32_t size = KORVAL_ADC_CONFIG_MAX;
    if (const uint32_t r = ADC_GetConfig(index, block.data(), &size)) return report_error(r, "reading the ADC configuration");
    block.resize(size);
    block[KORVAL_ADC_TRIGGER_BYTE] = static_cast<uint8_t>((block[KORVAL_ADC_TRIGGER_BYTE] & ~0x03u) | 0x01u);
    if (const uint32_t r = ADC_SetConfig(index, block.data(), &size)) return report_error(r, "setting the start source");
    uint32_t slot = 0;
    KorvalCapabilities caps;
    const uint32_t range_shift = open_board(index, slot, caps) == 0 ? caps.RangeShift : 0;
    if (options.sim != nullptr) give_sim_signals(options.sim, rate, block, range_shift);

    Stream s;
    g_stream = &s;
    s.rate = rate;
    s.first_channel = KORVAL_ADC_ScanStart(block.data(), size);
    const uint32_t last = KORVAL_ADC_ScanEnd(block.data(), size);
    s.channels = last >= s.first_channel ? last - s.first_channel + 1 : 1;
    s.per_channel = uint32_t{block[KORVAL_ADC_OVERSAMPLE_BYTE]} + 1;
    s.capture = !plot_file.empty();
    s.times.resize(s.channels);
    s.counts.resize(s.channels);
    const double rounds = rate * seconds / (static_cast<double>(s.channels) * s.per_channel);
    s.keep_every = static_cast<uint32_t>(std::max(1.0, std::ceil(rounds / kMaxPlotPoints)));

    // About 20 buffers a second, a whole number of scans each and a multiple of 512 bytes, so that every
    // announced count ends on a scan's end.
    const uint64_t scan_bytes = 2ull * s.channels * s.per_channel;
    const uint64_t unit = std::lcm<uint64_t>(512, scan_bytes);
    const uint64_t wanted = static_cast<uint64_t>(rate * 2 / 20);
    const uint64_t buf_size = std::clamp<uint64_t>(wanted / unit * unit, unit, std::max<uint64_t>(unit, 4u << 20));
    const int32_t buf_count = 16;
    s.bytes_per_block = buf_size * buf_count;

    if (!out_file.empty()) {
        s.out = std::fopen(out_file.c_str(), "wb");
        if (s.out == nullptr) return usage_error("cannot write '" + out_file + "'");
    }
    if (const uint32_t r = ADC_BulkContinuousStart(index, static_cast<uint32_t>(buf_size), buf_count, 0, on_buffer)) {
        if (s.out != nullptr) std::fclose(s.out);
        return report_error(r, "starting the stream");
    }

    using Clock = std::chrono::steady_clock;
    const auto t0 = Clock::now();
    const auto until = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    int32_t ring = buf_count;
    auto status = [&](bool last_line) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        const uint64_t n = s.samples.load();
        int32_t blanks = 0, accessing = 0, filled = 0;
        if (ADC_BulkContinuousDebug(index, &blanks, &accessing, &filled) == 0) ring = blanks + accessing + filled;
        if (options.json) return;
        std::fprintf(stderr, "\r%12llu samples  %8.3f MB/s  ring %d buffers (%llu grown)  losses %llu   %s",
                     static_cast<unsigned long long>(n), elapsed > 0 ? 2.0 * n / elapsed / 1e6 : 0.0, ring,
                     static_cast<unsigned long long>(s.grown.load()), static_cast<unsigned long long>(s.losses.load()),
                     last_line ? "\n" : "");
        std::fflush(stderr);
    };
    while (Clock::now() < until && !s.ended) {
        status(false);
        std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(250), until - Clock::now()));
    }
    status(true);
    uint32_t io_status = 0;
    const uint32_t end_result = ADC_BulkContinuousEnd(index, &io_status);
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    if (s.out != nullptr && std::fclose(s.out) != 0) s.out_failed = true;

    if (options.json) {
        print_json({{"samples", s.samples.load()},
                    {"seconds", rounded(elapsed, 3)},
                    {"ring_buffers", ring},
                    {"grown", s.grown.load()},
                    {"losses", s.losses.load()},
                    {"status", io_status}});
    }
    if (end_result != 0) return report_error(end_result, "ending the stream");
    if (io_status != 0) return report_error(io_status, "the stream ended early");
    if (s.out_failed) return usage_error("writing '" + out_file + "' failed");
#ifdef KORVAL_TOOL_PLPLOT
    if (!plot_file.empty()) {
        // The time axis is the samples' own: their index over the sampling rate.
        plot(s, block, range_shift, plot_file, std::max(static_cast<double>(s.sample_index) / rate, 1e-3));
        if (!options.json) std::printf("plot written to %s\n", plot_file.c_str());
    }
#endif
    return 0;
}

}  // namespace korval::tool
