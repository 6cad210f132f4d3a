// Reading DAC calibration files: the whole file (up to the size limit) is read into memory first and
// converted afterwards, so a file that cannot be read or converted never reaches the board.
#include "dac/cal_file.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>

#include <sys/stat.h>
#include <sys/types.h>

#include "core/system_error.h"
#include "korval/korval.h"

namespace korval::dac {

namespace {

constexpr char kCR = 13;
constexpr char kLF = 10;

bool is_blank(char c) { return static_cast<unsigned char>(c) < 33; }

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hexadecimal digits as a 32-bit pattern ("FFFFFFFF" is -1); false beyond 32 bits.
bool parse_hex(const char* p, const char* end, int32_t& value)
{
    if (p == end) return false;
    uint64_t v = 0;
    for (; p != end; ++p) {
        const int digit = hex_digit(*p);
        if (digit < 0) return false;
        v = v << 4 | static_cast<uint64_t>(digit);
        if (v > 0xFFFFFFFFu) return false;
    }
    value = static_cast<int32_t>(static_cast<uint32_t>(v));
    return true;
}

// Decimal digits with an optional sign, within the signed 32-bit range.
bool parse_decimal(const char* p, const char* end, int32_t& value)
{
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (p == end) return false;
    const int64_t limit = negative ? int64_t{1} << 31 : (int64_t{1} << 31) - 1;
    int64_t v = 0;
    for (; p != end; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + (*p - '0');
        if (v > limit) return false;
    }
    value = static_cast<int32_t>(negative ? -v : v);
    return true;
}

// Closes a C stream when the reading ends, however it ends.
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// The size of an open file, and whether it is a directory.
bool file_size(std::FILE* f, uint64_t& size, bool& directory)
{
#ifdef _WIN32
    struct _stat64 st;
    if (_fstat64(_fileno(f), &st) != 0) return false;
    directory = (st.st_mode & _S_IFDIR) != 0;
#else
    struct stat st;
    if (fstat(fileno(f), &st) != 0) return false;
    directory = S_ISDIR(st.st_mode);
#endif
    size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

}  // namespace

bool parse_cal_entry(const char* begin, const char* end, int32_t& value)
{
    while (begin != end && is_blank(*begin)) ++begin;
    while (end != begin && is_blank(end[-1])) --end;
    if (begin == end) return false;  // a line of blanks is an entry, but not a number
    if (*begin == '$' || *begin == 'x' || *begin == 'X') return parse_hex(begin + 1, end, value);
    if (end - begin >= 2 && begin[0] == '0' && (begin[1] == 'x' || begin[1] == 'X'))
        return parse_hex(begin + 2, end, value);
    return parse_decimal(begin, end, value);
}

Result parse_cal_text(const char* text, size_t size, std::vector<uint8_t>& table)
{
    table.assign(kCalTableBytes, 0);
    size_t at = 0;  // `size` itself is the line end assumed after the last byte
    for (uint32_t entry = 0; entry < kCalEntries;) {
        if (at > size) return ERROR_HANDLE_EOF;
        size_t line_end = at;
        while (line_end < size && text[line_end] != kCR && text[line_end] != kLF) ++line_end;
        if (line_end == at) {  // an empty line: CR, LF, or the second half of CR LF
            ++at;
            continue;
        }
        int32_t value = 0;
        if (!parse_cal_entry(text + at, text + line_end, value)) return ERROR_INVALID_DATA;
        table[2 * entry] = static_cast<uint8_t>(value);
        table[2 * entry + 1] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> 8);
        ++entry;
        at = line_end + 1;
    }
    return ERROR_SUCCESS;
}

Result read_cal_file(const std::string& path, std::vector<uint8_t>& table, uint64_t limit)
{
    uint64_t size = 0;
    std::unique_ptr<char[]> text;
    {
        errno = 0;
        std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
        if (!file) return system_code(errno);
        bool directory = false;
        if (!file_size(file.get(), size, directory)) return system_code(errno);
        if (directory) return kErrorAccessDenied;
        if (size > limit) size = limit;
        text.reset(new (std::nothrow) char[static_cast<size_t>(size)]);
        if (!text) return ERROR_OUTOFMEMORY;
        errno = 0;
        // A file that gives fewer bytes than its size (cut short meanwhile, or failing) is not read.
        if (std::fread(text.get(), 1, static_cast<size_t>(size), file.get()) != size)
            return std::ferror(file.get()) ? system_code(errno) : ERROR_GEN_FAILURE;
    }
    return parse_cal_text(text.get(), static_cast<size_t>(size), table);
}

}  // namespace korval::dac
