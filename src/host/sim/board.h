// A simulated board: its product, its firmware features, and the one place where every transfer passes
// (fault injection, logging, unplug, waiting and cancellation), whatever feature answers it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <typeinfo>
#include <vector>

#include "host/sim/firmware.h"
#include "korval/sim.h"

namespace korval::sim {

class Clock;

// What the host hears back from a transfer.
struct TransferResult {
    bool ok = false;
    uint32_t error = 0;     // when !ok
    uint32_t moved = 0;     // data bytes moved
    uint32_t reported = 0;  // byte count the driver call reports
};

// Which driver interface a transfer came through, with what the log keeps of it.
struct Via {
    uint32_t kind = KORVAL_SIM_VIA_WINUSB;
    uint32_t control_code = 0;
    const uint8_t* header = nullptr;  // the 38-byte driver request header (DeviceIoControl path)
    KorvalHandle handle = 0;          // the handle the transfer was issued on (for cancellation)
    KorvalHandle file = 0;            // the file handle under it
    uint32_t report_offset = 0;       // added to the data bytes in the reported count (header bytes)
    uint64_t generation = 0;          // the plug generation the handle was opened in
};

class Board {
public:
    Board(const Clock& clock, uint32_t id, const Product& product, uint32_t path, std::string interface_path);
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;
    // Ends the transfers still waiting at the board (as an unplug would: 1167) and returns once none is.
    ~Board();

    uint32_t id() const { return id_; }
    const Product& product() const { return product_; }
    bool on_ioctl_path() const { return path_ == KORVAL_SIM_IOCTL; }
    const std::string& interface_path() const { return interface_path_; }
    uint64_t now_ns() const;  // simulated time

    // ---- Registration, by features while they are created ----
    // A handler for (direction, request); with `index`, only for requests with that wIndex (an exact
    // wIndex match is tried before the catch-all of the same request).
    void on_control(Direction direction, uint8_t request, ControlHandler handler,
                    std::optional<uint16_t> index = std::nullopt);
    void on_bulk_in(uint8_t endpoint, BulkInHandler handler);
    void on_bulk_out(uint8_t endpoint, BulkOutHandler handler);

    // ---- Feature state, for the simulation's C API (under lock()) ----
    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mutex_); }
    template <class F>
    F* feature()
    {
        for (auto& f : features_)
            if (auto* p = dynamic_cast<F*>(f.get())) return p;
        return nullptr;
    }
    // Wakes transfers waiting for the board (after a state change made outside a handler).
    void notify() { changed_.notify_all(); }

    // ---- Plugging ----
    bool plugged() const;
    uint64_t generation() const;  // advances on every replug, so handles opened before stay dead
    // Each true when it changed the board's state (false: it was unplugged, or plugged, already).
    bool unplug();
    bool replug();
    // Unplugs the board just before its n-th transfer from now (0: never).
    void unplug_before_transfer(uint32_t n);
    // Why this program may not open the board (0: it may): such a board is not enumerated, its
    // opens fail with this error and the host lists it as unusable. Open handles are not affected.
    uint32_t unusable() const { return unusable_.load(std::memory_order_relaxed); }
    void set_unusable(uint32_t error) { unusable_.store(error, std::memory_order_relaxed); }

    // ---- Transfers, from the host ----
    TransferResult control(const Via& via, uint32_t kind, const uint8_t setup[8], uint8_t* data, uint32_t length);
    TransferResult bulk(const Via& via, uint8_t endpoint, uint8_t* data, uint32_t length);
    TransferResult query_pipes(const Via& via, uint8_t alternate, int pipe_index, uint8_t& count, Endpoint& endpoint);
    // Ends with 995 the transfers waiting on `handle` or on its file handle (and only those on `pipe`,
    // unless it is kAnyPipe).
    static constexpr int kAnyPipe = -1;
    void cancel(KorvalHandle handle, int pipe);
    // A handle closed: its waiting transfers end with 995, and so does one that reaches the board on it
    // afterwards (a transfer on another thread may have looked the handle up just before the close).
    void close(KorvalHandle handle);

    // ---- Log and faults ----
    uint32_t log_count();
    bool log_entry(uint32_t index, KorvalSimTransfer& entry, void* data, uint32_t capacity);
    void clear_log();
    void set_log_limits(uint32_t max_entries, uint32_t max_bulk_bytes);
    void add_fault(const KorvalSimFault& fault);
    void clear_faults();

private:
    struct Record {
        KorvalSimTransfer info;
        std::vector<uint8_t> data;
    };
    struct Waiter {
        KorvalHandle handle;
        KorvalHandle file;
        uint8_t pipe;
        bool cancelled;
    };
    // Finds and uses up the first fault rule matching a transfer.
    std::optional<KorvalSimFault> take_fault(uint32_t kind, uint32_t request, uint32_t endpoint);
    void log(Record record);
    const ControlHandler* find_control(Direction direction, uint8_t request, uint16_t index) const;
    bool reachable(const Via& via) const { return plugged_ && via.generation == generation_; }
    // Counts a transfer toward a planned unplug, and unplugs when it is the planned one (under the lock).
    void count_transfer_toward_unplug();

    const Clock& clock_;
    const uint32_t id_;
    const Product product_;
    const uint32_t path_;
    const std::string interface_path_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool plugged_ = true;
    bool ending_ = false;  // the board is being destroyed: no transfer waits any more
    uint64_t generation_ = 1;
    uint32_t unplug_countdown_ = 0;  // transfers until a planned unplug, 0 when none is planned
    std::atomic<uint32_t> unusable_{0};

    std::vector<std::unique_ptr<Feature>> features_;
    std::map<uint32_t, ControlHandler> control_;  // key: direction << 24 | request << 16 | wIndex, or 0xFFFF
    std::map<uint8_t, BulkInHandler> bulk_in_;
    std::map<uint8_t, BulkOutHandler> bulk_out_;
    std::vector<Waiter*> waiters_;
    std::set<KorvalHandle> closed_;  // handle values are never given out twice

    std::deque<Record> log_;
    uint64_t sequence_ = 0;
    uint32_t max_entries_ = 65536;
    uint32_t max_bulk_bytes_ = 4096;
    std::vector<KorvalSimFault> faults_;
};

}  // namespace korval::sim
