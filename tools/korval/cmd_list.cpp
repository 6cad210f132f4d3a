// korval list: one line per usable board.
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "json_out.h"
#include "core/device_table.h"
#include "korval/korval.h"

#ifdef __linux__
#include "host/os/linux_host.h"
#endif

namespace korval::tool {

namespace {

std::string plural(uint32_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What the product table gave the slot's board, in words.
std::vector<std::string> capabilities(const TDeviceData& d)
{
    std::vector<std::string> words;
    if (d.bADCBulk) words.push_back(std::to_string(d.ADCMUXChannels) + "-channel analog input");
    if (d.ImmADCs > 0) words.push_back(plural(d.ImmADCs, "immediate analog input", "immediate analog inputs"));
    if (d.ImmDACs > 0) words.push_back(plural(d.ImmDACs, "analog output", "analog outputs"));
    if (d.bDACStream) words.push_back("waveform output");
    if (d.bDACChannelCal) words.push_back("calibrated outputs");
    if (d.DIOBytes > 0) words.push_back(plural(d.DIOBytes, "digital port", "digital ports"));
    if (d.bDIOStream) words.push_back("digital streaming");
    if (d.bDIOSPI) words.push_back("SPI");
    if (d.bDIODebounce) words.push_back("debounced inputs");
    if (d.Counters > 0) words.push_back(plural(d.Counters * 3, "counter", "counters"));
    if (d.FlashSectors > 0) words.push_back(std::to_string(d.FlashSectors * 64) + " KiB flash");
    return words;
}

// Boards of the family on the bus that this user may not open: the usual reason a list on Linux is
// empty (no udev rules installed, or the board was plugged in before they were).
void explain_missing_boards()
{
#ifdef __linux__
    const os::linux_usb::Census census = os::linux_usb::census();
    if (census.denied == 0) return;
    std::string paths;
    for (const std::string& p : census.paths) paths += (paths.empty() ? "" : ", ") + p;
    std::printf("%s attached but this user may not open %s (%s): no permission on the USB device.\n"
                "Install the udev rules (udev/70-korval.rules; `cmake --install` puts them in place), then\n"
                "unplug and plug the boards in again. See README.md, \"Linux\".\n",
                plural(census.denied, "board of the family is", "boards of the family are").c_str(),
                census.denied == 1 ? "it" : "them", paths.c_str());
#endif
}

int run(const Options& options, const Args& args)
{
    if (!args.empty()) return usage_error("list takes no arguments");
    const uint32_t mask = GetDevices();
    if (options.json) std::printf("[");
    bool first = true;
    for (uint32_t slot = 0; slot < KORVAL_SLOT_COUNT; ++slot) {
        if ((mask & (1u << slot)) == 0) continue;
        const TDeviceData& d = device(slot);
        // A remote board's path starts with its server's address.
        const bool remote = (d.Handle >> 56) != 0;
        const std::string server = remote ? d.DevPath.substr(0, d.DevPath.find('/')) : "";
        const std::string path = std::string(d.bCyUSB ? "DeviceIoControl" : "WinUSB") + (remote ? " at " + server : "");
        const std::vector<std::string> words = capabilities(d);
        std::string joined;
        for (const std::string& w : words) joined += (joined.empty() ? "" : ", ") + w;
        if (options.json) {
            char pid[8];
            std::snprintf(pid, sizeof pid, "0x%04X", static_cast<unsigned>(d.PID));
            Json board = {{"slot", slot}, {"pid", pid}, {"path", d.bCyUSB ? "DeviceIoControl" : "WinUSB"},
                          {"capabilities", words}};
            if (remote) board["server"] = server;
            std::printf("%s\n  %s", first ? "" : ",", json_text(board).c_str());
        } else {
            std::printf("%-4u 0x%04X  %-15s %s\n", slot, static_cast<unsigned>(d.PID), path.c_str(),
                        joined.empty() ? "no known capabilities" : joined.c_str());
        }
        first = false;
    }
    if (options.json) std::printf("%s]\n", first ? "" : "\n");
    else if (mask == 0) std::printf("no boards\n");
    // Only the operating system's host can be denied a board; with simulated boards it is not running.
    if (!options.json) explain_missing_boards();
    return 0;
}

const RegisterCommand kList{{"list", "", "list the boards, one line each", run}};

}  // namespace

}  // namespace korval::tool
