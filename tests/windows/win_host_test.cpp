// The Windows host's own code on fakes of the system built on the simulated boards: the SetupAPI
// listing, the flags and share modes of its opens, overlapped DeviceIoControl, WinUSB, cancellation,
// the last-error value, and entry points that are missing.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "host/os/win_host.h"
#include "korval/korval.h"
#include "korval/sim.h"
#include "usb/bulk.h"
#include "windows/fake_system.h"

namespace korval::test {
namespace {

using namespace std::string_literals;

const KorvalGuid kIoctlClass = KORVAL_INTERFACE_CLASS_IOCTL;

class WinHost : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim_ = KorvalSim_Create();
        fake_ = std::make_unique<FakeSystem>(sim_);
    }
    void TearDown() override
    {
        KORVAL_InstallHost(nullptr);
        fake_.reset();
        KorvalSim_Destroy(sim_);
    }
    uint32_t add(uint32_t pid, uint32_t path) { return KorvalSim_AddBoard(sim_, pid, path); }
    void install()
    {
        host_ = os::win::host(fake_->table);
        ASSERT_EQ(KORVAL_InstallHost(&host_), 0u);
    }
    std::string path_of(uint32_t board)
    {
        char path[256] = {};
        KorvalSim_GetInterfacePath(sim_, board, path, sizeof path);
        return path;
    }
    std::vector<std::string> list(const KorvalGuid& interface_class)
    {
        std::vector<std::string> paths;
        host_ = os::win::host(fake_->table);
        host_.list_interfaces(
            host_.context, &interface_class,
            [](void* context, const char* path) { static_cast<std::vector<std::string>*>(context)->push_back(path); },
            &paths);
        return paths;
    }

    KorvalSim* sim_ = nullptr;
    std::unique_ptr<FakeSystem> fake_;
    KorvalHost host_{};
};

