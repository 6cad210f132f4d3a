// korval adc scan, acquire and cal: measure with a board's analog input, and load its calibration.
//
//     korval adc [-d N] scan [ch A-B]                      one scan, volts per channel (every channel
//                                                          by default; the board keeps the scan limits)
//     korval adc [-d N] acquire --samples N [--out F.csv]  a one-shot acquisition of N samples
//     korval adc [-d N] cal :AUTO:|:NORM:|:1TO1:|FILE      load the ADC calibration
//
// An acquisition starts when the board's trigger byte says; a board set to wait for the start request
// (start source 0), which an acquisition never sends, is set to start by itself first. The options
// come parsed from the command line's definition (cmd_adc.cpp).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "adc_measure.h"
#include "device_option.h"
#include "json_out.h"
#include "korval/korval.h"

namespace korval::tool {

namespace {

struct Block {
    std::vector<uint8_t> bytes;
    uint8_t range_code(uint32_t channel, uint32_t shift) const
    {
        return bytes[std::min<uint32_t>(channel >> shift, KORVAL_ADC_RANGE_SLOTS - 1)];
    }
    std::string range_text(uint32_t channel, uint32_t shift) const
    {
        return range_words(range_code(channel, shift) & KORVAL_ADC_GAIN_CODE_MASK);
    }
};

int read_block(uint32_t index, uint32_t size, Block& block)
{
    block.bytes.assign(size, 0);
    if (const uint32_t r = ADC_GetConfig(index, block.bytes.data(), &size)) return report_error(r, "reading the ADC configuration");
    return 0;
}

}  // namespace

int adc_scan(const Options& options, uint32_t index, const Args& args)
{
    uint32_t slot = 0;
    KorvalCapabilities d;
    if (const uint32_t r = open_board(index, slot, d)) return report_error(r, "opening the board");
    const bool bulk = d.ADCBulk != 0;
    const uint32_t channels = bulk ? d.ADCMUXChannels : d.ImmADCs;
    if (channels == 0) return report_error(ERROR_BAD_TOKEN_TYPE, "this board has no analog input");
    uint32_t first = 0, last = channels - 1;
    if (!args.empty()) {
        if (args.size() != 2 || args[0] != "ch" || !parse_channel_span(args[1], 0xFF, first, last))
            return usage_error("adc scan [ch A-B]");
        if (!bulk) return usage_error("this board's immediate inputs are always read together");
    }
    if (bulk) {
        if (const uint32_t r = ADC_SetScanLimits(slot, first, last)) return report_error(r, "setting the scan limits");
    }
    std::vector<double> volts(256, 0.0);
    if (const uint32_t r = ADC_GetScanV(slot, volts.data())) return report_error(r, "scanning");
    Block block;
    if (bulk) {
        if (const int status = read_block(slot, d.ConfigBytes, block)) return status;
    } else {
        block.bytes.assign(KORVAL_ADC_RANGE_SLOTS, 2);  // 0 to 5 V
    }
    const uint32_t shift = bulk ? d.RangeShift : 0u;
    if (options.json) {
        Json list = Json::array();
        for (uint32_t c = first; c <= last; ++c)
            list.push_back({{"channel", c}, {"volts", rounded(volts[c], 6)}, {"range", block.range_text(c, shift)}});
        print_json({{"channels", list}});
        return 0;
    }
    std::printf("ch   volts       range\n");
    for (uint32_t c = first; c <= last; ++c)
        std::printf("%-4u %+10.6f  %s\n", c, volts[c], block.range_text(c, shift).c_str());
    return 0;
}

namespace {

// An acquisition starts when the trigger byte says: a block waiting for the start request (start
// source 0), which an acquisition never sends, is set to start by itself first.
int start_by_itself(uint32_t slot, Block& block)
{
    uint8_t trigger = block.bytes[KORVAL_ADC_TRIGGER_BYTE];
    if ((trigger & 0x03) != 0) return 0;
    trigger = static_cast<uint8_t>(trigger | 0x01);
    if (const uint32_t r = ADC_ADMode(slot, trigger, block.bytes[KORVAL_ADC_CAL_MODE_BYTE]))
        return report_error(r, "setting the start source");
    block.bytes[KORVAL_ADC_TRIGGER_BYTE] = trigger;
    std::fprintf(stderr, "korval: note: the board now starts sampling by itself (trigger byte 0x%02X)\n", trigger);
    return 0;
}

int acquire_samples(const Options& options, uint32_t slot, std::vector<uint16_t>& data)
{
    const uint64_t samples = data.size();
    const uint32_t bytes = static_cast<uint32_t>(samples * 2);
    if (const uint32_t r = ADC_BulkAcquire(slot, bytes, data.data())) return report_error(r, "starting the acquisition");
    const bool progress = !options.json && isatty(STDERR_FILENO);
    int32_t left = static_cast<int32_t>(bytes);
    for (;;) {
        if (const uint32_t r = ADC_BulkPoll(slot, &left)) {
            if (progress) std::fprintf(stderr, "\n");
            return report_error(r, "acquiring");
        }
        if (progress) {
            const uint32_t done = (bytes - static_cast<uint32_t>(left)) / 2;
            std::fprintf(stderr, "\racquired %u of %llu samples (%3.0f%%)", done, static_cast<unsigned long long>(samples),
                         100.0 * done / static_cast<double>(samples));
        }
        if (left == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (progress) std::fprintf(stderr, "\n");
    return 0;
}

// Samples follow the block's scan: start to end channel, Oversample + 1 samples each, over again.
struct SampleOrder {
    uint32_t first = 0, channels = 1, per_channel = 1;
    uint32_t channel_of(uint64_t i) const { return first + static_cast<uint32_t>((i / per_channel) % channels); }
};

int write_samples(const std::string& out, const std::vector<uint16_t>& data, const SampleOrder& order,
                  const Block& block, uint32_t shift)
{
    std::FILE* f = std::fopen(out.c_str(), "w");
    if (f == nullptr) return report_error(ERROR_FILE_NOT_FOUND, "opening " + out);
    std::fprintf(f, "sample,channel,count,volts\n");
    for (uint64_t i = 0; i < data.size(); ++i) {
        const uint32_t c = order.channel_of(i);
        std::fprintf(f, "%llu,%u,%u,%.6f\n", static_cast<unsigned long long>(i), c, data[i],
                     KORVAL_ADC_CountsToVolts(data[i], block.range_code(c, shift)));
    }
    if (std::fclose(f) != 0) return report_error(ERROR_GEN_FAILURE, "writing " + out);
    return 0;
}

// Per channel: minimum, mean and maximum in volts.
void print_sample_stats(const Options& options, const std::vector<uint16_t>& data, const SampleOrder& order,
                        const Block& block, uint32_t shift, const std::string& out)
{
    struct Stats {
        uint64_t n = 0;
        double sum = 0, min = 1e300, max = -1e300;
    };
    std::vector<Stats> stats(order.channels);
    for (uint64_t i = 0; i < data.size(); ++i) {
        const uint32_t c = order.channel_of(i);
        const double v = KORVAL_ADC_CountsToVolts(data[i], block.range_code(c, shift));
        Stats& s = stats[c - order.first];
        ++s.n;
        s.sum += v;
        s.min = std::min(s.min, v);
        s.max = std::max(s.max, v);
    }
    if (options.json) {
        Json list = Json::array();
        for (uint32_t k = 0; k < order.channels; ++k) {
            if (stats[k].n == 0) continue;
            list.push_back({{"channel", order.first + k},
                            {"samples", stats[k].n},
                            {"min", rounded(stats[k].min, 6)},
                            {"mean", rounded(stats[k].sum / static_cast<double>(stats[k].n), 6)},
                            {"max", rounded(stats[k].max, 6)}});
        }
        print_json({{"samples", data.size()}, {"file", out.empty() ? Json(nullptr) : Json(out)}, {"channels", list}});
        return;
    }
    std::printf("%llu samples%s%s\n", static_cast<unsigned long long>(data.size()), out.empty() ? "" : " written to ",
                out.c_str());
    std::printf("ch   samples     min (V)    mean (V)     max (V)\n");
    for (uint32_t k = 0; k < order.channels; ++k)
        if (stats[k].n > 0)
            std::printf("%-4u %7llu  %+10.6f  %+10.6f  %+10.6f\n", order.first + k,
                        static_cast<unsigned long long>(stats[k].n), stats[k].min,
                        stats[k].sum / static_cast<double>(stats[k].n), stats[k].max);
}

}  // namespace

int adc_acquire(const Options& options, uint32_t index, uint64_t samples, const std::string& out)
{
    if (samples == 0) return usage_error("adc acquire needs --samples N");
    if (samples > 0x3FFFFFFF) return usage_error("--samples is 1 to 1073741823");
    uint32_t slot = 0;
    KorvalCapabilities d;
    if (const uint32_t r = open_board(index, slot, d)) return report_error(r, "opening the board");
    if (!d.ADCBulk) return report_error(ERROR_BAD_TOKEN_TYPE, "this board has no bulk analog input");
    Block block;
    if (const int status = read_block(slot, d.ConfigBytes, block)) return status;
    if (const int status = start_by_itself(slot, block)) return status;
    std::vector<uint16_t> data;
    try {
        data.resize(samples);
    } catch (const std::bad_alloc&) {
        return report_error(ERROR_NOT_ENOUGH_MEMORY, "making room for the samples");
    }
    if (const int status = acquire_samples(options, slot, data)) return status;
    SampleOrder order;
    order.first = KORVAL_ADC_ScanStart(block.bytes.data(), d.ConfigBytes);
    order.channels = std::max(order.first, KORVAL_ADC_ScanEnd(block.bytes.data(), d.ConfigBytes)) - order.first + 1;
    order.per_channel = block.bytes[KORVAL_ADC_OVERSAMPLE_BYTE] + 1u;
    if (!out.empty()) {
        if (const int status = write_samples(out, data, order, block, d.RangeShift)) return status;
    }
    print_sample_stats(options, data, order, block, d.RangeShift, out);
    return 0;
}

int adc_cal(const Options& options, uint32_t index, const std::string& file)
{
    if (const uint32_t r = ADC_SetCal(index, file.c_str())) return report_error(r, "loading the calibration " + file);
    if (options.json)
        print_json({{"calibration", file}});
    else
        std::printf("calibration %s loaded\n", file.c_str());
    return 0;
}

}  // namespace korval::tool
