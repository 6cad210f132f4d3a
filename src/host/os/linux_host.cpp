// The Linux host on libusb-1.0 (see linux_host.h for what it offers).
//
// A session is one libusb context with its event thread. Every transfer, control or bulk, is submitted
// asynchronously and completed by that thread; the calling thread waits for the completion. That is
// what lets winusb_abort_pipe end a bulk read blocked on a silent board (the transfer is cancelled and
// completes with LIBUSB_TRANSFER_CANCELLED), and what ends every transfer when the board is unplugged
// (libusb completes them with LIBUSB_TRANSFER_NO_DEVICE).
//
// Handles: a file handle (open_file) and an interface handle (winusb_initialize) both name one opened
// board, a Device. A Device keeps its session alive, so a thread still waiting on a transfer of an old
// session finishes safely after another host was installed; a Device is closed when its last handle is
// closed and no transfer of it is in flight any more.
#include "host/os/linux_host.h"

#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "base/caller_memory.h"
#include "base/worker.h"
#include "host/os/linux_errors.h"
#include "korval/korval.h"

#ifndef KORVAL_VENDOR_IDS
#define KORVAL_VENDOR_IDS "0x4B56"
#endif

namespace korval::os::linux_usb {

namespace {

// WinUSB's default pipe policy gives control transfers 5 s.
constexpr unsigned kControlTimeoutMs = 5000;
// How long the event thread blocks in libusb before looking at its stop request again (a stop also
// interrupts it at once; this only bounds the wait should that wake-up be lost).
constexpr long kEventPollUs = 200000;

const KorvalGuid kWinUsbClass = KORVAL_INTERFACE_CLASS_WINUSB;

struct Session;

// One transfer in flight, on the stack of the thread waiting for it.
struct InFlight {
    libusb_transfer* transfer = nullptr;
    uint8_t endpoint = 0;
    std::mutex mutex;
    std::condition_variable completed;
    bool done = false;
};

// One opened board.
struct Device {
    std::shared_ptr<Session> session;  // keeps the context and its event thread alive
    libusb_device_handle* handle = nullptr;
    int interface_number = 0;
    std::string path;

    std::mutex mutex;  // claimed, closing, in_flight
    bool claimed = false;
    bool closing = false;
    std::vector<InFlight*> in_flight;

    ~Device()
    {
        if (claimed) libusb_release_interface(handle, interface_number);
        libusb_close(handle);
    }

    // Cancels the transfers in flight on `endpoint`, or all of them when it is negative. They complete
    // on the event thread with LIBUSB_TRANSFER_CANCELLED.
    void cancel(int endpoint)
    {
        std::lock_guard lock(mutex);
        for (InFlight* f : in_flight)
            if (endpoint < 0 || f->endpoint == endpoint) libusb_cancel_transfer(f->transfer);
    }

    // Refuses transfers from now on and ends those in flight: the board's last handle is gone.
    void close()
    {
        {
            std::lock_guard lock(mutex);
            closing = true;
        }
        cancel(-1);
    }
};

struct Entry {
    std::shared_ptr<Device> device;
    bool is_interface = false;
};

struct Session {
    pid_t owner = getpid();  // a forked child inherits the session but none of its threads
    libusb_context* context = nullptr;
    std::vector<uint16_t> vendors;
    Worker events;

    std::mutex mutex;  // handles
    std::unordered_map<KorvalHandle, Entry> handles;

    // The board watch. The hot-plug callback runs on the event thread and calls notify holding
    // watch_mutex, so once unwatch_boards has cleared notify under it no call runs or follows.
    std::mutex watch_mutex;  // notify, notify_context, hotplug, serials
    KorvalHostBoardNotify notify = nullptr;
    void* notify_context = nullptr;
    bool hotplug_registered = false;
    libusb_hotplug_callback_handle hotplug{};
    std::unordered_map<std::string, std::string> serials;  // of the boards told arrived, by path

