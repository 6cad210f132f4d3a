// Several callers on one board at once, and the board unplugged while they run. Run under
// ThreadSanitizer in continuous integration, where these are the data-race checks of the transport.
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "support/sim_fixture.h"

namespace korval::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(30);

// One caller's round of work on slot 0: reads and writes of its own part of the board's state, each
// checked. Returns the first failure's code, 0 when the round went through.
using Round = std::function<uint32_t(int caller, int round)>;

uint32_t mixed_round(int caller, int round)
{
    // Each caller keeps to its own EEPROM bytes, so what it reads back must be what it wrote.
    const uint32_t address = 0x40 * static_cast<uint32_t>(caller);
    uint8_t wrote[8];
    for (int i = 0; i < 8; ++i) wrote[i] = static_cast<uint8_t>(round * 7 + i + caller);
    if (const uint32_t r = CustomEEPROMWrite(0, address, sizeof wrote, wrote)) return r;
    uint8_t read[8] = {};
    uint32_t size = sizeof read;
    if (const uint32_t r = CustomEEPROMRead(0, address, &size, read)) return r;
    if (size != sizeof read || std::memcmp(read, wrote, sizeof read) != 0) return ERROR_INVALID_DATA;

    uint8_t ports[2] = {};
    if (const uint32_t r = DIO_ReadAll(0, ports)) return r;
    uint16_t count = 0;
    if (const uint32_t r = CTR_8254Read(0, 0, 0, &count)) return r;
    uint32_t pid = 0, name_size = 32;
    char name[32];
    if (const uint32_t r = QueryDeviceInfo(0, &pid, &name_size, name, nullptr, nullptr)) return r;
    return pid == 0x8140 ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

class Stress : public PathTest {
protected:
    // Runs `callers` threads doing rounds until `rounds` are done or one fails; `during` runs on this
    // thread once every caller has done a few rounds (or ended). Returns each caller's last result. A
    // caller still busy after the time limit is asked to stop, so the test ends either way.
    std::vector<uint32_t> run(int callers, int rounds, const std::function<void()>& during = {})
    {
        std::atomic<int> warmed_up{0};
        std::atomic<int> ended{0};
        std::atomic<bool> stop{false};
        std::vector<uint32_t> results(static_cast<size_t>(callers), 0);
        std::vector<std::thread> threads;
        for (int c = 0; c < callers; ++c) {
            threads.emplace_back([&, c] {
                uint32_t& result = results[static_cast<size_t>(c)];
                bool warm = false;
                for (int round = 0; round < rounds && !stop.load(); ++round) {
                    result = mixed_round(c, round);
                    if (round == 3) {
                        warm = true;
                        warmed_up.fetch_add(1);
                    }
                    if (result != ERROR_SUCCESS) break;
                }
                if (!warm) warmed_up.fetch_add(1);  // ended before warming up: do not hold up `during`
                ended.fetch_add(1);
            });
        }
        auto wait_until = [](const std::atomic<int>& count, int wanted) {
            const auto deadline = Clock::now() + kPatience;
            while (count.load() < wanted && Clock::now() < deadline) std::this_thread::yield();
        };
        if (during) {
            wait_until(warmed_up, callers);
            during();
        }
        wait_until(ended, callers);
        stop = true;
        for (auto& t : threads) t.join();
        return results;
    }
};

TEST_P(Stress, TwoCallersOnOneBoardEachSeeTheirOwnData)
{
    install_one(0x8140, path());
    for (uint32_t r : run(2, 200)) EXPECT_EQ(r, 0u);
}

TEST_P(Stress, UnplugWhileTwoCallersRunEndsBothWithTheBoardGone)
{
    const uint32_t board = install_one(0x8140, path());
    const auto results = run(2, 1000000, [&] { KorvalSim_Unplug(sim_, board); });
    // On the DeviceIoControl path a failed read reports the driver's code and leaves the slot open: 1167
    // for the unplugged board, or 6 when the other caller's failed write closed the handle first. A
    // failed write marks the slot removed. Either way every caller stops with the board's absence.
    for (uint32_t r : results)
        EXPECT_TRUE(r == ERROR_DEVICE_REMOVED ||
                    (ioctl() && (r == ERROR_DEVICE_NOT_CONNECTED || r == ERROR_INVALID_HANDLE)))
            << r;
    EXPECT_EQ(CustomEEPROMWrite(0, 0, 1, "x"), ERROR_DEVICE_REMOVED);
    uint32_t handle = 0;
    EXPECT_EQ(GetDeviceHandle(0, &handle), ERROR_DEVICE_REMOVED);
}

KORVAL_BOTH_PATHS(Stress);

}  // namespace
}  // namespace korval::test
