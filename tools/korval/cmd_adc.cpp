// korval adc config: show and change a board's ADC configuration block in words.
//
//     korval adc [-d INDEX] config                show the block
//     korval adc [-d INDEX] config set ITEM...    change it, then show it
//     korval adc [-d INDEX] scan|acquire|cal ...  measure (cmd_adc_measure.cpp)
//
//     ITEM:  [ch A[-B]] RANGE      input range of channels A to B (every channel without "ch"), for
//                                  example "ch 0-15 ±10 V", "0-5V", "ch 8 +-2 V"
//            cal normal|1|3|5|7    calibration mode (normal is 0)
//            trigger N             trigger byte
//            scan A-B              channels a scan covers
//            oversample N          extra samples per channel (0 to 255)
//
// Channels share the range of their range slot (channel >> the board's range shift): a range given for
// part of a slot's channels applies to all of them, and the output says so.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "adc_measure.h"
#include "command.h"
#include "device_option.h"
#include "json_out.h"
#include "korval/korval.h"

namespace korval::tool {

std::string range_words(uint8_t gain)
{
    char text[16];
    const double span = KORVAL_ADC_GainSpanVolts(gain);
    std::snprintf(text, sizeof text, KORVAL_ADC_GainBipolar(gain) ? "±%g V" : "0-%g V", span);
    return text;
}

namespace {

using Bytes = std::vector<uint8_t>;

struct Board {
    uint32_t index;
    uint32_t block_size;
    uint32_t range_slots;
    uint32_t channels;
    uint32_t shift;
};

}  // namespace

namespace {

// A range's text without spaces, its "±" (UTF-8, the Windows code page's, "+/-" or "+-") as '~' and
// without the unit.
std::string plain_range(const std::string& text)
{
    std::string t;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ' ') continue;
        if (text.compare(i, 2, "\xC2\xB1") == 0) {  // ±
            t += '~';
            ++i;
        } else if (text[i] == '\xB1') {  // ± in the Windows (ANSI) code page, as a console passes it
            t += '~';
        } else if (text.compare(i, 3, "+/-") == 0) {
            t += '~';
            i += 2;
        } else if (text.compare(i, 2, "+-") == 0) {
            t += '~';
            ++i;
        } else {
            t += text[i];
        }
    }
    if (!t.empty() && (t.back() == 'V' || t.back() == 'v')) t.pop_back();
    return t;
}

}  // namespace

int parse_range(std::string text)
{
    const std::string t = plain_range(text);
    bool bipolar = false;
    std::string span;
    auto split = [&](const std::string& s, std::string& low, std::string& high) {
        size_t at = s.find("..");
        if (at != std::string::npos) {
            low = s.substr(0, at);
            high = s.substr(at + 2);
            return true;
        }
        at = s.find('-', 1);  // the separator, not a leading minus sign
        if (at == std::string::npos) return false;
        low = s.substr(0, at);
        high = s.substr(at + 1);
        return true;
    };
    std::string low, high;
    if (!t.empty() && t[0] == '~') {
        bipolar = true;
        span = t.substr(1);
    } else if (split(t, low, high)) {
        if (!high.empty() && high[0] == '+') high.erase(0, 1);
        if (low == "0") {
            span = high;
        } else if (!low.empty() && low[0] == '-' && low.substr(1) == high) {
            bipolar = true;
            span = high;
        } else {
            return -1;
        }
    } else {
        return -1;
    }
    int gain = 0;
    if (span == "10") gain = 0;
    else if (span == "5") gain = 2;
    else if (span == "2") gain = 4;
    else if (span == "1") gain = 6;
    else return -1;
    return gain | (bipolar ? 1 : 0);
}

