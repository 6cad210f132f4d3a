// What a board can do, read from the product table: for the board in a slot, for any product ID, and
// the list of every product ID the table knows; the library's version, and a remote board's server.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/caller_memory.h"
#include "board/board.h"
#include "board/products.h"
#include "core/core_api.h"
#include "core/registry.h"
#include "korval/korval.h"
#include "usb/host_binding.h"
#include "usb/transport.h"

namespace korval {

namespace {

// Copies `caps` into the caller's structure, as much of it as the caller's Size field says it has.
uint32_t fill_caller_capabilities(KorvalCapabilities* pCaps, KorvalCapabilities caps)
{
    if (pCaps == nullptr) return ERROR_INVALID_PARAMETER;
    uint32_t size = 0;
    // The caller's structure may be anywhere, misaligned too: its size field is reached by address
    // arithmetic and copied, never through a member access on the caller's pointer.
    const auto* size_field = reinterpret_cast<const uint8_t*>(pCaps) + offsetof(KorvalCapabilities, Size);
    if (const uint32_t r = read_caller_bytes(&size, size_field, sizeof size)) return r;
    // The size tells which fields the caller's structure has; the product ID and the size itself at least.
    if (size < offsetof(KorvalCapabilities, DriverPath)) return ERROR_INVALID_PARAMETER;
    caps.Size = static_cast<uint32_t>(std::min<size_t>(size, sizeof caps));
    return write_caller_bytes(pCaps, &caps, caps.Size);
}

}  // namespace

uint32_t KORVAL_GetCapabilities(uint32_t DeviceIndex, KorvalCapabilities* pCaps)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    const Board& b = board(slot);
    KorvalCapabilities caps = public_capabilities(b.PID);
    caps.DriverPath = usb::transport_of(b).driver_path();
    return fill_caller_capabilities(pCaps, caps);
}

uint32_t KORVAL_GetProductCapabilities(uint32_t ProductID, KorvalCapabilities* pCaps)
{
    if (const uint32_t r = fill_caller_capabilities(pCaps, public_capabilities(ProductID))) return r;
    return find_product(ProductID) != nullptr ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

uint32_t KORVAL_ListProducts(uint32_t* pCount, uint32_t* pProductIDs)
{
    uint32_t capacity = 0;
    if (const uint32_t r = read_caller(pCount, capacity)) return r;
    const auto rows = product_rows();
    const uint32_t n = std::min<uint32_t>(capacity, static_cast<uint32_t>(rows.size()));
    if (n > 0 && pProductIDs == nullptr) return ERROR_INVALID_PARAMETER;
    for (uint32_t i = 0; i < n; ++i)
        if (const uint32_t r = write_caller(pProductIDs + i, uint32_t{rows[i].PID})) return r;
    return write_caller(pCount, static_cast<uint32_t>(rows.size()));
}

uint32_t KORVAL_GetVersion() { return KORVAL_VERSION; }

uint32_t KORVAL_GetRemoteServer(uint32_t DeviceIndex, uint32_t* pServerSize, char* pServer)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    uint32_t capacity = 0;
    if (const uint32_t r = read_caller(pServerSize, capacity)) return r;
    const Board& b = board(slot);
    // A remote board's path is "HOST:PORT/" and its path on the server; a local board has no server.
    const std::string server = usb::is_remote(b.Handle) ? b.DevPath.substr(0, b.DevPath.find('/')) : std::string();
    const auto needed = static_cast<uint32_t>(server.size() + 1);
    if (capacity > 0) {
        const std::string cut = server.substr(0, std::min(capacity, needed) - 1);  // as much as fits, ended
        if (const uint32_t r = write_caller_bytes(pServer, cut.c_str(), cut.size() + 1)) return r;
    }
    if (const uint32_t r = write_caller(pServerSize, needed)) return r;
    return capacity >= needed ? ERROR_SUCCESS : ERROR_INSUFFICIENT_BUFFER;
}

}  // namespace korval
