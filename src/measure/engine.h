// The measurement engine: checks a measurement's settings against the board, sets the board up
// through its exported functions, turns the continuous acquisition's buffers into scans (across buffer
// boundaries, with the oversample's mean), finds the software trigger and cuts the scans into blocks,
// which go to a reader (a queue) or to the program's callback.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "korval/korval.h"

namespace korval::measure {

// A block's values and its header. Delivered to a callback, a block holds its volts and counts,
// converted straight from the acquisition's buffers. Queued for a reader, it holds the board's scans as
// they came (`raw`): the read converts them straight into the caller's memory, or into the block's own
// volts and counts when the caller gives none.
struct Block {
    KorvalMeasureBlock head{};
    std::vector<uint8_t> raw;
    std::vector<double> volts;
    std::vector<uint16_t> counts;
    uint32_t filled = 0;  // scans in it so far
};

// How the scans of one run become volts and counts. Made by a start and not changed after, it is
// shared by the buffer thread and the readers (a read converts off the queue's lock, and a new start
// may come meanwhile).
struct Plan;
struct Conversion {
    static std::shared_ptr<Conversion> make(const Plan& plan);

    uint32_t channels = 0;
    uint32_t per_channel = 1;  // oversample + 1
    uint32_t scan_bytes = 0;
    // volts = mean x scale + offset, per channel of the span
    double scale[KORVAL_MEASURE_MAX_CHANNELS] = {};
    double offset[KORVAL_MEASURE_MAX_CHANNELS] = {};
    // The same, repeated scan after scan over a whole number of scans (a few hundred values): the
    // conversion walks a block's values in runs of that length with one table index, which the
    // compiler vectorises whatever the number of channels.
    std::vector<double> run_scale;
    std::vector<double> run_offset;

    void convert(const uint8_t* raw, size_t scans, double* volts, uint16_t* counts) const;
    // The value of one channel of a scan, in volts, as convert() makes it.
    double column_volts(const uint8_t* raw, uint32_t column) const;
};

// What a start was asked for, checked and worked out.
struct Plan {
    uint32_t first = 0;
    uint32_t channels = 0;                            // n: channels per scan
    uint32_t per_channel = 1;                         // conversions per channel: oversample + 1
    uint32_t scan_bytes = 0;                          // bytes the board sends per scan
    uint8_t codes[KORVAL_MEASURE_MAX_CHANNELS] = {};  // range code per channel of the span
    double rate = 0;                                  // asked
    uint64_t scans = 0;                               // in all, or per record with a trigger; 0: until stopped
    uint32_t block_scans = 0;                         // 0: from block_seconds once the rate is known
    double block_seconds = 0.05;
    KorvalTrigger trigger{};
};

class Measurement {
public:
    Measurement(uint32_t slot, const KorvalCapabilities& caps);
    ~Measurement();
    Measurement(const Measurement&) = delete;
    Measurement& operator=(const Measurement&) = delete;

    // 87 (ERROR_INVALID_PARAMETER) for settings the board cannot take, else 0 and the plan.
    uint32_t check(const KorvalMeasureSettings& settings, Plan& plan) const;
    // Starts a checked plan; the rate obtained in `rate`.
    uint32_t start(const Plan& plan, KorvalMeasureCallback callback, void* context, double& rate);
    uint32_t read(KorvalMeasureBlock* block, uint32_t block_size, double* volts, uint16_t* counts, uint32_t capacity,
                  uint32_t timeout_ms);
    void status(KorvalMeasureStatus& s) const;
    uint32_t stop();
    // Whether the calling thread is running this measurement's callback.
    bool in_own_callback() const;

    // The continuous acquisition's callback, on the library's buffer thread.
    void on_buffer(const uint8_t* data, uint32_t size, uint32_t flags);

private:
    enum EndReason : uint32_t { kNotEnding = 0, kDone, kBoardEnded, kStopped };

    void reset_run(const Plan& plan, double rate, KorvalMeasureCallback callback, void* context);
    void take_scans(const uint8_t* raw, size_t scans);
    void add_raw(const uint8_t* raw, size_t scans, uint64_t first_index);
    Block& current(uint64_t first_index);
    void finish_block(bool last, uint32_t result);
    void deliver(std::unique_ptr<Block> block);
    std::unique_ptr<Block> new_block();
    bool trigger_at(double v);
    void record_ended();
    void request_end(EndReason reason);
    void ender_body();
    void join_ender();

    const uint32_t slot_;
    const KorvalCapabilities caps_;

    std::mutex control_;  // one start or stop of this measurement at a time

    // Set by a start, read by the buffer thread.
    Plan plan_{};
    std::shared_ptr<const Conversion> conversion_;  // replaced under queue_mutex_
    double period_ = 0;
    uint32_t block_cap_ = 1;  // scans per block
    uint32_t trigger_column_ = 0;
    KorvalMeasureCallback callback_ = nullptr;  // written under queue_mutex_ before the acquisition starts
    void* context_ = nullptr;

    // The buffer thread's state (and the ender's, once the buffer thread has ended).
    std::vector<uint8_t> carry_;  // the start of a scan that the next buffer completes
    size_t carry_len_ = 0;
    uint64_t acquired_index_ = 0;  // index of the next scan from the board
    std::unique_ptr<Block> block_;
    std::unique_ptr<Block> next_block_;  // memory for the block after it, taken without a lock
    bool pending_grown_ = false;
    bool pending_record_start_ = true;
    bool last_delivered_ = false;
    bool done_ = false;  // the measurement has what it needs; later data is not looked at
    uint64_t left_ = 0;  // scans still to deliver: in all, or in the record
    bool searching_ = false;
    bool armed_ = false;
    uint64_t seen_ = 0;             // scans looked at in this search
    std::vector<uint8_t> history_;  // the last pre-trigger scans as the board sent them
    size_t history_head_ = 0;       // the oldest scan's place, once the history is full
    size_t history_count_ = 0;
    int64_t trigger_scan_ = -1;  // for the block being filled
    uint32_t record_ = 0;

    // Blocks for the reader, the spare blocks, and the end.
    mutable std::mutex queue_mutex_;
    std::condition_variable queue_cv_;
    std::deque<std::unique_ptr<Block>> ready_;
    std::atomic<size_t> queued_{0};  // ready_.size(), written under the lock, read by the buffer thread without
    std::vector<std::unique_ptr<Block>> spare_;
    std::unique_ptr<Block> reading_;  // the block the last read returned without caller buffers
    std::unique_ptr<Block> stale_;    // the same, of a run that was stopped and started again meanwhile
    bool last_read_ = true;
    uint32_t converting_ = 0;  // reads converting a block they took off the queue
    bool ended_ = true;        // the ender has delivered all it will
    bool stopping_ = false;
    bool started_acquisition_ = false;  // the ender ends a continuous acquisition this one started
    EndReason end_reason_ = kNotEnding;
    std::condition_variable end_cv_;
    std::thread ender_;
    bool started_ = false;  // started and not stopped since
    uint64_t run_ = 0;      // starts so far (under queue_mutex_): a read knows its block's run by it

    std::atomic<uint32_t> state_{KORVAL_MEASURE_IDLE};
    std::atomic<uint32_t> result_{0};
    std::atomic<uint64_t> delivered_{0};
    std::atomic<uint64_t> acquired_{0};
    std::atomic<uint32_t> growths_{0};
    std::atomic<uint32_t> records_{0};
    std::atomic<double> rate_{0.0};
};

}  // namespace korval::measure
