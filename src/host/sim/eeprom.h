// The board's EEPROM as other firmware features read it (the ADC's calibration reference word), under
// the board's lock.
#pragma once

#include <cstdint>

namespace korval::sim {

class Board;

// Copies up to `size` bytes from the EEPROM at `address`; the count copied (0 for a board without one
// or an address past its end).
uint32_t eeprom_read(Board& board, uint32_t address, uint32_t size, void* data);

}  // namespace korval::sim
