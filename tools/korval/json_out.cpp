#include "json_out.h"

#include <cstdio>

namespace korval::tool {

namespace {

std::string scalar_text(const Json& value)
{
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string json_text(const Json& value)
{
    if (value.is_object()) {
        std::string out = "{";
        bool first = true;
        for (const auto& [key, item] : value.items()) {
            out += (first ? "" : ", ") + scalar_text(Json(key)) + ": " + json_text(item);
            first = false;
        }
        return out + "}";
    }
    if (value.is_array()) {
        std::string out = "[";
        for (size_t i = 0; i < value.size(); ++i) out += (i ? ", " : "") + json_text(value[i]);
        return out + "]";
    }
    return scalar_text(value);
}

void print_json(const Json& value) { std::printf("%s\n", json_text(value).c_str()); }

}  // namespace korval::tool
