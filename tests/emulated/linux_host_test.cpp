// The Linux host through an emulated USB stack: the real libusb path, from enumeration to URBs, talking
// to simulated boards' firmware (see usb_testbed.h). Runs under umockdev's preload library.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "core/device_table.h"
#include "emulated/usb_testbed.h"
#include "host/os/linux_host.h"
#include "korval/korval.h"
#include "korval/sim.h"
#include "support/sim_fixture.h"
#include "usb/bulk.h"
#include "usb/host_binding.h"

namespace korval::test {

namespace {

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

    std::vector<Transfer> log(uint32_t board) const
    {
        std::vector<Transfer> out;
        const uint32_t n = KorvalSim_LogCount(sim_, board);
        for (uint32_t i = 0; i < n; ++i) {
            Transfer t;
            KorvalSim_LogEntry(sim_, board, i, &t.info, nullptr, 0);
            t.data.resize(t.info.data_size);
            KorvalSim_LogEntry(sim_, board, i, &t.info, t.data.data(), static_cast<uint32_t>(t.data.size()));
            out.push_back(std::move(t));
        }
        return out;
    }

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

}  // namespace

}  // namespace korval::test