namespace {

bool parse_channels(const std::string& text, uint32_t& first, uint32_t& last)
{
    return parse_channel_span(text, 0xFFFF, first, last) && first <= last;
}

std::string channel_span(uint32_t first, uint32_t last)
{
    return first == last ? "ch " + std::to_string(first) : "ch " + std::to_string(first) + "-" + std::to_string(last);
}

// The channels of range slot s, as far as the board has them.
bool slot_channels(const Board& b, uint32_t s, uint32_t& first, uint32_t& last)
{
    first = s << b.shift;
    if (first >= b.channels) return false;
    last = std::min(((s + 1) << b.shift) - 1, b.channels - 1);
    return true;
}

struct RangeGroup {
    uint32_t first, last;
    uint8_t code;
};

// Neighbouring slots with the same range code, as channel spans.
std::vector<RangeGroup> range_groups(const Board& b, const Bytes& block)
{
    std::vector<RangeGroup> groups;
    for (uint32_t s = 0; s < b.range_slots; ++s) {
        uint32_t first = 0, last = 0;
        if (!slot_channels(b, s, first, last)) break;
        if (!groups.empty() && groups.back().code == block[s] && groups.back().last + 1 == first) groups.back().last = last;
        else groups.push_back({first, last, block[s]});
    }
    return groups;
}

std::string cal_words(uint8_t mode)
{
    return mode == 0 ? "normal" : "reference mode " + std::to_string(mode);
}

int read_block(const Board& b, Bytes& block)
{
    block.assign(b.block_size, 0);
    uint32_t size = b.block_size;
    if (const uint32_t r = ADC_GetConfig(b.index, block.data(), &size)) return report_error(r, "reading the ADC configuration");
    return 0;
}

int show(const Options& options, const Board& b)
{
    Bytes block;
    if (const int status = read_block(b, block)) return status;
    const uint32_t start = KORVAL_ADC_ScanStart(block.data(), b.block_size);
    const uint32_t end = KORVAL_ADC_ScanEnd(block.data(), b.block_size);
    const std::vector<RangeGroup> groups = range_groups(b, block);
    std::string hex;
    for (const uint8_t byte : block) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X", byte);
        hex += (hex.empty() ? "" : " ") + std::string(two);
    }
    if (options.json) {
        Json ranges = Json::array();
        for (const RangeGroup& g : groups)
            ranges.push_back({{"first", g.first}, {"last", g.last}, {"code", g.code}, {"gain", g.code & 7u},
                              {"range", range_words(g.code & 7)}, {"flag", static_cast<unsigned>(g.code >> 3)}});
        print_json({{"channels", b.channels},
                    {"range_slots", b.range_slots},
                    {"channels_per_slot", 1u << b.shift},
                    {"block", hex},
                    {"ranges", ranges},
                    {"cal_mode", block[KORVAL_ADC_CAL_MODE_BYTE]},
                    {"trigger", block[KORVAL_ADC_TRIGGER_BYTE]},
                    {"scan", {start, end}},
                    {"oversample", block[KORVAL_ADC_OVERSAMPLE_BYTE]}});
        return 0;
    }
    std::string ranges;
    for (const RangeGroup& g : groups) {
        ranges += (ranges.empty() ? "" : ", ") + channel_span(g.first, g.last) + " " + range_words(g.code & 7);
        if (g.code >> 3) ranges += " (flag " + std::to_string(g.code >> 3) + ")";
    }
    std::printf("channels     %u, %u range slots of %u channel%s, %u-byte block\n", b.channels, b.range_slots,
                1u << b.shift, b.shift ? "s" : "", b.block_size);
    const uint32_t ranged = std::min(b.channels, b.range_slots << b.shift);
    if (ranged < b.channels) ranges += ", " + channel_span(ranged, b.channels - 1) + " no range slot";
    std::printf("ranges       %s\n", ranges.c_str());
    std::printf("calibration  %s\n", cal_words(block[KORVAL_ADC_CAL_MODE_BYTE]).c_str());
    std::printf("trigger      0x%02X\n", block[KORVAL_ADC_TRIGGER_BYTE]);
    std::printf("scan         %s\n", channel_span(start, end).c_str());
    const unsigned samples = block[KORVAL_ADC_OVERSAMPLE_BYTE] + 1u;
    std::printf("oversample   %u (%u sample%s per channel)\n", samples - 1, samples, samples == 1 ? "" : "s");
    std::printf("block        %s\n", hex.c_str());
    return 0;
}

bool is_keyword(const std::string& word)
{
    return word == "ch" || word == "cal" || word == "trigger" || word == "scan" || word == "oversample";
}

// Sets the range of channels first..last: every range slot they touch, each keeping its flag bits.
int set_range(const Board& b, uint32_t first, uint32_t last, uint8_t gain)
{
    if (last >= b.channels) return report_error(ERROR_INVALID_ADDRESS, channel_span(first, last) + " is beyond the board's channels");
    const uint32_t slot_first = first >> b.shift;
    const uint32_t slot_last = last >> b.shift;
    if (slot_last >= b.range_slots) return report_error(ERROR_INVALID_ADDRESS, channel_span(first, last) + " has no range slot");
    Bytes block;
    if (const int status = read_block(b, block)) return status;
    for (uint32_t s = slot_first; s <= slot_last; ++s) {
        if (const uint32_t r = ADC_Range1(b.index, s, gain, block[s] >> 3)) return report_error(r, "setting a range");
    }
    uint32_t covered_first = 0, covered_last = 0, unused = 0;
    slot_channels(b, slot_first, covered_first, unused);
    slot_channels(b, slot_last, unused, covered_last);
    if (covered_first != first || covered_last != last)
        std::fprintf(stderr, "korval: note: channels share ranges in groups of %u; %s is set\n", 1u << b.shift,
                     channel_span(covered_first, covered_last).c_str());
    return 0;
}