    ~Session()
    {
        if (context == nullptr) return;
        events.request_stop();
        libusb_interrupt_event_handler(context);
        events.join();
        libusb_exit(context);
    }

    bool lookup(KorvalHandle handle, bool want_interface, std::shared_ptr<Device>& device, uint32_t* error)
    {
        std::lock_guard lock(mutex);
        auto it = handles.find(handle);
        if (it == handles.end() || it->second.is_interface != want_interface) {
            *error = ERROR_INVALID_HANDLE;
            return false;
        }
        device = it->second.device;
        return true;
    }

    KorvalHandle add(std::shared_ptr<Device> device, bool is_interface);
};

// Handle values are never reused, across sessions too, so a handle of an ended session names nothing.
std::atomic<KorvalHandle> g_next_handle{0x1000};

KorvalHandle Session::add(std::shared_ptr<Device> device, bool is_interface)
{
    const KorvalHandle handle = g_next_handle.fetch_add(4);
    std::lock_guard lock(mutex);
    handles[handle] = Entry{std::move(device), is_interface};
    return handle;
}

std::mutex g_session_mutex;
std::shared_ptr<Session> g_session;

std::shared_ptr<Session> current()
{
    std::lock_guard lock(g_session_mutex);
    return g_session;
}

int fail(uint32_t* error, uint32_t code)
{
    *error = code;
    return 0;
}

// ---- Finding the family's boards ----

struct Found {
    libusb_device* device = nullptr;  // referenced
    uint8_t bus = 0;
    std::vector<uint8_t> ports;
    std::string path;
};

// Where a device is plugged: "usb:BUS-PORT.PORT...", which is also its name under /sys/bus/usb/devices
// without the "usb:". "" for a root hub or a topology libusb cannot tell.
std::string board_path(libusb_device* device)
{
    uint8_t ports[8];
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    if (depth <= 0) return {};
    std::string path = "usb:" + std::to_string(libusb_get_bus_number(device)) + "-";
    for (int p = 0; p < depth; ++p) {
        if (p > 0) path += '.';
        path += std::to_string(ports[p]);
    }
    return path;
}

// The family's boards on the bus, in bus and port order. The caller unreferences the devices.
std::vector<Found> family_boards(const Session& session)
{
    std::vector<Found> boards;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(session.context, &list);
    if (count < 0) return boards;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0) continue;
        if (std::find(session.vendors.begin(), session.vendors.end(), descriptor.idVendor) == session.vendors.end())
            continue;
        uint8_t ports[8];
        const int depth = libusb_get_port_numbers(list[i], ports, sizeof ports);
        if (depth <= 0) continue;  // a root hub, or a topology libusb cannot tell
        Found found;
        found.device = libusb_ref_device(list[i]);
        found.bus = libusb_get_bus_number(list[i]);
        found.ports.assign(ports, ports + depth);
        found.path = board_path(list[i]);
        boards.push_back(std::move(found));
    }
    libusb_free_device_list(list, 1);
    std::sort(boards.begin(), boards.end(), [](const Found& a, const Found& b) {
        return a.bus != b.bus ? a.bus < b.bus : a.ports < b.ports;
    });
    return boards;
}

void unref_all(std::vector<Found>& boards)
{
    for (Found& f : boards) libusb_unref_device(f.device);
    boards.clear();
}

// The number of the first interface of the active configuration: the one the boards' firmware serves.
int first_interface(libusb_device* device)
{
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0 || config == nullptr) return 0;
    const int number = config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0
                           ? config->interface[0].altsetting[0].bInterfaceNumber
                           : 0;
    libusb_free_config_descriptor(config);
    return number;
}

// ---- Transfers ----

void LIBUSB_CALL on_completed(libusb_transfer* transfer)
{
    auto* f = static_cast<InFlight*>(transfer->user_data);
    std::lock_guard lock(f->mutex);
    f->done = true;
    f->completed.notify_all();
}

