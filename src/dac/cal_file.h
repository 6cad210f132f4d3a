// DAC calibration files: text, one integer per line, 65,536 entries in table order.
//
// Line ends may be CR, LF or CR LF, and the last line needs none. Empty lines are skipped; any other
// line is one entry, trimmed of the characters below 33 (blanks, control characters) at both ends and
// read as a signed 32-bit integer: an optional sign and decimal digits, or hexadecimal digits after
// "$", "x", "X", "0x" or "0X". The entry is the integer's low 16 bits (-1 gives 0xFFFF, 70000 gives
// 4464). Entries after the 65,536th are ignored, and only the first 128 MiB of a file are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/registry.h"

namespace korval::dac {

inline constexpr uint32_t kCalEntries = 65536;
inline constexpr uint32_t kCalTableBytes = kCalEntries * 2;  // 131,072: one channel's two flash sectors
inline constexpr uint64_t kCalFileLimit = 0x8000000;          // bytes of a file read at most

// One entry's text (untrimmed) as a signed 32-bit integer; false when it is not one.
bool parse_cal_entry(const char* begin, const char* end, int32_t& value);

// Converts a file's contents into the table (kCalEntries little-endian 16-bit entries, kCalTableBytes
// bytes), scanning from the start up to the kCalEntries-th entry; a line end is assumed after the last
// byte. 38 (ERROR_HANDLE_EOF) for fewer entries than the table has, 13 (ERROR_INVALID_DATA) for an
// entry that is not an integer; `table` is complete only on success.
Result parse_cal_text(const char* text, size_t size, std::vector<uint8_t>& table);

// Reads a calibration file whole, at most `limit` bytes of it, and converts it. Besides the codes of
// parse_cal_text: the system's code when the file cannot be opened, sized or fully read (31 when there
// is none), 14 (ERROR_OUTOFMEMORY) when its contents do not fit in memory.
Result read_cal_file(const std::string& path, std::vector<uint8_t>& table, uint64_t limit = kCalFileLimit);

}  // namespace korval::dac
