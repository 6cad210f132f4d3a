// korval info SLOT: what board sits in a slot.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "command.h"
#include "device_option.h"
#include "json_out.h"
#include "korval/korval.h"

namespace korval::tool {

namespace {

int run(const Options& options)
{
    const uint32_t index = options.device;
    GetDevices();  // boards attached since the library loaded

    uint32_t pid = 0, dio = 0, counters = 0, name_size = 0;
    if (const uint32_t r = QueryDeviceInfo(index, &pid, &name_size, nullptr, &dio, &counters))
        return report_error(r, "device");
    std::string name(name_size, '\0');
    if (name_size > 0) {
        if (const uint32_t r = QueryDeviceInfo(index, nullptr, &name_size, name.data(), nullptr, nullptr))
            return report_error(r, "product name");
    }

    uint64_t serial = 0;
    const uint32_t serial_result = GetDeviceSerialNumber(index, &serial);
    char serial_text[32] = "none";
    if (serial_result == ERROR_SUCCESS) std::snprintf(serial_text, sizeof serial_text, "%016" PRIX64, serial);
    else if (serial_result != ERROR_NOT_SUPPORTED) return report_error(serial_result, "serial number");

    std::vector<uint32_t> pipes(32);
    uint32_t pipe_count = static_cast<uint32_t>(pipes.size());
    const uint32_t pipes_result = GetPipes(index, &pipe_count, pipes.data());
    if (pipes_result != ERROR_SUCCESS && pipes_result != ERROR_NOT_SUPPORTED) return report_error(pipes_result, "pipes");
    pipes.resize(pipes_result == ERROR_SUCCESS ? std::min<uint32_t>(pipe_count, 32) : 0);

    auto pipe_text = [](uint32_t entry) {
        static const char* const kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
        const uint32_t id = entry & 0xFF;
        const uint32_t type = entry >> 8;
        char text[48];
        std::snprintf(text, sizeof text, "0x%02X %s %s", id, type < 4 ? kTypes[type] : "?", (id & 0x80) ? "in" : "out");
        return std::string(text);
    };

    if (options.json) {
        char pid_text[8];
        std::snprintf(pid_text, sizeof pid_text, "0x%04X", static_cast<unsigned>(pid));
        Json pipe_list = nullptr;
        if (pipes_result == ERROR_SUCCESS) {
            pipe_list = Json::array();
            for (const auto& pipe : pipes) pipe_list.push_back(pipe_text(pipe));
        }
        print_json({{"pid", pid_text},
                    {"name", name},
                    {"serial", serial_result == 0 ? Json(serial_text) : Json(nullptr)},
                    {"ports", dio},
                    {"counter_blocks", counters},
                    {"pipes", pipe_list}});
        return 0;
    }
    std::printf("product        0x%04X\nname           %s\nserial number  %s\ndigital ports  %u\ncounters       %u "
                "(%u block%s)\n",
                pid, name.empty() ? "(none)" : name.c_str(), serial_text, dio, counters * 3, counters,
                counters == 1 ? "" : "s");
    if (pipes_result != ERROR_SUCCESS) std::printf("pipes          not reported on the DeviceIoControl path\n");
    else if (pipes.empty()) std::printf("pipes          none\n");
    for (size_t i = 0; i < pipes.size(); ++i) std::printf("%s%s\n", i == 0 ? "pipes          " : "               ", pipe_text(pipes[i]).c_str());
    return 0;
}

void define(CLI::App& info)
{
    info.callback([] { queue_action(run); });
}

const RegisterCommand kInfo{{"info", "[-d N]", "product, name, serial number, ports, counters, pipes", define, true}};

}  // namespace

}  // namespace korval::tool