// Whether the board has gone, looked for a short while. A transfer in flight when a board is unplugged
// can end with a protocol error (the kernel's EPROTO, LIBUSB_TRANSFER_ERROR) before the hub has seen
// the board go; once it has, every usbfs call on the handle fails with ENODEV. Such a failure is
// the unplug it is (1617), not a transfer error (31).
bool went_away(Device& device)
{
    constexpr int kLooks = 50;  // 10 ms apart: half a second at most, and only after a transfer error
    for (int i = 0; i < kLooks; ++i) {
        if (libusb_kernel_driver_active(device.handle, device.interface_number) == LIBUSB_ERROR_NO_DEVICE) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Submits `transfer` (filled, without callback) and waits for it to complete. Returns the Win32 code of
// the outcome. A transfer with a time-out is cancelled should the event thread fail to end it a while
// after its time-out, so even then the wait ends.
uint32_t run_transfer(Device& device, libusb_transfer* transfer, uint8_t endpoint, unsigned timeout_ms)
{
    InFlight f;
    f.transfer = transfer;
    f.endpoint = endpoint;
    transfer->user_data = &f;
    transfer->callback = on_completed;
    {
        std::lock_guard lock(device.mutex);
        if (device.closing) return ERROR_OPERATION_ABORTED;
        const int r = libusb_submit_transfer(transfer);
        if (r != 0) return win32_from_libusb(r);
        device.in_flight.push_back(&f);
    }
    {
        std::unique_lock lock(f.mutex);
        if (timeout_ms != 0) {
            const auto guard = std::chrono::milliseconds(timeout_ms) + std::chrono::seconds(2);
            if (!f.completed.wait_for(lock, guard, [&] { return f.done; })) {
                lock.unlock();
                {
                    std::lock_guard device_lock(device.mutex);
                    libusb_cancel_transfer(transfer);
                }
                lock.lock();
            }
        }
        // Completion is certain from here: the transfer has ended, has been cancelled, or is a bulk
        // transfer that abort_pipe, close or the end of the session cancels.
        f.completed.wait(lock, [&] { return f.done; });
    }
    {
        std::lock_guard lock(device.mutex);
        device.in_flight.erase(std::find(device.in_flight.begin(), device.in_flight.end(), &f));
    }
    if (transfer->status == LIBUSB_TRANSFER_ERROR && went_away(device)) return ERROR_DEVICE_NOT_CONNECTED;
    return win32_from_transfer_status(transfer->status);
}

struct TransferPtr {
    libusb_transfer* t = libusb_alloc_transfer(0);
    ~TransferPtr() { libusb_free_transfer(t); }
};

// A control transfer on an opened board; `data` is the data stage (room for IN, bytes for OUT).
int control(Device& device, const uint8_t setup[8], uint8_t* data, uint32_t length, uint32_t* transferred,
            uint32_t* error)
{
    const bool in = (setup[0] & 0x80) != 0;
    const uint16_t wlength = static_cast<uint16_t>(setup[6] | setup[7] << 8);
    const uint32_t stage = data != nullptr ? std::min<uint32_t>(wlength, length) : 0;
    // IN asks for wLength bytes as the caller set it and keeps what fits; OUT sends the bytes it has.
    const uint16_t wire_length = in ? wlength : static_cast<uint16_t>(stage);
    std::vector<uint8_t> raw(LIBUSB_CONTROL_SETUP_SIZE + wire_length);
    std::memcpy(raw.data(), setup, 6);
    raw[6] = static_cast<uint8_t>(wire_length);
    raw[7] = static_cast<uint8_t>(wire_length >> 8);
    if (!in && stage > 0) std::memcpy(raw.data() + LIBUSB_CONTROL_SETUP_SIZE, data, stage);

    TransferPtr transfer;
    if (transfer.t == nullptr) return fail(error, ERROR_NOT_ENOUGH_MEMORY);
    libusb_fill_control_transfer(transfer.t, device.handle, raw.data(), nullptr, nullptr, kControlTimeoutMs);
    const uint32_t result = run_transfer(device, transfer.t, 0, kControlTimeoutMs);
    if (result != ERROR_SUCCESS) return fail(error, result);
    const uint32_t moved = std::min<uint32_t>(static_cast<uint32_t>(std::max(transfer.t->actual_length, 0)), stage);
    if (in && moved > 0) std::memcpy(data, raw.data() + LIBUSB_CONTROL_SETUP_SIZE, moved);
    if (transferred != nullptr) *transferred = in ? moved : static_cast<uint32_t>(std::max(transfer.t->actual_length, 0));
    return 1;
}

// A bulk transfer straight to or from the caller's buffer, with no time-out (WinUSB's default).
int bulk(Device& device, uint8_t pipe_id, void* buffer, uint32_t length, uint32_t* transferred, uint32_t* error)
{
    const bool in = (pipe_id & 0x80) != 0;
    if (buffer == nullptr) length = 0;
    if (length > static_cast<uint32_t>(INT_MAX)) return fail(error, ERROR_INVALID_PARAMETER);
    // The kernel would fail a buffer it cannot reach with EFAULT, but only part-way through a transfer
    // split into several requests; the whole range is checked before anything moves, as on Windows.
    if (length > 0 && !caller_range_usable(buffer, length, in)) return fail(error, ERROR_NOACCESS);

    TransferPtr transfer;
    if (transfer.t == nullptr) return fail(error, ERROR_NOT_ENOUGH_MEMORY);
    libusb_fill_bulk_transfer(transfer.t, device.handle, pipe_id, static_cast<unsigned char*>(buffer),
                              static_cast<int>(length), nullptr, nullptr, 0);
    const uint32_t result = run_transfer(device, transfer.t, pipe_id, 0);
    if (result != ERROR_SUCCESS) return fail(error, result);
    if (transferred != nullptr) *transferred = static_cast<uint32_t>(std::max(transfer.t->actual_length, 0));
    return 1;
}

// ---- The host's entry points ----

void list_interfaces(void*, const KorvalGuid* interface_class, void (*emit)(void*, const char*), void* emit_context)
{
    if (interface_class == nullptr || emit == nullptr) return;
    if (std::memcmp(interface_class, &kWinUsbClass, sizeof kWinUsbClass) != 0) return;
    const auto session = current();
    if (session == nullptr || session->context == nullptr) return;
    std::vector<Found> boards = family_boards(*session);
    for (const Found& f : boards) emit(emit_context, f.path.c_str());
    unref_all(boards);
}

int open_file(void*, const char* path, int exclusive, KorvalHandle* file, uint32_t* error)
{
    const auto session = current();
    if (path == nullptr || session == nullptr || session->context == nullptr) return fail(error, ERROR_FILE_NOT_FOUND);
    std::vector<Found> boards = family_boards(*session);
    auto it = std::find_if(boards.begin(), boards.end(), [&](const Found& f) { return f.path == path; });
    if (it == boards.end()) {
        unref_all(boards);
        return fail(error, ERROR_FILE_NOT_FOUND);
    }
    libusb_device_handle* handle = nullptr;
    const int r = libusb_open(it->device, &handle);
    const int interface_number = r == 0 ? first_interface(it->device) : 0;
    unref_all(boards);
    if (r != 0) return fail(error, win32_from_libusb(r));

    auto device = std::make_shared<Device>();
    device->session = session;
    device->handle = handle;
    device->interface_number = interface_number;
    device->path = path;
    if (exclusive != 0) {
        // Claiming is what makes the open exclusive: the kernel refuses a second claim with EBUSY, from
        // this process or another.
        const int c = libusb_claim_interface(handle, interface_number);
        if (c != 0) return fail(error, win32_from_libusb(c));  // the Device closes the handle
        device->claimed = true;
    }
    *file = session->add(std::move(device), false);
    return 1;
}

// Removes a handle; when it was the board's last, ends the board's transfers in flight so that the
// threads waiting on them return (they hold the Device until then, which closes it as they leave).
int remove_handle(KorvalHandle handle, bool is_interface, uint32_t* error)
{
    const auto session = current();
    if (session == nullptr) return fail(error, ERROR_INVALID_HANDLE);
    std::shared_ptr<Device> device;
    bool last = true;
    {
        std::lock_guard lock(session->mutex);
        auto it = session->handles.find(handle);
        if (it == session->handles.end() || it->second.is_interface != is_interface)
            return fail(error, ERROR_INVALID_HANDLE);
        device = std::move(it->second.device);
        session->handles.erase(it);
        for (const auto& [h, entry] : session->handles)
            if (entry.device == device) last = false;
    }
    if (last) device->close();
    return 1;
}

int close_handle(void*, KorvalHandle handle, uint32_t* error) { return remove_handle(handle, false, error); }

// The Device a file handle (or an interface handle) of the current session names, or null with *error set.
std::shared_ptr<Device> device_of(KorvalHandle handle, bool is_interface, uint32_t* error)
{
    const auto session = current();
    std::shared_ptr<Device> device;
    if (session == nullptr) {
        *error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    session->lookup(handle, is_interface, device, error);
    return device;
}

// There is no DeviceIoControl driver for the boards on Linux.
int device_io_control(void*, KorvalHandle, uint32_t, const void*, uint32_t, void*, uint32_t, uint32_t*,
                      uint32_t* error)
{
    return fail(error, ERROR_INVALID_HANDLE);
}

int winusb_initialize(void*, KorvalHandle file, KorvalHandle* interface_handle, uint32_t* error)
{
    auto device = device_of(file, false, error);
    if (device == nullptr) return 0;
    {
        std::lock_guard lock(device->mutex);
        if (!device->claimed) {
            const int c = libusb_claim_interface(device->handle, device->interface_number);
            if (c != 0) return fail(error, win32_from_libusb(c));
            device->claimed = true;
        }
    }
    const std::shared_ptr<Session> session = device->session;  // the session the file handle is of
    *interface_handle = session->add(std::move(device), true);
    return 1;
}

int winusb_free(void*, KorvalHandle interface_handle, uint32_t* error)
{
    return remove_handle(interface_handle, true, error);
}

int winusb_control_transfer(void*, KorvalHandle interface_handle, const uint8_t setup[8], void* buffer,
                            uint32_t length, uint32_t* transferred, uint32_t* error)
{
    const auto device = device_of(interface_handle, true, error);
    if (device == nullptr) return 0;
    if (setup == nullptr) return fail(error, ERROR_INVALID_PARAMETER);
    return control(*device, setup, static_cast<uint8_t*>(buffer), length, transferred, error);
}

int winusb_get_descriptor(void*, KorvalHandle interface_handle, uint8_t type, uint8_t index, uint16_t language,
                          void* buffer, uint32_t length, uint32_t* transferred, uint32_t* error)
{
    const auto device = device_of(interface_handle, true, error);
    if (device == nullptr) return 0;
    // A standard GET_DESCRIPTOR request, as WinUSB sends it.
    const uint16_t wlength = static_cast<uint16_t>(std::min<uint32_t>(length, 0xFFFF));
    const uint8_t setup[8] = {LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR, index, type,
                              static_cast<uint8_t>(language), static_cast<uint8_t>(language >> 8),
                              static_cast<uint8_t>(wlength), static_cast<uint8_t>(wlength >> 8)};
    return control(*device, setup, static_cast<uint8_t*>(buffer), length, transferred, error);
}

// The alternate setting `alternate` of the board's interface, from the active configuration; calls
// fn(setting) and returns its result, or fails as WinUSB does for a setting the interface lacks.
template <class Fn>
int with_setting(Device& device, uint8_t alternate, uint32_t* error, Fn&& fn)
{
    libusb_config_descriptor* config = nullptr;
    const int r = libusb_get_active_config_descriptor(libusb_get_device(device.handle), &config);
    if (r != 0) return fail(error, win32_from_libusb(r));
    int result = fail(error, kErrorNoMoreItems);
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& interface = config->interface[i];
        if (interface.num_altsetting <= 0 || interface.altsetting[0].bInterfaceNumber != device.interface_number)
            continue;
        if (alternate < interface.num_altsetting) result = fn(interface.altsetting[alternate]);
        break;
    }
    libusb_free_config_descriptor(config);
    return result;
}

int winusb_query_interface_settings(void*, KorvalHandle interface_handle, uint8_t alternate, uint8_t* num_endpoints,
                                    uint32_t* error)
{
    const auto device = device_of(interface_handle, true, error);
    if (device == nullptr) return 0;
    return with_setting(*device, alternate, error, [&](const libusb_interface_descriptor& setting) {
        *num_endpoints = setting.bNumEndpoints;
        return 1;
    });
}

int winusb_query_pipe(void*, KorvalHandle interface_handle, uint8_t alternate, uint8_t pipe_index,
                      uint8_t* pipe_type, uint8_t* pipe_id, uint32_t* error)
{
    const auto device = device_of(interface_handle, true, error);
    if (device == nullptr) return 0;
    return with_setting(*device, alternate, error, [&](const libusb_interface_descriptor& setting) {
        if (pipe_index >= setting.bNumEndpoints) return fail(error, kErrorNoMoreItems);
        const libusb_endpoint_descriptor& e = setting.endpoint[pipe_index];
        *pipe_type = e.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;  // WinUSB's pipe types are the same numbers
        *pipe_id = e.bEndpointAddress;
        return 1;
    });
}

int winusb_write_pipe(void*, KorvalHandle interface_handle, uint8_t pipe_id, const void* buffer, uint32_t length,
                      uint32_t* transferred, uint32_t* error)
{
    const auto device = device_of(interface_handle, true, error);
    if (device == nullptr) return 0;
    if ((pipe_id & 0x80) != 0) return fail(error, ERROR_INVALID_PARAMETER);
    return bulk(*device, pipe_id, const_cast<void*>(buffer), length, transferred, error);
}

int winusb_read_pipe(void*, KorvalHandle interface_handle, uint8_t pipe_id, void* buffer, uint32_t length,
                     uint32_t* transferred, uint32_t* error)
{
    const auto device = device_of(interface_handle, true, error);
    if (device == nullptr) return 0;
    if ((pipe_id & 0x80) == 0) return fail(error, ERROR_INVALID_PARAMETER);
    return bulk(*device, pipe_id, buffer, length, transferred, error);
}

int winusb_abort_pipe(void*, KorvalHandle interface_handle, uint8_t pipe_id, uint32_t* error)
{
    const auto device = device_of(interface_handle, true, error);
    if (device == nullptr) return 0;
    device->cancel(pipe_id);
    return 1;
}

// Every transfer of the board ends, as CancelIoEx on the board's file handle does.
int cancel_io(void*, KorvalHandle file, uint32_t* error)
{
    const auto device = device_of(file, false, error);
    if (device == nullptr) return 0;
    device->cancel(-1);
    return 1;
}

// ---- The board watch ----

// The serial-number string the kernel read when the board was enumerated, without opening it; "" when
// it has none.
std::string sysfs_serial(const std::string& path)
{
    std::string serial;
    FILE* f = std::fopen(("/sys/bus/usb/devices/" + path.substr(4) + "/serial").c_str(), "r");
    if (f == nullptr) return serial;
    char line[128];
    if (std::fgets(line, sizeof line, f) != nullptr) serial = line;
    std::fclose(f);
    while (!serial.empty() && (serial.back() == '\n' || serial.back() == '\r')) serial.pop_back();
    return serial;
}

// On the event thread, inside libusb_handle_events: only the device's cached descriptor and topology
// are read here, nothing is opened.
int LIBUSB_CALL on_hotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event, void* user_data)
{
    auto* session = static_cast<Session*>(user_data);
    try {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) != 0) return 0;
        if (std::find(session->vendors.begin(), session->vendors.end(), descriptor.idVendor) == session->vendors.end())
            return 0;
        const std::string path = board_path(device);
        if (path.empty()) return 0;
        const bool arrived = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
        const std::string serial = arrived ? sysfs_serial(path) : std::string();
        std::lock_guard lock(session->watch_mutex);
        std::string& known = session->serials[path];
        if (arrived) known = serial;
        KorvalHostBoardEvent e{};
        e.kind = arrived ? KORVAL_BOARD_ARRIVED : KORVAL_BOARD_LEFT;
        e.interface_class = &kWinUsbClass;
        e.path = path.c_str();
        e.vendor_id = descriptor.idVendor;
        e.product_id = descriptor.idProduct;
        e.serial_number = known.empty() ? nullptr : known.c_str();
        if (session->notify != nullptr) session->notify(session->notify_context, &e);
        if (!arrived) session->serials.erase(path);
    } catch (...) {
        // An event that cannot be told is dropped; the event thread goes on.
    }
    return 0;  // stay registered
}

