// The Linux host through an emulated USB stack: the real libusb path, from enumeration to URBs, talking
// to simulated boards' firmware (see usb_testbed.h). Runs under umockdev's preload library.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/last_error.h"
#include "emulated/usb_testbed.h"
#include "host/os/linux_host.h"
#include "korval/korval.h"
#include "korval/sim.h"
#include "support/forked_case.h"
#include "support/sim_fixture.h"
#include "usb/bulk.h"
#include "usb/host_binding.h"

namespace korval::test {

namespace {

// A thread's name (/proc's comm): threads take the process's unless they name themselves, as GLib's do.
std::string thread_name(const std::string& tid)
{
    std::ifstream file("/proc/self/task/" + tid + "/comm");
    std::string name;
    std::getline(file, name);
    return name;
}

// The threads of the process that bear its own name, by id: those a library may start, leaving out
// the named threads of GLib (umockdev's), which come and go on their own.
std::set<std::string> unnamed_threads()
{
    std::set<std::string> ids;
    const std::string own = thread_name(std::to_string(getpid()));
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(dir))
            if (e->d_name[0] != '.' && thread_name(e->d_name) == own) ids.insert(e->d_name);
        closedir(dir);
    }
    return ids;
}

class EmulatedUsbTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim_ = KorvalSim_Create();
        bed_ = std::make_unique<UsbTestbed>();
    }

    void TearDown() override
    {
        // The libusb session ends (every handle closed) before the emulated devices go.
        KORVAL_InstallHost(KorvalSim_Host(sim_));
        bed_.reset();
        KORVAL_InstallHost(nullptr);
        KorvalSim_Destroy(sim_);
    }

    uint32_t plug(uint32_t pid, const std::string& port, uint16_t vendor = 0x4B56)
    {
        const uint32_t board = KorvalSim_AddBoard(sim_, pid, KORVAL_SIM_WINUSB);
        bed_->plug(sim_, board, port, vendor);
        return board;
    }

    // Starts the operating system's host on the testbed: one discovery pass.
    void install() { ASSERT_EQ(KORVAL_InstallHost(nullptr), 0u); }

    uint32_t pid_of(uint32_t slot)
    {
        uint32_t pid = 0;
        return QueryDeviceInfo(slot, &pid, nullptr, nullptr, nullptr, nullptr) == 0 ? pid : 0;
    }

    std::vector<Transfer> log(uint32_t board) const { return sim_log(sim_, board); }

    KorvalSim* sim_ = nullptr;
    std::unique_ptr<UsbTestbed> bed_;
};

TEST_F(EmulatedUsbTest, BoardsOfTheFamilyFillSlotsInBusAndPortOrder)
{
    plug(0x8040, "1-4.2");
    plug(0x8001, "2-1");
    plug(0x8020, "1-3");
    plug(0x8004, "1-4.1");
    plug(0x8002, "1-2", 0x1234);  // another vendor's device
    install();
    EXPECT_EQ(GetDevices(), 0xFu);
    EXPECT_EQ(pid_of(0), 0x8020u);
    EXPECT_EQ(pid_of(1), 0x8004u);
    EXPECT_EQ(pid_of(2), 0x8040u);
    EXPECT_EQ(pid_of(3), 0x8001u);

    std::vector<std::string> paths;
    usb::list_interfaces(KorvalGuid KORVAL_INTERFACE_CLASS_WINUSB, [&](const char* p) { paths.push_back(p); });
    EXPECT_EQ(paths, (std::vector<std::string>{"usb:1-3", "usb:1-4.1", "usb:1-4.2", "usb:2-1"}));
    usb::list_interfaces(KorvalGuid KORVAL_INTERFACE_CLASS_IOCTL, [&](const char* p) { paths.push_back(p); });
    EXPECT_EQ(paths.size(), 4u);
}

TEST_F(EmulatedUsbTest, VendorIdsComeFromTheEnvironmentWhenSet)
{
    plug(0x8040, "1-3");
    plug(0x8001, "1-2", 0x1234);
    setenv("KORVAL_VENDOR_IDS", "0x1234; 4b56", 1);
    install();
    unsetenv("KORVAL_VENDOR_IDS");
    EXPECT_EQ(GetDevices(), 0x3u);
    EXPECT_EQ(pid_of(0), 0x8001u);
}

