// An emulated USB stack for the Linux host: simulated boards behind a fake sysfs and usbfs (umockdev),
// so that the real libusb code path, from enumeration to URBs, talks to the simulated firmware.
//
// Each plugged board is a USB device in the testbed's sysfs with its descriptors, and an ioctl handler
// on its usbfs node that answers libusb's requests (capabilities, claim and release, URB submission,
// reaping and discarding) by running them on the simulated board: control URBs through its control
// handlers, bulk URBs through its bulk handlers on a thread of their own, since they may wait for data.
//
// The testbed must exist before libusb starts: plug the boards, then install the operating system's
// host (KORVAL_InstallHost(NULL)). Programs using it run under umockdev's preload library.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "korval/sim.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace korval::test {

class UsbDeviceModel;

class UsbTestbed {
public:
    // Creates the testbed with the root hubs of buses 1 and 2 and a hub on port 4 of bus 1.
    UsbTestbed();
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed&) = delete;
    UsbTestbed& operator=(const UsbTestbed&) = delete;

    // Plugs simulated board `board` of `sim` in at `port` ("1-3", "1-4.2", "2-1"); `vendor` is the
    // vendor ID its descriptor reports.
    void plug(KorvalSim* sim, uint32_t board, const std::string& port, uint16_t vendor = 0x4B56);
    // The device vanishes: transfers in flight end as the kernel ends them on an unplug, later requests
    // fail with ENODEV, and the device leaves sysfs.
    void unplug(uint32_t board);
    // Another process holds the board's interface: claims fail with EBUSY.
    void claim_elsewhere(uint32_t board, bool claimed);
    // The board stops answering control requests: their URBs stay pending until they are discarded.
    void hang_control(uint32_t board, bool hung);
    // Plugs the board as plug() does, with a device node only root may open, as without udev rules; the
    // rest of the testbed can be read by every user. Nothing answers on the node: only opening it is
    // meant, by a user who may not.
    void plug_root_only(KorvalSim* sim, uint32_t board, const std::string& port);

private:
    // Adds the board's device to sysfs with its node; returns the node's path in the testbed.
    std::string add_board(KorvalSim* sim, uint32_t board, const std::string& port, uint16_t vendor,
                          std::string& syspath, std::string& devnode);

    UMockdevTestbed* testbed_;
    std::map<std::string, std::string> syspaths_;  // by device name ("usb1", "1-4")
    std::map<uint32_t, std::unique_ptr<UsbDeviceModel>> devices_;
    int next_address_ = 2;
};

}  // namespace korval::test
