// Board notifications on simulated boards: what is told on plug and unplug, callbacks that call back
// into the library, unregistering from another thread and from the callback, the thread's end, and bad
// arguments.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/board_watch.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

using namespace std::chrono_literals;

// What a callback saw, for a test to wait on.
struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<KorvalBoardEvent> events;
    std::vector<uint32_t> masks;  // GetDevices() from the callback
    bool call_get_devices = false;
    // Set by the test to hold the callback until released.
    bool hold = false;
    bool holding = false;
    uint32_t unregister_self = 0;  // the callback's own registration, to end from inside
    uint32_t unregister_result = 0xFFFFFFFF;

    bool wait_for_events(size_t n)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return events.size() >= n; });
    }
};

void KORVAL_CALLBACK record(void* context, const KorvalBoardEvent* event)
{
    auto* seen = static_cast<Seen*>(context);
    std::unique_lock lock(seen->mutex);
    seen->events.push_back(*event);
    if (seen->call_get_devices) {
        lock.unlock();
        const uint32_t mask = GetDevices();
        lock.lock();
        seen->masks.push_back(mask);
    }
    if (seen->unregister_self != 0) {
        lock.unlock();
        const uint32_t r = KORVAL_UnregisterBoardNotification(seen->unregister_self);
        lock.lock();
        seen->unregister_result = r;
    }
    seen->holding = seen->hold;
    seen->changed.notify_all();
    seen->changed.wait_for(lock, 5s, [&] { return !seen->hold; });
    seen->holding = false;
}

class BoardWatchTest : public SimTest {
protected:
    void TearDown() override
    {
        for (uint32_t r : registrations_) KORVAL_UnregisterBoardNotification(r);
        SimTest::TearDown();
    }
    uint32_t watch(Seen& seen)
    {
        uint32_t r = 0;
        EXPECT_EQ(KORVAL_RegisterBoardNotification(record, &seen, 0, &r), ERROR_SUCCESS);
        registrations_.push_back(r);
        return r;
    }
    std::vector<uint32_t> registrations_;
};

TEST_F(BoardWatchTest, PlugAndUnplugAreToldWithTheBoardsIDsAndPath)
{
    install();
    Seen seen;
    watch(seen);
    const uint32_t a = add(0x8040, KORVAL_SIM_WINUSB);
    const uint32_t b = add(0x8070, KORVAL_SIM_IOCTL);
    ASSERT_EQ(KorvalSim_Unplug(sim_, a), ERROR_SUCCESS);
    ASSERT_EQ(KorvalSim_Unplug(sim_, a), ERROR_SUCCESS);  // already out: nothing more to tell
    ASSERT_EQ(KorvalSim_Replug(sim_, a), ERROR_SUCCESS);
    ASSERT_TRUE(seen.wait_for_events(4));
    char path_a[160], path_b[160];
    KorvalSim_GetInterfacePath(sim_, a, path_a, sizeof path_a);
    KorvalSim_GetInterfacePath(sim_, b, path_b, sizeof path_b);
    struct Want {
        uint32_t kind, product, driver_path;
        const char* path;
    };
    const Want want[] = {{KORVAL_BOARD_ARRIVED, 0x8040, 0, path_a},
                         {KORVAL_BOARD_ARRIVED, 0x8070, 1, path_b},
                         {KORVAL_BOARD_LEFT, 0x8040, 0, path_a},
                         {KORVAL_BOARD_ARRIVED, 0x8040, 0, path_a}};
    std::lock_guard lock(seen.mutex);
    ASSERT_EQ(seen.events.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        const KorvalBoardEvent& e = seen.events[i];
        EXPECT_EQ(e.Size, sizeof(KorvalBoardEvent));
        EXPECT_EQ(e.Kind, want[i].kind) << i;
        EXPECT_EQ(e.VendorID, 0x4B56u) << i;
        EXPECT_EQ(e.ProductID, want[i].product) << i;
        EXPECT_EQ(e.DriverPath, want[i].driver_path) << i;
        EXPECT_STREQ(e.Path, want[i].path) << i;
    }
    // The instance part of the path stands for the USB serial number.
    EXPECT_STREQ(seen.events[0].SerialNumber, "korvalsim0001");
    // The notification placed nothing: the slots change only by discovery.
    EXPECT_EQ(ResolveDeviceIndex(FirstDeviceIndex), KORVAL_NO_SLOT);
}

TEST_F(BoardWatchTest, ACallbackMayCallGetDevices)
{
    install();
    Seen seen;
    seen.call_get_devices = true;
    watch(seen);
    add(0x8040);
    ASSERT_TRUE(seen.wait_for_events(1));
    std::unique_lock lock(seen.mutex);
    ASSERT_TRUE(seen.changed.wait_for(lock, 5s, [&] { return seen.masks.size() == 1; }));
    EXPECT_EQ(seen.masks[0], 1u);  // the new board, found by the callback's own discovery
}

