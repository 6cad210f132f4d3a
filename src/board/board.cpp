#include "board/board.h"

#include "board/hooks.h"

namespace korval {

namespace {

using Boards = SlotStates<Board>;

}  // namespace

const Board& board(uint32_t slot) { return Boards::of(slot); }

Board& board_record(uint32_t slot) { return Boards::of(slot); }

void zero_boards()
{
    for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
        notify_slot_zeroed(slot);
        Boards::reset(slot);
    }
}

void release_board_memory()
{
    for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
        std::string().swap(Boards::of(slot).DevPath);
        notify_unload(slot);
    }
}

}  // namespace korval
