// The board object: one record per slot, 32 slots, for the life of the loaded library. A record holds
// what the library knows of the board in the slot: its driver handles and transport, its identity,
// the removal mark, and a reference to its product's constant row (board/products.h).
//
// Each subsystem keeps its own state in its own table of slots (SlotStates below), defined in its own
// folder; a feature sees the board through a read-only view (board()) and changes only its own state.
// Fields the board family's documentation names keep its names (b for flags, h for handles); fields
// the library adds are snake_case (CONTRIBUTING.md, "Names"). Fields that threads share without a lock
// are Relaxed<>; the path string is changed only by calls the application serialises with every other
// use of the slot.
#pragma once

#include <cstdint>
#include <new>
#include <string>

#include "base/relaxed.h"
#include "board/products.h"
#include "korval/host.h"

namespace korval {

using Result = uint32_t;

namespace usb {
class Transport;  // a driver path's operations (usb/transport.h); the board holds the one it is on
}

inline constexpr uint32_t kSlotCount = 32;
inline constexpr uint32_t kDefaultStreamingBlockSize = 0x7C00;  // 31,744

struct Board {
    Relaxed<bool> bOpen;           // the open check has read this board's descriptor
    Relaxed<bool> bDeviceWasHere;  // removal mark: the board has gone, the slot is not reused
    Relaxed<KorvalHandle> Handle;  // file handle (DeviceIoControl path) or WinUSB interface handle
    Relaxed<KorvalHandle> hWinUSBFile;
    // The driver path's operations (DeviceIoControl or WinUSB), chosen where discovery places the board.
    Relaxed<const usb::Transport*> transport;
    std::string DevPath;                   // interface path, written on the DeviceIoControl path only
    Relaxed<uint32_t> PID;                 // 0xFFFFFFFF while the open check reads the descriptor
    Relaxed<uint32_t> StreamingBlockSize;  // largest single streaming bulk transfer
    Relaxed<bool> bFirmware20;             // the firmware check has passed
    // The row of the product the open check found; the reset row until then and for unlisted IDs.
    Relaxed<const ProductRow*> product;

    const ProductRow& row() const noexcept
    {
        const ProductRow* p = product;
        return p != nullptr ? *p : reset_product_row();
    }
};

// A read-only view of the board in a slot (0 to 31): what every feature reads.
const Board& board(uint32_t slot);

// The record itself, for the layers that keep it: the transport (handles, removal) and the core
// (discovery, the open check, closing).
Board& board_record(uint32_t slot);

// Every slot's record zeroed: no handles, no flags, empty paths. Only while no other call runs. Each
// subsystem's slot-zeroed hook runs first (board/hooks.h).
void zero_boards();

// Releases the path strings of every record and then, through their unload hooks, each subsystem's
// dynamic memory, and nothing else (library unload).
void release_board_memory();

// A subsystem's state for every slot, in static storage that is never destroyed: worker threads that
// the application left running at unload may still touch their state, so tearing it down with the
// library's static objects would pull the memory from under them.
template <class State>
class SlotStates {
public:
    static State& of(uint32_t slot) { return records()[slot]; }
    // Back to a new state (the load sequence's zeroing).
    static void reset(uint32_t slot)
    {
        State* s = &records()[slot];
        s->~State();
        new (s) State();
    }

private:
    static State* records()
    {
        alignas(State) static unsigned char storage[sizeof(State) * kSlotCount];
        static State* const states = new (storage) State[kSlotCount];
        return states;
    }
};

}  // namespace korval