int watch_boards(void*, KorvalHostBoardNotify notify, void* notify_context, uint32_t* error)
{
    const auto session = current();
    if (notify == nullptr) return fail(error, ERROR_INVALID_PARAMETER);
    if (session == nullptr || session->context == nullptr || libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) == 0)
        return fail(error, ERROR_NOT_SUPPORTED);
    std::lock_guard lock(session->watch_mutex);
    if (session->hotplug_registered) return fail(error, kErrorBusy);
    // No LIBUSB_HOTPLUG_ENUMERATE: boards present now are not told.
    const int r = libusb_hotplug_register_callback(
        session->context,
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        LIBUSB_HOTPLUG_MATCH_ANY, on_hotplug, session.get(), &session->hotplug);
    if (r != LIBUSB_SUCCESS) return fail(error, win32_from_libusb(r));
    session->hotplug_registered = true;
    session->notify = notify;
    session->notify_context = notify_context;
    return 1;
}

int unwatch_boards(void*, uint32_t* error)
{
    const auto session = current();
    if (session == nullptr || session->context == nullptr) return 1;  // ended with its session
    libusb_hotplug_callback_handle handle{};
    {
        std::lock_guard lock(session->watch_mutex);
        if (!session->hotplug_registered) return fail(error, ERROR_INVALID_HANDLE);
        session->hotplug_registered = false;
        handle = session->hotplug;
        session->notify = nullptr;  // a callback running now has returned: it held the lock
        session->notify_context = nullptr;
        session->serials.clear();
    }
    libusb_hotplug_deregister_callback(session->context, handle);
    return 1;
}

