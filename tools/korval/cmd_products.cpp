// korval products: every product ID the library knows, with what it can do.
#include <cstdio>
#include <vector>

#include <CLI/CLI.hpp>
#include "capability_words.h"

#include "command.h"
#include "json_out.h"
#include "korval/korval.h"

namespace korval::tool {

namespace {

int run(const Options& options)
{
    uint32_t count = 0;
    if (const uint32_t r = KORVAL_ListProducts(&count, nullptr)) return report_error(r, "KORVAL_ListProducts");
    std::vector<uint32_t> pids(count);
    if (const uint32_t r = KORVAL_ListProducts(&count, pids.data())) return report_error(r, "KORVAL_ListProducts");
    Json list = Json::array();
    for (const uint32_t pid : pids) {
        KorvalCapabilities caps{};
        caps.Size = sizeof caps;
        if (const uint32_t r = KORVAL_GetProductCapabilities(pid, &caps))
            return report_error(r, "KORVAL_GetProductCapabilities");
        const std::vector<std::string> words = capability_words(caps);
        char id[8];
        std::snprintf(id, sizeof id, "0x%04X", static_cast<unsigned>(pid));
        if (options.json)
            list.push_back({{"pid", id}, {"capabilities", words}});
        else
            std::printf("%s  %s\n", id, joined_words(words, "no capabilities").c_str());
    }
    if (options.json) print_json(list);
    return 0;
}

void define(CLI::App& products)
{
    products.callback([] { queue_action(run); });
}

const RegisterCommand kProducts{
    {"products", "", "list every product ID the library knows, with its capabilities", define}};

}  // namespace

}  // namespace korval::tool