TEST_F(EmulatedUsbTest, ThirtyThreeBoardsFillTheTableAndTheSurplusBoardIsReleased)
{
    for (int port = 1; port <= 33; ++port) plug(0x8001, "1-4." + std::to_string(port));
    install();
    EXPECT_EQ(GetDevices(), 0xFFFFFFFFu);
    // The 33rd board was opened, found no slot and was closed again: it can be claimed.
    KorvalHandle file = 0;
    ASSERT_TRUE(usb::open_file("usb:1-4.33", true, file));
    EXPECT_TRUE(usb::close_handle(file));
    EXPECT_FALSE(usb::open_file("usb:1-4.32", true, file));
}

TEST_F(EmulatedUsbTest, ControlRequestsReachTheFirmware)
{
    const uint32_t board = plug(0x8001, "1-3");
    install();
    ASSERT_EQ(GetDevices(), 1u);

    const uint8_t bytes[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_EQ(CustomEEPROMWrite(0, 0x10, sizeof bytes, bytes), 0u);
    uint8_t stored[4] = {};
    ASSERT_EQ(KorvalSim_EepromRead(sim_, board, 0x1E10, sizeof stored, stored), 0u);
    EXPECT_EQ(std::vector<uint8_t>(stored, stored + 4), std::vector<uint8_t>(bytes, bytes + 4));
    uint8_t back[4] = {};
    uint32_t size = sizeof back;
    ASSERT_EQ(CustomEEPROMRead(0, 0x10, &size, back), 0u);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 4), std::vector<uint8_t>(bytes, bytes + 4));

    // Digital ports: the output latch set, an outside level read back.
    const uint8_t out_mask = 0x01, levels[2] = {0x00, 0x00};
    ASSERT_EQ(DIO_Configure(0, 0, &out_mask, levels), 0u);
    ASSERT_EQ(DIO_Write8(0, 0, 0x5A), 0u);
    const uint8_t inputs[2] = {0xFF, 0x3C};
    ASSERT_EQ(KorvalSim_SetDigitalInputs(sim_, board, inputs, 2), 0u);
    KorvalSimDigitalState state{};
    ASSERT_EQ(KorvalSim_GetDigitalState(sim_, board, &state), 0u);
    EXPECT_EQ(state.outputs[0], 0x5A);
    uint8_t port1 = 0;
    ASSERT_EQ(DIO_Read8(0, 1, &port1), 0u);
    EXPECT_EQ(port1, 0x3C);

    // A request the firmware does not know is stalled: 31, and the board stays usable.
    uint8_t reply[4];
    uint32_t reply_size = sizeof reply;
    EXPECT_EQ(GenericVendorRead(0, 0x77, 0, 0, &reply_size, reply), ERROR_GEN_FAILURE);
    EXPECT_EQ(GetDevices(), 1u);
}

TEST_F(EmulatedUsbTest, BulkDataMovesWholeBetweenCallerAndBoard)
{
    const uint32_t board = plug(0x8040, "1-3");
    install();
    ASSERT_EQ(GetDevices(), 1u);
    KorvalSim_ClearLog(sim_, board);

    std::vector<uint8_t> out(40000);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i * 7);
    uint32_t moved = 0;
    ASSERT_EQ(QBT_GenericBulkOut(0, 0x02, out.data(), static_cast<uint32_t>(out.size()), &moved), 0u);
    EXPECT_EQ(moved, out.size());
    std::vector<uint8_t> captured(out.size() + 16);
    uint32_t taken = 0;
    ASSERT_EQ(KorvalSim_ReadBulkOut(sim_, board, 0x02, captured.data(), static_cast<uint32_t>(captured.size()), &taken,
                                    nullptr),
              0u);
    captured.resize(taken);
    EXPECT_EQ(captured, out);

    std::vector<uint8_t> in(3000);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i ^ 0x55);
    ASSERT_EQ(KorvalSim_FeedBulkIn(sim_, board, 0x86, in.data(), static_cast<uint32_t>(in.size())), 0u);
    std::vector<uint8_t> buffer(4096);
    ASSERT_EQ(QBT_GenericBulkIn(0, 0x86, buffer.data(), static_cast<uint32_t>(buffer.size()), &moved), 0u);
    ASSERT_EQ(moved, in.size());
    buffer.resize(moved);
    EXPECT_EQ(buffer, in);

    // One transfer each way on the wire, not split.
    const auto transfers = log(board);
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0].info.length_asked, 40000u);
    EXPECT_EQ(transfers[1].info.length_asked, 4096u);
}

