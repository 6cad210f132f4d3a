// korval adc acquire --rate and korval adc stream: scans at a chosen rate, through the public API only.
//
//     korval adc [-d N] acquire --rate HZ [--channels A-B] [--range R] --samples N|--seconds S [--out FILE]
//     korval adc [-d N] stream [--rate HZ] [--channels A-B] [--range R] [--samples N|--seconds S]
//                              [--out FILE.csv|FILE.h5] [--plot FILE.png]
//
// The rate is the board's scan clock, on real and simulated boards alike: counters 1 and 2 of 8254
// block 0 programmed by CTR_StartOutputFreq (the frequency it writes back is the rate obtained), and
// the configuration block's trigger byte set to the counter start (start source 01), so that each pulse
// of counter 2 starts one scan of the channel span. --seconds S takes exactly round(S x rate) scans.
//
// --out writes volts: FILE.csv with a header naming each channel and its unit, then the time in seconds
// and a column per channel; FILE.h5 (HDF5) a dataset "volts" (float32, scans x channels, chunked and
// appendable) with the attributes rate, channels, ranges, start_time, product_id, serial_number and
// korval_version. A stream's status line shows scans, the rate obtained, MB/s, the ring's size and its
// growth; Ctrl-C ends it cleanly, with the file complete, the plot drawn and the summary printed.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "adc_measure.h"
#include "command.h"
#include "device_option.h"
#include "json_out.h"
#include "korval/korval.h"
#include "korval/sim.h"

#ifdef KORVAL_TOOL_HDF5
#include <hdf5.h>
#endif
#ifdef KORVAL_TOOL_PLPLOT
#include <plplot.h>
#endif

#ifndef KORVAL_TOOL_VERSION
#define KORVAL_TOOL_VERSION "unknown"
#endif

