// Byte input and output for the tool's memory commands: hexadecimal dumps, and bytes given on the
// command line in hexadecimal or read from a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "command.h"

namespace korval::tool {

// Prints `data` as lines of 16 bytes: address, hexadecimal, and the printable characters.
void print_hex_dump(uint32_t address, const std::vector<uint8_t>& data);
// The bytes as one string of hexadecimal digits ("deadbeef").
std::string hex_text(const std::vector<uint8_t>& data);

// Bytes from the command line: "--file PATH" reads the file; otherwise every argument is hexadecimal
// bytes ("de ad be ef", "deadbeef", "0xde,0xad" all work). False with a message when they are not.
bool parse_bytes(const Args& args, size_t first, std::vector<uint8_t>& out, std::string& error);

}  // namespace korval::tool
