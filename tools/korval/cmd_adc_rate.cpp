// korval adc acquire --rate and korval adc stream: scans at a chosen rate, through the library's
// measurements (KORVAL_MeasureStart), which put the rate on the board's scan clock and convert to volts.
//
//     korval adc [-d N] acquire --rate HZ [--channels A-B] [--range R] --samples N|--seconds S
//                               [--trigger CH:rising|falling:LEVEL[:HYSTERESIS] [--pretrigger N] [--records K]]
//                               [--out FILE.csv|FILE.h5]
//     korval adc [-d N] stream [--rate HZ] ... [--plot FILE.png]
//
// --seconds S takes exactly round(S x rate) scans. With --trigger, each of K records (1 by default) is
// that many scans: N before the trigger scan (0 by default), the trigger scan and the rest; a record
// begins when the channel crosses LEVEL volts the way the slope says, after it was HYSTERESIS volts
// (0 by default) on the other side. Every option is checked before anything is sent to the board.
// A stream's status line shows scans, the rate obtained, MB/s, the ring's size and its growth; Ctrl-C
// ends it cleanly, with the file complete, the plot drawn and the summary printed.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "adc_measure.h"
#include "command.h"
#include "device_option.h"
#include "json_out.h"
#include "korval/korval.h"
#include "korval/sim.h"
#include "recording.h"

