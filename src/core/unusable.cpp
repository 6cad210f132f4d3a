// Boards of the family that are attached but cannot be opened: why a board is missing from the table,
// in words a person can act on.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/caller_memory.h"
#include "core/core_api.h"
#include "korval/korval.h"
#include "usb/host_binding.h"

#ifndef KORVAL_SYSTEM_UDEV_RULES_DIR
#define KORVAL_SYSTEM_UDEV_RULES_DIR "/etc/udev/rules.d"
#endif

namespace korval {

namespace {

std::string reason(uint32_t error)
{
    if (error == ERROR_ACCESS_DENIED)
        return "permission denied: install the udev rules (`cmake --install` puts them in " KORVAL_SYSTEM_UDEV_RULES_DIR
               ") and re-plug the board";
    const char* name = KORVAL_ResultName(error);
    return "cannot be opened: error " + std::to_string(error) + (name != nullptr ? std::string(" ") + name : "");
}

void copy_text(char* field, size_t room, const std::string& text)
{
    const size_t n = std::min(text.size(), room - 1);
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

}  // namespace

uint32_t KORVAL_GetUnusableBoard(uint32_t Index, KorvalUnusableBoard* pBoard)
{
    if (pBoard == nullptr) return ERROR_INVALID_PARAMETER;
    uint32_t size = 0;
    // The caller's structure may be misaligned: its size field is reached by address arithmetic.
    const auto* size_field = reinterpret_cast<const uint8_t*>(pBoard) + offsetof(KorvalUnusableBoard, Size);
    if (const uint32_t r = read_caller_bytes(&size, size_field, sizeof size)) return r;
    if (size < offsetof(KorvalUnusableBoard, VendorID)) return ERROR_INVALID_PARAMETER;

    // The installed host's boards first, then each remote server's, in the order the servers were added.
    KorvalUnusableBoard out{};
    uint32_t seen = 0;
    bool found = false;
    for (uint32_t host = 0; host < usb::host_count() && !found; ++host) {
        usb::list_unusable(host, [&](const KorvalHostUnusableBoard& b) {
            if (found || seen++ != Index) return;
            found = true;
            out.Error = b.error;
            out.VendorID = b.vendor_id;
            out.ProductID = b.product_id;
            copy_text(out.Path, sizeof out.Path, b.path != nullptr ? b.path : "");
            copy_text(out.Reason, sizeof out.Reason, reason(b.error));
        });
    }
    if (!found) return ERROR_NO_MORE_ITEMS;
    out.Size = static_cast<uint32_t>(std::min<size_t>(size, sizeof out));
    return write_caller_bytes(pBoard, &out, out.Size);
}

}  // namespace korval
