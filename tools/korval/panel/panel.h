// korval panel: a page in the browser that shows a board's analog inputs live and sets its outputs.
//
// The pieces, each in its own file:
//   cmd_panel.cpp    the command: options, the access token, simulated boards, start and stop
//   server.cpp       the HTTP server: the page, the JSON calls, the event stream, the request guard
//   board.cpp        one board's digital ports, analog outputs and counters, by the library's calls
//   acquisition.cpp  the library's measurement, its volts reduced to min/max per plot column, with an
//                    optional trigger that starts each sweep
//   assets (generated) the page's files, built into the tool
// Everything here uses the library's public API only, as any program would.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../json_out.h"
#include "korval/korval.h"

typedef struct KorvalMeasurement KorvalMeasurement;
typedef struct KorvalMeasureBlock KorvalMeasureBlock;
typedef struct KorvalSim KorvalSim;

namespace korval::tool::panel {

// A failed call in words, for the page: what was being done, the result code and its name.
Json error_json(const std::string& what, uint32_t code);

// A gain code's input range in words: "±10 V", "0-5 V".
std::string range_text(uint8_t gain);

// ---- acquisition.cpp -----------------------------------------------------------------------------------

struct AcquisitionSettings {
    uint32_t first = 0, last = 0;  // the channel span
    uint8_t gain = 1;              // gain code of every channel's range
    double rate = 1000;            // scans per second asked for
    double window = 10;            // seconds shown on the page
    uint32_t columns = 1000;       // plot columns the window spans
    // A trigger: each sweep of the window starts where `trigger_channel` crosses `level` volts, rising
    // (slope 1) or falling (2), with a tenth of the window from before it; slope 0 rolls freely.
    uint32_t slope = 0;
    uint32_t trigger_channel = 0;
    double level = 0;
};

// Columns of min/max volts, per channel, that the acquisition made since the last take.
struct Columns {
    bool restart = false;                       // the page drops what it holds first (new run, or columns were skipped)
    std::vector<double> times;                  // start of each column, seconds since the start (with a
                                                // trigger: since the sweep's trigger)
    std::vector<std::vector<float>> low, high;  // [channel][column] volts
};

class Acquisition {
public:
    explicit Acquisition(uint32_t index);
    ~Acquisition();
    // Programs the board as `settings` say and starts the stream. The error names the step that failed.
    std::optional<Json> start(const AcquisitionSettings& settings);
    // Ends the stream and the scan clock. Errors go into the status.
    void stop();
    bool running() const { return running_.load(); }
    // Scans per second obtained by the last start.
    double rate() const;
    // The stream ended by itself (a failed read, an unplugged board): stop() collects why.
    bool ended() const;
    // The state for the page: running, rate obtained, channels, ranges, the last error.
    Json status() const;
    // Takes the columns completed since the last call.
    Columns take();

    // The library's measurement thread hands each block here.
    void on_block(const KorvalMeasureBlock& block);

private:
    void finish_column();
    void begin_sweep(uint64_t first_scan);

    const uint32_t index_;
    KorvalMeasurement* measurement_ = nullptr;
    std::atomic<bool> running_{false};
    std::atomic<bool> ended_{false};
    mutable std::mutex mutex_;  // everything below
    AcquisitionSettings settings_;
    double rate_ = 0;  // scans per second obtained
    uint32_t channels_ = 1;
    uint64_t scans_per_column_ = 1;
    uint64_t scans_per_block_ = 0;    // the measurement hands over blocks of about this many scans
    uint64_t scans_ = 0;              // scans delivered since the start
    uint64_t column_start_ = 0;       // the scan (since the start) the column being made begins at
    uint64_t column_scans_ = 0;       // scans in the column being made
    int64_t trigger_scan_ = 0;        // the current sweep's trigger scan, since the start
    uint64_t pretrigger_ = 0;         // scans of a sweep before its trigger
    uint32_t sweeps_ = 0;             // sweeps begun
    std::vector<double> low_, high_;  // the column being made, in volts
    Columns pending_;
    uint64_t grown_ = 0;
    uint32_t result_ = 0;  // the code that ended the measurement by itself
    std::optional<Json> error_;
};

// ---- board.cpp -----------------------------------------------------------------------------------------

// One board the panel holds. Every call the panel makes on it goes through `calls`, one at a time: the
// library keeps the digital outputs' levels per board, so concurrent writes from two requests could
// lose each other's changes.
class Board {
public:
    Board(uint32_t slot, KorvalSim* sim, uint32_t sim_board);
    ~Board();

    uint32_t slot() const { return slot_; }
    uint32_t sim_board() const { return sim_board_; }
    // Product, name, serial number and capabilities, in words and numbers.
    const Json& description() const { return description_; }

    // Requests from the page; each answers {"ok": true, ...} or {"ok": false, "error": {...}}.
    Json dio_configure(const std::vector<bool>& outputs);
    Json dio_write_bit(uint32_t bit, bool level);
    Json dac_set(uint32_t channel, uint16_t count);
    Json ctr_frequency(uint32_t block, double hz);
    Json adc_start(const AcquisitionSettings& settings);
    Json adc_stop();

    // What the page shows live: port levels, counter counts, the acquisition's state and new columns.
    Json live(bool with_counters);

    Acquisition& acquisition() { return acquisition_; }

private:
    const uint32_t slot_;
    KorvalSim* const sim_;
    const uint32_t sim_board_;
    KorvalCapabilities caps_{};
    Json description_;
    std::mutex calls_;
    std::vector<uint8_t> levels_;    // output levels the panel set, port 0 first
    std::vector<bool> outputs_;      // per direction bit: an output
    std::vector<uint16_t> dac_;      // counts the panel put out
    std::vector<double> frequency_;  // per counter block: the frequency obtained, 0 when stopped
    Acquisition acquisition_;
};

// ---- server.cpp ----------------------------------------------------------------------------------------

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: a free port
    std::string token;
    bool show_token = true;  // printed in the address (not when it came from a file)
    bool loopback = true;
    KorvalSim* sim = nullptr;  // the panel's simulated boards, or none
    bool add_arriving = true;  // boards plugged in while it runs join the list (not with -d N)
};

// Serves the page for `boards` until `stop` is set. Calls `ready` with the port once it listens.
// False, with a message, when the address cannot be bound.
bool serve(const ServerOptions& options, std::vector<std::unique_ptr<Board>>& boards, std::atomic<bool>& stop,
           void (*ready)(const ServerOptions&, int port), std::string& error);

// ---- assets (generated from web/) ----------------------------------------------------------------------

struct Asset {
    const char* name;
    const char* type;
    const unsigned char* data;
    unsigned long size;
};
const Asset* find_asset(std::string_view name);

}  // namespace korval::tool::panel
