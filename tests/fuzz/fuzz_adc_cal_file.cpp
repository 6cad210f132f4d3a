// Fuzz target: the ADC calibration file reader, on any bytes a file could hold. The input is written to
// a file of this process's own and read back as a calibration table.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "adc/cal_file.h"
#include "korval/korval.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = "/tmp/korval-fuzz-adc-cal-" + std::to_string(getpid());
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    const bool written = std::fwrite(data, 1, size, file) == size;
    std::fclose(file);
    if (!written) return 0;

    std::vector<uint8_t> table;
    const uint32_t result = korval::adc::read_table_file(path, table);
    // A file of the table's size or longer is the table, its first bytes exactly; a shorter one is 38.
    if (size >= korval::adc::kCalFileBytes) {
        if (result != ERROR_SUCCESS || table.size() != korval::adc::kCalFileBytes) std::abort();
        if (std::memcmp(table.data(), data, korval::adc::kCalFileBytes) != 0) std::abort();
    } else if (result != ERROR_HANDLE_EOF) {
        std::abort();
    }
    return 0;
}
