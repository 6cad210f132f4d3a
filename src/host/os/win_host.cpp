// The operating system's host on Windows.
//
// Boards are found through SetupAPI, opened with CreateFileA and driven either with DeviceIoControl on
// the file handle or through WinUSB on top of it. Every system function is reached through a System
// table (win_system.h), so the code here runs unchanged on the system and on test fakes.
#include "host/os/win_host.h"

#ifdef _WIN32

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "host/os/os_host.h"

namespace korval::os {

namespace win {

namespace {

// The listing passes these structs with the size fields the 64-bit SetupAPI expects.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);
static_assert(sizeof(KorvalGuid) == sizeof(GUID));
static_assert(sizeof(KorvalHandle) >= sizeof(HANDLE));

// No interface path comes near this; a larger size from the first detail call is not believed.
constexpr DWORD kMaxDetailSize = 0x10000;

const System& sys(void* context) { return *static_cast<const System*>(context); }

HANDLE to_handle(KorvalHandle h) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(h)); }
KorvalHandle from_handle(HANDLE h) { return static_cast<KorvalHandle>(reinterpret_cast<uintptr_t>(h)); }

int fail(uint32_t* error, uint32_t code)
{
    *error = code;
    return 0;
}

// A FALSE from the system: its cause is the thread's last-error value.
int system_failure(uint32_t* error) { return fail(error, GetLastError()); }

// ---- SetupAPI -------------------------------------------------------------------------------------------

// The paths of one member set, in member order. An interface whose detail cannot be read is skipped;
// the member index goes on past it.
std::vector<std::string> read_paths(const System& s, HDEVINFO set, const GUID& interface_class)
{
    std::vector<std::string> paths;
    for (DWORD member = 0;; ++member) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!s.SetupDiEnumDeviceInterfaces(set, nullptr, &interface_class, member, &data)) break;

        // First call: no buffer, only the size the detail needs.
        DWORD required = 0;
        s.SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
        if (required > kMaxDetailSize) continue;
        std::vector<uint8_t> buffer(std::max<size_t>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)));
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!s.SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr)) continue;

        // The path is what follows the size field, up to its first zero byte.
        constexpr size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        const size_t length = required > kPathOffset ? required - kPathOffset : 0;
        const char* path = reinterpret_cast<const char*>(buffer.data() + kPathOffset);
        const void* end = std::memchr(path, 0, length);
        paths.emplace_back(path, end != nullptr ? static_cast<const char*>(end) - path : length);
    }
    return paths;
}

void list_interfaces(void* context, const KorvalGuid* interface_class, void (*emit)(void*, const char*),
                     void* emit_context)
{
    const System& s = sys(context);
    if (interface_class == nullptr || emit == nullptr || s.SetupDiGetClassDevsA == nullptr ||
        s.SetupDiEnumDeviceInterfaces == nullptr || s.SetupDiGetDeviceInterfaceDetailA == nullptr ||
        s.SetupDiDestroyDeviceInfoList == nullptr)
        return;
    GUID guid;
    std::memcpy(&guid, interface_class, sizeof guid);
    HDEVINFO set = s.SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE || set == nullptr) return;

    std::vector<std::string> paths;
    try {
        paths = read_paths(s, set, guid);
    } catch (const std::bad_alloc&) {
        // Out of memory: the listing is empty this time; discovery lists again when it runs again.
    }
    s.SetupDiDestroyDeviceInfoList(set);
    // The set is destroyed before the library sees a path: what it does with one (open it) runs with no
    // SetupAPI list held.
    for (const std::string& path : paths) emit(emit_context, path.c_str());
}

// ---- Files and DeviceIoControl --------------------------------------------------------------------------

int open_file(void* context, const char* path, int exclusive, KorvalHandle* file, uint32_t* error)
{
    if (path == nullptr) return fail(error, ERROR_INVALID_PARAMETER);
    const DWORD share = exclusive != 0 ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE h = sys(context).CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return system_failure(error);
    if (h == nullptr) return fail(error, ERROR_INVALID_HANDLE);  // 0 means "no handle" to the library
    *file = from_handle(h);
    return 1;
}

int close_handle(void* context, KorvalHandle handle, uint32_t* error)
{
    if (!sys(context).CloseHandle(to_handle(handle))) return system_failure(error);
    return 1;
}