TEST_F(EmulatedUsbTest, AControlRequestTheBoardNeverAnswersTimesOut)
{
    const uint32_t board = plug(0x8001, "1-3");
    install();
    ASSERT_EQ(GetDevices(), 1u);
    bed_->hang_control(board, true);
    uint8_t port = 0;
    EXPECT_EQ(DIO_Read8(0, 0, &port), 121u);  // ERROR_SEM_TIMEOUT, after 5 s
    bed_->hang_control(board, false);
    EXPECT_EQ(DIO_Read8(0, 0, &port), 0u);
}

// Runs a bulk read of the board in slot 0 on another thread.
std::future<uint32_t> read_in_background(std::vector<uint8_t>& buffer)
{
    return std::async(std::launch::async, [&buffer] {
        uint32_t moved = 0;
        return QBT_GenericBulkIn(0, 0x86, buffer.data(), static_cast<uint32_t>(buffer.size()), &moved);
    });
}

// Repeats `act` until the read ends (the read may not have reached the board at the first try).
uint32_t end_read(std::future<uint32_t>& read, const std::function<void()>& act)
{
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (read.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
        if (std::chrono::steady_clock::now() > give_up) {
            ADD_FAILURE() << "the read did not end";
            return 0;
        }
        act();
    }
    return read.get();
}

TEST_F(EmulatedUsbTest, AbortingThePipeEndsABlockedReadWith995)
{
    const uint32_t board = plug(0x8040, "1-3");
    install();
    ASSERT_EQ(GetDevices(), 1u);
    std::vector<uint8_t> buffer(512);
    auto read = read_in_background(buffer);
    EXPECT_EQ(end_read(read, [] { usb::cancel_transfers(0, 0x86); }), ERROR_OPERATION_ABORTED);

    // The board is still there and the pipe works again.
    const uint8_t data[2] = {1, 2};
    ASSERT_EQ(KorvalSim_FeedBulkIn(sim_, board, 0x86, data, 2), 0u);
    uint32_t moved = 0;
    EXPECT_EQ(QBT_GenericBulkIn(0, 0x86, buffer.data(), 512, &moved), 0u);
    EXPECT_EQ(moved, 2u);
}

TEST_F(EmulatedUsbTest, UnplugEndsATransferInFlightAndMarksTheSlotRemoved)
{
    const uint32_t board = plug(0x8040, "1-3");
    install();
    ASSERT_EQ(GetDevices(), 1u);
    std::vector<uint8_t> buffer(512);
    auto read = read_in_background(buffer);
    bool unplugged = false;
    EXPECT_EQ(end_read(read,
                       [&] {
                           if (!unplugged) bed_->unplug(board);
                           unplugged = true;
                       }),
              ERROR_DEVICE_REMOVED);
    uint8_t port = 0;
    EXPECT_EQ(DIO_Read8(0, 0, &port), ERROR_DEVICE_REMOVED);
    EXPECT_EQ(GetDevices(), 0u);
}

TEST_F(EmulatedUsbTest, ABoardClaimedElsewhereIsNotOpened)
{
    const uint32_t board = plug(0x8001, "1-3");
    bed_->claim_elsewhere(board, true);
    install();
    EXPECT_EQ(GetDevices(), 0u);
    bed_->claim_elsewhere(board, false);
    EXPECT_EQ(GetDevices(), 1u);

    // Held by this process now: a second exclusive open fails as a busy device.
    KorvalHandle file = 0;
    EXPECT_FALSE(usb::open_file("usb:1-3", true, file));
    EXPECT_EQ(get_last_error(), 170u);
    // A path that names no board of the family.
    EXPECT_FALSE(usb::open_file("usb:1-9", true, file));
    EXPECT_EQ(get_last_error(), ERROR_FILE_NOT_FOUND);
}