void list_unusable(void*, void (*emit)(void*, const KorvalHostUnusableBoard*), void* emit_context)
{
    if (emit == nullptr) return;
    for (const Unopenable& u : unopenable_boards()) {
        const KorvalHostUnusableBoard board{u.error, u.vendor, u.product, u.path.c_str()};
        emit(emit_context, &board);
    }
}

std::vector<uint16_t> parse_vendor_ids(const char* text)
{
    std::vector<uint16_t> ids;
    std::string item;
    for (const char* p = text;; ++p) {
        if (*p == '\0' || *p == ',' || *p == ';' || *p == ' ' || *p == '\t') {
            if (!item.empty()) {
                char* end = nullptr;
                const unsigned long id = std::strtoul(item.c_str(), &end, 16);
                if (end != nullptr && *end == '\0' && id > 0 && id <= 0xFFFF) ids.push_back(static_cast<uint16_t>(id));
                item.clear();
            }
            if (*p == '\0') break;
        } else {
            item += *p;
        }
    }
    return ids;
}

// The library's copy of its session: ended when the library unloads, before the statics above go.
struct EndAtUnload {
    ~EndAtUnload() { stop(); }
} g_end_at_unload;

}  // namespace

std::vector<uint16_t> vendor_ids()
{
    if (const char* env = std::getenv("KORVAL_VENDOR_IDS")) {
        std::vector<uint16_t> ids = parse_vendor_ids(env);
        if (!ids.empty()) return ids;
    }
    return parse_vendor_ids(KORVAL_VENDOR_IDS);
}