// The board's file is opened for overlapped I/O, so a request without an OVERLAPPED would be allowed to
// return before the driver has finished with the buffers. Each request therefore carries its own event
// and waits for its own completion; CancelIoEx on the file ends that wait with 995.
int device_io_control(void* context, KorvalHandle file, uint32_t control_code, const void* in, uint32_t in_size,
                      void* out, uint32_t out_size, uint32_t* bytes_returned, uint32_t* error)
{
    const System& s = sys(context);
    HANDLE h = to_handle(file);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return system_failure(error);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD bytes = 0;
    BOOL ok = s.DeviceIoControl(h, control_code, const_cast<void*>(in), in_size, out, out_size, &bytes, &overlapped);
    DWORD code = ok ? ERROR_SUCCESS : GetLastError();
    if (ok || code == ERROR_IO_PENDING) {
        // Also after a synchronous completion: the count of an overlapped request is the one it completed with.
        ok = s.GetOverlappedResult(h, &overlapped, &bytes, TRUE);
        code = ok ? ERROR_SUCCESS : GetLastError();
    }
    CloseHandle(event);
    if (!ok) return fail(error, code);
    *bytes_returned = bytes;
    return 1;
}

int cancel_io(void* context, KorvalHandle file, uint32_t* error)
{
    if (sys(context).CancelIoEx(to_handle(file), nullptr)) return 1;
    const DWORD code = GetLastError();
    // Nothing in flight is nothing to cancel: the caller's aim is met.
    if (code == ERROR_NOT_FOUND) return 1;
    return fail(error, code);
}

// ---- WinUSB ---------------------------------------------------------------------------------------------
// Calls are synchronous (no OVERLAPPED); WinUSB waits for each transfer itself and WinUsb_AbortPipe ends
// a wait on a pipe.

WINUSB_INTERFACE_HANDLE to_interface(KorvalHandle h) { return reinterpret_cast<WINUSB_INTERFACE_HANDLE>(h); }

int winusb_initialize(void* context, KorvalHandle file, KorvalHandle* interface_handle, uint32_t* error)
{
    WINUSB_INTERFACE_HANDLE h = nullptr;
    if (!sys(context).WinUsb_Initialize(to_handle(file), &h)) return system_failure(error);
    if (h == nullptr) return fail(error, ERROR_INVALID_HANDLE);
    *interface_handle = reinterpret_cast<uintptr_t>(h);
    return 1;
}

int winusb_free(void* context, KorvalHandle interface_handle, uint32_t* error)
{
    if (!sys(context).WinUsb_Free(to_interface(interface_handle))) return system_failure(error);
    return 1;
}

int winusb_control_transfer(void* context, KorvalHandle interface_handle, const uint8_t setup[8], void* buffer,
                            uint32_t length, uint32_t* transferred, uint32_t* error)
{
    WINUSB_SETUP_PACKET packet{};
    packet.RequestType = setup[0];
    packet.Request = setup[1];
    packet.Value = static_cast<USHORT>(setup[2] | setup[3] << 8);
    packet.Index = static_cast<USHORT>(setup[4] | setup[5] << 8);
    packet.Length = static_cast<USHORT>(setup[6] | setup[7] << 8);
    ULONG moved = 0;
    if (!sys(context).WinUsb_ControlTransfer(to_interface(interface_handle), packet, static_cast<PUCHAR>(buffer),
                                             length, &moved, nullptr))
        return system_failure(error);
    *transferred = moved;
    return 1;
}

int winusb_get_descriptor(void* context, KorvalHandle interface_handle, uint8_t type, uint8_t index,
                          uint16_t language, void* buffer, uint32_t length, uint32_t* transferred, uint32_t* error)
{
    ULONG moved = 0;
    if (!sys(context).WinUsb_GetDescriptor(to_interface(interface_handle), type, index, language,
                                           static_cast<PUCHAR>(buffer), length, &moved))
        return system_failure(error);
    *transferred = moved;
    return 1;
}

int winusb_query_interface_settings(void* context, KorvalHandle interface_handle, uint8_t alternate,
                                    uint8_t* num_endpoints, uint32_t* error)
{
    USB_INTERFACE_DESCRIPTOR descriptor{};
    if (!sys(context).WinUsb_QueryInterfaceSettings(to_interface(interface_handle), alternate, &descriptor))
        return system_failure(error);
    *num_endpoints = descriptor.bNumEndpoints;
    return 1;
}

int winusb_query_pipe(void* context, KorvalHandle interface_handle, uint8_t alternate, uint8_t pipe_index,
                      uint8_t* pipe_type, uint8_t* pipe_id, uint32_t* error)
{
    WINUSB_PIPE_INFORMATION pipe{};
    if (!sys(context).WinUsb_QueryPipe(to_interface(interface_handle), alternate, pipe_index, &pipe))
        return system_failure(error);
    *pipe_type = static_cast<uint8_t>(pipe.PipeType);
    *pipe_id = pipe.PipeId;
    return 1;
}

