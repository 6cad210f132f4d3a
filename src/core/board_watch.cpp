// Board notifications (see board_watch.h).
//
// Locks: `control` serialises starting and joining the notification thread; `mutex` guards the
// registrations and the event queue. The thread holds neither while it runs a callback, and a call made
// on the thread (from a callback) never takes `control`, so a callback may register, unregister, install
// a host or call GetDevices without waiting on itself. The host's notify only takes `mutex` for a
// moment, and the host's watch entry points are never called with `mutex` held.
#include "core/board_watch.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/caller_memory.h"
#include "core/core_api.h"
#include "usb/host_binding.h"

namespace korval {

namespace {

using namespace std::chrono_literals;

// How often a host without a watch of its own is listed.
constexpr auto kPollInterval = 1s;
// How long unregistering waits for a running callback.
constexpr auto kCallbackWait = 10s;

const KorvalGuid kIoctlClass = KORVAL_INTERFACE_CLASS_IOCTL;
const KorvalGuid kWinUsbClass = KORVAL_INTERFACE_CLASS_WINUSB;

struct Registration {
    uint32_t id;
    KorvalBoardCallback callback;
    void* context;
};

// A board as a listing names it: driver path (0 WinUSB, 1 DeviceIoControl) and interface path.
using Listed = std::pair<uint32_t, std::string>;

struct State {
    std::mutex control;

    std::mutex mutex;  // everything below but `watching` and `baselines`
    std::condition_variable changed;
    std::vector<Registration> registrations;
    std::deque<KorvalBoardEvent> queue;
    uint32_t next_id = 1;
    uint32_t running = 0;       // the registration whose callback runs now
    bool thread_alive = false;  // the thread's loop runs (it has not decided to end)
    bool stop = false;          // asks the loop to end
    bool thread_ended = false;  // the thread has left the host and returns
    std::thread thread;

