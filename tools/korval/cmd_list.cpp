// korval list: one line per usable board.
#include <cstdio>
#include <string>
#include <vector>

#include "capability_words.h"
#include "command.h"
#include "json_out.h"
#include "korval/korval.h"

namespace korval::tool {

namespace {

// Boards of the family on the bus that this user may not open: the usual reason a list on Linux is
// empty (no udev rules installed, or the board was plugged in before they were).
void explain_missing_boards()
{
    uint32_t denied = 0;
    uint32_t size = 0;
    if (KORVAL_GetDeniedBoards(&denied, &size, nullptr) != 0 || denied == 0) return;
    std::string paths(size, '\0');
    if (KORVAL_GetDeniedBoards(&denied, &size, paths.data()) != 0) return;
    paths.resize(paths.find('\0'));
    std::string listed;  // one path a line from the library, one after another here
    for (const char c : paths) listed += c == '\n' ? std::string(", ") : std::string(1, c);
    std::printf(
        "%u %s attached but this user may not open %s (%s): no permission on the USB device.\n"
        "Install the udev rules (udev/70-korval.rules; `cmake --install` puts them in place), then\n"
        "unplug and plug the boards in again. See README.md, \"Linux\".\n",
        static_cast<unsigned>(denied), denied == 1 ? "board of the family is" : "boards of the family are",
        denied == 1 ? "it" : "them", listed.c_str());
}

int run(const Options& options, const Args& args)
{
    if (!args.empty()) return usage_error("list takes no arguments");
    const uint32_t mask = GetDevices();
    if (options.json) std::printf("[");
    bool first = true;
    for (uint32_t slot = 0; slot < KORVAL_SLOT_COUNT; ++slot) {
        if ((mask & (1u << slot)) == 0) continue;
        KorvalCapabilities d{};
        d.Size = sizeof d;
        if (KORVAL_GetCapabilities(slot, &d) != 0) continue;
        const char* path = d.DriverPath == 1 ? "DeviceIoControl" : "WinUSB";
        const std::vector<std::string> words = capability_words(d);
        if (options.json) {
            char pid[8];
            std::snprintf(pid, sizeof pid, "0x%04X", static_cast<unsigned>(d.ProductID));
            const Json board = {{"slot", slot}, {"pid", pid}, {"path", path}, {"capabilities", words}};
            std::printf("%s\n  %s", first ? "" : ",", json_text(board).c_str());
        } else {
            std::printf("%-4u 0x%04X  %-15s %s\n", slot, static_cast<unsigned>(d.ProductID), path,
                        joined_words(words, "no known capabilities").c_str());
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
