// The simulated host itself: enumeration, sharing, faults, blocked transfers and their cancellation,
// the log's limits and the clock.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "support/sim_fixture.h"

namespace korval::test {
namespace {

class Sim : public SimTest {
protected:
    const KorvalHost& host() const { return *KorvalSim_Host(sim_); }

    KorvalHandle open(uint32_t board, bool exclusive, uint32_t expected_error = 0)
    {
        char path[160];
        KorvalSim_GetInterfacePath(sim_, board, path, sizeof path);
        KorvalHandle file = 0;
        uint32_t error = 0;
        const int ok = host().open_file(host().context, path, exclusive, &file, &error);
        EXPECT_EQ(ok != 0, expected_error == 0);
        EXPECT_EQ(error, expected_error);
        return file;
    }
    KorvalHandle interface_of(KorvalHandle file)
    {
        KorvalHandle i = 0;
        uint32_t error = 0;
        EXPECT_TRUE(host().winusb_initialize(host().context, file, &i, &error));
        return i;
    }
    // Reads from a bulk endpoint on another thread.
    std::future<std::pair<int, uint32_t>> read_async(KorvalHandle i, uint8_t pipe)
    {
        return std::async(std::launch::async, [this, i, pipe] {
            uint8_t data[16];
            uint32_t n = 0, error = 0;
            const int ok = host().winusb_read_pipe(host().context, i, pipe, data, sizeof data, &n, &error);
            return std::make_pair(ok, error);
        });
    }
};

TEST_F(Sim, EnumeratesEachClassInOrderAndHidesUnpluggedBoards)
{
    const uint32_t a = add(0x8001, KORVAL_SIM_WINUSB);
    add(0x8002, KORVAL_SIM_IOCTL);
    const uint32_t c = add(0x8003, KORVAL_SIM_WINUSB);
    KorvalSim_Unplug(sim_, a);
    std::vector<std::string> paths;
    const KorvalGuid winusb = KORVAL_INTERFACE_CLASS_WINUSB;
    host().list_interfaces(host().context, &winusb,
                           [](void* ctx, const char* p) { static_cast<std::vector<std::string>*>(ctx)->push_back(p); },
                           &paths);
    char path[160];
    KorvalSim_GetInterfacePath(sim_, c, path, sizeof path);
    EXPECT_EQ(paths, std::vector<std::string>{path});
}

TEST_F(Sim, ExclusiveOpensExcludeEveryOtherOpen)
{
    const uint32_t w = add(0x8001, KORVAL_SIM_WINUSB);
    const KorvalHandle f = open(w, true);
    open(w, true, ERROR_SHARING_VIOLATION);
    open(w, false, ERROR_SHARING_VIOLATION);
    uint32_t error = 0;
    EXPECT_TRUE(host().close_handle(host().context, f, &error));
    open(w, true);
    const uint32_t c = add(0x8001, KORVAL_SIM_IOCTL);
    open(c, false);
    open(c, false);
    open(c, true, ERROR_SHARING_VIOLATION);
}

TEST_F(Sim, FaultsApplyToMatchingTransfersInOrderAndRunOut)
{
    const uint32_t board = install_one(0x8001);
    fail_next(board, KORVAL_SIM_CONTROL, 0xA2, 121, 2);
    fail_next(board, KORVAL_SIM_CONTROL, KORVAL_SIM_ANY, 122, 1);
    EXPECT_EQ(GenericVendorWrite(0, 0x10, 0, 0, 0, nullptr), 122u);  // only the catch-all matches 0x10
    EXPECT_EQ(GenericVendorWrite(0, 0xA2, 0, 0, 0, nullptr), 121u);
    EXPECT_EQ(GenericVendorWrite(0, 0xA2, 0, 0, 0, nullptr), 121u);
    EXPECT_EQ(GenericVendorWrite(0, 0xA2, 0, 0, 0, nullptr), 0u);
    const auto l = log(board);
    ASSERT_EQ(l.size(), 4u);
    EXPECT_EQ(l[0].info.error, 122u);
    EXPECT_EQ(l[3].info.error, 0u);
}

TEST_F(Sim, BlockedTransfersEndOnAbortCancelAndUnplug)
{
    const uint32_t board = add(0x8040, KORVAL_SIM_WINUSB);  // nothing feeds its IN endpoint 0x86 yet
    const KorvalHandle f = open(board, true);
    const KorvalHandle i = interface_of(f);
    uint32_t error = 0;

    auto aborted = read_async(i, 0x86);
    EXPECT_EQ(aborted.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    while (aborted.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
        host().winusb_abort_pipe(host().context, i, 0x86, &error);
    EXPECT_EQ(aborted.get(), std::make_pair(0, 995u));

    auto cancelled = read_async(i, 0x86);
    while (cancelled.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
        host().cancel_io(host().context, f, &error);
    EXPECT_EQ(cancelled.get(), std::make_pair(0, 995u));

    auto unplugged = read_async(i, 0x86);
    EXPECT_EQ(unplugged.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    KorvalSim_Unplug(sim_, board);
    EXPECT_EQ(unplugged.get(), std::make_pair(0, 1167u));
    // Handles opened before the board went stay dead after it comes back.
    KorvalSim_Replug(sim_, board);
    uint8_t setup[8] = {0xC0, 0xA2, 0, 0, 0, 0, 0, 0};
    uint32_t n = 0;
    EXPECT_FALSE(host().winusb_control_transfer(host().context, i, setup, nullptr, 0, &n, &error));
    EXPECT_EQ(error, 1167u);
}

// A simulation destroyed while a transfer waits at one of its boards (a stream left running) ends the
// transfer as an unplug would, instead of hanging in the destruction.
TEST(SimDestroy, EndsTheTransfersStillWaiting)
{
    KorvalSim* sim = KorvalSim_Create();
    const uint32_t board = KorvalSim_AddBoard(sim, 0x8040, KORVAL_SIM_WINUSB);
    const KorvalHost host = *KorvalSim_Host(sim);
    char path[160];
    KorvalSim_GetInterfacePath(sim, board, path, sizeof path);
    KorvalHandle f = 0, i = 0;
    uint32_t error = 0;
    ASSERT_TRUE(host.open_file(host.context, path, 1, &f, &error));
    ASSERT_TRUE(host.winusb_initialize(host.context, f, &i, &error));
    auto waiting = std::async(std::launch::async, [&host, i] {
        uint8_t data[16];
        uint32_t n = 0, e = 0;
        const int ok = host.winusb_read_pipe(host.context, i, 0x86, data, sizeof data, &n, &e);
        return std::make_pair(ok, e);
    });
    // Long enough for the read to be waiting at the board, which has nothing to send.
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    KorvalSim_Destroy(sim);
    EXPECT_EQ(waiting.get(), std::make_pair(0, 1167u));
}

TEST_F(Sim, PipesOutsideTheInterfaceFail)
{
    const uint32_t board = add(0x8001, KORVAL_SIM_WINUSB);
    const KorvalHandle i = interface_of(open(board, true));
    uint8_t data[4];
    uint32_t n = 0, error = 0;
    EXPECT_FALSE(host().winusb_read_pipe(host().context, i, 0x81, data, sizeof data, &n, &error));
    EXPECT_EQ(error, 87u);
}

TEST_F(Sim, LogKeepsTheNewestEntriesAndCountsTheDropped)
{
    const uint32_t board = install_one(0x8001);
    KorvalSim_SetLogLimits(sim_, board, 3, 16);
    for (int i = 0; i < 5; ++i) GenericVendorWrite(0, 0x10, static_cast<uint16_t>(i), 0, 0, nullptr);
    const auto l = log(board);
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0].value(), 2);
    EXPECT_EQ(l[2].info.sequence, l[0].info.sequence + 2);
}

TEST_F(Sim, ManualClockMovesOnlyWhenAdvanced)
{
    KorvalSim_SetManualClock(sim_, 1);
    const uint64_t t0 = KorvalSim_ClockNanoseconds(sim_);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(KorvalSim_ClockNanoseconds(sim_), t0);
    KorvalSim_AdvanceClock(sim_, 1'000'000);
    EXPECT_EQ(KorvalSim_ClockNanoseconds(sim_), t0 + 1'000'000);
    KorvalSim_SetManualClock(sim_, 0);
    EXPECT_GE(KorvalSim_ClockNanoseconds(sim_), t0 + 1'000'000);
}

TEST_F(Sim, ProductNamesSayWhatTheBoardCarries)
{
    const uint32_t board = install_one(0x8040);
    uint8_t reply[256] = {};
    uint32_t size = sizeof reply;
    ASSERT_EQ(GenericVendorRead(0, 0x06, 0x0302, 0, &size, reply), 0u);
    std::string name;
    for (uint32_t i = 2; i < reply[0]; i += 2) name += static_cast<char>(reply[i]);
    EXPECT_EQ(name.rfind("Korval 16-channel analog input", 0), 0u) << name;
    KorvalSim_SetProductName(sim_, board, "Rig 7");
    size = sizeof reply;
    ASSERT_EQ(GenericVendorRead(0, 0x06, 0x0302, 0, &size, reply), 0u);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(reply[0], 12);
}

}  // namespace
}  // namespace korval::test
