// Library load and unload, and the host seam's exports.
//
// Loading initialises memory only (the device table's records are constructed empty in static storage).
// The load sequence, run once by the first call into the library (ensure_loaded, or KORVAL_InstallHost
// when it comes first): every slot empty, the host installed and its WinUSB binding taken, one discovery
// pass, so boards present at that moment hold the lowest slots. Nothing is sent to a board. Unload puts
// back the fault handlers the guard installed (where they are still its own) and releases the records'
// strings and arrays; the operating system's host ends its own session (its event thread joined) as its
// statics go.
#include "core/library.h"

#include <atomic>
#include <cstddef>
#include <mutex>

#include "base/caller_memory.h"
#include "base/last_error.h"
#include "board/board.h"
#include "core/board_watch.h"
#include "core/registry.h"
#include "host/os/os_host.h"
#include "korval/korval.h"
#include "usb/deadline.h"
#include "usb/host_binding.h"

namespace korval {

namespace {

std::once_flag g_load_once;
std::atomic<bool> g_loaded{false};
thread_local bool t_in_load_sequence = false;

// Everything the library does before the first call's own work: the one place where the host is bound
// and the first discovery runs. Also what KORVAL_InstallHost does each time.
void load_sequence(const KorvalHost* host)
{
    // Remote boards outlive the local host: their servers keep them open for this program's session,
    // so they are let go of here, for the discovery below to find them again.
    for (uint32_t slot = 0; slot < kSlotCount; ++slot)
        if (usb::is_remote(board_record(slot).Handle)) usb::close_handles(board_record(slot));
    struct Mark {
        Mark() { t_in_load_sequence = true; }
        ~Mark() { t_in_load_sequence = false; }
    } mark;
    zero_boards();
    {
        const board_watch::HostChange change;
        usb::install_host(host);
    }
    discover();
}

// Runs `sequence` as the load sequence unless one has run. True when it ran here.
template <class Sequence>
bool run_once(Sequence&& sequence)
{
    bool ran = false;
    std::call_once(g_load_once, [&] {
        sequence();
        ran = true;
        g_loaded.store(true, std::memory_order_release);
    });
    return ran;
}

__attribute__((destructor)) void library_unload()
{
    board_watch::end_at_unload();
    usb::end_deadline_timer_at_unload();
    release_fault_handler();
    release_board_memory();
}

}  // namespace

void ensure_loaded() noexcept
{
    if (g_loaded.load(std::memory_order_acquire) || t_in_load_sequence) return;
    // The sequence's failed host calls set the thread's last-error value; the caller's call must find it
    // as it was.
    const uint32_t last_error = get_last_error();
    try {
        run_once([] { load_sequence(nullptr); });
    } catch (...) {
        // The first call must not fail for it: the table stays empty, the next call tries again, and
        // discovery runs again on request.
    }
    set_last_error(last_error);
}

void install_host_and_discover(const KorvalHost* host)
{
    if (t_in_load_sequence) return;  // a host installing a host while it is being installed
    if (run_once([host] { load_sequence(host); })) return;
    release_board_memory();
    load_sequence(host);
}

}  // namespace korval

extern "C" {

KORVAL_API uint32_t KORVAL_InstallHost(const KorvalHost* host)
{
    if (host != nullptr && (host->version < 1 || host->version > KORVAL_HOST_VERSION)) return ERROR_INVALID_PARAMETER;
    try {
        korval::install_host_and_discover(host);
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_INTERNAL_ERROR;
    }
}

KORVAL_API uint32_t KORVAL_SystemHost(KorvalHost* pHost)
{
    if (pHost == nullptr) return ERROR_INVALID_PARAMETER;
    try {
        // The library's own session ends (closing what it held) and it keeps a host with no boards.
        KorvalHost none{};
        none.version = KORVAL_HOST_VERSION;
        korval::install_host_and_discover(&none);
        // A version-1 table: a program built before the board watch has room for no more.
        KorvalHost system = korval::os::host();
        system.version = 1;
        return korval::copy_to_caller(pHost, &system, offsetof(KorvalHost, watch_boards)) ? ERROR_SUCCESS
                                                                                          : ERROR_NOACCESS;
    } catch (...) {
        return ERROR_INTERNAL_ERROR;
    }
}

KORVAL_API uint32_t KORVAL_GetLastError(void) { return korval::get_last_error(); }

KORVAL_API void KORVAL_SetLastError(uint32_t error) { korval::set_last_error(error); }

}  // extern "C"
