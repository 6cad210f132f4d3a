// Library load and unload, and the host seam's exports.
//
// Load: every slot empty, the host's WinUSB binding taken, one discovery pass, so boards present at
// load hold the lowest slots. Nothing is sent to a board and no thread is started. Unload releases the
// records' strings and arrays and nothing else: no handle is closed and no worker is stopped (the
// process is going; its handles go with it).
#include "core/caller_memory.h"
#include "core/last_error.h"
#include "host/os/os_host.h"
#include "core/registry.h"
#include "korval/host.h"
#include "korval/korval.h"
#include "usb/host_binding.h"

namespace korval {

namespace {

void load_sequence(const KorvalHost* host)
{
    // Remote boards outlive the local host: their servers keep them open for this program's session,
    // so they are let go of here, for the discovery below to find them again.
    for (uint32_t slot = 0; slot < kSlotCount; ++slot)
        if (usb::is_remote(device(slot).Handle)) close_handles(device(slot));
    zero_device_table();
    usb::install_host(host);
    discover();
}

__attribute__((constructor)) void library_load()
{
    try {
        load_sequence(nullptr);
    } catch (...) {
        // Loading must not fail the process: the table stays empty and discovery runs again on request.
    }
}

__attribute__((destructor)) void library_unload() { release_dynamic_fields(); }

}  // namespace

}  // namespace korval

extern "C" {

KORVAL_API uint32_t KORVAL_InstallHost(const KorvalHost* host)
{
    if (host != nullptr && host->version != KORVAL_HOST_VERSION) return ERROR_INVALID_PARAMETER;
    try {
        korval::release_dynamic_fields();
        korval::load_sequence(host);
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
        korval::release_dynamic_fields();
        korval::load_sequence(&none);
        const KorvalHost system = korval::os::host();
        return korval::store_to_caller(pHost, system) ? ERROR_SUCCESS : ERROR_NOACCESS;
    } catch (...) {
        return ERROR_INTERNAL_ERROR;
    }
}

KORVAL_API uint32_t KORVAL_GetLastError(void) { return korval::get_last_error(); }

KORVAL_API void KORVAL_SetLastError(uint32_t error) { korval::set_last_error(error); }

}  // extern "C"