TEST_F(WinHost, ListingReadsEachInterfacesPathAndSkipsThoseWhoseDetailFails)
{
    fake_->extra_interfaces = {
        {"\\\\?\\usb#first\0"s, false},
        {"\\\\?\\usb#second\0left over\0"s, false},  // cut at the first zero byte
        {"\\\\?\\usb#gone\0"s, true},                // the second detail call fails: skipped
        {"\\\\?\\usb#after\0"s, false},              // the member index went on past it
        {"unterminated"s, false},
    };
    EXPECT_EQ(list(kIoctlClass),
              (std::vector<std::string>{"\\\\?\\usb#first", "\\\\?\\usb#second", "\\\\?\\usb#after", "unterminated"}));
    EXPECT_EQ(fake_->class_devs_flags(), static_cast<DWORD>(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    EXPECT_EQ(fake_->sets_created(), 1);
    EXPECT_EQ(fake_->sets_destroyed(), 1);

    fake_->class_devs_fail = true;
    EXPECT_TRUE(list(kIoctlClass).empty());
    EXPECT_EQ(fake_->sets_destroyed(), 1);  // no set, nothing to destroy
}

// Both completions of an overlapped DeviceIoControl: later on another thread, and at once.
class WinHostBoards : public WinHost, public ::testing::WithParamInterface<bool> {};

TEST_P(WinHostBoards, BoardsOfBothPathsOpenAndMoveData)
{
    fake_->complete_later = GetParam();
    const uint32_t ioctl = add(0x8040, KORVAL_SIM_IOCTL);
    const uint32_t winusb = add(0x8040, KORVAL_SIM_WINUSB);
    install();  // one discovery pass
    const auto opens = fake_->opens();
    ASSERT_EQ(GetDevices(), 0x3u);  // the DeviceIoControl pass runs first: slot 0
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].path, path_of(ioctl));
    EXPECT_EQ(opens[0].share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_EQ(opens[1].path, path_of(winusb));
    EXPECT_EQ(opens[1].share, 0u);  // WinUSB: exclusive
    for (const FakeOpen& open : opens) {
        EXPECT_EQ(open.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
        EXPECT_EQ(open.disposition, static_cast<DWORD>(OPEN_EXISTING));
        EXPECT_EQ(open.flags, static_cast<DWORD>(FILE_FLAG_OVERLAPPED));
    }

    for (uint32_t slot : {0u, 1u}) {
        const uint32_t board = slot == 0 ? ioctl : winusb;
        KorvalSim_SetProductName(sim_, board, "board on the fakes");
        uint8_t name[64] = {};
        uint32_t size = sizeof name;
        ASSERT_EQ(GenericVendorRead(slot, 0x06, 0x0302, 0, &size, name), 0u) << slot;

        const uint8_t samples[6] = {1, 2, 3, 4, 5, 6};
        ASSERT_EQ(KorvalSim_FeedBulkIn(sim_, board, 0x86, samples, sizeof samples), 0u);
        uint8_t got[16] = {};
        uint32_t moved = 0;
        ASSERT_EQ(QBT_GenericBulkIn(slot, 0x86, got, sizeof got, &moved), 0u) << slot;
        EXPECT_EQ(std::vector<uint8_t>(got, got + moved), std::vector<uint8_t>(samples, samples + 6)) << slot;
    }
    uint32_t pipes[8] = {};
    uint32_t count = 8;
    ASSERT_EQ(GetPipes(1, &count, pipes), 0u);
    EXPECT_GT(count, 0u);
    EXPECT_EQ(fake_->contract_breaches(), 0);

    EXPECT_EQ(KORVAL_CloseDevice(0), 0u);
    EXPECT_EQ(KORVAL_CloseDevice(1), 0u);
    EXPECT_EQ(GetDevices(), 0x3u);  // both files were closed, so both open again
}

INSTANTIATE_TEST_SUITE_P(Completion, WinHostBoards, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Later"s : "AtOnce"s; });

class WinHostPaths : public WinHost, public ::testing::WithParamInterface<uint32_t> {};

// A read on a board that sends nothing waits until it is cancelled through the host, and then fails with 995.
TEST_P(WinHostPaths, CancellingEndsABlockedRead)
{
    add(0x8040, GetParam());
    install();
    ASSERT_EQ(GetDevices(), 0x1u);
    auto read = std::async(std::launch::async, [] {
        uint8_t data[64];
        uint32_t moved = 0;
        return QBT_GenericBulkIn(0, 0x86, data, sizeof data, &moved);
    });
    // A cancel that comes before the read has started waiting cancels nothing: cancel until it ends.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (read.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready &&
           std::chrono::steady_clock::now() < deadline)
        EXPECT_TRUE(usb::cancel_transfers(0, 0x86));
    if (read.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        const uint8_t release[64] = {};
        KorvalSim_FeedBulkIn(sim_, 1, 0x86, release, sizeof release);
        FAIL() << "the read was not cancelled";
    }
    EXPECT_EQ(read.get(), 995u);
}

// The system's error reaches the library as the thread's last-error value: an unplugged board is gone.
TEST_P(WinHostPaths, AnUnpluggedBoardIsGone)
{
    add(0x8040, GetParam());
    install();
    ASSERT_EQ(GetDevices(), 0x1u);
    ASSERT_EQ(KorvalSim_Unplug(sim_, 1), 0u);
    uint8_t data[8];
    uint32_t moved = 0;
    EXPECT_EQ(QBT_GenericBulkIn(0, 0x86, data, sizeof data, &moved), 1617u);
    EXPECT_EQ(GetDevices(), 0x0u);
}

INSTANTIATE_TEST_SUITE_P(Paths, WinHostPaths, ::testing::Values(KORVAL_SIM_WINUSB, KORVAL_SIM_IOCTL),
                         [](const auto& info) { return info.param == KORVAL_SIM_IOCTL ? "Ioctl"s : "WinUsb"s; });

// What the host offers follows the table: a missing WinUSB.dll skips the WinUSB pass, a missing entry
// point is a null entry point that the library answers with 50 instead of calling.
TEST_F(WinHost, MissingEntryPointsAreNeverCalled)
{
    add(0x8040, KORVAL_SIM_IOCTL);
    add(0x8040, KORVAL_SIM_WINUSB);
    fake_->table.winusb_loaded = false;
    install();
    EXPECT_EQ(host_.has_winusb, 0);
    EXPECT_EQ(GetDevices(), 0x1u);
    EXPECT_EQ(fake_->opens().size(), 1u);

    fake_->table.winusb_loaded = true;
    fake_->table.WinUsb_QueryPipe = nullptr;
    fake_->table.WinUsb_AbortPipe = nullptr;
    fake_->table.CancelIoEx = nullptr;
    install();
    EXPECT_EQ(host_.winusb_query_pipe, nullptr);
    EXPECT_EQ(host_.winusb_abort_pipe, nullptr);
    EXPECT_EQ(host_.cancel_io, nullptr);
    ASSERT_EQ(GetDevices(), 0x3u);
    uint32_t pipes[8];
    uint32_t count = 8;
    EXPECT_EQ(GetPipes(1, &count, pipes), 50u);
    EXPECT_FALSE(usb::cancel_transfers(0, 0x86));
    EXPECT_FALSE(usb::cancel_transfers(1, 0x86));
}

}  // namespace
}  // namespace korval::test