namespace korval::tool {

namespace {

constexpr uint8_t kCounterStart = 0x01;  // trigger byte start source: each pulse of counter 2 starts a scan
constexpr size_t kTriggerByte = 17, kScanByte = 18, kOversampleByte = 19, kScanHighByte = 20, kCalModeByte = 16;
constexpr uint32_t kRangeSlots = 16;
constexpr uint32_t kMaxPlotPoints = 20000;  // per channel: more are thinned for the picture

// ---- parse ------------------------------------------------------------------------------------------------

struct Request {
    bool stream = false;
    double rate = 100000;
    std::string channels;  // empty: the block's span
    std::string range = "±10 V";
    uint64_t samples = 0;
    double seconds = 0;
    std::string out, plot;
};

int parse(const Args& args, bool stream, Request& r)
{
    r.stream = stream;
    const std::string usage = stream ? "adc stream [--rate HZ] [--channels A-B] [--range R] [--samples N|--seconds S] "
                                       "[--out FILE.csv|FILE.h5] [--plot FILE.png]"
                                     : "adc acquire --rate HZ [--channels A-B] [--range R] --samples N|--seconds S "
                                       "[--out FILE.csv|FILE.h5]";
    for (size_t i = 0; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) return usage_error(usage);
        const std::string& name = args[i];
        const std::string& value = args[i + 1];
        if (name == "--rate") {
            if (!parse_real(value, r.rate) || !(r.rate > 0) || !std::isfinite(r.rate))
                return usage_error("bad rate '" + value + "': scans per second above 0");
        } else if (name == "--seconds") {
            if (!parse_real(value, r.seconds) || !(r.seconds > 0) || r.seconds > 1e7)
                return usage_error("bad time '" + value + "': seconds above 0");
        } else if (name == "--samples") {
            if (!parse_bounded(value, 0xFFFFFFFFFFull, r.samples) || r.samples == 0)
                return usage_error("bad --samples '" + value + "': scans, 1 or more");
        } else if (name == "--channels") {
            r.channels = value;
        } else if (name == "--range") {
            r.range = value;
        } else if (name == "--out") {
            r.out = value;
        } else if (name == "--plot" && stream) {
            r.plot = value;
        } else {
            return usage_error(usage);
        }
    }
    if (r.samples != 0 && r.seconds != 0) return usage_error("give --samples or --seconds, not both");
    if (r.samples == 0 && r.seconds == 0) {
        if (!stream) return usage_error("adc acquire --rate needs --samples N or --seconds S");
        r.seconds = 2;
    }
    if (r.seconds != 0) {
        const double scans = std::nearbyint(r.seconds * r.rate);
        if (scans < 1) return usage_error("--seconds at that rate is less than one scan");
        r.samples = static_cast<uint64_t>(scans);
    }
#ifndef KORVAL_TOOL_PLPLOT
    if (!r.plot.empty()) return usage_error("this korval was built without plotting (PLplot)");
#endif
    return 0;
}

// ---- configure --------------------------------------------------------------------------------------------

struct Setup {
    uint32_t index = 0;
    KorvalCapabilities caps{};
    uint32_t first = 0, last = 0, channels = 1;
    uint8_t gain = 1;
    double rate = 0;  // obtained
    std::string board;
    std::string range;
    double scale = 0, offset = 0;  // volts = count * scale + offset
};

double gain_span(uint8_t gain) { return ((gain & 2) ? 1.0 : 2.0) * ((gain & 4) ? 1.0 : 5.0); }

std::string span_text(uint32_t first, uint32_t last)
{
    return first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
}

// Checks the request against the board, writes the channels, range, oversample 0 and the counter start
// into its block, and starts the scan clock.
int configure(uint32_t index, const Request& r, Setup& s)
{
    s.index = index;
    s.caps.Size = sizeof s.caps;
    if (const uint32_t e = KORVAL_GetCapabilities(index, &s.caps)) return report_error(e, "opening the board");
    if (!s.caps.ADCBulk || s.caps.ConfigBytes == 0)
        return report_error(ERROR_BAD_TOKEN_TYPE, "this board has no bulk analog input");
    if (s.caps.Counters == 0) return report_error(ERROR_BAD_TOKEN_TYPE, "this board has no counters to pace its scans");
    const double highest = s.caps.RootClock / 4, lowest = s.caps.RootClock / (65535.0 * 65535.0);
    if (r.rate > highest || r.rate < lowest) {
        char text[160];
        std::snprintf(text, sizeof text, "rate %g: the board's counters make %.4g to %g scans per second", r.rate,
                      lowest, highest);
        return usage_error(text);
    }
    const int gain = parse_range(r.range);
    if (gain < 0)
        return usage_error("unknown range '" + r.range + "' (0-10 V, ±10 V, 0-5 V, ±5 V, 0-2 V, ±2 V, 0-1 V, ±1 V)");
    s.gain = static_cast<uint8_t>(gain);

    uint8_t block[KORVAL_ADC_CONFIG_MAX] = {};
    uint32_t size = sizeof block;
    if (const uint32_t e = ADC_GetConfig(index, block, &size)) return report_error(e, "reading the ADC configuration");
    const bool wide = size >= 21;
    if (r.channels.empty()) {
        s.first = (wide ? (block[kScanHighByte] & 0x0Fu) * 16 : 0u) + (block[kScanByte] & 0x0Fu);
        s.last = (wide ? (block[kScanHighByte] & 0xF0u) : 0u) + (block[kScanByte] >> 4);
    } else if (!parse_channel_span(r.channels, 0xFFFF, s.first, s.last) || s.first > s.last) {
        return usage_error("bad channels '" + r.channels + "': a span such as 0-7");
    }
    if (s.last >= s.caps.ADCMUXChannels)
        return usage_error("channels " + span_text(s.first, s.last) + ": the board has channels 0 to " +
                           std::to_string(s.caps.ADCMUXChannels - 1));
    s.channels = s.last - s.first + 1;
    for (uint32_t c = s.first; c <= s.last; ++c) {
        const uint32_t slot = std::min(c >> s.caps.RangeShift, kRangeSlots - 1);
        block[slot] = static_cast<uint8_t>((block[slot] & ~0x07u) | s.gain);
    }
    block[kCalModeByte] = 0;
    block[kTriggerByte] = static_cast<uint8_t>((block[kTriggerByte] & ~0x03u) | kCounterStart);
    block[kScanByte] = static_cast<uint8_t>((s.first & 0x0F) | ((s.last & 0x0F) << 4));
    if (wide) block[kScanHighByte] = static_cast<uint8_t>((s.first >> 4) | (s.last & 0xF0));
    block[kOversampleByte] = 0;
    if (const uint32_t e = ADC_SetConfig(index, block, &size)) return report_error(e, "writing the ADC configuration");

    s.rate = r.rate;
    if (const uint32_t e = CTR_StartOutputFreq(index, 0, &s.rate)) return report_error(e, "starting the scan clock");
    const double span = gain_span(s.gain);
    const bool bipolar = (s.gain & 1) != 0;
    s.scale = (bipolar ? 2 * span : span) / 65536.0;
    s.offset = bipolar ? -span : 0.0;
    s.range = range_words(s.gain);
    char board[64];
    std::snprintf(board, sizeof board, "board 0x%04X", s.caps.ProductID);
    s.board = board;
    return 0;
}

void stop_clock(uint32_t index)
{
    double stop = 0;
    CTR_StartOutputFreq(index, 0, &stop);
}

// Simulated boards get a test signal on every channel: a sine of a few hertz within the range, a
// different amplitude and frequency per channel, so that a plot shows them apart.
void give_sim_signals(KorvalSim* sim, const Setup& s)
{
    const double span = gain_span(s.gain);
    const bool bipolar = (s.gain & 1) != 0;
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

// ---- write ------------------------------------------------------------------------------------------------

class Writer {
public:
    virtual ~Writer() = default;
    // Scans of counts, channels interleaved; the first scan's index since the start.
    virtual bool write(const uint16_t* counts, uint64_t scans, uint64_t first_scan) = 0;
    virtual bool close() = 0;
};

class CsvWriter final : public Writer {
public:
    CsvWriter(std::FILE* f, const Setup& s) : f_(f), s_(s)
    {
        std::fprintf(f_, "time (s)");
        for (uint32_t c = s.first; c <= s.last; ++c) std::fprintf(f_, ",ch%u (V)", c);
        std::fprintf(f_, "\n");
    }
    bool write(const uint16_t* counts, uint64_t scans, uint64_t first_scan) override
    {
        for (uint64_t k = 0; k < scans; ++k) {
            std::fprintf(f_, "%.9g", static_cast<double>(first_scan + k) / s_.rate);
            for (uint32_t c = 0; c < s_.channels; ++c)
                std::fprintf(f_, ",%.6f", counts[k * s_.channels + c] * s_.scale + s_.offset);
            std::fputc('\n', f_);
        }
        return !std::ferror(f_);
    }
    bool close() override { return std::fclose(f_) == 0; }

private:
    std::FILE* f_;
    const Setup& s_;
};

#ifdef KORVAL_TOOL_HDF5
std::string utc_now()
{
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &t);
#else
    gmtime_r(&t, &tm);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

class Hdf5Writer final : public Writer {
public:
    static std::unique_ptr<Hdf5Writer> open(const std::string& path, const Setup& s, const std::string& started)
    {
        const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
        if (file < 0) return nullptr;
        const hsize_t dims[2] = {0, s.channels}, max[2] = {H5S_UNLIMITED, s.channels};
        const hsize_t chunk[2] = {std::max<hsize_t>(1, std::min<hsize_t>(65536, 262144 / s.channels)), s.channels};
        const hid_t space = H5Screate_simple(2, dims, max);
        const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
        H5Pset_chunk(dcpl, 2, chunk);
        const hid_t data = H5Dcreate2(file, "volts", H5T_IEEE_F32LE, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
        H5Pclose(dcpl);
        H5Sclose(space);
        if (data < 0) {
            H5Fclose(file);
            return nullptr;
        }
        std::unique_ptr<Hdf5Writer> w(new Hdf5Writer(file, data, s));
        for (const hid_t at : {data, file}) w->attributes(at, started);
        return w;
    }
    ~Hdf5Writer() override { close(); }
    bool write(const uint16_t* counts, uint64_t scans, uint64_t) override
    {
        if (scans == 0) return true;
        volts_.resize(scans * s_.channels);
        for (size_t i = 0; i < volts_.size(); ++i) volts_[i] = static_cast<float>(counts[i] * s_.scale + s_.offset);
        const hsize_t size[2] = {rows_ + scans, s_.channels}, start[2] = {rows_, 0}, count[2] = {scans, s_.channels};
        if (H5Dset_extent(data_, size) < 0) return false;
        const hid_t file_space = H5Dget_space(data_);
        const hid_t memory = H5Screate_simple(2, count, nullptr);
        H5Sselect_hyperslab(file_space, H5S_SELECT_SET, start, nullptr, count, nullptr);
        const bool ok = H5Dwrite(data_, H5T_NATIVE_FLOAT, memory, file_space, H5P_DEFAULT, volts_.data()) >= 0;
        H5Sclose(memory);
        H5Sclose(file_space);
        rows_ += scans;
        return ok;
    }
    bool close() override
    {
        if (file_ < 0) return true;
        const bool ok = H5Dclose(data_) >= 0 && H5Fclose(file_) >= 0;
        file_ = -1;
        return ok;
    }

private:
    Hdf5Writer(hid_t file, hid_t data, const Setup& s) : file_(file), data_(data), s_(s) {}

    static void attribute(hid_t at, const char* name, hid_t file_type, hid_t memory_type, const void* value,
                          hsize_t n = 0)
    {
        const hid_t space = n == 0 ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, &n, nullptr);
        const hid_t a = H5Acreate2(at, name, file_type, space, H5P_DEFAULT, H5P_DEFAULT);
        H5Awrite(a, memory_type, value);
        H5Aclose(a);
        H5Sclose(space);
    }
    void attributes(hid_t at, const std::string& started)
    {
        const hid_t text = H5Tcopy(H5T_C_S1);
        H5Tset_size(text, H5T_VARIABLE);
        H5Tset_cset(text, H5T_CSET_UTF8);
        attribute(at, "rate", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, &s_.rate);
        std::vector<int32_t> channels;
        std::vector<const char*> ranges;
        for (uint32_t c = s_.first; c <= s_.last; ++c) channels.push_back(static_cast<int32_t>(c));
        ranges.assign(s_.channels, s_.range.c_str());
        attribute(at, "channels", H5T_STD_I32LE, H5T_NATIVE_INT32, channels.data(), channels.size());
        attribute(at, "ranges", text, text, ranges.data(), ranges.size());
        const char* start = started.c_str();
        attribute(at, "start_time", text, text, &start);
        const uint32_t product = s_.caps.ProductID;
        attribute(at, "product_id", H5T_STD_U32LE, H5T_NATIVE_UINT32, &product);
        uint64_t serial = 0;
        GetDeviceSerialNumber(s_.index, &serial);
        attribute(at, "serial_number", H5T_STD_U64LE, H5T_NATIVE_UINT64, &serial);
        const char* version = KORVAL_TOOL_VERSION;
        attribute(at, "korval_version", text, text, &version);
        H5Tclose(text);
    }

    hid_t file_;
    hid_t data_;
    const Setup& s_;
    hsize_t rows_ = 0;
    std::vector<float> volts_;
};
#endif

bool ends_with(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

int open_writer(const std::string& path, const Setup& s, std::unique_ptr<Writer>& writer)
{
    if (path.empty()) return 0;
    if (ends_with(path, ".h5") || ends_with(path, ".hdf5")) {
#ifdef KORVAL_TOOL_HDF5
        writer = Hdf5Writer::open(path, s, utc_now());
        if (!writer) return usage_error("cannot write '" + path + "'");
        return 0;
#else
        return usage_error("this korval was built without HDF5 (libhdf5-dev): write .csv instead");
#endif
    }
    if (!ends_with(path, ".csv")) return usage_error("--out writes FILE.csv or FILE.h5");
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return usage_error("cannot write '" + path + "'");
    writer = std::make_unique<CsvWriter>(f, s);
    return 0;
}

// ---- run --------------------------------------------------------------------------------------------------

// Per channel: minimum, mean and maximum in volts, and the thinned points a plot draws.
struct Summary {
    struct Channel {
        uint64_t n = 0;
        double sum = 0, min = 1e300, max = -1e300;
        std::vector<double> times, volts;
    };
    std::vector<Channel> channels;
    uint64_t keep_every = 1;
    bool capture = false;

    void add(const Setup& s, const uint16_t* counts, uint64_t scans, uint64_t first_scan)
    {
        for (uint64_t k = 0; k < scans; ++k) {
            const bool keep = capture && (first_scan + k) % keep_every == 0;
            for (uint32_t c = 0; c < s.channels; ++c) {
                const double v = counts[k * s.channels + c] * s.scale + s.offset;
                Channel& ch = channels[c];
                ++ch.n;
                ch.sum += v;
                ch.min = std::min(ch.min, v);
                ch.max = std::max(ch.max, v);
                if (keep) {
                    ch.times.push_back(static_cast<double>(first_scan + k) / s.rate);
                    ch.volts.push_back(v);
                }
            }
        }
    }
};

// What the stream's callback and the main thread share.
struct Stream {
    const Setup* setup = nullptr;
    Writer* writer = nullptr;
    Summary* summary = nullptr;
    uint64_t wanted = 0;          // scans to take
    std::vector<uint16_t> carry;  // samples of a scan split between buffers
    std::mutex mutex;             // guards the writer and the summary against the main thread's end
    std::atomic<uint64_t> scans{0};
    std::atomic<uint64_t> grown{0};
    std::atomic<bool> ended{false};
    std::atomic<bool> write_failed{false};
};
Stream* g_stream = nullptr;
std::atomic<bool> g_interrupted{false};

extern "C" void on_interrupt(int) { g_interrupted = true; }

void take_scans(Stream& s, const uint16_t* samples, uint64_t count)
{
    const Setup& setup = *s.setup;
    const uint64_t have = s.scans.load(std::memory_order_relaxed);
    const uint64_t scans = std::min<uint64_t>(count / setup.channels, s.wanted - have);
    if (scans == 0) return;
    if (s.writer != nullptr && !s.writer->write(samples, scans, have)) s.write_failed = true;
    s.summary->add(setup, samples, scans, have);
    s.scans.store(have + scans, std::memory_order_release);
}

void on_buffer(uint16_t* buf, uint32_t size, uint32_t flags, uint32_t)
{
    Stream& s = *g_stream;
    if (flags & KORVAL_CONT_FINAL) {
        s.ended = true;
        return;
    }
    if (flags & KORVAL_CONT_GROWN) s.grown.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(s.mutex);
    const uint32_t n = s.setup->channels;
    uint64_t at = 0, count = size / 2;
    if (!s.carry.empty()) {  // complete the scan the last buffer began
        while (s.carry.size() < n && at < count) s.carry.push_back(buf[at++]);
        if (s.carry.size() < n) return;
        take_scans(s, s.carry.data(), n);
        s.carry.clear();
    }
    const uint64_t whole = (count - at) / n * n;
    take_scans(s, buf + at, whole);
    s.carry.assign(buf + at + whole, buf + count);
}

int run_acquire(const Options& options, const Setup& s, uint64_t scans, Writer* writer, Summary& summary)
{
    const uint64_t total = scans * s.channels;
    if (total * 2 > 0xFFFFFFFFull) return usage_error("too many scans for one acquisition: use adc stream");
    std::vector<uint16_t> data;
    try {
        data.resize(total);
    } catch (const std::bad_alloc&) {
        return report_error(ERROR_NOT_ENOUGH_MEMORY, "making room for the scans");
    }
    const uint32_t bytes = static_cast<uint32_t>(total * 2);
    if (const uint32_t e = ADC_BulkAcquire(s.index, bytes, data.data()))
        return report_error(e, "starting the acquisition");
    int32_t left = static_cast<int32_t>(bytes);
    const bool progress = !options.json && isatty(STDERR_FILENO);
    for (uint32_t round = 0;; ++round) {
        if (const uint32_t e = ADC_BulkPoll(s.index, &left)) return report_error(e, "acquiring");
        if (progress && (round % 10 == 0 || left == 0))
            std::fprintf(stderr, "\racquired %llu of %llu scans",
                         static_cast<unsigned long long>((bytes - left) / 2 / s.channels),
                         static_cast<unsigned long long>(scans));
        if (left == 0) break;
        if (g_interrupted) {
            ADC_BulkAbort(s.index);
            std::fprintf(stderr, "\n");
            return report_error(ERROR_OPERATION_ABORTED, "acquiring");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (progress) std::fprintf(stderr, "\n");
    if (writer != nullptr && !writer->write(data.data(), scans, 0)) return usage_error("writing the file failed");
    summary.add(s, data.data(), scans, 0);
    return 0;
}

int run_stream(const Options& options, const Setup& s, uint64_t scans, Writer* writer, Summary& summary, int32_t& ring,
               uint64_t& grown)
{
    Stream st;
    st.setup = &s;
    st.writer = writer;
    st.summary = &summary;
    st.wanted = scans;
    g_stream = &st;
    // About 20 buffers a second, in units of whole 512-byte packets and whole scans: the board starts each
    // announced count (all the ring's buffers) at the first channel of a scan.
    const uint64_t unit = std::lcm<uint64_t>(512, 2ull * s.channels);
    const uint64_t wanted = static_cast<uint64_t>(s.rate * s.channels * 2 / 20);
    const uint32_t buf_size = static_cast<uint32_t>(std::clamp<uint64_t>(
        (wanted + unit - 1) / unit * unit, unit, std::max<uint64_t>(unit, (4u << 20) / unit * unit)));
    const int32_t buf_count = 16;
    if (const uint32_t e = ADC_BulkContinuousStart(s.index, buf_size, buf_count, 0, on_buffer))
        return report_error(e, "starting the stream");

    using Clock = std::chrono::steady_clock;
    const auto t0 = Clock::now();
    ring = buf_count;
    auto status = [&](bool last_line) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        const uint64_t n = st.scans.load();
        int32_t blanks = 0, accessing = 0, filled = 0;
        if (ADC_BulkContinuousDebug(s.index, &blanks, &accessing, &filled) == 0) ring = blanks + accessing + filled;
        if (options.json) return;
        std::fprintf(stderr, "\r%12llu scans  %.6g scans/s  %8.3f MB/s  ring %d buffers (%llu grown)   %s",
                     static_cast<unsigned long long>(n), s.rate,
                     elapsed > 0 ? 2.0 * n * s.channels / elapsed / 1e6 : 0.0, ring,
                     static_cast<unsigned long long>(st.grown.load()), last_line ? "\n" : "");
        std::fflush(stderr);
    };
    while (st.scans.load() < scans && !st.ended && !g_interrupted) {
        status(false);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    status(true);
    uint32_t io_status = 0;
    const uint32_t end = ADC_BulkContinuousEnd(s.index, &io_status);
    grown = st.grown.load();
    g_stream = nullptr;
    if (end != 0) return report_error(end, "ending the stream");
    if (io_status != 0 && io_status != ERROR_OPERATION_ABORTED)
        return report_error(io_status, "the stream ended early");
    if (st.write_failed) return usage_error("writing the file failed");
    if (st.scans.load() < scans && !g_interrupted) return report_error(ERROR_HANDLE_EOF, "the stream ended early");
    return 0;
}

#ifdef KORVAL_TOOL_PLPLOT
// Up to 16 colours that can be told apart on white (a qualitative palette), in PLplot's map 0.
void set_palette()
{
    static const uint8_t kRgb[16][3] = {{31, 119, 180},  {255, 127, 14}, {44, 160, 44},   {214, 39, 40},
                                        {148, 103, 189}, {140, 86, 75},  {227, 119, 194}, {127, 127, 127},
                                        {188, 189, 34},  {23, 190, 207}, {0, 0, 128},     {128, 0, 0},
                                        {0, 128, 128},   {128, 128, 0},  {255, 0, 255},   {0, 0, 0}};
    plscmap0n(18);
    plscol0(0, 255, 255, 255);  // background
    plscol0(1, 0, 0, 0);        // axes and text
    for (int i = 0; i < 16; ++i) plscol0(i + 2, kRgb[i][0], kRgb[i][1], kRgb[i][2]);
}

void plot(const Setup& s, const Summary& summary, const std::string& file)
{
    double end = 1e-3, low = 0, high = 0;
    for (const Summary::Channel& ch : summary.channels)
        if (!ch.times.empty()) end = std::max(end, ch.times.back());
    const double span = gain_span(s.gain);
    low = (s.gain & 1) ? -span : 0.0;
    high = span;
    plsdev("pngcairo");
    plsfnam(file.c_str());
    set_palette();
    plspage(0, 0, 1400, 760, 0, 0);
    plinit();
    pladv(0);
    plvpor(0.09, 0.84, 0.13, 0.90);  // room on the right for the legend
    plwind(0, end, low, high);
    plcol0(1);
    plbox("bcgnst", 0, 0, "bcgnstv", 0, 0);  // axes with a grid
    char title[200];
    std::snprintf(title, sizeof title, "%s: %.6g scans/s, channels %s, %s", s.board.c_str(), s.rate,
                  span_text(s.first, s.last).c_str(), s.range.c_str());
    pllab("time (s)", "volts", title);
    const uint32_t drawn = std::min<uint32_t>(s.channels, 16);
    std::vector<PLINT> opts(drawn, PL_LEGEND_LINE), colours(drawn), styles(drawn, 1), none(drawn, 0);
    std::vector<PLFLT> widths(drawn, 1.0), zero(drawn, 0.0);
    std::vector<std::string> labels(drawn);
    std::vector<const char*> texts(drawn), empty(drawn, "");
    for (uint32_t k = 0; k < drawn; ++k) {
        const Summary::Channel& ch = summary.channels[k];
        colours[k] = static_cast<PLINT>(k + 2);
        plcol0(colours[k]);
        if (!ch.times.empty()) plline(static_cast<PLINT>(ch.times.size()), ch.times.data(), ch.volts.data());
        labels[k] = "ch " + std::to_string(s.first + k);
        texts[k] = labels[k].c_str();
    }
    PLFLT width = 0, height = 0;
    std::vector<PLINT> text_colours(drawn, 1);
    // Outside the plot on its right, centred: nothing of it falls off the page.
    pllegend(&width, &height, PL_LEGEND_BACKGROUND | PL_LEGEND_BOUNDING_BOX, PL_POSITION_RIGHT | PL_POSITION_OUTSIDE,
             0.02, 0.0, 0.06, 0, 1, 1, 0, 0, static_cast<PLINT>(drawn), opts.data(), 0.8, 0.8, 1.8, 1.0,
             text_colours.data(), texts.data(), none.data(), none.data(), zero.data(), zero.data(), colours.data(),
             styles.data(), widths.data(), none.data(), zero.data(), none.data(), empty.data());
    plend();
}
#endif

void print_summary(const Options& options, const Setup& s, uint64_t scans, const Request& r, const Summary& summary,
                   int32_t ring, uint64_t grown)
{
    if (options.json) {
        Json list = Json::array();
        for (uint32_t k = 0; k < s.channels; ++k) {
            const Summary::Channel& ch = summary.channels[k];
            if (ch.n == 0) continue;
            list.push_back({{"channel", s.first + k},
                            {"min", rounded(ch.min, 6)},
                            {"mean", rounded(ch.sum / static_cast<double>(ch.n), 6)},
                            {"max", rounded(ch.max, 6)}});
        }
        Json out = {{"scans", scans},
                    {"rate", s.rate},
                    {"range", s.range},
                    {"file", r.out.empty() ? Json(nullptr) : Json(r.out)},
                    {"channels", list}};
        if (r.stream) {
            out["ring_buffers"] = ring;
            out["grown"] = grown;
        }
        print_json(out);
        return;
    }
    std::printf("%llu scans of channels %s at %.6g scans/s, %s%s%s\n", static_cast<unsigned long long>(scans),
                span_text(s.first, s.last).c_str(), s.rate, s.range.c_str(), r.out.empty() ? "" : ", written to ",
                r.out.c_str());
    std::printf("ch   min (V)     mean (V)    max (V)\n");
    for (uint32_t k = 0; k < s.channels; ++k) {
        const Summary::Channel& ch = summary.channels[k];
        if (ch.n > 0)
            std::printf("%-4u %+10.6f  %+10.6f  %+10.6f\n", s.first + k, ch.min, ch.sum / static_cast<double>(ch.n),
                        ch.max);
    }
}

}  // namespace

int adc_measure_at_rate(const Options& options, uint32_t index, const Args& args, bool stream)
{
    Request r;
    if (const int status = parse(args, stream, r)) return status;
    Setup s;
    if (const int status = configure(index, r, s)) return status;
    if (options.sim != nullptr) give_sim_signals(options.sim, s);
    std::unique_ptr<Writer> writer;
    if (const int status = open_writer(r.out, s, writer)) {
        stop_clock(index);
        return status;
    }
    Summary summary;
    summary.channels.resize(s.channels);
    summary.capture = !r.plot.empty();
    summary.keep_every = std::max<uint64_t>(1, (r.samples + kMaxPlotPoints - 1) / kMaxPlotPoints);

    g_interrupted = false;
    auto previous = std::signal(SIGINT, on_interrupt);
    int32_t ring = 0;
    uint64_t grown = 0;
    const int status = stream ? run_stream(options, s, r.samples, writer.get(), summary, ring, grown)
                              : run_acquire(options, s, r.samples, writer.get(), summary);
    std::signal(SIGINT, previous);
    stop_clock(index);
    if (writer && !writer->close() && status == 0) return usage_error("writing '" + r.out + "' failed");
    if (status != 0) return status;
    const uint64_t taken = summary.channels.empty() ? 0 : summary.channels[0].n;
    if (g_interrupted && !options.json)
        std::fprintf(stderr, "interrupted: ended after %llu scans\n", static_cast<unsigned long long>(taken));
#ifdef KORVAL_TOOL_PLPLOT
    if (!r.plot.empty()) {
        plot(s, summary, r.plot);
        if (!options.json) std::printf("plot written to %s\n", r.plot.c_str());
    }
#endif
    print_summary(options, s, taken, r, summary, ring, grown);
    return 0;
}

}  // namespace korval::tool