namespace korval::tool {

namespace {

constexpr uint32_t kReadWaitMs = 100;  // the status line's period while waiting for blocks

// ---- parse ------------------------------------------------------------------------------------------------

using Request = RateRequest;

std::string span_text(uint32_t first, uint32_t last)
{
    return first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
}

// "0:rising:1", "3:falling:-2.5:0.1".
std::string parse_trigger(const std::string& text, KorvalTrigger& t)
{
    const std::string wanted = "bad --trigger '" + text + "': CH:rising|falling:LEVEL[:HYSTERESIS]";
    const std::vector<std::string> parts = [&] {
        std::vector<std::string> p;
        size_t at = 0;
        for (size_t colon; (colon = text.find(':', at)) != std::string::npos; at = colon + 1)
            p.push_back(text.substr(at, colon - at));
        p.push_back(text.substr(at));
        return p;
    }();
    if (parts.size() < 3 || parts.size() > 4) return wanted;
    uint64_t channel = 0;
    if (!parse_bounded(parts[0], KORVAL_MEASURE_MAX_CHANNELS - 1, channel)) return wanted + " (CH is a channel)";
    if (parts[1] == "rising")
        t.Slope = KORVAL_TRIGGER_RISING;
    else if (parts[1] == "falling")
        t.Slope = KORVAL_TRIGGER_FALLING;
    else
        return wanted + " (the slope is rising or falling)";
    if (!parse_real(parts[2], t.Level) || !std::isfinite(t.Level)) return wanted + " (LEVEL is in volts)";
    t.Hysteresis = 0;
    if (parts.size() == 4 &&
        (!parse_real(parts[3], t.Hysteresis) || !(t.Hysteresis >= 0) || !std::isfinite(t.Hysteresis)))
        return wanted + " (HYSTERESIS is 0 volts or more)";
    t.Channel = static_cast<uint32_t>(channel);
    return "";
}

// Checks what the options say together; 0 or a usage error's status.
int check(Request& r)
{
#ifndef KORVAL_TOOL_PLPLOT
    if (!r.plot.empty()) return usage_error("this korval was built without plotting (PLplot)");
#endif
    if (r.stream && r.rate == 0) r.rate = 100000;
    if (!(r.rate > 0) || !std::isfinite(r.rate)) return usage_error("bad rate: scans per second above 0");
    if (r.seconds < 0 || r.seconds > 1e7) return usage_error("bad time: seconds above 0");
    if (r.samples > 0xFFFFFFFFFFull) return usage_error("bad --samples: scans, 1 to 2^40");
    if (r.samples != 0 && r.seconds != 0) return usage_error("give --samples or --seconds, not both");
    if (r.samples == 0 && r.seconds == 0) {
        if (!r.stream) return usage_error("adc acquire --rate needs --samples N or --seconds S");
        r.seconds = 2;
    }
    if (r.seconds != 0) {
        const double scans = std::nearbyint(r.seconds * r.rate);
        if (scans < 1) return usage_error("--seconds at that rate is less than one scan");
        r.samples = static_cast<uint64_t>(scans);
    }
    if (!r.channels.empty()) {
        if (!parse_channel_span(r.channels, 0xFFFF, r.first, r.last) || r.first > r.last)
            return usage_error("bad channels '" + r.channels + "': a span such as 0-7");
        r.has_span = true;
    }
    if (r.trigger.empty()) {
        if (r.pretrigger != 0 || r.records != 1) return usage_error("--pretrigger and --records need --trigger");
        return 0;
    }
    if (const std::string wrong = parse_trigger(r.trigger, r.parsed); !wrong.empty()) return usage_error(wrong);
    if (r.pretrigger >= r.samples)
        return usage_error("--pretrigger " + std::to_string(r.pretrigger) + " must be fewer than the record's " +
                           std::to_string(r.samples) + " scans");
    if (r.records == 0 || r.records > 0xFFFFFFFF) return usage_error("bad --records: 1 or more");
    if (r.has_span && (r.parsed.Channel < r.first || r.parsed.Channel > r.last))
        return usage_error("the trigger channel " + std::to_string(r.parsed.Channel) + " is not among channels " +
                           span_text(r.first, r.last));
    r.parsed.PreTriggerScans = static_cast<uint32_t>(r.pretrigger);
    r.parsed.Records = static_cast<uint32_t>(r.records);
    return 0;
}

// ---- the measurement --------------------------------------------------------------------------------------

// The span from the board's configuration block, when --channels did not give one (a read only).
int board_span(uint32_t index, const KorvalCapabilities& caps, Request& r)
{
    if (r.has_span) return 0;
    uint8_t block[KORVAL_ADC_CONFIG_MAX] = {};
    uint32_t size = sizeof block;
    if (const uint32_t e = ADC_GetConfig(index, block, &size)) return report_error(e, "reading the ADC configuration");
    r.first = KORVAL_ADC_ScanStart(block, caps.ConfigBytes);
    r.last = std::max(r.first, KORVAL_ADC_ScanEnd(block, caps.ConfigBytes));
    if (!r.trigger.empty() && (r.parsed.Channel < r.first || r.parsed.Channel > r.last))
        return usage_error("the trigger channel " + std::to_string(r.parsed.Channel) + " is not among channels " +
                           span_text(r.first, r.last) + " (give --channels)");
    return 0;
}

// Checks the request against the board and fills the measurement's settings and the recording's
// description. Sends nothing that changes the board.
int prepare(uint32_t index, Request& r, KorvalMeasureSettings& settings, RecordingInfo& info)
{
    KorvalCapabilities caps{};
    caps.Size = sizeof caps;
    if (const uint32_t e = KORVAL_GetCapabilities(index, &caps)) return report_error(e, "opening the board");
    if (!caps.ADCBulk || caps.ConfigBytes == 0)
        return report_error(ERROR_BAD_TOKEN_TYPE, "this board has no bulk analog input");
    if (caps.Counters == 0) return report_error(ERROR_BAD_TOKEN_TYPE, "this board has no counters to pace its scans");
    const double highest = caps.RootClock / 4, lowest = caps.RootClock / (65535.0 * 65535.0);
    if (r.rate > highest || r.rate < lowest) {
        char text[160];
        std::snprintf(text, sizeof text, "rate %g: the board's counters make %.4g to %g scans per second", r.rate,
                      lowest, highest);
        return usage_error(text);
    }
    const int gain = parse_range(r.range);
    if (gain < 0)
        return usage_error("unknown range '" + r.range + "' (0-10 V, ±10 V, 0-5 V, ±5 V, 0-2 V, ±2 V, 0-1 V, ±1 V)");
    if (const int status = board_span(index, caps, r)) return status;
    if (r.last >= caps.ADCMUXChannels)
        return usage_error("channels " + span_text(r.first, r.last) + ": the board has channels 0 to " +
                           std::to_string(caps.ADCMUXChannels - 1));
    settings = KorvalMeasureSettings{};
    settings.Size = sizeof settings;
    settings.FirstChannel = r.first;
    settings.LastChannel = r.last;
    settings.RangeCount = 1;
    settings.Ranges[0] = static_cast<uint8_t>(gain);
    settings.Rate = r.rate;
    settings.Scans = r.samples;
    if (!r.trigger.empty()) settings.Trigger = r.parsed;
    info.first = r.first;
    info.last = r.last;
    info.range = range_words(static_cast<uint8_t>(gain));
    info.high = KORVAL_ADC_GainSpanVolts(static_cast<uint8_t>(gain));
    info.low = KORVAL_ADC_GainBipolar(static_cast<uint8_t>(gain)) ? -info.high : 0.0;
    info.product_id = caps.ProductID;
    GetDeviceSerialNumber(index, &info.serial);
    char board[32];
    std::snprintf(board, sizeof board, "board 0x%04X", caps.ProductID);
    info.board = board;
    info.triggered = !r.trigger.empty();
    info.record_scans = r.samples;
    info.pretrigger = r.pretrigger;
    return 0;
}

// Simulated boards get a test signal on every channel: a sine of a few hertz within the range, a
// different amplitude and frequency per channel, so that a plot shows them apart (channel 0 of a
// bipolar range: 0.9 of the span at 1 Hz, starting at 0 V and rising).
std::atomic<bool> g_interrupted{false};

extern "C" void on_interrupt(int) { g_interrupted = true; }

// What the run leaves for the summary.
struct Outcome {
    uint64_t scans = 0;
    int32_t ring = 0;  // buffers in the library's ring at the last look
    uint32_t grown = 0;
    bool write_failed = false;
    uint32_t result = 0;  // the code that ended the measurement early, or 0
};

// The progress (acquire) or status line (stream), on a terminal or for a stream.
class Progress {
public:
    Progress(const Options& options, const Request& r, uint32_t index, uint32_t channels)
        : r_(r),
          index_(index),
          channels_(channels),
          t0_(Clock::now()),
          shown_(!options.json && (r.stream || isatty(STDERR_FILENO)))
    {
    }
    void show(Outcome& o, bool last_line)
    {
        int32_t blanks = 0, accessing = 0, filled = 0;
        if (ADC_BulkContinuousDebug(index_, &blanks, &accessing, &filled) == 0) o.ring = blanks + accessing + filled;
        if (!shown_) return;
        const unsigned long long n = o.scans;
        if (!r_.stream) {
            std::fprintf(stderr, "\racquired %llu of %llu scans%s", n,
                         static_cast<unsigned long long>(r_.samples * r_.records), last_line ? "\n" : "");
            return;
        }
        const double elapsed = std::chrono::duration<double>(Clock::now() - t0_).count();
        std::fprintf(stderr, "\r%12llu scans  %.6g scans/s  %8.3f MB/s  ring %d buffers (%u grown)   %s", n, rate,
                     elapsed > 0 ? 2.0 * static_cast<double>(n) * channels_ / elapsed / 1e6 : 0.0, o.ring, o.grown,
                     last_line ? "\n" : "");
        std::fflush(stderr);
    }
    double rate = 0;

private:
    using Clock = std::chrono::steady_clock;
    const Request& r_;
    const uint32_t index_, channels_;
    const Clock::time_point t0_;
    const bool shown_;
};

// After Ctrl-C, stops the measurement once: the blocks not yet read are dropped, the next read ends.
void stop_on_interrupt(KorvalMeasurement* m, bool& stopped)
{
    if (!g_interrupted || stopped) return;
    KORVAL_MeasureStop(m);
    stopped = true;
}

// Reads blocks into the recording until the last one, or until Ctrl-C stops the measurement.
void read_blocks(KorvalMeasurement* m, Recording& recording, Progress& progress, Outcome& o)
{
    bool stopped = false;
    for (;;) {
        KorvalMeasureBlock block{};
        block.Size = sizeof block;
        const uint32_t r = KORVAL_MeasureRead(m, &block, nullptr, nullptr, 0, kReadWaitMs);
        if (r == ERROR_TIMEOUT) {
            progress.show(o, false);
            stop_on_interrupt(m, stopped);
            continue;
        }
        if (r != 0) {  // 38: the measurement has ended (stopped after Ctrl-C)
            if (r != ERROR_HANDLE_EOF) o.result = r;
            return;
        }
        if (block.Flags & KORVAL_BLOCK_GROWN) ++o.grown;
        if (!recording.add(block.Volts, block.ScanCount, block.FirstScan, block.HostTimeNs, block.ScanPeriod))
            o.write_failed = true;
        if ((block.Flags & KORVAL_BLOCK_TRIGGER) && block.TriggerScan >= 0)
            recording.mark_trigger(static_cast<uint64_t>(block.TriggerScan) - block.FirstScan);
        o.scans += block.ScanCount;
        if (block.Flags & KORVAL_BLOCK_LAST) {
            o.result = block.Result;
            return;
        }
        stop_on_interrupt(m, stopped);
    }
}

// Starts the measurement, records its blocks and ends it. 0, or the status of the error reported.
int run(const Options& options, uint32_t index, const Request& r, KorvalMeasureSettings& settings, RecordingInfo& info,
        Recording& recording, Outcome& o)
{
    KorvalMeasurement* m = nullptr;
    if (const uint32_t e = KORVAL_MeasureCreate(index, &m)) return report_error(e, "making the measurement");
    if (const uint32_t e = KORVAL_MeasureStart(m, &settings, nullptr, nullptr)) {
        KORVAL_MeasureDestroy(m);
        return report_error(e, r.stream ? "starting the stream" : "starting the acquisition");
    }
    info.rate = settings.Rate;
    recording.set_rate(settings.Rate);
    Progress progress(options, r, index, info.channels());
    progress.rate = settings.Rate;
    read_blocks(m, recording, progress, o);
    progress.show(o, true);
    KorvalMeasureStatus status{};
    status.Size = sizeof status;
    if (KORVAL_MeasureGetStatus(m, &status) == 0) o.grown = std::max(o.grown, status.RingGrowths);
    KORVAL_MeasureDestroy(m);
    if (o.result != 0 && o.result != ERROR_OPERATION_ABORTED)
        return report_error(o.result, r.stream ? "the stream ended early" : "acquiring");
    if (o.write_failed) return usage_error("writing the file failed");
    if (o.scans < r.samples * r.records && !g_interrupted)
        return report_error(ERROR_HANDLE_EOF, r.stream ? "the stream ended early" : "acquiring");
    return 0;
}

void print_summary(const Options& options, const Request& r, const RecordingInfo& info, const Recording& rec,
                   const Outcome& o)
{
    const auto& stats = rec.stats();
    if (options.json) {
        Json list = Json::array();
        for (uint32_t k = 0; k < info.channels(); ++k) {
            if (stats[k].n == 0) continue;
            list.push_back({{"channel", info.first + k},
                            {"min", rounded(stats[k].min, 6)},
                            {"mean", rounded(stats[k].sum / static_cast<double>(stats[k].n), 6)},
                            {"max", rounded(stats[k].max, 6)}});
        }
        Json out = {{"scans", o.scans},
                    {"rate", info.rate},
                    {"range", info.range},
                    {"file", r.out.empty() ? Json(nullptr) : Json(r.out)},
                    {"channels", list}};
        if (info.triggered) out["trigger_scans"] = rec.trigger_rows();
        if (r.stream) {
            out["ring_buffers"] = o.ring;
            out["grown"] = o.grown;
        }
        print_json(out);
        return;
    }
    std::printf("%llu scans of channels %s at %.6g scans/s, %s%s%s\n", static_cast<unsigned long long>(o.scans),
                span_text(info.first, info.last).c_str(), info.rate, info.range.c_str(),
                r.out.empty() ? "" : ", written to ", r.out.c_str());
    if (info.triggered) {
        std::printf("%zu records of %llu scans, trigger at scan", rec.trigger_rows().size(),
                    static_cast<unsigned long long>(r.samples));
        for (const int64_t row : rec.trigger_rows()) std::printf(" %lld", static_cast<long long>(row));
        std::printf("\n");
    }
    std::printf("ch   min (V)     mean (V)    max (V)\n");
    for (uint32_t k = 0; k < info.channels(); ++k)
        if (stats[k].n > 0)
            std::printf("%-4u %+10.6f  %+10.6f  %+10.6f\n", info.first + k, stats[k].min,
                        stats[k].sum / static_cast<double>(stats[k].n), stats[k].max);
}

}  // namespace

void define_rate_options(CLI::App& app, Request& r, bool stream)
{
    r.stream = stream;
    app.add_option("--rate", r.rate, stream ? "scans per second (default 100000)" : "scans per second")
        ->type_name("HZ")
        ->check(CLI::PositiveNumber);
    app.add_option("--channels", r.channels, "the channel span (the board's block by default)")->type_name("A-B");
    app.add_option("--range", r.range, "every channel's input range, e.g. \"±10 V\", 0-5V")->type_name("R");
    app.add_option(
           "--samples", r.samples,
           stream ? "scans (with a trigger: per record)" : "scans (with a trigger: per record); samples without --rate")
        ->type_name("N");
    app.add_option("--seconds", r.seconds, "seconds of scans: round(S x rate) scans")->type_name("S");
    app.add_option("--trigger", r.trigger, "start each record where a channel crosses a level")
        ->type_name("CH:rising|falling:LEVEL[:HYSTERESIS]");
    app.add_option("--pretrigger", r.pretrigger, "scans kept from before the trigger")->type_name("N");
    app.add_option("--records", r.records, "records, each at a new trigger (default 1)")->type_name("K");
    app.add_option("--out", r.out, "write volts to a file")->type_name("FILE.csv|FILE.h5");
    if (stream) app.add_option("--plot", r.plot, "draw the channels against time")->type_name("FILE.png");
}

int adc_measure_at_rate(const Options& options, uint32_t index, Request& r)
{
    if (const int status = check(r)) return status;
    KorvalMeasureSettings settings{};
    RecordingInfo info;
    if (const int status = prepare(index, r, settings, info)) return status;
    info.rate = r.rate;  // until the start says the rate obtained
    // The file is made before anything is sent, so that a file that cannot be written changes nothing.
    Recording recording(info, r.plot, r.samples * r.records);
    if (const std::string wrong = recording.open(r.out); !wrong.empty()) return usage_error(wrong);
    if (options.sim != nullptr) give_sim_signals(options.sim, info.low, info.high);
    g_interrupted = false;
    auto previous = std::signal(SIGINT, on_interrupt);
    Outcome o;
    int status = run(options, index, r, settings, info, recording, o);
    std::signal(SIGINT, previous);
    if (!recording.close(o.grown) && status == 0) status = usage_error("writing '" + r.out + "' failed");
    if (status != 0) return status;
    if (g_interrupted && !options.json)
        std::fprintf(stderr, "interrupted: ended after %llu scans\n", static_cast<unsigned long long>(o.scans));
    if (!r.plot.empty()) {
        recording.draw_plot();
        if (!options.json) std::printf("plot written to %s\n", r.plot.c_str());
    }
    print_summary(options, r, info, recording, o);
    return 0;
}

// Sines on every channel of every simulated board, sized for the range from low to high volts (the
// range of a rate command, or 0 to 10 V, which every range of 10 V or more shows whole), so that what
// the tool reads from a simulated board moves with time as a real board's inputs would.
void give_sim_signals(KorvalSim* sim, double low, double high)
{
    const double span = high;
    const bool bipolar = low < 0;
    for (uint32_t board = 1; board <= KORVAL_SLOT_COUNT; ++board) {
        for (uint32_t c = 0; c < 256; ++c) {
            KorvalSimAdcSignal signal{};
            signal.kind = KORVAL_SIM_SIGNAL_SINE;
            signal.offset = bipolar ? 0.0 : span / 2;
            signal.amplitude = (bipolar ? span : span / 2) * (0.9 - 0.1 * (c % 8));
            signal.frequency = 1.0 + (c % 5);
            if (KorvalSim_SetAdcSignal(sim, board, c, &signal) != ERROR_SUCCESS) break;
        }
        KorvalSim_SetLogLimits(sim, board, 256, 0);  // a long stream need not fill the transfer log
    }
}

}  // namespace korval::tool
