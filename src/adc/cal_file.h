// The ADC calibration file: exactly the 65,536 little-endian 16-bit entries of a table, 131,072 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korval::adc {

inline constexpr uint32_t kCalFileBytes = 131072;

// Reads the table from the file at `path` into `table` (kCalFileBytes bytes). A shorter file is
// refused with 38; bytes past the table are not read; a file that cannot be opened or read gives the
// system's error as its Win32 code.
uint32_t read_table_file(const std::string& path, std::vector<uint8_t>& table);

}  // namespace korval::adc