    // The thread's own: whether it watches the installed host, and the last listing of each host it
    // lists instead (by host number; an absent entry has not been listed yet).
    bool watching = false;
    std::vector<std::pair<bool, std::set<Listed>>> baselines;
};

// Not a static object: the host's notify and the thread may still reach it while statics go at unload.
// Unloading frees it only when nothing can reach it any more (end_at_unload()).
std::atomic<State*>& state_slot()
{
    static std::atomic<State*> slot{new State()};
    return slot;
}

State& state()
{
    if (State* s = state_slot().load(std::memory_order_acquire)) return *s;
    // A call after unloading freed it (a thread of a process that is ending): a new one, kept.
    State* fresh = new State();
    State* expected = nullptr;
    if (state_slot().compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;
    return *expected;
}

thread_local bool t_on_notification_thread = false;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The four hexadecimal digits after `key` ("vid_", "pid_") in a path, case aside; 0 when absent.
uint32_t id_in_path(const std::string& path, const char* key)
{
    std::string low(path);
    for (char& c : low) c = lower(c);
    const size_t at = low.find(key);
    if (at == std::string::npos || at + 8 > low.size()) return 0;
    uint32_t id = 0;
    for (size_t i = at + 4; i < at + 8; ++i) {
        const char c = low[i];
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return 0;
        id = id << 4 | static_cast<uint32_t>(digit);
    }
    return id;
}

// A device-interface path "...#VID_xxxx&PID_yyyy#instance#{class}" names the board's serial number as
// its instance when the board has one; an instance the system made up holds '&'.
std::string serial_in_path(const std::string& path)
{
    const size_t first = path.find('#');
    if (first == std::string::npos) return {};
    const size_t second = path.find('#', first + 1);
    if (second == std::string::npos) return {};
    const size_t third = path.find('#', second + 1);
    if (third == std::string::npos) return {};
    std::string instance = path.substr(second + 1, third - second - 1);
    if (instance.empty() || instance.find('&') != std::string::npos) return {};
    return instance;
}

void copy_text(char* to, size_t room, const std::string& text)
{
    const size_t n = text.size() < room - 1 ? text.size() : room - 1;
    std::memcpy(to, text.data(), n);
    to[n] = '\0';
}

KorvalBoardEvent make_event(uint32_t kind, uint32_t driver_path, const std::string& path, uint32_t vendor,
                            uint32_t product, const std::string& serial)
{
    KorvalBoardEvent e{};
    e.Size = sizeof e;
    e.Kind = kind;
    e.VendorID = vendor != 0 ? vendor : id_in_path(path, "vid_");
    e.ProductID = product != 0 ? product : id_in_path(path, "pid_");
    e.DriverPath = driver_path;
    copy_text(e.Path, sizeof e.Path, path);
    copy_text(e.SerialNumber, sizeof e.SerialNumber, serial.empty() ? serial_in_path(path) : serial);
    return e;
}

void post(const KorvalBoardEvent& e)
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.thread_alive) return;
    s.queue.push_back(e);
    s.changed.notify_all();
}

// The installed host's notify.
void on_host_event(void*, const KorvalHostBoardEvent* event) noexcept
{
    if (event == nullptr || event->path == nullptr) return;
    if (event->kind != KORVAL_BOARD_ARRIVED && event->kind != KORVAL_BOARD_LEFT) return;
    try {
        const bool ioctl = event->interface_class != nullptr &&
                           std::memcmp(event->interface_class, &kIoctlClass, sizeof kIoctlClass) == 0;
        post(make_event(event->kind, ioctl ? 1 : 0, event->path, event->vendor_id, event->product_id,
                        event->serial_number != nullptr ? event->serial_number : ""));
    } catch (...) {
        // An event that cannot be kept is lost; the host's thread goes on.
    }
}

std::set<Listed> list_host(uint32_t host)
{
    std::set<Listed> listed;
    usb::list_interfaces(host, kIoctlClass, [&](const char* path) { listed.emplace(1, path); });
    usb::list_interfaces(host, kWinUsbClass, [&](const char* path) { listed.emplace(0, path); });
    return listed;
}

// Lists the hosts the thread does not watch and posts what changed since their last listing. A host
// listed for the first time only sets its baseline.
void poll_hosts(State& s)
{
    const uint32_t count = usb::host_count();
    if (s.baselines.size() < count) s.baselines.resize(count);
    for (uint32_t host = 0; host < count; ++host) {
        if (host == 0 && s.watching) continue;
        std::set<Listed> now = list_host(host);
        auto& [listed_before, before] = s.baselines[host];
        if (listed_before) {
            for (const Listed& l : before)
                if (!now.count(l)) post(make_event(KORVAL_BOARD_LEFT, l.first, l.second, 0, 0, {}));
            for (const Listed& l : now)
                if (!before.count(l)) post(make_event(KORVAL_BOARD_ARRIVED, l.first, l.second, 0, 0, {}));
        }
        listed_before = true;
        before = std::move(now);
    }
}

bool polling_needed(const State& s) { return !s.watching || usb::host_count() > 1; }

// The thread's hold on the installed host: its watch, or a first listing when it has none.
void begin_on_host(State& s)
{
    s.baselines.clear();
    s.watching = usb::watch_boards(on_host_event, nullptr);
    poll_hosts(s);
}

void end_on_host(State& s)
{
    if (s.watching) usb::unwatch_boards();
    s.watching = false;
    s.baselines.clear();
}

void deliver(State& s, std::unique_lock<std::mutex>& lock, const KorvalBoardEvent& event)
{
    const std::vector<Registration> each = s.registrations;
    for (const Registration& r : each) {
        // A registration ended by an earlier callback of this event is not called.
        bool present = false;
        for (const Registration& now : s.registrations) present = present || now.id == r.id;
        if (!present || s.stop) continue;
        s.running = r.id;
        lock.unlock();
        try {
            r.callback(r.context, &event);
        } catch (...) {
            // A callback's exception ends there.
        }
        lock.lock();
        s.running = 0;
        s.changed.notify_all();
    }
}

void thread_body()
{
    t_on_notification_thread = true;
    State& s = state();
    std::unique_lock lock(s.mutex);
    auto next_poll = std::chrono::steady_clock::now() + kPollInterval;
    while (!s.stop && !s.registrations.empty()) {
        if (s.queue.empty()) {
            s.changed.wait_until(lock, next_poll,
                                 [&] { return s.stop || s.registrations.empty() || !s.queue.empty(); });
        }
        if (!s.queue.empty()) {
            const KorvalBoardEvent event = s.queue.front();
            s.queue.pop_front();
            deliver(s, lock, event);
            continue;
        }
        if (std::chrono::steady_clock::now() >= next_poll) {
            next_poll = std::chrono::steady_clock::now() + kPollInterval;
            if (polling_needed(s)) {
                lock.unlock();
                poll_hosts(s);
                lock.lock();
            }
        }
    }
    s.thread_alive = false;
    s.queue.clear();
    lock.unlock();
    end_on_host(s);
    lock.lock();
    s.thread_ended = true;
    s.changed.notify_all();
}

// Joins a thread whose loop has ended or been asked to end. Called with `control` held, not `mutex`.
void join_thread(State& s)
{
    std::thread ended;
    {
        std::lock_guard lock(s.mutex);
        ended = std::move(s.thread);
    }
    if (ended.joinable()) ended.join();
}

// Starts the thread unless its loop runs. Called with `control` held, not `mutex`. False when the
// system gives no thread.
bool ensure_thread(State& s)
{
    {
        std::lock_guard lock(s.mutex);
        if (s.thread_alive || s.registrations.empty()) return true;
    }
    join_thread(s);  // one whose loop ended, still leaving the host
    {
        std::lock_guard lock(s.mutex);
        s.stop = false;
        s.thread_alive = true;
        s.thread_ended = false;
    }
    // The watch starts here, before the registration returns, so no event after it is missed.
    begin_on_host(s);
    std::unique_lock lock(s.mutex);
    try {
        s.thread = std::thread(thread_body);
    } catch (...) {
        s.thread_alive = false;
        s.queue.clear();
        lock.unlock();
        end_on_host(s);
        return false;
    }
    return true;
}

// Asks the loop to end and joins the thread. Called with `control` held, not from the thread.
void stop_thread(State& s)
{
    {
        std::lock_guard lock(s.mutex);
        s.stop = true;
        s.changed.notify_all();
    }
    join_thread(s);
}

}  // namespace