int winusb_write_pipe(void* context, KorvalHandle interface_handle, uint8_t pipe_id, const void* buffer,
                      uint32_t length, uint32_t* transferred, uint32_t* error)
{
    ULONG moved = 0;
    if (!sys(context).WinUsb_WritePipe(to_interface(interface_handle), pipe_id,
                                       static_cast<PUCHAR>(const_cast<void*>(buffer)), length, &moved, nullptr))
        return system_failure(error);
    *transferred = moved;
    return 1;
}

int winusb_read_pipe(void* context, KorvalHandle interface_handle, uint8_t pipe_id, void* buffer, uint32_t length,
                     uint32_t* transferred, uint32_t* error)
{
    ULONG moved = 0;
    if (!sys(context).WinUsb_ReadPipe(to_interface(interface_handle), pipe_id, static_cast<PUCHAR>(buffer), length,
                                      &moved, nullptr))
        return system_failure(error);
    *transferred = moved;
    return 1;
}

int winusb_abort_pipe(void* context, KorvalHandle interface_handle, uint8_t pipe_id, uint32_t* error)
{
    if (!sys(context).WinUsb_AbortPipe(to_interface(interface_handle), pipe_id)) return system_failure(error);
    return 1;
}

// ---- Board watch: device-interface notifications ----------------------------------------------------

// CM_NOTIFY_FILTER and the head of CM_NOTIFY_EVENT_DATA, by their layout (see win_system.h).
struct NotifyFilter {
    DWORD cbSize;
    DWORD Flags;
    DWORD FilterType;  // 0: CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE
    DWORD Reserved;
    union {
        GUID ClassGuid;
        WCHAR InstanceId[200];  // MAX_DEVICE_ID_LEN
    } u;
};
static_assert(sizeof(NotifyFilter) == 416);
struct NotifyEventHead {
    DWORD FilterType;
    DWORD Reserved;
    GUID ClassGuid;
    // WCHAR SymbolicLink[], zero-ended
};
constexpr DWORD kInterfaceArrival = 0;  // CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL
constexpr DWORD kInterfaceRemoval = 1;  // CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL

const GUID kClasses[2] = {KORVAL_INTERFACE_CLASS_IOCTL, KORVAL_INTERFACE_CLASS_WINUSB};

// The one watch of the library (it watches at most once at a time). The system's callback calls
// notify holding `mutex`; unwatch_boards first unregisters, which waits for callbacks in progress.
struct Watch {
    std::mutex mutex;  // notify, notify_context
    KorvalHostBoardNotify notify = nullptr;
    void* notify_context = nullptr;
    const System* system = nullptr;  // the watching host's, while it watches
    void* registrations[2] = {nullptr, nullptr};
};
Watch g_watch;

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Runs on a thread of the system's pool.
DWORD CALLBACK on_interface_event(void*, void*, DWORD action, const void* event_data, DWORD event_data_size)
{
    if ((action != kInterfaceArrival && action != kInterfaceRemoval) || event_data == nullptr ||
        event_data_size < sizeof(NotifyEventHead) + sizeof(WCHAR))
        return ERROR_SUCCESS;
    try {
        const auto* head = static_cast<const NotifyEventHead*>(event_data);
        const auto* link = reinterpret_cast<const WCHAR*>(static_cast<const uint8_t*>(event_data) + sizeof *head);
        const size_t room = (event_data_size - sizeof *head) / sizeof(WCHAR);
        size_t length = 0;
        while (length < room && link[length] != 0) ++length;
        const int bytes = WideCharToMultiByte(CP_ACP, 0, link, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
        if (bytes <= 0) return ERROR_SUCCESS;
        std::string path(static_cast<size_t>(bytes), '\0');
        WideCharToMultiByte(CP_ACP, 0, link, static_cast<int>(length), path.data(), bytes, nullptr, nullptr);
        // The serial number is the instance part, as the system spells it; the path is given as
        // SetupAPI lists it, in lower case.
        std::string serial;
        const size_t first = path.find('#');
        const size_t second = first == std::string::npos ? first : path.find('#', first + 1);
        const size_t third = second == std::string::npos ? second : path.find('#', second + 1);
        if (third != std::string::npos) serial = path.substr(second + 1, third - second - 1);
        if (serial.find('&') != std::string::npos) serial.clear();  // made up by the system
        for (char& c : path) c = ascii_lower(c);
        KorvalGuid interface_class{};
        std::memcpy(&interface_class, &head->ClassGuid, sizeof interface_class);
        KorvalHostBoardEvent e{};
        e.kind = action == kInterfaceArrival ? KORVAL_BOARD_ARRIVED : KORVAL_BOARD_LEFT;
        e.interface_class = &interface_class;
        e.path = path.c_str();
        e.serial_number = serial.empty() ? nullptr : serial.c_str();  // the IDs are read from the path
        std::lock_guard lock(g_watch.mutex);
        if (g_watch.notify != nullptr) g_watch.notify(g_watch.notify_context, &e);
    } catch (...) {
        // An event that cannot be told is dropped.
    }
    return ERROR_SUCCESS;
}

void unregister_all(const System& s)
{
    for (void*& r : g_watch.registrations) {
        if (r != nullptr) s.CM_Unregister_Notification(r);  // waits for its callbacks in progress
        r = nullptr;
    }
}

int watch_boards(void* context, KorvalHostBoardNotify notify, void* notify_context, uint32_t* error)
{
    const System& s = sys(context);
    if (notify == nullptr) return fail(error, ERROR_INVALID_PARAMETER);
    {
        std::lock_guard lock(g_watch.mutex);
        if (g_watch.system != nullptr) return fail(error, ERROR_BUSY);
        g_watch.system = &s;
        g_watch.notify = notify;
        g_watch.notify_context = notify_context;
    }
    for (int i = 0; i < 2; ++i) {
        NotifyFilter filter{};
        filter.cbSize = sizeof filter;
        filter.FilterType = 0;
        filter.u.ClassGuid = kClasses[i];
        const DWORD r = s.CM_Register_Notification(&filter, nullptr, on_interface_event, &g_watch.registrations[i]);
        if (r != 0) {  // a CONFIGRET, not a Win32 code
            g_watch.registrations[i] = nullptr;
            unregister_all(s);
            std::lock_guard lock(g_watch.mutex);
            g_watch.system = nullptr;
            g_watch.notify = nullptr;
            return fail(error, ERROR_NOT_SUPPORTED);
        }
    }
    return 1;
}

int unwatch_boards(void* context, uint32_t* error)
{
    const System& s = sys(context);
    {
        std::lock_guard lock(g_watch.mutex);
        if (g_watch.system != &s) return fail(error, ERROR_INVALID_HANDLE);
    }
    unregister_all(s);
    std::lock_guard lock(g_watch.mutex);
    g_watch.system = nullptr;
    g_watch.notify = nullptr;
    g_watch.notify_context = nullptr;
    return 1;
}

// The host's entry point when the table has the system function, else null (the library then answers
// ERROR_NOT_SUPPORTED instead of calling it).
template <class SystemFn, class HostFn>
HostFn when_present(SystemFn system_fn, HostFn host_fn)
{
    return system_fn != nullptr ? host_fn : nullptr;
}

}  // namespace

