// WinUSB bound by name: the library loads a WinUSB.dll built here (put beside this program, preferred to
// Wine's own by WINEDLLOVERRIDES=winusb=n,b) and calls its entry points through the host.
#include <gtest/gtest.h>

#include <cstring>

#include "base/last_error.h"
#include "host/os/win_host.h"
#include "korval/korval.h"
#include "usb/host_binding.h"

namespace korval::os::win {
namespace {

template <class Fn>
void* address(Fn fn)
{
    return reinterpret_cast<void*>(fn);
}

TEST(WinUsbBinding, TheDllBesideTheProgramIsBoundByName)
{
    const System& s = system();
    ASSERT_TRUE(s.winusb_loaded);
    HMODULE dll = GetModuleHandleW(L"WinUSB.dll");
    ASSERT_NE(dll, nullptr);
    const std::pair<const char*, void*> entries[] = {
        {"WinUsb_Initialize", address(s.WinUsb_Initialize)},
        {"WinUsb_Free", address(s.WinUsb_Free)},
        {"WinUsb_ControlTransfer", address(s.WinUsb_ControlTransfer)},
        {"WinUsb_GetDescriptor", address(s.WinUsb_GetDescriptor)},
        {"WinUsb_QueryInterfaceSettings", address(s.WinUsb_QueryInterfaceSettings)},
        {"WinUsb_QueryPipe", address(s.WinUsb_QueryPipe)},
        {"WinUsb_WritePipe", address(s.WinUsb_WritePipe)},
        {"WinUsb_ReadPipe", address(s.WinUsb_ReadPipe)},
        {"WinUsb_AbortPipe", address(s.WinUsb_AbortPipe)},
    };
    for (const auto& [name, bound] : entries) {
        EXPECT_NE(bound, nullptr) << name;
        EXPECT_EQ(bound, reinterpret_cast<void*>(GetProcAddress(dll, name))) << name;
    }
    // The operating system's host, installed by the first call into the library, offers WinUSB.
    GetDevices();
    EXPECT_TRUE(usb::winusb_available());
}

// Every argument reaches the DLL, and every result comes back, through the host's entry points.
TEST(WinUsbBinding, CallsReachTheDllWithTheirArguments)
{
    const KorvalHost h = host(system());
    uint32_t error = 0;
    KorvalHandle handle = 0;
    ASSERT_TRUE(h.winusb_initialize(h.context, 0x40, &handle, &error));
    EXPECT_EQ(handle, 0x5040u);

    const uint8_t setup[8] = {0xC0, 0xA2, 0x34, 0x12, 0x78, 0x56, 0x08, 0x00};
    uint8_t data[8] = {};
    uint32_t moved = 0;
    ASSERT_TRUE(h.winusb_control_transfer(h.context, handle, setup, data, sizeof data, &moved, &error));
    EXPECT_EQ(moved, 8u);
    EXPECT_EQ(std::memcmp(data, setup, 8), 0);

    uint8_t descriptor[18] = {};
    ASSERT_TRUE(h.winusb_get_descriptor(h.context, handle, 1, 0, 0x0409, descriptor, 18, &moved, &error));
    EXPECT_EQ(moved, 18u);
    EXPECT_EQ(descriptor[8], 1);
    EXPECT_EQ(descriptor[10] | descriptor[11] << 8, 0x0409);

    uint8_t endpoints = 0, type = 0, id = 0;
    ASSERT_TRUE(h.winusb_query_interface_settings(h.context, handle, 0, &endpoints, &error));
    EXPECT_EQ(endpoints, 3);
    ASSERT_TRUE(h.winusb_query_pipe(h.context, handle, 0, 6, &type, &id, &error));
    EXPECT_EQ(type, 2);
    EXPECT_EQ(id, 0x86);

    uint8_t buffer[5] = {};
    ASSERT_TRUE(h.winusb_read_pipe(h.context, handle, 0x86, buffer, sizeof buffer, &moved, &error));
    EXPECT_EQ(moved, 5u);
    EXPECT_EQ(buffer[4], 0x86);
    ASSERT_TRUE(h.winusb_write_pipe(h.context, handle, 0x02, buffer, sizeof buffer, &moved, &error));
    EXPECT_EQ(moved, 2u);
    EXPECT_TRUE(h.winusb_abort_pipe(h.context, handle, 0x86, &error));

    // A failure's code is the one the DLL set as the thread's last error.
    EXPECT_FALSE(h.winusb_free(h.context, handle, &error));
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_INVALID_HANDLE));
}

TEST(WinUsbBinding, MissingEntryPointsAreNullAndAnsweredWith50)
{
    static const System partial = load_system(L"winusb_partial.dll");
    ASSERT_TRUE(partial.winusb_loaded);
    EXPECT_NE(partial.WinUsb_ReadPipe, nullptr);
    EXPECT_EQ(partial.WinUsb_QueryPipe, nullptr);
    EXPECT_EQ(partial.WinUsb_AbortPipe, nullptr);

    const KorvalHost h = host(partial);
    EXPECT_EQ(h.has_winusb, 1);
    EXPECT_NE(h.winusb_query_interface_settings, nullptr);
    EXPECT_EQ(h.winusb_query_pipe, nullptr);
    EXPECT_EQ(h.winusb_abort_pipe, nullptr);
    usb::install_host(&h);
    uint8_t type = 0, id = 0;
    EXPECT_FALSE(usb::winusb_query_pipe(0x5040, 0, 0, type, id));
    EXPECT_EQ(get_last_error(), 50u);
    EXPECT_FALSE(usb::can_abort_pipe());
    usb::install_host(nullptr);

    const System none = load_system(L"no_such_winusb.dll");
    EXPECT_FALSE(none.winusb_loaded);
    EXPECT_EQ(none.WinUsb_Initialize, nullptr);
    EXPECT_EQ(host(none).has_winusb, 0);
    EXPECT_EQ(host(none).winusb_initialize, nullptr);
}

}  // namespace
}  // namespace korval::os::win
