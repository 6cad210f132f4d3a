// The panel's continuous acquisition. The board is programmed for the page's channel span, range and
// rate; the library's buffer thread hands over the samples, which are reduced at once to the lowest and
// highest count of each channel per plot column (a column spans the window's time over the plot's width),
// so that the page draws one vertical stroke per pixel whatever the rate, and only the columns travel.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "korval/sim.h"
#include "panel.h"

namespace korval::tool::panel {

namespace {

constexpr int32_t kRingBuffers = 16;
constexpr uint32_t kMaxBufferBytes = 1u << 20;
constexpr double kBuffersPerSecond = 20;  // so the page sees new samples at least this often at high rates
constexpr double kMaxRate = 10e6;
constexpr uint32_t kMaxColumns = 8192;

// The acquisition each slot's stream delivers to (the callback's context is the slot).
std::atomic<Acquisition*> g_streams[KORVAL_SLOT_COUNT];

void KORVAL_CALLBACK deliver(uint16_t* samples, uint32_t size, uint32_t flags, uint32_t slot)
{
    if (slot >= KORVAL_SLOT_COUNT) return;
    if (Acquisition* a = g_streams[slot].load()) a->on_samples(samples, size / 2, flags);
}

// Volts of a count in a range: count / 65536 scaled to the span (1 V, doubled without bit 1, times five
// without bit 2), bipolar ranges centred on 0 V.
void range_scale(uint8_t gain, double& per_count, double& offset)
{
    const double span = ((gain & 2) ? 1.0 : 2.0) * ((gain & 4) ? 1.0 : 5.0);
    const bool bipolar = gain & 1;
    per_count = (bipolar ? 2 * span : span) / 65536.0;
    offset = bipolar ? -span : 0.0;
}

}  // namespace

std::string range_text(uint8_t gain)
{
    static const char* const kRanges[] = {"0-10 V", "±10 V", "0-5 V", "±5 V", "0-2 V", "±2 V", "0-1 V", "±1 V"};
    return kRanges[gain & 7];
}

Acquisition::Acquisition(uint32_t index) : index_(index) {}

Acquisition::~Acquisition() { stop(); }

std::optional<Json> Acquisition::start(const AcquisitionSettings& s)
{
    stop();
    KorvalCapabilities caps{};
    caps.Size = sizeof caps;
    if (const uint32_t r = KORVAL_GetCapabilities(index_, &caps))
        return error_json("reading the board's capabilities", r);
    if (!caps.ADCBulk) return error_json("this board has no streamed analog input", ERROR_BAD_TOKEN_TYPE);
    if (s.first > s.last || s.last >= caps.ADCMUXChannels)
        return error_json("channels " + std::to_string(s.first) + "-" + std::to_string(s.last) + ": the board has 0-" +
                              std::to_string(caps.ADCMUXChannels - 1),
                          ERROR_INVALID_PARAMETER);
    if (s.gain > 7) return error_json("no such range", ERROR_INVALID_PARAMETER);
    if (!std::isfinite(s.rate) || s.rate <= 0 || s.rate > kMaxRate)
        return error_json("the rate must be above 0 and at most 10 MHz", ERROR_INVALID_PARAMETER);
    if (!std::isfinite(s.window) || s.window <= 0 || s.window > 3600 || s.columns == 0 || s.columns > kMaxColumns)
        return error_json("the plot's window must be up to an hour and up to 8192 columns", ERROR_INVALID_PARAMETER);

    if (const uint32_t r = ADC_SetScanLimits(index_, s.first, s.last)) return error_json("setting the channels", r);
    std::vector<uint8_t> gains(caps.ADCChannels, s.gain);
    if (const uint32_t r = ADC_RangeAll(index_, gains.data(), 0)) return error_json("setting the range", r);
    if (const uint32_t r = ADC_SetOversample(index_, 0)) return error_json("setting one conversion per channel", r);
    if (const uint32_t r = select_counter_start(index_)) return error_json("selecting the counter as the start", r);
    double rate = s.rate;
    if (const uint32_t r = start_scan_clock(index_, rate)) return error_json("starting the scan clock", r);

    const uint32_t channels = s.last - s.first + 1;

    {
        std::lock_guard lock(mutex_);
        settings_ = s;
        rate_ = rate;
        channels_ = channels;
        volts_per_count_.assign(channels, 0);
        volts_offset_.assign(channels, 0);
        for (uint32_t k = 0; k < channels; ++k) range_scale(s.gain, volts_per_count_[k], volts_offset_[k]);
        scans_per_column_ = std::max<uint64_t>(1, static_cast<uint64_t>(std::llround(rate * s.window / s.columns)));
        position_ = scans_ = column_scans_ = 0;
        low_.assign(channels, 0xFFFF);
        high_.assign(channels, 0);
        pending_ = Columns{};
        pending_.restart = true;
        pending_.low.assign(channels, {});
        pending_.high.assign(channels, {});
        grown_ = 0;
        error_.reset();
        ended_ = false;
    }

    // Buffers of about a twentieth of a second, a whole number of scans and a multiple of 512 bytes, so
    // that each block the library announces to the board ends on a scan's end.
    const uint64_t scan_bytes = 2ull * channels;
    const uint64_t unit = std::lcm<uint64_t>(512, scan_bytes);
    const uint64_t wanted = static_cast<uint64_t>(rate * static_cast<double>(scan_bytes) / kBuffersPerSecond);
    const uint64_t buffer =
        std::clamp<uint64_t>(wanted / unit * unit, unit, std::max<uint64_t>(unit, kMaxBufferBytes / unit * unit));

    {
        std::lock_guard lock(mutex_);
        scans_per_buffer_ = buffer / scan_bytes;
    }
    g_streams[index_].store(this);
    if (const uint32_t r =
            ADC_BulkContinuousStart(index_, static_cast<uint32_t>(buffer), kRingBuffers, index_, deliver)) {
        g_streams[index_].store(nullptr);
        stop_scan_clock(index_);
        return error_json("starting the stream", r);
    }
    running_ = true;
    return std::nullopt;
}

void Acquisition::stop()
{
    if (!running_.exchange(false)) return;
    std::optional<Json> error;
    if (const uint32_t r = stop_scan_clock(index_)) error = error_json("stopping the scan clock", r);
    uint32_t status = 0;
    if (const uint32_t r = ADC_BulkContinuousEnd(index_, &status))
        error = error_json("ending the stream", r);
    else if (status != ERROR_SUCCESS && status != ERROR_OPERATION_ABORTED)
        error = error_json("the stream ended", status);
    g_streams[index_].store(nullptr);
    std::lock_guard lock(mutex_);
    if (error) error_ = error;
}

double Acquisition::rate() const
{
    std::lock_guard lock(mutex_);
    return rate_;
}

bool Acquisition::ended() const { return running_.load() && ended_.load(); }

Json Acquisition::status() const
{
    std::lock_guard lock(mutex_);
    Json j = {{"running", running_.load()}};
    if (rate_ > 0) {
        j["rate"] = rate_;
        j["first"] = settings_.first;
        j["last"] = settings_.last;
        j["range"] = range_text(settings_.gain);
        j["gain"] = settings_.gain;
        j["window"] = settings_.window;
        j["scans"] = scans_;
        j["grown"] = grown_;
        j["columnSeconds"] = static_cast<double>(scans_per_column_) / rate_;
        j["scansPerBuffer"] = scans_per_buffer_;
    }
    if (error_) j["error"] = *error_;
    return j;
}

Columns Acquisition::take()
{
    std::lock_guard lock(mutex_);
    Columns taken = std::move(pending_);
    pending_ = Columns{};
    pending_.low.assign(channels_, {});
    pending_.high.assign(channels_, {});
    return taken;
}

void Acquisition::on_samples(const uint16_t* samples, uint32_t count, uint32_t flags)
{
    if (flags & KORVAL_CONT_FINAL) {
        ended_ = true;  // the stream has ended (stopped, or a failed read): stop() collects its status
        return;
    }
    std::lock_guard lock(mutex_);
    if (flags & KORVAL_CONT_GROWN) ++grown_;
    if (flags & KORVAL_CONT_NEW_BLOCK) position_ = 0;  // the board starts each announced block at the span's start
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t k = static_cast<uint32_t>(position_++ % channels_);
        const uint16_t c = samples[i];
        low_[k] = std::min(low_[k], c);
        high_[k] = std::max(high_[k], c);
        if (k + 1 == channels_) {
            ++scans_;
            if (++column_scans_ == scans_per_column_) finish_column();
        }
    }
}

void Acquisition::finish_column()
{
    const double start = static_cast<double>(scans_ - column_scans_) / rate_;
    // The page holds one window of columns; if it has not taken them for longer than that, the older
    // ones would scroll out unseen: keep the newest window and tell the page to start afresh.
    if (pending_.times.size() >= settings_.columns) {
        const size_t drop = pending_.times.size() / 2;
        pending_.times.erase(pending_.times.begin(), pending_.times.begin() + static_cast<std::ptrdiff_t>(drop));
        for (auto* side : {&pending_.low, &pending_.high})
            for (auto& column : *side) column.erase(column.begin(), column.begin() + static_cast<std::ptrdiff_t>(drop));
        pending_.restart = true;
    }
    pending_.times.push_back(start);
    for (uint32_t k = 0; k < channels_; ++k) {
        pending_.low[k].push_back(static_cast<float>(low_[k] * volts_per_count_[k] + volts_offset_[k]));
        pending_.high[k].push_back(static_cast<float>(high_[k] * volts_per_count_[k] + volts_offset_[k]));
        low_[k] = 0xFFFF;
        high_[k] = 0;
    }
    column_scans_ = 0;
}

}  // namespace korval::tool::panel
