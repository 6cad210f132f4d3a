#include "bytes.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>


namespace korval::tool {

void print_hex_dump(uint32_t address, const std::vector<uint8_t>& data)
{
    for (size_t line = 0; line < data.size(); line += 16) {
        std::printf("%06x ", static_cast<unsigned>(address + line));
        std::string text;
        for (size_t i = line; i < line + 16; ++i) {
            if (i < data.size()) {
                std::printf(" %02x", data[i]);
                text += std::isprint(data[i]) ? static_cast<char>(data[i]) : '.';
            } else {
                std::printf("   ");
            }
        }
        std::printf("  %s\n", text.c_str());
    }
}

std::string hex_text(const std::vector<uint8_t>& data)
{
    std::string out;
    char digits[3];
    for (uint8_t b : data) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        out += digits;
    }
    return out;
}

bool parse_bytes(const Args& args, size_t first, std::vector<uint8_t>& out, std::string& error)
{
    out.clear();
    if (first < args.size() && args[first] == "--file") {
        if (first + 1 >= args.size()) {
            error = "--file needs a path";
            return false;
        }
        std::ifstream in(args[first + 1], std::ios::binary);
        if (!in) {
            error = "cannot read " + args[first + 1];
            return false;
        }
        out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return true;
    }
    std::string digits;
    for (size_t i = first; i < args.size(); ++i) {
        std::string word = args[i];
        for (size_t at = 0; (at = word.find("0x")) != std::string::npos;) word.erase(at, 2);
        for (char c : word) {
            if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
            else if (c != ',' && c != ':' && c != ' ') {
                error = "not hexadecimal: " + args[i];
                return false;
            }
        }
        if (digits.size() % 2 != 0) {
            error = "odd number of hexadecimal digits in " + args[i];
            return false;
        }
    }
    for (size_t i = 0; i < digits.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return true;
}

}  // namespace korval::tool