uint32_t KORVAL_RegisterBoardNotification(KorvalBoardCallback Callback, void* Context, uint32_t Flags,
                                          uint32_t* pRegistration)
{
    if (Callback == nullptr || pRegistration == nullptr || Flags != 0) return ERROR_INVALID_PARAMETER;
    if (!store_to_caller(pRegistration, 0u)) return ERROR_NOACCESS;
    State& s = state();
    std::unique_lock<std::mutex> control;
    if (!t_on_notification_thread) control = std::unique_lock(s.control);
    uint32_t id = 0;
    {
        std::lock_guard lock(s.mutex);
        id = s.next_id++;
        if (s.next_id == 0) s.next_id = 1;
        s.registrations.push_back({id, Callback, Context});
    }
    // On the thread itself the loop runs: the new registration is served by it.
    if (!t_on_notification_thread && !ensure_thread(s)) {
        std::lock_guard lock(s.mutex);
        std::erase_if(s.registrations, [&](const Registration& r) { return r.id == id; });
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (!store_to_caller(pRegistration, id)) {
        KORVAL_UnregisterBoardNotification(id);
        return ERROR_NOACCESS;
    }
    return ERROR_SUCCESS;
}

uint32_t KORVAL_UnregisterBoardNotification(uint32_t Registration)
{
    State& s = state();
    bool last = false;
    {
        std::unique_lock lock(s.mutex);
        const auto removed = std::erase_if(s.registrations, [&](const auto& r) { return r.id == Registration; });
        if (removed == 0 || Registration == 0) return ERROR_INVALID_HANDLE;
        s.changed.notify_all();
        // From the callback itself the call returns at once: the loop calls it no more.
        if (!t_on_notification_thread &&
            !s.changed.wait_for(lock, kCallbackWait, [&] { return s.running != Registration; }))
            return ERROR_TIMEOUT;
        last = s.registrations.empty();
    }
    if (last && !t_on_notification_thread) {
        // The loop ends by itself once it sees no registration; the last one to go joins it, unless a
        // registration came meanwhile.
        std::lock_guard control(s.control);
        bool idle = false;
        {
            std::lock_guard lock(s.mutex);
            idle = s.registrations.empty();
        }
        if (idle) join_thread(s);
    }
    return ERROR_SUCCESS;
}

namespace board_watch {

HostChange::HostChange()
{
    State& s = state();
    if (t_on_notification_thread) {
        // A callback installs a host: the thread leaves the old host here, while it is still valid.
        end_on_host(s);
        return;
    }
    s.control.lock();
    owns_control_ = true;
    stop_thread(s);
}

HostChange::~HostChange()
{
    State& s = state();
    if (!owns_control_) {
        begin_on_host(s);
        return;
    }
    ensure_thread(s);
    s.control.unlock();
}

void end_at_unload() noexcept
{
    if (t_on_notification_thread) return;
    State& s = state();
#ifdef _WIN32
    // Unload runs under the loader's lock, which a thread needs to end: it is asked to end, not joined.
    std::lock_guard lock(s.mutex);
    s.stop = true;
    s.changed.notify_all();
#else
    // A thread still in a callback that cannot return now (its language's runtime already ended) is
    // not waited for without end: the process is going.
    std::unique_lock control(s.control);
    std::unique_lock lock(s.mutex);
    s.stop = true;
    s.changed.notify_all();
    if (!s.thread.joinable()) {
        // Nothing watches or runs: the state is freed, so an unloaded library leaves no memory behind.
        const bool unreachable = s.registrations.empty() && !s.thread_alive && !s.watching;
        lock.unlock();
        control.unlock();
        if (unreachable) delete state_slot().exchange(nullptr, std::memory_order_acq_rel);
        return;
    }
    std::thread ended = std::move(s.thread);
    const bool returned = s.changed.wait_for(lock, 2s, [&] { return s.thread_ended; });
    lock.unlock();
    if (returned)
        ended.join();
    else
        ended.detach();
#endif
}

bool thread_running() noexcept
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.thread.joinable() || s.thread_alive;
}

}  // namespace board_watch

}  // namespace korval