KorvalHost host(const System& s) noexcept
{
    KorvalHost h{};
    h.version = KORVAL_HOST_VERSION;
    h.context = const_cast<System*>(&s);
    h.list_interfaces = list_interfaces;
    h.open_file = when_present(s.CreateFileA, open_file);
    h.close_handle = when_present(s.CloseHandle, close_handle);
    h.device_io_control = s.DeviceIoControl != nullptr && s.GetOverlappedResult != nullptr ? device_io_control
                                                                                             : nullptr;
    h.has_winusb = s.winusb_loaded ? 1 : 0;
    h.winusb_initialize = when_present(s.WinUsb_Initialize, winusb_initialize);
    h.winusb_free = when_present(s.WinUsb_Free, winusb_free);
    h.winusb_control_transfer = when_present(s.WinUsb_ControlTransfer, winusb_control_transfer);
    h.winusb_get_descriptor = when_present(s.WinUsb_GetDescriptor, winusb_get_descriptor);
    h.winusb_query_interface_settings = when_present(s.WinUsb_QueryInterfaceSettings, winusb_query_interface_settings);
    h.winusb_query_pipe = when_present(s.WinUsb_QueryPipe, winusb_query_pipe);
    h.winusb_write_pipe = when_present(s.WinUsb_WritePipe, winusb_write_pipe);
    h.winusb_read_pipe = when_present(s.WinUsb_ReadPipe, winusb_read_pipe);
    h.winusb_abort_pipe = when_present(s.WinUsb_AbortPipe, winusb_abort_pipe);
    h.cancel_io = when_present(s.CancelIoEx, cancel_io);
    h.watch_boards = when_present(s.CM_Register_Notification, watch_boards);
    h.unwatch_boards = when_present(s.CM_Unregister_Notification, unwatch_boards);
    // A board that cannot be opened on Windows fails its open inside discovery as any other path
    // would; nothing tells it apart from a board open in another program, so none is reported.
    h.list_unusable = nullptr;
    return h;
}

}  // namespace win

// On Windows the operating system's host is this one, on the system's table.
KorvalHost host() noexcept { return win::host(win::system()); }

// The Windows host keeps no session of its own: WinUSB.dll stays bound for the library's life.
void release() noexcept {}

}  // namespace korval::os

#endif  // _WIN32
