// A simulation: a set of simulated boards behind one host (korval/host.h). It keeps the boards, the
// open handles and the simulated clock, and turns each host call into a transfer on a board.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "host/sim/board.h"
#include "host/sim/clock.h"
#include "korval/host.h"
#include "korval/sim.h"

namespace korval::sim {

class Simulation {
public:
    Simulation();
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;
    // Ends the transfers still waiting at its boards (1167, as an unplug) before anything they used goes.
    ~Simulation();

    const KorvalHost* host() const { return &host_; }
    void set_winusb(bool available) { host_.has_winusb = available ? 1 : 0; }
    Clock& clock() { return clock_; }

    uint32_t add_board(uint32_t pid, uint32_t path);  // 0 on a bad argument
    Board* find(uint32_t id);                         // nullptr when there is no such board
    void notify_all_boards();
    // Tells the library's board watch, if one runs, that `board` arrived or left (KORVAL_BOARD_*).
    void tell_watch(const Board& board, uint32_t kind);

private:
    struct OpenHandle {
        Board* board;
        uint64_t generation;
        bool exclusive;
        bool is_interface;
        KorvalHandle file;  // for an interface handle, the file it was made from
    };

    // The open handle `handle` names, of the kind wanted; false with *error set when there is none.
    bool lookup(KorvalHandle handle, bool want_interface, OpenHandle& found, uint32_t* error);
    // Closes the open handle `handle` of the kind named and ends the transfers still pending on it, as
    // the system does on the last close; fails with ERROR_INVALID_HANDLE when there is none.
    int remove(KorvalHandle handle, bool is_interface, uint32_t* error);
    Via via_for(KorvalHandle handle, const OpenHandle& open, uint32_t kind) const;

    static void list_interfaces(void* context, const KorvalGuid* interface_class,
                                void (*emit)(void*, const char*), void* emit_context);
    static int open_file(void* context, const char* path, int exclusive, KorvalHandle* file, uint32_t* error);
    static int close_handle(void* context, KorvalHandle handle, uint32_t* error);
    static int device_io_control(void* context, KorvalHandle file, uint32_t code, const void* in, uint32_t in_size,
                                 void* out, uint32_t out_size, uint32_t* bytes_returned, uint32_t* error);
    static int winusb_initialize(void* context, KorvalHandle file, KorvalHandle* interface_handle, uint32_t* error);
    static int winusb_free(void* context, KorvalHandle interface_handle, uint32_t* error);
    static int winusb_control_transfer(void* context, KorvalHandle interface_handle, const uint8_t setup[8],
                                       void* buffer, uint32_t length, uint32_t* transferred, uint32_t* error);
    static int winusb_get_descriptor(void* context, KorvalHandle interface_handle, uint8_t type, uint8_t index,
                                     uint16_t language, void* buffer, uint32_t length, uint32_t* transferred,
                                     uint32_t* error);
    static int winusb_query_interface_settings(void* context, KorvalHandle interface_handle, uint8_t alternate,
                                               uint8_t* num_endpoints, uint32_t* error);
    static int winusb_query_pipe(void* context, KorvalHandle interface_handle, uint8_t alternate,
                                 uint8_t pipe_index, uint8_t* pipe_type, uint8_t* pipe_id, uint32_t* error);
    static int winusb_write_pipe(void* context, KorvalHandle interface_handle, uint8_t pipe_id, const void* buffer,
                                 uint32_t length, uint32_t* transferred, uint32_t* error);
    static int winusb_read_pipe(void* context, KorvalHandle interface_handle, uint8_t pipe_id, void* buffer,
                                uint32_t length, uint32_t* transferred, uint32_t* error);
    static int winusb_abort_pipe(void* context, KorvalHandle interface_handle, uint8_t pipe_id, uint32_t* error);
    static int cancel_io(void* context, KorvalHandle file, uint32_t* error);
    static int watch_boards(void* context, KorvalHostBoardNotify notify, void* notify_context, uint32_t* error);
    static int unwatch_boards(void* context, uint32_t* error);
    static void list_unusable(void* context, void (*emit)(void*, const KorvalHostUnusableBoard*), void* emit_context);

    std::mutex mutex_;  // boards_ and handles_
    std::vector<std::unique_ptr<Board>> boards_;
    std::unordered_map<KorvalHandle, OpenHandle> handles_;
    KorvalHandle next_handle_ = 0x100;
    Clock clock_;
    KorvalHost host_{};

    // The board watch. Held while the notify runs, so unwatch_boards returns only once it has.
    std::mutex watch_mutex_;
    KorvalHostBoardNotify notify_ = nullptr;
    void* notify_context_ = nullptr;
};

// Runs fn(board) for a board of the simulation, for a C API call, with the usual failures as result
// codes: 87 for a null simulation, 2 for an unknown board, 1359 for an exception. The board's lock is
// not taken: fn calls the board's own locking functions.
template <class Fn>
uint32_t on_board(Simulation* sim, uint32_t id, Fn&& fn) noexcept
{
    if (sim == nullptr) return ERROR_INVALID_PARAMETER;
    try {
        Board* board = sim->find(id);
        if (board == nullptr) return ERROR_FILE_NOT_FOUND;
        return fn(*board);
    } catch (...) {
        return ERROR_INTERNAL_ERROR;
    }
}

// on_board for the state of a board's features: fn(board) runs under the board's lock, and transfers
// waiting on the board are woken afterwards, since the state may have changed.
template <class Fn>
uint32_t with_board(Simulation* sim, uint32_t id, Fn&& fn) noexcept
{
    return on_board(sim, id, [&](Board& board) {
        auto lock = board.lock();
        const uint32_t result = fn(board);
        board.notify();
        return result;
    });
}

// with_board for one feature's state: fn(feature) runs under the board's lock; `absent` is the answer
// for a board whose product does not have the feature.
template <class F, class Fn>
uint32_t with_feature(Simulation* sim, uint32_t id, Fn&& fn, uint32_t absent = ERROR_NOT_SUPPORTED) noexcept
{
    return with_board(sim, id, [&](Board& board) -> uint32_t {
        F* feature = board.feature<F>();
        return feature != nullptr ? static_cast<uint32_t>(fn(*feature)) : absent;
    });
}

}  // namespace korval::sim

// The C API's opaque simulation.
struct KorvalSim final : korval::sim::Simulation {};