int set_cal(const Board& b, const std::string& mode)
{
    uint64_t value = 0;
    if (mode != "normal" && !parse_bounded(mode, 0xFF, value))
        return usage_error("bad calibration mode '" + mode + "'");
    Bytes block;
    if (const int status = read_block(b, block)) return status;
    if (const uint32_t r = ADC_ADMode(b.index, block[KORVAL_ADC_TRIGGER_BYTE], static_cast<uint8_t>(value)))
        return report_error(r, "setting the calibration mode");
    return 0;
}

int set_trigger(const Board& b, const std::string& text)
{
    uint64_t value = 0;
    if (!parse_bounded(text, 0xFF, value)) return usage_error("bad trigger byte '" + text + "'");
    Bytes block;
    if (const int status = read_block(b, block)) return status;
    if (const uint32_t r = ADC_ADMode(b.index, static_cast<uint8_t>(value), block[KORVAL_ADC_CAL_MODE_BYTE]))
        return report_error(r, "setting the trigger byte");
    return 0;
}

int set_scan(const Board& b, const std::string& text)
{
    uint32_t first = 0, last = 0;
    if (!parse_channels(text, first, last)) return usage_error("bad channels '" + text + "'");
    if (const uint32_t r = ADC_SetScanLimits(b.index, first, last)) return report_error(r, "setting the scan limits");
    return 0;
}

int set_oversample(const Board& b, const std::string& text)
{
    uint64_t value = 0;
    if (!parse_bounded(text, 0xFF, value)) return usage_error("oversample is 0 to 255");
    if (const uint32_t r = ADC_SetOversample(b.index, static_cast<uint8_t>(value)))
        return report_error(r, "setting the oversample count");
    return 0;
}

// A range item at args[i]: [ch A[-B]] RANGE, the range's words running to the next keyword. Moves i past it.
int set_range_item(const Board& b, const Args& args, size_t& i)
{
    // Every channel that has a range slot (on the largest boards the last channels have none).
    uint32_t first = 0, last = std::min(b.channels, b.range_slots << b.shift) - 1;
    if (args[i] == "ch") {
        if (i + 1 >= args.size() || !parse_channels(args[i + 1], first, last))
            return usage_error("ch needs channels, as in 'ch 0-15'");
        i += 2;
    }
    std::string words;
    while (i < args.size() && !is_keyword(args[i])) words += args[i++];
    const int gain = parse_range(words);
    if (gain < 0)
        return usage_error("unknown range '" + words + "' (0-10 V, ±10 V, 0-5 V, ±5 V, 0-2 V, ±2 V, 0-1 V, ±1 V)");
    return set_range(b, first, last, static_cast<uint8_t>(gain));
}

// The items of "config set", in order: "KEYWORD VALUE" or a range. The first that fails ends it.
int set(const Board& b, const Args& args)
{
    static const std::pair<const char*, int (*)(const Board&, const std::string&)> kItems[] = {
        {"cal", set_cal}, {"trigger", set_trigger}, {"scan", set_scan}, {"oversample", set_oversample}};
    if (args.empty()) return usage_error("config set needs an item");
    size_t i = 0;
    while (i < args.size()) {
        int (*item)(const Board&, const std::string&) = nullptr;
        for (const auto& [name, setter] : kItems)
            if (args[i] == name && i + 1 < args.size()) item = setter;
        const int status = item != nullptr ? item(b, args[i + 1]) : set_range_item(b, args, i);
        if (status != 0) return status;
        if (item != nullptr) i += 2;
    }
    return 0;
}

int config(const Options& options, uint32_t index, const Args& words)
{
    Args args = {"config"};
    args.insert(args.end(), words.begin(), words.end());
    uint32_t slot = 0;
    KorvalCapabilities d;
    if (const uint32_t r = open_board(index, slot, d)) return report_error(r, "opening the board");
    if (!d.ADCBulk || d.ConfigBytes == 0)
        return report_error(ERROR_BAD_TOKEN_TYPE, "this board has no ADC configuration block");
    const Board b{slot, d.ConfigBytes, d.ADCChannels, d.ADCMUXChannels, d.RangeShift};
    if (args.size() > 1) {
        if (args[1] != "set") return usage_error("adc config [set ITEM...]");
        if (const int status = set(b, Args(args.begin() + 2, args.end()))) return status;
    }
    return show(options, b);
}

