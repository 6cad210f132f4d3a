// Scans in volts on their way out of the tool: a CSV or HDF5 file, a PNG plot and per-channel
// statistics. Every command that records scans writes through a Recording, so that each file kind is
// written in one place.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korval::tool {

// What a recording is of; written into the file's header or attributes.
struct RecordingInfo {
    uint32_t first = 0, last = 0;  // the channel span
    double rate = 0;               // scans per second obtained
    std::string range;             // every channel's range in words
    double low = 0, high = 0;      // the range's volts, for the plot's axis
    uint32_t product_id = 0;
    uint64_t serial = 0;
    std::string board;                          // "board 0x8040"
    uint64_t record_scans = 0, pretrigger = 0;  // with a trigger: scans per record, and before the trigger
    bool triggered = false;
    uint32_t channels() const { return last - first + 1; }
};

// Per channel: minimum, mean and maximum in volts.
struct ChannelStats {
    uint64_t n = 0;
    double sum = 0, min = 1e300, max = -1e300;
};

class RecordingFile;

class Recording {
public:
    Recording(const RecordingInfo& info, std::string plot_path, uint64_t expected_scans);
    ~Recording();
    // Opens FILE.csv or FILE.h5 (nothing for an empty path); "" or what is wrong.
    std::string open(const std::string& path);
    // Scans of volts, channels interleaved; `scan` counts scans since the measurement's start, `host_ns`
    // is the host's UTC time in nanoseconds when the scans arrived. False when the file could not be written.
    bool add(const double* volts, uint64_t scans, uint64_t scan, int64_t host_ns, double scan_period);
    // The scan just added at `offset` in the last add() is a record's trigger.
    void mark_trigger(uint64_t offset);
    // Finishes the file with what is known at the end. False when it could not be written.
    bool close(uint32_t ring_growths);
    // The rate obtained, known once the measurement has started.
    void set_rate(double rate) { info_.rate = rate; }
    // Draws the plot, when one was asked for and the tool can plot.
    void draw_plot() const;

    const std::vector<ChannelStats>& stats() const { return stats_; }
    uint64_t rows() const { return rows_; }
    const std::vector<int64_t>& trigger_rows() const { return trigger_rows_; }

private:
    RecordingInfo info_;
    std::string plot_path_;
    std::unique_ptr<RecordingFile> file_;
    std::vector<ChannelStats> stats_;
    uint64_t rows_ = 0, last_add_row_ = 0;
    int64_t first_scan_ns_ = 0;
    std::vector<int64_t> trigger_rows_;
    uint64_t keep_every_ = 1;
    std::vector<std::vector<double>> plot_times_, plot_volts_;  // per channel: the thinned points a plot draws
};

}  // namespace korval::tool
