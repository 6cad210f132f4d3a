// JSON output of the korval tool. Results are built as nlohmann::ordered_json values (keys stay in the
// order they were added) and printed on one line in the tool's "key": value, ... layout.
#pragma once

#include <cmath>
#include <string>

#include <nlohmann/json.hpp>

namespace korval::tool {

using Json = nlohmann::ordered_json;

// One line of JSON text. Strings are escaped by the library; bytes that are not UTF-8 (a board's name
// or a file name can hold anything) become U+FFFD, so the output always parses.
std::string json_text(const Json& value);

// `value` rounded to `decimals` places, for measurements whose further digits are noise.
inline double rounded(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

// Prints json_text(value) and a newline to stdout; while a document is being gathered (--json), adds
// value to it instead.
void print_json(const Json& value);

// With --json the tool prints one JSON document whatever it ran: the values printed meanwhile are
// gathered, and finish_json_document prints them, one value as itself, several (a "then" chain, an
// error after results) as an array.
void begin_json_document();
void finish_json_document();

}  // namespace korval::tool