// What the command line gave the measuring operations, bound by define() (one run per process).
struct Parsed {
    RateRequest acquire, stream;
    std::vector<std::string> config_words;  // "set ITEM..."
    std::vector<std::string> scan_words;    // "ch A-B"
    std::string cal_file;
};

Parsed& parsed()
{
    static Parsed p;
    return p;
}

// acquire without --rate or --seconds: samples as the board's block says, with --out FILE.csv only.
int acquire(const Options& options, uint32_t index, RateRequest& r)
{
    if (r.at_rate()) return adc_measure_at_rate(options, index, r);
    if (!r.channels.empty() || r.range != "±10 V" || !r.trigger.empty() || r.pretrigger != 0 || r.records != 1)
        return usage_error("adc acquire takes --channels, --range and a trigger with --rate or --seconds only");
    return adc_acquire(options, index, r.samples, r.out);
}

void define(CLI::App& adc)
{
    Parsed& p = parsed();
    // config's items are words: "set ch 0-15 ±10 V", "-10..10 V", "scan 0-3", "cal 1". Some are the
    // names of adc's other operations, which are switched off once config starts (adc runs one
    // operation), so that those words stay config's.
    CLI::App& config_op = *adc.get_subcommand("config");
    config_op.add_option("items", p.config_words, "set ITEM...: ch A-B RANGE, oversample N, trigger BYTE, cal MODE");
    config_op.preparse_callback([&adc](size_t) {
        for (CLI::App* other : adc.get_subcommands([](CLI::App* op) { return op->get_name() != "config"; }))
            other->disabled();
    });
    on_operation(config_op,
                 [&p] { return [words = p.config_words](const Options& o) { return config(o, o.device, words); }; });
    CLI::App& scan = *adc.get_subcommand("scan");
    scan.add_option("words", p.scan_words, "ch A-B: the channels")->expected(0, 2);
    on_operation(scan, [&p] { return [&p](const Options& o) { return adc_scan(o, o.device, p.scan_words); }; });
    CLI::App& cal = *adc.get_subcommand("cal");
    cal.add_option("file", p.cal_file, ":AUTO:, :NORM:, :1TO1: or a file")->required();
    on_operation(cal, [&p] { return [&p](const Options& o) { return adc_cal(o, o.device, p.cal_file); }; });
    CLI::App& acquire_op = *adc.get_subcommand("acquire");
    define_rate_options(acquire_op, p.acquire, false);
    on_operation(acquire_op, [&p] { return [&p](const Options& o) { return acquire(o, o.device, p.acquire); }; });
    CLI::App& stream = *adc.get_subcommand("stream");
    define_rate_options(stream, p.stream, true);
    on_operation(stream,
                 [&p] { return [&p](const Options& o) { return adc_measure_at_rate(o, o.device, p.stream); }; });
}

const RegisterCommand kAdc{
    {"adc",
     "[-d N] config|scan|acquire|cal|stream ...",
     "analog input: configuration, scans in volts, acquisitions, calibration, continuous streams",
     define,
     true,
     {{"config", "[set ITEM...]",
       "show the analog-input configuration in words, or set items of it "
       "(ch A-B RANGE, oversample N, trigger BYTE, cal MODE)"},
      {"scan", "[ch A-B]", "one scan, in volts per channel"},
      {"acquire",
       "--rate HZ [--channels A-B] [--range R] --samples N|--seconds S "
       "[--trigger CH:rising|falling:LEVEL[:HYSTERESIS] [--pretrigger N] [--records K]] [--out FILE.csv|FILE.h5]",
       "scans at a rate paced by the board's scan clock, optionally in records at a trigger: progress, "
       "per-channel statistics, a file; without --rate or --seconds, --samples N samples as the board's block says"},
      {"cal", ":AUTO:|:NORM:|:1TO1:|FILE", "load the ADC calibration"},
      {"stream",
       "[--rate HZ] [--channels A-B] [--range R] [--samples N|--seconds S] [--trigger ... [--pretrigger N] "
       "[--records K]] [--out FILE.csv|FILE.h5] [--plot FILE.png]",
       "continuous scans at a rate, with a live status line; Ctrl-C ends it cleanly"}}}};

}  // namespace

}  // namespace korval::tool
