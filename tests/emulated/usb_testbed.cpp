#include "emulated/usb_testbed.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "host/sim/board.h"
#include "host/sim/simulation.h"
#include "korval/korval.h"

namespace korval::test {

namespace {

void put16(std::vector<uint8_t>& v, uint16_t x)
{
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

// The device descriptor and the one configuration of a device, as sysfs's "descriptors" holds them.
std::vector<uint8_t> descriptors(uint16_t vendor, uint16_t product, uint8_t device_class,
                                 const std::vector<sim::Endpoint>& endpoints)
{
    std::vector<uint8_t> d = {18, 1, 0x00, 0x02, device_class, 0, 0, 64};
    put16(d, vendor);
    put16(d, product);
    d.insert(d.end(), {0x00, 0x01, 1, 2, 0, 1});
    const auto total = static_cast<uint16_t>(9 + 9 + 7 * endpoints.size());
    d.insert(d.end(), {9, 2});
    put16(d, total);
    d.insert(d.end(), {1, 1, 0, 0x80, 50});
    const uint8_t interface_class = device_class == 9 ? 9 : 0xFF;
    d.insert(d.end(), {9, 4, 0, 0, static_cast<uint8_t>(endpoints.size()), interface_class, 0, 0, 0});
    for (const sim::Endpoint& e : endpoints) {
        d.insert(d.end(), {7, 5, e.address, e.type});
        put16(d, e.type == 2 ? 512 : 4);
        d.push_back(e.type == 2 ? 0 : 12);
    }
    return d;
}

// What the kernel puts in a URB's status for an outcome of the simulated board.
int urb_status(const sim::TransferResult& r)
{
    if (r.ok) return 0;
    switch (r.error) {
    case ERROR_DEVICE_NOT_CONNECTED: return -ESHUTDOWN;
    case ERROR_OPERATION_ABORTED: return -ENOENT;
    case ERROR_GEN_FAILURE: return -EPIPE;  // the board stalled the request
    default: return -EPROTO;
    }
}

}  // namespace

// One board behind its usbfs node.
class UsbDeviceModel {
public:
    UsbDeviceModel(UMockdevTestbed* testbed, sim::Board* board, std::string syspath, std::string devnode)
        : testbed_(testbed), board_(board), syspath_(std::move(syspath)), devnode_(std::move(devnode)),
          generation_(board->generation()), handler_(umockdev_ioctl_base_new())
    {
        {
            std::lock_guard lock(mutex_);
            ++devices_;
        }
        g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(on_ioctl), this);
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed_, devnode_.c_str(), handler_, &error)) {
            const std::string message = error != nullptr ? error->message : "attach_ioctl failed";
            g_clear_error(&error);
            throw std::runtime_error(message);
        }
    }

    ~UsbDeviceModel()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            changed_.notify_all();
        }
        reaper_thread_.join();
        {
            std::lock_guard lock(mutex_);
            --devices_;
        }
        umockdev_testbed_detach_ioctl(testbed_, devnode_.c_str(), nullptr);
        std::vector<std::shared_ptr<Urb>> urbs;
        {
            std::lock_guard lock(mutex_);
            urbs = submitted_;
        }
        for (auto& urb : urbs) board_->cancel(urb->id, sim::Board::kAnyPipe);
        for (auto& urb : urbs) finish(*urb);
        g_object_unref(handler_);
    }

    void unplug()
    {
        {
            std::lock_guard lock(mutex_);
            gone_ = true;
            changed_.notify_all();
        }
        board_->unplug();  // bulk transfers waiting on the board end with 1167
        umockdev_testbed_uevent(testbed_, syspath_.c_str(), "remove");
        umockdev_testbed_remove_device(testbed_, syspath_.c_str());
    }

    void claim_elsewhere(bool claimed)
    {
        std::lock_guard lock(mutex_);
        claimed_elsewhere_ = claimed;
    }

    void hang_control(bool hung)
    {
        std::lock_guard lock(mutex_);
        control_hung_ = hung;
    }

