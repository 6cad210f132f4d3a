// korval dac: the analog outputs of a board. Sets one or several channels, selects the output range, or
// loads or clears a channel's calibration table.
//
//     korval dac [-d N] set CHANNEL=VALUE...
//     korval dac [-d N] range CODE
//     korval dac [-d N] cal CHANNEL FILE|:1TO1:|:NONE:
//     korval dac [-d N] wave --shape sine|square|ramp --hz F --rate R --channels N --seconds S
#include <cstdio>
#include <string>
#include <vector>

#include "cli_values.h"
#include "cmd_dac_wave.h"
#include "command.h"
#include "device_option.h"
#include "json_out.h"
#include "korval/korval.h"

namespace korval::tool {

namespace {

constexpr const char* kUsage = "[-d N] set|range|cal|wave ...";

// One channel goes with the single-channel write, several in one request.
int run_set(const Options& options, uint32_t index, const Args& args)
{
    std::vector<KorvalDACPair> pairs;
    for (const std::string& arg : args) {
        const auto equals = arg.find('=');
        uint64_t channel = 0, value = 0;
        if (equals == std::string::npos || !parse_bounded(arg.substr(0, equals), 0xFFFF, channel) ||
            !parse_bounded(arg.substr(equals + 1), 0xFFFF, value))
            return usage_error("'" + arg + "' is not CHANNEL=VALUE (each 0 to 65535)");
        pairs.push_back({static_cast<uint16_t>(channel), static_cast<uint16_t>(value)});
    }
    const uint32_t r = pairs.size() == 1 ? DACDirect(index, pairs[0].Channel, pairs[0].Value)
                                         : DACMultiDirect(index, pairs.data(), static_cast<int32_t>(pairs.size()));
    if (r != 0) return report_error(r, "dac set");
    if (options.json) {
        Json channels = Json::array();
        for (const KorvalDACPair& p : pairs) channels.push_back({{"channel", p.Channel}, {"value", p.Value}});
        print_json({{"channels", channels}});
    } else {
        for (const KorvalDACPair& p : pairs)
            std::printf("channel %-3u = %5u (0x%04X)\n", p.Channel, p.Value, static_cast<unsigned>(p.Value));
    }
    return 0;
}

int run_range(const Options& options, uint32_t index, uint64_t code)
{
    if (const uint32_t r = DACSetBoardRange(index, static_cast<uint16_t>(code))) return report_error(r, "dac range");
    if (options.json) print_json({{"range", code}});
    else std::printf("output range code %u selected\n", static_cast<unsigned>(code));
    return 0;
}

int run_cal(const Options& options, uint32_t index, uint64_t channel, const std::string& source)
{
    const bool clear = source == ":1TO1:" || source == ":NONE:";
    if (const uint32_t r = DACSetChannelCal(index, static_cast<uint32_t>(channel), source.c_str()))
        return report_error(r, "dac cal " + source);
    if (options.json) {
        print_json({{"channel", channel}, {"calibration", clear ? Json(nullptr) : Json(source)}});
    } else if (clear) {
        std::printf("channel %u: calibration table cleared\n", static_cast<unsigned>(channel));
    } else {
        std::printf("channel %u: calibration table loaded from %s\n", static_cast<unsigned>(channel), source.c_str());
    }
    return 0;
}

// What the command line gave the operations (one run per process).
struct Parsed {
    Args pairs;
    uint64_t range = 0;
    uint64_t channel = 0;
    std::string source;
    WaveOptions wave;
};

void define(CLI::App& dac)
{
    static Parsed p;
    CLI::App& set = *dac.get_subcommand("set");
    set.add_option("pairs", p.pairs, "CHANNEL=VALUE, each 0 to 65535")->required();
    on_operation(set, [] { return [a = p.pairs](const Options& o) { return run_set(o, o.device, a); }; });
    CLI::App& range = *dac.get_subcommand("range");
    range.add_option("code", p.range, "the range code")->transform(number_in(0xFFFF, "the range code"))->required();
    on_operation(range, [] { return [c = p.range](const Options& o) { return run_range(o, o.device, c); }; });
    CLI::App& cal = *dac.get_subcommand("cal");
    cal.add_option("channel", p.channel, "the channel")->transform(number_in(0xFFFFFFFF, "the channel"))->required();
    cal.add_option("file", p.source, "a calibration file, :1TO1: or :NONE:")->required();
    on_operation(cal,
                 [] { return [c = p.channel, f = p.source](const Options& o) { return run_cal(o, o.device, c, f); }; });
    CLI::App& wave = *dac.get_subcommand("wave");
    define_dac_wave(wave, p.wave);
    on_operation(wave, [] { return [w = p.wave](const Options& o) { return run_dac_wave(o, o.device, w); }; });
}

const RegisterCommand kDac{{"dac",
                            kUsage,
                            "analog outputs: set CH=VALUE..., range CODE, cal CH FILE, wave ...",
                            define,
                            true,
                            {{"set", "CH=VALUE...", "set analog outputs"},
                             {"range", "CODE", "set the outputs' range"},
                             {"cal", "CH FILE|:1TO1:|:NONE:", "load or clear a channel's calibration table"},
                             {"wave", "--shape sine|square|ramp --hz F --rate R --channels N --seconds S",
                              "play a generated waveform through the streamed outputs"}}}};

}  // namespace

}  // namespace korval::tool