// A board the user may not open (no udev rules) is listed with the reason and the fix. The tests run
// as root, so the case runs in a child that has given up its privileges.
TEST_F(EmulatedUsbTest, ABoardThisUserMayNotOpenIsListedWithTheReason)
{
    bed_->plug_root_only(sim_, KorvalSim_AddBoard(sim_, 0x8040, KORVAL_SIM_WINUSB), "1-3");
    struct Seen {
        uint32_t dropped, mask, result, error, product;
        char path[64];
        char reason[256];
    };
    const ForkedOutcome outcome = run_forked(
        [](int fd) {
            Seen seen{};
            seen.dropped = setgid(65534) == 0 && setuid(65534) == 0;  // nobody
            KORVAL_InstallHost(nullptr);
            seen.mask = GetDevices();
            KorvalUnusableBoard b{};
            b.Size = sizeof b;
            seen.result = KORVAL_GetUnusableBoard(0, &b);
            seen.error = b.Error;
            seen.product = b.ProductID;
            std::memcpy(seen.path, b.Path, sizeof seen.path);
            std::memcpy(seen.reason, b.Reason, sizeof seen.reason);
            b.Size = sizeof b;
            if (KORVAL_GetUnusableBoard(1, &b) != ERROR_NO_MORE_ITEMS) seen.result = 0xFFFFFFFF;
            send_value(fd, seen);
        },
        std::chrono::seconds(60));
    Seen seen{};
    ASSERT_EQ(outcome.status, ForkedOutcome::Status::finished);
    ASSERT_TRUE(outcome_value(outcome, seen));
    ASSERT_TRUE(seen.dropped);
    EXPECT_EQ(seen.mask, 0u);
    EXPECT_EQ(seen.result, ERROR_SUCCESS);
    EXPECT_EQ(seen.error, ERROR_ACCESS_DENIED);
    EXPECT_EQ(seen.product, 0x8040u);
    EXPECT_STREQ(seen.path, "usb:1-3");
    EXPECT_EQ(
        std::string(seen.reason).rfind("permission denied: install the udev rules (`cmake --install` puts them in ", 0),
        0u)
        << seen.reason;
    EXPECT_NE(std::string(seen.reason).find(") and re-plug the board"), std::string::npos) << seen.reason;

    // Root may open it: it is not listed.
    install();
    KorvalUnusableBoard b{};
    b.Size = sizeof b;
    EXPECT_EQ(KORVAL_GetUnusableBoard(0, &b), ERROR_NO_MORE_ITEMS);
}

// Loading the library does no I/O and starts no thread: with a board on the emulated stack, whose
// requests are answered by a thread of this process, loading returns at once; the first calls, from two
// threads at the same moment, run one discovery that both see whole.
TEST_F(EmulatedUsbTest, LoadingDoesNothingAndTheFirstCallsDiscoverOnce)
{
    if (dlopen(KORVAL_LIBRARY_FILE, RTLD_NOW | RTLD_NOLOAD) != nullptr)
        GTEST_SKIP() << "already loaded in this process";
    plug(0x8040, "1-3");
    const std::set<std::string> threads_before = unnamed_threads();
    std::atomic<pid_t> loader{0};
    auto loading = std::async(std::launch::async, [&loader] {
        loader = gettid();
        return dlopen(KORVAL_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    });
    if (loading.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "dlopen did not return";
        std::_Exit(1);  // the loading thread cannot be ended
    }
    void* library = loading.get();
    ASSERT_NE(library, nullptr) << dlerror();
    // The thread that loaded the library may not have left yet when its result is ready.
    std::set<std::string> started = unnamed_threads();
    started.erase(std::to_string(loader.load()));
    for (const std::string& id : threads_before) started.erase(id);
    EXPECT_TRUE(started.empty()) << started.size() << " threads started by loading";

    using Resolve = uint32_t (*)(uint32_t);
    const auto resolve = reinterpret_cast<Resolve>(dlsym(library, "ResolveDeviceIndex"));
    ASSERT_NE(resolve, nullptr);
    // ResolveDeviceIndex only reads the table: each thread finds the board only once the load's
    // discovery has placed it, and finds it alone in the table.
    std::barrier together(2);
    auto first_call = [&] {
        together.arrive_and_wait();
        return std::pair(resolve(FirstDeviceIndex), resolve(OnlyDeviceIndex));
    };
    auto other = std::async(std::launch::async, first_call);
    EXPECT_EQ(first_call(), std::pair(0u, 0u));
    EXPECT_EQ(other.get(), std::pair(0u, 0u));
    // The loaded copy lets go of the board (its USB session ends) before the testbed goes.
    using Install = uint32_t (*)(const KorvalHost*);
    const KorvalHost none = *KorvalSim_Host(sim_);
    reinterpret_cast<Install>(dlsym(library, "KORVAL_InstallHost"))(&none);
    dlclose(library);
}

}  // namespace

}  // namespace korval::test
