// korval list: one line per usable board. With --watch it goes on printing the boards that arrive and
// leave, one line each, until Ctrl-C.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

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

std::atomic<bool> g_interrupted{false};
void on_watch_interrupt(int) { g_interrupted = true; }

// One line per event, from the library's notification thread. Slots are not touched: the board that
// arrived is in the list the next `korval list` (or GetDevices) makes.
void KORVAL_CALLBACK print_event(void* context, const KorvalBoardEvent* e)
{
    const bool json = *static_cast<const bool*>(context);
    const char* kind = e->Kind == KORVAL_BOARD_ARRIVED ? "arrived" : "left";
    char pid[8];
    std::snprintf(pid, sizeof pid, "0x%04X", static_cast<unsigned>(e->ProductID));
    const char* driver = e->DriverPath == 1 ? "DeviceIoControl" : "WinUSB";
    if (json) {
        Json event = {{"event", kind}, {"pid", pid}, {"path", driver}, {"where", e->Path}};
        if (e->SerialNumber[0] != '\0') event["serial"] = e->SerialNumber;
        std::printf("%s\n", json_text(event).c_str());
    } else {
        std::printf("%-8s %s  %-15s %s%s%s\n", kind, pid, driver, e->Path, e->SerialNumber[0] ? "  serial " : "",
                    e->SerialNumber);
    }
    std::fflush(stdout);
}

// After the list: the events as they come, until Ctrl-C.
int watch(const Options& options)
{
    static bool json = false;
    json = options.json;
    g_interrupted = false;
    auto previous = std::signal(SIGINT, on_watch_interrupt);
    uint32_t registration = 0;
    if (const uint32_t e = KORVAL_RegisterBoardNotification(print_event, &json, 0, &registration)) {
        std::signal(SIGINT, previous);
        return report_error(e, "watching for boards");
    }
    if (!options.json) std::fprintf(stderr, "watching for boards that arrive or leave; Ctrl-C ends\n");
    while (!g_interrupted) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    KORVAL_UnregisterBoardNotification(registration);
    std::signal(SIGINT, previous);
    return 0;
}

int run(const Options& options, bool watching)
{
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
    if (!watching) return 0;
    std::fflush(stdout);
    return watch(options);
}

void define(CLI::App& list)
{
    static bool watching = false;
    list.add_flag("--watch", watching, "after the list, print the boards that arrive or leave until Ctrl-C");
    list.callback([] { queue_action([](const Options& options) { return run(options, watching); }); });
}

const RegisterCommand kList{
    {"list", "[--watch]", "list the boards, one line each; --watch then prints those that arrive or leave", define}};

}  // namespace

}  // namespace korval::tool
