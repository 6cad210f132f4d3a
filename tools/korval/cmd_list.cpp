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

// Boards of the family that are attached but that this program cannot open: the usual reason a list
// on Linux is short (no udev rules installed, or the board was plugged in before they were).
std::vector<KorvalUnusableBoard> unusable_boards()
{
    std::vector<KorvalUnusableBoard> boards;
    for (uint32_t i = 0;; ++i) {
        KorvalUnusableBoard b{};
        b.Size = sizeof b;
        if (KORVAL_GetUnusableBoard(i, &b) != ERROR_SUCCESS) return boards;
        boards.push_back(b);
    }
}

// The server a remote board is reached through ("HOST:PORT"); empty for a board of this computer.
std::string remote_server(uint32_t slot)
{
    char server[256] = "";
    uint32_t size = sizeof server;
    return KORVAL_GetRemoteServer(slot, &size, server) == ERROR_SUCCESS ? std::string(server) : std::string();
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
        const char* driver = d.DriverPath == 1 ? "DeviceIoControl" : "WinUSB";
        const std::string server = remote_server(slot);
        const std::string path = std::string(driver) + (server.empty() ? "" : " at " + server);
        const std::vector<std::string> words = capability_words(d);
        if (options.json) {
            char pid[8];
            std::snprintf(pid, sizeof pid, "0x%04X", static_cast<unsigned>(d.ProductID));
            Json board = {{"slot", slot}, {"pid", pid}, {"path", driver}, {"capabilities", words}};
            if (!server.empty()) board["server"] = server;
            std::printf("%s\n  %s", first ? "" : ",", json_text(board).c_str());
        } else {
            std::printf("%-4u 0x%04X  %-15s %s\n", slot, static_cast<unsigned>(d.ProductID), path.c_str(),
                        joined_words(words, "no known capabilities").c_str());
        }
        first = false;
    }
    const std::vector<KorvalUnusableBoard> unusable = unusable_boards();
    for (const KorvalUnusableBoard& b : unusable) {
        char pid[8];
        std::snprintf(pid, sizeof pid, "0x%04X", static_cast<unsigned>(b.ProductID));
        if (options.json) {
            const Json board = {{"slot", nullptr}, {"pid", pid},       {"path", b.Path},
                                {"usable", false}, {"error", b.Error}, {"reason", b.Reason}};
            std::printf("%s\n  %s", first ? "" : ",", json_text(board).c_str());
        } else {
            std::printf("-    %s  %-15s unusable: %s\n", pid, b.Path, b.Reason);
        }
        first = false;
    }
    if (options.json) std::printf("%s]\n", first ? "" : "\n");
    else if (first)
        std::printf("no boards\n");
    return 0;
}

const RegisterCommand kList{{"list", "", "list the boards, one line each", run}};

}  // namespace

}  // namespace korval::tool
