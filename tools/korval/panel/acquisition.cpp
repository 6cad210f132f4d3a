// The panel's acquisition: one of the library's measurements, which puts the rate on the board's scan
// clock and hands over blocks in volts on a thread of its own. Each block is reduced at once to the
// lowest and highest volts of each channel per plot column (a column spans the window's time over the
// plot's width), so that the page draws one vertical stroke per pixel whatever the rate, and only the
// columns travel. With a trigger, the measurement takes one record per window, each starting a tenth
// of the window before the channel crosses the level: every sweep of a periodic signal starts at the
// same phase, and the page draws it against the time since the trigger.
#include <algorithm>
#include <cmath>

#include "korval/measure.h"
#include "panel.h"

namespace korval::tool::panel {

namespace {

constexpr double kMaxRate = 10e6;
constexpr uint32_t kMaxColumns = 8192;
constexpr double kPretriggerShare = 0.1;  // of a triggered sweep, before its trigger

void KORVAL_CALLBACK deliver(const KorvalMeasureBlock* block, void* context)
{
    static_cast<Acquisition*>(context)->on_block(*block);
}

std::optional<Json> check(const AcquisitionSettings& s, const KorvalCapabilities& caps)
{
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
    if (s.slope > KORVAL_TRIGGER_FALLING)
        return error_json("the trigger's slope is off, rising or falling", ERROR_INVALID_PARAMETER);
    if (s.slope != 0 && (s.trigger_channel < s.first || s.trigger_channel > s.last || !std::isfinite(s.level)))
        return error_json("the trigger channel must be one of the channels shown, its level in volts",
                          ERROR_INVALID_PARAMETER);
    if (s.slope != 0 && s.rate * s.window < 10)
        return error_json("a triggered window must hold 10 scans or more", ERROR_INVALID_PARAMETER);
    return std::nullopt;
}

}  // namespace

std::string range_text(uint8_t gain)
{
    static const char* const kRanges[] = {"0-10 V", "±10 V", "0-5 V", "±5 V", "0-2 V", "±2 V", "0-1 V", "±1 V"};
    return kRanges[gain & 7];
}

Acquisition::Acquisition(uint32_t index) : index_(index) {}

Acquisition::~Acquisition()
{
    stop();
    if (measurement_ != nullptr) KORVAL_MeasureDestroy(measurement_);
}

std::optional<Json> Acquisition::start(const AcquisitionSettings& s)
{
    stop();
    KorvalCapabilities caps{};
    caps.Size = sizeof caps;
    if (const uint32_t r = KORVAL_GetCapabilities(index_, &caps))
        return error_json("reading the board's capabilities", r);
    if (auto wrong = check(s, caps)) return wrong;
    if (measurement_ == nullptr) {
        if (const uint32_t r = KORVAL_MeasureCreate(index_, &measurement_))
            return error_json("making the measurement", r);
    }
    KorvalMeasureSettings settings{};
    settings.Size = sizeof settings;
    settings.FirstChannel = s.first;
    settings.LastChannel = s.last;
    settings.RangeCount = 1;
    settings.Ranges[0] = s.gain;
    settings.Rate = s.rate;
    const uint64_t sweep = std::max<uint64_t>(10, static_cast<uint64_t>(std::llround(s.rate * s.window)));
    if (s.slope != 0) {
        settings.Scans = sweep;
        settings.Trigger.Slope = s.slope;
        settings.Trigger.Channel = s.trigger_channel;
        settings.Trigger.Level = s.level;
        settings.Trigger.PreTriggerScans = static_cast<uint32_t>(static_cast<double>(sweep) * kPretriggerShare);
        settings.Trigger.Records = 0;  // a sweep at every trigger until stopped
    }
    {
        std::lock_guard lock(mutex_);
        settings_ = s;
        channels_ = s.last - s.first + 1;
        pretrigger_ = settings.Trigger.PreTriggerScans;
        scans_ = column_start_ = column_scans_ = 0;
        trigger_scan_ = static_cast<int64_t>(pretrigger_);
        sweeps_ = 0;
        low_.assign(channels_, 1e300);
        high_.assign(channels_, -1e300);
        pending_ = Columns{};
        pending_.restart = true;
        pending_.low.assign(channels_, {});
        pending_.high.assign(channels_, {});
        grown_ = 0;
        result_ = 0;
        error_.reset();
        rate_ = s.rate;  // until the start says the rate obtained
        scans_per_column_ = std::max<uint64_t>(1, static_cast<uint64_t>(std::llround(s.rate * s.window / s.columns)));
        ended_ = false;
    }
    // The lock is not held across the start: the measurement's thread may deliver at once.
    running_ = true;
    if (const uint32_t r = KORVAL_MeasureStart(measurement_, &settings, deliver, this)) {
        running_ = false;
        return error_json("starting the measurement", r);
    }
    std::lock_guard lock(mutex_);
    rate_ = settings.Rate;
    scans_per_block_ = std::max<uint64_t>(1, static_cast<uint64_t>(std::llround(rate_ * 0.05)));
    return std::nullopt;
}

void Acquisition::stop()
{
    if (!running_.exchange(false)) return;
    const uint32_t r = KORVAL_MeasureStop(measurement_);
    std::lock_guard lock(mutex_);
    if (r != 0 && r != ERROR_HANDLE_EOF) error_ = error_json("stopping the measurement", r);
    if (result_ != 0 && result_ != ERROR_OPERATION_ABORTED) error_ = error_json("the measurement ended", result_);
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
        j["scansPerBuffer"] = scans_per_block_;
        if (settings_.slope != 0)
            j["trigger"] = {{"channel", settings_.trigger_channel},
                            {"slope", settings_.slope == KORVAL_TRIGGER_RISING ? "rising" : "falling"},
                            {"level", settings_.level},
                            {"pretrigger", static_cast<double>(pretrigger_) / rate_},
                            {"sweeps", sweeps_}};
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

void Acquisition::on_block(const KorvalMeasureBlock& block)
{
    std::lock_guard lock(mutex_);
    if (block.Flags & KORVAL_BLOCK_GROWN) ++grown_;
    if (block.Flags & KORVAL_BLOCK_LAST) {
        result_ = block.Result;
        ended_ = true;  // a failed read, an unplugged board: live() collects why through stop()
    }
    if (block.ChannelCount != channels_) return;
    if (settings_.slope != 0 && (block.Flags & KORVAL_BLOCK_RECORD_START)) begin_sweep(block.FirstScan);
    for (uint32_t i = 0; i < block.ScanCount; ++i) {
        const double* scan = block.Volts + static_cast<size_t>(i) * channels_;
        if (column_scans_ == 0) column_start_ = block.FirstScan + i;
        for (uint32_t k = 0; k < channels_; ++k) {
            low_[k] = std::min(low_[k], scan[k]);
            high_[k] = std::max(high_[k], scan[k]);
        }
        ++scans_;
        if (++column_scans_ == scans_per_column_) finish_column();
    }
}

// A new record: the page drops the last sweep, and times count from this record's trigger, which the
// record's pre-trigger scans precede.
void Acquisition::begin_sweep(uint64_t first_scan)
{
    ++sweeps_;
    trigger_scan_ = static_cast<int64_t>(first_scan + pretrigger_);
    column_scans_ = 0;
    low_.assign(channels_, 1e300);
    high_.assign(channels_, -1e300);
    pending_.times.clear();
    for (auto* side : {&pending_.low, &pending_.high})
        for (auto& column : *side) column.clear();
    pending_.restart = true;
}

void Acquisition::finish_column()
{
    const double start = settings_.slope != 0
                             ? static_cast<double>(static_cast<int64_t>(column_start_) - trigger_scan_) / rate_
                             : static_cast<double>(column_start_) / rate_;
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
        pending_.low[k].push_back(static_cast<float>(low_[k]));
        pending_.high[k].push_back(static_cast<float>(high_[k]));
        low_[k] = 1e300;
        high_[k] = -1e300;
    }
    column_scans_ = 0;
}

}  // namespace korval::tool::panel