void stop() noexcept
{
    std::shared_ptr<Session> ended;
    {
        std::lock_guard lock(g_session_mutex);
        ended = std::move(g_session);
    }
    if (ended == nullptr) return;
    if (ended->owner != getpid()) {
        // A forked child (a test harness, a daemon) that installs another host: the session's event
        // thread does not exist here and libusb's locks may be held by threads that do not either, so
        // ending it could hang or abort. It is kept, untouched, for the life of the process.
        static auto* inherited = new std::vector<std::shared_ptr<Session>>();
        inherited->push_back(std::move(ended));
        return;
    }
    std::vector<std::shared_ptr<Device>> devices;
    {
        std::lock_guard lock(ended->mutex);
        for (auto& [handle, entry] : ended->handles) devices.push_back(std::move(entry.device));
        ended->handles.clear();
    }
    for (auto& device : devices) device->close();
    // The session ends here unless a thread still waits on one of its transfers; it ends as that
    // thread returns.
}

KorvalHost start() noexcept
{
    stop();
    KorvalHost h{};
    h.version = KORVAL_HOST_VERSION;
    h.list_interfaces = list_interfaces;
    h.open_file = open_file;
    h.close_handle = close_handle;
    h.device_io_control = device_io_control;
    h.winusb_initialize = winusb_initialize;
    h.winusb_free = winusb_free;
    h.winusb_control_transfer = winusb_control_transfer;
    h.winusb_get_descriptor = winusb_get_descriptor;
    h.winusb_query_interface_settings = winusb_query_interface_settings;
    h.winusb_query_pipe = winusb_query_pipe;
    h.winusb_write_pipe = winusb_write_pipe;
    h.winusb_read_pipe = winusb_read_pipe;
    h.winusb_abort_pipe = winusb_abort_pipe;
    h.cancel_io = cancel_io;
    h.watch_boards = watch_boards;
    h.unwatch_boards = unwatch_boards;
    h.list_unusable = list_unusable;
    try {
        auto session = std::make_shared<Session>();
        session->vendors = vendor_ids();
        if (libusb_init(&session->context) != 0) {
            session->context = nullptr;
        } else {
            libusb_context* context = session->context;
            Worker& events = session->events;
            const bool started = events.start([context, &events] {
                while (!events.stop_requested()) {
                    timeval tv{0, kEventPollUs};
                    libusb_handle_events_timeout_completed(context, &tv, nullptr);
                }
            });
            if (!started) {
                libusb_exit(context);
                session->context = nullptr;
            }
        }
        h.has_winusb = session->context != nullptr ? 1 : 0;
        std::lock_guard lock(g_session_mutex);
        g_session = std::move(session);
    } catch (...) {
        h.has_winusb = 0;  // no session: the host lists nothing and every handle call fails with 6
    }
    return h;
}

std::vector<Unopenable> unopenable_boards() noexcept
{
    std::vector<Unopenable> found;
    try {
        const auto session = current();
        if (session == nullptr || session->context == nullptr) return found;
        std::vector<Found> boards = family_boards(*session);
        for (const Found& f : boards) {
            libusb_device_handle* handle = nullptr;
            const int r = libusb_open(f.device, &handle);
            if (r == 0) {
                libusb_close(handle);
                continue;
            }
            libusb_device_descriptor descriptor{};
            libusb_get_device_descriptor(f.device, &descriptor);
            found.push_back({f.path, descriptor.idVendor, descriptor.idProduct, win32_from_libusb(r)});
        }
        unref_all(boards);
    } catch (...) {
    }
    return found;
}

}  // namespace korval::os::linux_usb
