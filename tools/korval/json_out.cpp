#include "json_out.h"

#include <cstdio>
#include <vector>

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

namespace {

bool g_gathering = false;
std::vector<Json> g_document;

}  // namespace

void print_json(const Json& value)
{
    if (g_gathering)
        g_document.push_back(value);
    else
        std::printf("%s\n", json_text(value).c_str());
}

void begin_json_document() { g_gathering = true; }

void finish_json_document()
{
    if (!g_gathering) return;
    g_gathering = false;
    if (g_document.size() == 1) {
        print_json(g_document[0]);
    } else if (g_document.size() > 1) {
        std::string out = "[";
        for (size_t i = 0; i < g_document.size(); ++i) out += (i ? ",\n " : "") + json_text(g_document[i]);
        std::printf("%s]\n", out.c_str());
    }
    g_document.clear();
    std::fflush(stdout);
}

}  // namespace korval::tool
