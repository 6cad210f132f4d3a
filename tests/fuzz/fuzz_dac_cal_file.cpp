// Fuzz target: the DAC calibration file reader, on any bytes a file could hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "dac/cal_file.h"
#include "korval/korval.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> table;
    const auto result = korval::dac::parse_cal_text(reinterpret_cast<const char*>(data), size, table);
    // A success is a whole table; a failure is one of the reader's two codes.
    if (result == ERROR_SUCCESS && table.size() != korval::dac::kCalTableBytes) std::abort();
    if (result != ERROR_SUCCESS && result != ERROR_HANDLE_EOF && result != ERROR_INVALID_DATA) std::abort();

    // Each line on its own, as the entry parser sees it.
    const char* text = reinterpret_cast<const char*>(data);
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i < size && text[i] != '\n') continue;
        int32_t value = 0;
        korval::dac::parse_cal_entry(text + start, text + i, value);
        start = i + 1;
    }
    return 0;
}
