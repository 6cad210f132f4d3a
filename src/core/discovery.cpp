// Discovery: finds the boards of both driver paths and opens each new one into the lowest free slot.
// It sends nothing to a board and never touches a slot that holds a board or a removal mark. Remote
// servers' boards follow the local ones.
#include <string>
#include <vector>

#include "board/board.h"
#include "board/hooks.h"
#include "core/registry.h"
#include "usb/host_binding.h"
#include "usb/transport.h"

namespace korval {

namespace {

const KorvalGuid kIoctlClass = KORVAL_INTERFACE_CLASS_IOCTL;
const KorvalGuid kWinUsbClass = KORVAL_INTERFACE_CLASS_WINUSB;

std::vector<std::string> interface_paths(uint32_t host, const KorvalGuid& interface_class)
{
    std::vector<std::string> paths;
    usb::list_interfaces(host, interface_class, [&](const char* path) { paths.emplace_back(path); });
    return paths;
}

// The lowest slot with no handle and no removal mark; kSlotCount when there is none.
uint32_t lowest_free_slot()
{
    for (uint32_t slot = 0; slot < kSlotCount; ++slot)
        if (board(slot).Handle == 0 && !board(slot).bDeviceWasHere) return slot;
    return kSlotCount;
}

// A board of the DeviceIoControl path that a slot holds already. Only slots of that path count: a slot
// keeps the path of an earlier board when a WinUSB board takes it, and must not hide the board at that
// path from discovery.
bool already_open(const std::string& path)
{
    for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
        const Board& b = board(slot);
        if (b.Handle != 0 && usb::transport_of(b).known_by_path() && b.DevPath == path) return true;
    }
    return false;
}

// What every placement sets besides the handles, the core's fields and then each subsystem's. The
// firmware check's result belongs to the board that passed it, not to the slot: the next board in the
// slot is checked itself.
void place(uint32_t slot, const usb::Transport& transport)
{
    Board& d = board_record(slot);
    d.transport = &transport;
    d.bOpen = false;
    d.bFirmware20 = false;
    notify_board_placed(slot);
}

void discover_ioctl_boards(uint32_t host)
{
    for (const std::string& path : interface_paths(host, kIoctlClass)) {
        if (already_open(path)) continue;
        KorvalHandle file = 0;
        if (!usb::open_file(host, path.c_str(), false, file)) continue;
        const uint32_t slot = lowest_free_slot();
        if (slot == kSlotCount) {
            usb::close_handle(file);
            return;
        }
        Board& b = board_record(slot);
        place(slot, usb::ioctl_transport());
        b.DevPath = path;
        b.hWinUSBFile = 0;
        b.Handle = file;
    }
}

// A board already open, by this process or another, fails the exclusive open: no path comparison needed.
void discover_winusb_boards(uint32_t host)
{
    for (const std::string& path : interface_paths(host, kWinUsbClass)) {
        KorvalHandle file = 0;
        if (!usb::open_file(host, path.c_str(), true, file)) continue;
        KorvalHandle interface_handle = 0;
        if (!usb::winusb_initialize(file, interface_handle)) {
            usb::close_handle(file);
            continue;
        }
        const uint32_t slot = lowest_free_slot();
        if (slot == kSlotCount) {
            usb::winusb_free(interface_handle);
            usb::close_handle(file);
            return;
        }
        Board& b = board_record(slot);
        place(slot, usb::winusb_transport());
        // A remote board keeps its path, which names its server; a local one leaves DevPath as it was.
        if (host != 0) b.DevPath = path;
        b.hWinUSBFile = file;
        b.Handle = interface_handle;
    }
}

}  // namespace

void discover_host(uint32_t host)
{
    discover_ioctl_boards(host);
    if (usb::winusb_available(host)) discover_winusb_boards(host);
}

// The installed host's boards, then each remote server's, in the order the servers were named.
void discover()
{
    add_remotes_from_environment();
    for (uint32_t host = 0; host < usb::host_count(); ++host) discover_host(host);
}

}  // namespace korval