TEST_F(BoardWatchTest, UnregisteringWaitsForTheRunningCallback)
{
    install();
    Seen seen;
    seen.hold = true;
    const uint32_t r = watch(seen);
    add(0x8040);
    {
        std::unique_lock lock(seen.mutex);
        ASSERT_TRUE(seen.changed.wait_for(lock, 5s, [&] { return seen.holding; }));
    }
    std::atomic<bool> returned{false};
    bool holding_at_return = true;
    std::thread other([&] {
        EXPECT_EQ(KORVAL_UnregisterBoardNotification(r), ERROR_SUCCESS);
        returned = true;
        std::lock_guard lock(seen.mutex);
        holding_at_return = seen.holding;
    });
    // Time for the other thread to reach its wait; the check below holds however long it takes.
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned.load());
    {
        std::lock_guard lock(seen.mutex);
        seen.hold = false;
        seen.changed.notify_all();
    }
    other.join();
    EXPECT_FALSE(holding_at_return);  // the callback had returned when unregistering did
    registrations_.clear();
    EXPECT_FALSE(board_watch::thread_running());
    // Nothing is told after.
    add(0x8040);
    EXPECT_EQ(KORVAL_UnregisterBoardNotification(r), ERROR_INVALID_HANDLE);
}

TEST_F(BoardWatchTest, UnregisteringFromTheCallbackReturnsAtOnce)
{
    install();
    Seen seen;
    uint32_t r = 0;
    ASSERT_EQ(KORVAL_RegisterBoardNotification(record, &seen, 0, &r), ERROR_SUCCESS);
    {
        std::lock_guard lock(seen.mutex);
        seen.unregister_self = r;
    }
    add(0x8040);
    add(0x8040);
    ASSERT_TRUE(seen.wait_for_events(1));
    std::unique_lock lock(seen.mutex);
    ASSERT_TRUE(seen.changed.wait_for(lock, 5s, [&] { return seen.unregister_result != 0xFFFFFFFF; }));
    EXPECT_EQ(seen.unregister_result, ERROR_SUCCESS);
    lock.unlock();
    // A later registration joins the thread that ended by itself, and serves the next event alone.
    Seen later;
    watch(later);
    add(0x8040);
    ASSERT_TRUE(later.wait_for_events(1));
    lock.lock();
    EXPECT_EQ(seen.events.size(), 1u);
}

TEST_F(BoardWatchTest, TheThreadEndsWithTheLastRegistrationAndComesBack)
{
    install();
    Seen one, two;
    const uint32_t r1 = watch(one);
    const uint32_t r2 = watch(two);
    registrations_.clear();
    EXPECT_NE(r1, r2);
    EXPECT_TRUE(board_watch::thread_running());
    EXPECT_EQ(KORVAL_UnregisterBoardNotification(r1), ERROR_SUCCESS);
    EXPECT_TRUE(board_watch::thread_running());
    add(0x8040);
    ASSERT_TRUE(two.wait_for_events(1));
    EXPECT_EQ(KORVAL_UnregisterBoardNotification(r2), ERROR_SUCCESS);
    EXPECT_FALSE(board_watch::thread_running());
    EXPECT_TRUE(one.events.empty());
    // Another host: the registration goes on, on the new host's boards.
    watch(one);
    install();
    add(0x8040);
    ASSERT_TRUE(one.wait_for_events(1));
}

TEST_F(BoardWatchTest, BadArguments)
{
    Seen seen;
    uint32_t r = 0;
    EXPECT_EQ(KORVAL_RegisterBoardNotification(nullptr, &seen, 0, &r), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(KORVAL_RegisterBoardNotification(record, &seen, 0, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(KORVAL_RegisterBoardNotification(record, &seen, 1, &r), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(KORVAL_RegisterBoardNotification(record, &seen, 0, reinterpret_cast<uint32_t*>(8)), ERROR_NOACCESS);
    EXPECT_FALSE(board_watch::thread_running());
    for (uint32_t unknown : {0u, 12345u, 0xFFFFFFFFu})
        EXPECT_EQ(KORVAL_UnregisterBoardNotification(unknown), ERROR_INVALID_HANDLE) << unknown;
}

// A host of version 1 has no watch: its boards are listed instead, and told with the IDs its paths hold.
TEST_F(BoardWatchTest, AVersionOneHostIsListed)
{
    KorvalHost old = *KorvalSim_Host(sim_);
    old.version = 1;  // the watch entries are past the end of a version-1 table: not to be read
    ASSERT_EQ(KORVAL_InstallHost(&old), ERROR_SUCCESS);
    Seen seen;
    watch(seen);
    add(0x8040);
    ASSERT_TRUE(seen.wait_for_events(1));  // within a listing period
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.events[0].Kind, KORVAL_BOARD_ARRIVED);
    EXPECT_EQ(seen.events[0].ProductID, 0x8040u);
}

}  // namespace
}  // namespace korval::test