private:
    struct Urb {
        uint64_t id = 0;
        UMockdevIoctlData* urb = nullptr;     // the client's struct usbdevfs_urb
        UMockdevIoctlData* buffer = nullptr;  // its data buffer
        sim::TransferResult result;
        std::thread worker;  // bulk URBs
        bool held = false;   // a control URB the board does not answer
    };
    // A reap held back until a URB completes.
    struct Reaper {
        UMockdevIoctlClient* client = nullptr;
        UMockdevIoctlData* arg = nullptr;
    };

    static gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
    {
        static_cast<UsbDeviceModel*>(self)->handle(client);
        return TRUE;
    }

    static void finish(Urb& urb)
    {
        if (urb.worker.joinable()) urb.worker.join();
        if (urb.buffer != nullptr) g_object_unref(urb.buffer);
        if (urb.urb != nullptr) g_object_unref(urb.urb);
        urb.buffer = urb.urb = nullptr;
    }

    sim::Via via(uint64_t urb_id, UMockdevIoctlClient* client) const
    {
        sim::Via v;
        v.kind = KORVAL_SIM_VIA_WINUSB;
        v.handle = urb_id;
        v.file = reinterpret_cast<uintptr_t>(client);
        v.generation = generation_;
        return v;
    }

    void handle(UMockdevIoctlClient* client)
    {
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        bool gone = false;
        {
            std::lock_guard lock(mutex_);
            gone = gone_;
        }
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            // One URB per transfer, whatever its length.
            const uint32_t caps = USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER;
            UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof caps, nullptr);
            std::memcpy(data->data, &caps, sizeof caps);
            g_object_unref(data);
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            if (gone) return umockdev_ioctl_client_complete(client, -1, ENODEV);
            std::lock_guard lock(mutex_);
            if (request == USBDEVFS_RELEASEINTERFACE) {
                if (owner_ == client) owner_ = nullptr;
                return umockdev_ioctl_client_complete(client, 0, 0);
            }
            if (claimed_elsewhere_ || (owner_ != nullptr && owner_ != client))
                return umockdev_ioctl_client_complete(client, -1, EBUSY);
            owner_ = client;
            return umockdev_ioctl_client_complete(client, 0, 0);
        }
        case USBDEVFS_SUBMITURB: return submit(client, arg, gone);
        case USBDEVFS_DISCARDURB: {
            const auto address = *reinterpret_cast<const uintptr_t*>(arg->data);
            std::lock_guard lock(mutex_);
            for (auto& urb : submitted_) {
                if (urb->urb->client_addr != address) continue;
                const bool waiting = std::find(completed_.begin(), completed_.end(), urb) == completed_.end();
                if (!waiting) break;  // already complete: the kernel answers EINVAL
                board_->cancel(urb->id, sim::Board::kAnyPipe);
                if (urb->held) {
                    urb->result = {false, ERROR_OPERATION_ABORTED, 0, 0};
                    completed_.push_back(urb);
                    ++completed_anywhere_;
                    changed_.notify_all();
                }
                return umockdev_ioctl_client_complete(client, 0, 0);
            }
            return umockdev_ioctl_client_complete(client, -1, EINVAL);
        }
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: return reap(client, arg, gone);
        default: return umockdev_ioctl_client_complete(client, -1, ENOTTY);
        }
    }

    void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool gone)
    {
        if (gone) return umockdev_ioctl_client_complete(client, -1, ENODEV);
        auto urb = std::make_shared<Urb>();
        urb->id = ++next_id_;
        urb->urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        auto* u = reinterpret_cast<usbdevfs_urb*>(urb->urb->data);
        const auto length = static_cast<uint32_t>(u->buffer_length > 0 ? u->buffer_length : 0);
        if (length > 0) urb->buffer = umockdev_ioctl_data_resolve(urb->urb, offsetof(usbdevfs_urb, buffer), length, nullptr);
        uint8_t* data = urb->buffer != nullptr ? urb->buffer->data : nullptr;
        const sim::Via v = via(urb->id, client);

        if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
            if (length < 8) {
                finish(*urb);
                return umockdev_ioctl_client_complete(client, -1, EINVAL);
            }
            std::lock_guard lock(mutex_);
            if (control_hung_) {
                urb->held = true;
                submitted_.push_back(urb);
                return umockdev_ioctl_client_complete(client, 0, 0);
            }
            const uint32_t kind = data[1] == 0x06 && (data[0] & 0x60) == 0 ? KORVAL_SIM_DESCRIPTOR : KORVAL_SIM_CONTROL;
            urb->result = board_->control(v, kind, data, data + 8, length - 8);
            submitted_.push_back(urb);
            completed_.push_back(urb);
            ++completed_anywhere_;
            changed_.notify_all();
            return umockdev_ioctl_client_complete(client, 0, 0);
        }
        if (u->type != USBDEVFS_URB_TYPE_BULK) {
            finish(*urb);
            return umockdev_ioctl_client_complete(client, -1, EINVAL);
        }
        // A bulk URB may wait for the board: it runs on a thread of its own until it completes. The
        // submission is answered first, so that umockdev has copied the URB back to the client before
        // the board starts writing into its buffer.
        const uint8_t endpoint = u->endpoint;
        umockdev_ioctl_client_complete(client, 0, 0);
        std::lock_guard lock(mutex_);
        submitted_.push_back(urb);
        Urb* raw = urb.get();
        raw->worker = std::thread([this, raw, v, endpoint, data, length] {
            const sim::TransferResult r = board_->bulk(v, endpoint, data, length);
            std::lock_guard inner(mutex_);
            for (auto& s : submitted_)
                if (s.get() == raw) {
                    s->result = r;
                    completed_.push_back(s);
                    ++completed_anywhere_;
                }
            changed_.notify_all();
        });
    }

    // libusb polls the usbfs node for completed URBs, and the emulated node always polls ready, so its
    // event thread asks again at once when nothing has completed. An empty reap is therefore answered
    // only when a URB completes or after a short while, which keeps that loop from spinning.
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool gone)
    {
        std::unique_lock lock(mutex_);
        if (completed_anywhere_ > 0 || gone || stopping_) {
            lock.unlock();
            return deliver(client, arg);
        }
        reaper_ = {g_object_ref(client), g_object_ref(arg)};
        // About 2 ms for a whole pass of libusb over every device, however many there are.
        reaper_deadline_ = std::chrono::steady_clock::now() + std::chrono::microseconds(2000 / devices_);
        changed_.notify_all();
    }

    // Answers a reap: the oldest completed URB, or EAGAIN (ENODEV once the device has gone).
    void deliver(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
    {
        std::shared_ptr<Urb> urb;
        bool gone = false;
        {
            std::lock_guard lock(mutex_);
            gone = gone_;
            if (!completed_.empty()) {
                urb = completed_.front();
                completed_.pop_front();
                --completed_anywhere_;
                submitted_.erase(std::find(submitted_.begin(), submitted_.end(), urb));
            }
        }
        if (urb == nullptr) return umockdev_ioctl_client_complete(client, -1, gone ? ENODEV : EAGAIN);
        auto* u = reinterpret_cast<usbdevfs_urb*>(urb->urb->data);
        u->status = urb_status(urb->result);
        u->actual_length = static_cast<int>(urb->result.moved);
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
        umockdev_ioctl_data_set_ptr(slot, 0, urb->urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(slot);
        finish(*urb);
    }

    // Answers a deferred reap when a URB completes or its time is up.
    void run_reaper()
    {
        std::unique_lock lock(mutex_);
        while (!stopping_ || reaper_.client != nullptr) {
            if (reaper_.client == nullptr) {
                changed_.wait(lock);
                continue;
            }
            if (completed_anywhere_ == 0 && !gone_ && !stopping_ &&
                changed_.wait_until(lock, reaper_deadline_) != std::cv_status::timeout)
                continue;
            // umockdev completes an ioctl from any thread.
            const Reaper r = reaper_;
            reaper_ = {};
            lock.unlock();
            deliver(r.client, r.arg);
            g_object_unref(r.arg);
            g_object_unref(r.client);
            lock.lock();
        }
    }

    UMockdevTestbed* testbed_;
    sim::Board* board_;
    const std::string syspath_;
    const std::string devnode_;
    const uint64_t generation_;
    UMockdevIoctlBase* handler_;

    // One lock and one wake-up for all devices: libusb's event thread reaps the devices one after the
    // other, so a reap held back on one device must give way as soon as a URB completes on any other.
    static inline std::mutex mutex_;
    static inline std::condition_variable changed_;  // completions, gone_, reaper_, stopping_
    static inline int completed_anywhere_ = 0;
    static inline int devices_ = 0;
    bool gone_ = false;
    bool claimed_elsewhere_ = false;
    bool control_hung_ = false;
    UMockdevIoctlClient* owner_ = nullptr;
    uint64_t next_id_ = 0;
    std::vector<std::shared_ptr<Urb>> submitted_;  // not yet reaped
    std::deque<std::shared_ptr<Urb>> completed_;
    Reaper reaper_;
    std::chrono::steady_clock::time_point reaper_deadline_;
    bool stopping_ = false;
    std::thread reaper_thread_{[this] { run_reaper(); }};
};

namespace {

std::string add_usb_device(UMockdevTestbed* testbed, const std::string& name, const char* parent, int bus,
                           int address, const std::vector<uint8_t>& descriptor_bytes, uint16_t vendor,
                           uint16_t product)
{
    char busnum[16], devnum[16], devname[64], vid[8], pid[8], product_text[32], dev[32];
    std::snprintf(busnum, sizeof busnum, "%d\n", bus);
    std::snprintf(devnum, sizeof devnum, "%d\n", address);
    std::snprintf(dev, sizeof dev, "189:%d\n", (bus - 1) * 128 + address - 1);
    std::snprintf(devname, sizeof devname, "/dev/bus/usb/%03d/%03d", bus, address);
    std::snprintf(vid, sizeof vid, "%04x", vendor);
    std::snprintf(pid, sizeof pid, "%04x", product);
    std::snprintf(product_text, sizeof product_text, "%x/%x/100", vendor, product);
    gchar* syspath = umockdev_testbed_add_device(
        testbed, "usb", name.c_str(), parent, "busnum", busnum, "devnum", devnum, "idVendor", vid, "idProduct", pid,
        "speed", "480\n", "bConfigurationValue", "1\n", "bNumConfigurations", "1\n", "dev", dev, nullptr, "DEVNAME", devname,
        "DEVTYPE", "usb_device", "BUSNUM", busnum, "DEVNUM", devnum, "PRODUCT", product_text, nullptr);
    if (syspath == nullptr) throw std::runtime_error("umockdev_testbed_add_device failed for " + name);
    umockdev_testbed_set_attribute_binary(testbed, syspath, "descriptors", const_cast<uint8_t*>(descriptor_bytes.data()),
                                          static_cast<gint>(descriptor_bytes.size()));
    std::string path = syspath;
    g_free(syspath);
    // The usbfs node itself: an empty file in the testbed's /dev, which the ioctl handler stands behind.
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    const std::string node = std::string(root) + devname;
    g_free(root);
    g_mkdir_with_parents(node.substr(0, node.rfind('/')).c_str(), 0755);
    g_file_set_contents(node.c_str(), "", 0, nullptr);
    return path;
}

std::string add_hub(UMockdevTestbed* testbed, const std::string& name, const char* parent, int bus, int address)
{
    return add_usb_device(testbed, name, parent, bus, address, descriptors(0x1D6B, 0x0002, 9, {{0x81, 3}}), 0x1D6B,
                          0x0002);
}

}  // namespace

UsbTestbed::UsbTestbed() : testbed_(umockdev_testbed_new())
{
    syspaths_["usb1"] = add_hub(testbed_, "usb1", nullptr, 1, 1);
    syspaths_["usb2"] = add_hub(testbed_, "usb2", nullptr, 2, 1);
    syspaths_["1-4"] = add_hub(testbed_, "1-4", syspaths_["usb1"].c_str(), 1, next_address_++);
}

UsbTestbed::~UsbTestbed()
{
    devices_.clear();
    g_object_unref(testbed_);
}

std::string UsbTestbed::add_board(KorvalSim* sim, uint32_t board, const std::string& port, uint16_t vendor,
                                  std::string& syspath, std::string& devnode)
{
    sim::Board* b = sim->find(board);
    if (b == nullptr) throw std::runtime_error("no such simulated board");
    const int bus = port[0] - '0';
    const size_t dot = port.rfind('.');
    const std::string parent_name = dot != std::string::npos ? port.substr(0, dot) : "usb" + port.substr(0, 1);
    const std::string parent = syspaths_.at(parent_name);
    const int address = next_address_++;
    syspath =
        add_usb_device(testbed_, port, parent.c_str(), bus, address,
                       descriptors(vendor, b->product().pid, 0xFF, b->product().endpoints), vendor, b->product().pid);
    syspaths_[port] = syspath;
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus, address);
    devnode = node;
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    const std::string path = std::string(root) + devnode;
    g_free(root);
    return path;
}

