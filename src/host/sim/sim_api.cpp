// The C API of the simulation's core: simulations, boards, plugging, the log, faults and the clock.
// Each firmware feature adds the functions for its own state in its own file.
#include <cstring>
#include <new>

#include "host/sim/simulation.h"
#include "korval/sim.h"

using korval::sim::Board;

using korval::sim::on_board;

extern "C" {

KorvalSim* KorvalSim_Create(void)
{
    return new (std::nothrow) KorvalSim();
}

void KorvalSim_Destroy(KorvalSim* sim) { delete sim; }

const KorvalHost* KorvalSim_Host(KorvalSim* sim) { return sim != nullptr ? sim->host() : nullptr; }

uint32_t KorvalSim_SetWinUsbAvailable(KorvalSim* sim, int available)
{
    if (sim == nullptr) return ERROR_INVALID_PARAMETER;
    sim->set_winusb(available != 0);
    return ERROR_SUCCESS;
}

uint32_t KorvalSim_AddBoard(KorvalSim* sim, uint32_t product_id, uint32_t path)
{
    if (sim == nullptr) return 0;
    try {
        const uint32_t id = sim->add_board(product_id, path);
        if (id != 0) sim->tell_watch(*sim->find(id), KORVAL_BOARD_ARRIVED);
        return id;
    } catch (...) {
        return 0;
    }
}

uint32_t KorvalSim_Unplug(KorvalSim* sim, uint32_t board)
{
    return on_board(sim, board, [sim](Board& b) {
        if (b.unplug()) sim->tell_watch(b, KORVAL_BOARD_LEFT);
        return uint32_t{ERROR_SUCCESS};
    });
}

uint32_t KorvalSim_Replug(KorvalSim* sim, uint32_t board)
{
    return on_board(sim, board, [sim](Board& b) {
        if (b.replug()) sim->tell_watch(b, KORVAL_BOARD_ARRIVED);
        return uint32_t{ERROR_SUCCESS};
    });
}

uint32_t KorvalSim_SetUnusable(KorvalSim* sim, uint32_t board, uint32_t error)
{
    return on_board(sim, board, [error](Board& b) {
        b.set_unusable(error);
        return uint32_t{ERROR_SUCCESS};
    });
}

uint32_t KorvalSim_UnplugBeforeTransfer(KorvalSim* sim, uint32_t board, uint32_t transfer)
{
    return on_board(sim, board, [&](Board& b) {
        b.unplug_before_transfer(transfer);
        return uint32_t{ERROR_SUCCESS};
    });
}

uint32_t KorvalSim_GetInterfacePath(KorvalSim* sim, uint32_t board, char* path, uint32_t capacity)
{
    if (path == nullptr || capacity == 0) return ERROR_INVALID_PARAMETER;
    return on_board(sim, board, [&](Board& b) {
        const std::string& p = b.interface_path();
        const size_t n = p.size() < capacity - 1 ? p.size() : capacity - 1;
        std::memcpy(path, p.data(), n);
        path[n] = '\0';
        return uint32_t{ERROR_SUCCESS};
    });
}

uint32_t KorvalSim_LogCount(KorvalSim* sim, uint32_t board)
{
    uint32_t count = 0;
    on_board(sim, board, [&](Board& b) {
        count = b.log_count();
        return uint32_t{ERROR_SUCCESS};
    });
    return count;
}

uint32_t KorvalSim_LogEntry(KorvalSim* sim, uint32_t board, uint32_t index, KorvalSimTransfer* entry, void* data,
                            uint32_t capacity)
{
    if (entry == nullptr) return ERROR_INVALID_PARAMETER;
    return on_board(sim, board, [&](Board& b) {
        return b.log_entry(index, *entry, data, capacity) ? uint32_t{ERROR_SUCCESS} : uint32_t{ERROR_INVALID_PARAMETER};
    });
}

uint32_t KorvalSim_ClearLog(KorvalSim* sim, uint32_t board)
{
    return on_board(sim, board, [](Board& b) {
        b.clear_log();
        return uint32_t{ERROR_SUCCESS};
    });
}

uint32_t KorvalSim_SetLogLimits(KorvalSim* sim, uint32_t board, uint32_t max_entries, uint32_t max_bulk_bytes)
{
    return on_board(sim, board, [&](Board& b) {
        b.set_log_limits(max_entries, max_bulk_bytes);
        return uint32_t{ERROR_SUCCESS};
    });
}

uint32_t KorvalSim_InjectFault(KorvalSim* sim, uint32_t board, const KorvalSimFault* fault)
{
    if (fault == nullptr || fault->action < KORVAL_SIM_FAULT_FAIL || fault->action > KORVAL_SIM_FAULT_REPORT)
        return ERROR_INVALID_PARAMETER;
    return on_board(sim, board, [&](Board& b) {
        b.add_fault(*fault);
        return uint32_t{ERROR_SUCCESS};
    });
}

uint32_t KorvalSim_ClearFaults(KorvalSim* sim, uint32_t board)
{
    return on_board(sim, board, [](Board& b) {
        b.clear_faults();
        return uint32_t{ERROR_SUCCESS};
    });
}

uint32_t KorvalSim_SetManualClock(KorvalSim* sim, int manual)
{
    if (sim == nullptr) return ERROR_INVALID_PARAMETER;
    sim->clock().set_manual(manual != 0);
    sim->notify_all_boards();
    return ERROR_SUCCESS;
}

uint32_t KorvalSim_AdvanceClock(KorvalSim* sim, uint64_t nanoseconds)
{
    if (sim == nullptr) return ERROR_INVALID_PARAMETER;
    sim->clock().advance(nanoseconds);
    sim->notify_all_boards();
    return ERROR_SUCCESS;
}

uint64_t KorvalSim_ClockNanoseconds(KorvalSim* sim) { return sim != nullptr ? sim->clock().now_ns() : 0; }

}  // extern "C"