void UsbTestbed::plug(KorvalSim* sim, uint32_t board, const std::string& port, uint16_t vendor)
{
    std::string syspath, devnode;
    add_board(sim, board, port, vendor, syspath, devnode);
    devices_[board] = std::make_unique<UsbDeviceModel>(testbed_, sim->find(board), syspath, devnode);
}

void UsbTestbed::plug_root_only(KorvalSim* sim, uint32_t board, const std::string& port)
{
    std::string syspath, devnode;
    const std::string node = add_board(sim, board, port, 0x4B56, syspath, devnode);
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    const std::filesystem::path top = root;
    g_free(root);
    // Everything readable by every user (sysfs as a system has it; the testbed's sockets can be
    // connected to), the node by root alone.
    namespace fs = std::filesystem;
    // The root also takes the sockets a process makes there (umockdev puts udev monitors in it).
    fs::permissions(top, fs::perms::others_all | fs::perms::sticky_bit, fs::perm_options::add);
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(top)) {
        fs::perms add = fs::perms::others_read;
        if (e.is_directory()) add |= fs::perms::others_exec;
        if (e.is_socket()) add |= fs::perms::others_write;
        std::error_code ignored;
        if (!e.is_symlink()) fs::permissions(e.path(), add, fs::perm_options::add, ignored);
    }
    fs::permissions(node, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
}

void UsbTestbed::unplug(uint32_t board) { devices_.at(board)->unplug(); }

void UsbTestbed::claim_elsewhere(uint32_t board, bool claimed) { devices_.at(board)->claim_elsewhere(claimed); }

void UsbTestbed::hang_control(uint32_t board, bool hung) { devices_.at(board)->hang_control(hung); }

}  // namespace korval::test
