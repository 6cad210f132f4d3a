#include "windows/fake_system.h"

#include <cstring>
#include <thread>

namespace korval::test {

namespace {

FakeSystem* g_current = nullptr;

// Handles of both kinds (files, WinUSB interfaces) are the simulation's handles as pointers.
KorvalHandle key(void* h) { return static_cast<KorvalHandle>(reinterpret_cast<uintptr_t>(h)); }

// A sim host call's result as a Win32 BOOL with the thread's last-error value.
BOOL result(int ok, uint32_t error)
{
    if (ok != 0) return TRUE;
    SetLastError(error);
    return FALSE;
}

// ---- SetupAPI: a member set holds the interfaces listed when it was made. ----

struct FakeSet {
    std::vector<FakeInterface> members;
};

HDEVINFO WINAPI get_class_devs(const GUID* guid, PCSTR enumerator, HWND parent, DWORD flags)
{
    FakeSystem& f = FakeSystem::current();
    f.class_devs_flags_ = flags;
    if (f.class_devs_fail || guid == nullptr || enumerator != nullptr || parent != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto* set = new FakeSet;
    KorvalGuid korval_guid;
    std::memcpy(&korval_guid, guid, sizeof korval_guid);
    f.sim_host().list_interfaces(
        f.sim_host().context, &korval_guid,
        [](void* context, const char* path) {
            static_cast<FakeSet*>(context)->members.push_back({std::string(path) + '\0', false});
        },
        set);
    set->members.insert(set->members.end(), f.extra_interfaces.begin(), f.extra_interfaces.end());
    ++f.sets_created_;
    return set;
}

BOOL WINAPI enum_interfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID*, DWORD member,
                            PSP_DEVICE_INTERFACE_DATA data)
{
    auto* s = static_cast<FakeSet*>(set);
    if (info != nullptr || data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (member >= s->members.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->Flags = SPINT_ACTIVE;
    data->Reserved = member + 1;
    return TRUE;
}

BOOL WINAPI interface_detail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                             DWORD size, PDWORD required, PSP_DEVINFO_DATA)
{
    auto* s = static_cast<FakeSet*>(set);
    const FakeInterface& member = s->members.at(data->Reserved - 1);
    const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + member.detail.size());
    if (required != nullptr) *required = needed;
    if (detail == nullptr || size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (member.detail_fails) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, member.detail.data(), member.detail.size());
    return TRUE;
}

BOOL WINAPI destroy_list(HDEVINFO set)
{
    delete static_cast<FakeSet*>(set);
    ++FakeSystem::current().sets_destroyed_;
    return TRUE;
}

// ---- Files and DeviceIoControl ----

HANDLE WINAPI create_file(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                          DWORD flags, HANDLE)
{
    FakeSystem& f = FakeSystem::current();
    f.record_open({path, access, share, disposition, flags});
    KorvalHandle file = 0;
    uint32_t error = 0;
    if (!f.sim_host().open_file(f.sim_host().context, path, share == 0, &file, &error)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(file));
}

BOOL WINAPI close_handle(HANDLE h)
{
    FakeSystem& f = FakeSystem::current();
    uint32_t error = 0;
    return result(f.sim_host().close_handle(f.sim_host().context, key(h), &error), error);
}

}  // namespace

// A request the fake DeviceIoControl took: its outcome, and the thread completing it when it completes later.
struct FakeSystem::Pending {
    std::thread thread;
    int ok = 0;
    uint32_t error = 0;
    uint32_t bytes = 0;
};

namespace {

BOOL WINAPI device_io_control(HANDLE h, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                              LPDWORD returned, LPOVERLAPPED overlapped)
{
    FakeSystem& f = FakeSystem::current();
    // The board's files are overlapped: a request without its own event could complete after the call.
    if (overlapped == nullptr || overlapped->hEvent == nullptr) {
        ++f.breaches_;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ResetEvent(overlapped->hEvent);
    auto pending = std::make_shared<FakeSystem::Pending>();
    const KorvalHost& sim = f.sim_host();
    auto run = [&sim, &f, pending, h, code, in, in_size, out, out_size, event = overlapped->hEvent] {
        pending->ok = sim.device_io_control(sim.context, key(h), code, in, in_size, out, out_size, &pending->bytes,
                                            &pending->error);
        --f.in_flight_;
        SetEvent(event);
    };
    ++f.in_flight_;
    if (!f.complete_later) {
        run();
        if (!pending->ok) return result(0, pending->error);
        if (returned != nullptr) *returned = pending->bytes;
        f.store(overlapped, pending);
        return TRUE;
    }
    pending->thread = std::thread(run);
    f.store(overlapped, pending);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL WINAPI get_overlapped_result(HANDLE, LPOVERLAPPED overlapped, LPDWORD bytes, BOOL wait)
{
    std::shared_ptr<FakeSystem::Pending> pending = FakeSystem::current().take(overlapped);
    if (pending == nullptr || !wait) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (pending->thread.joinable()) pending->thread.join();
    WaitForSingleObject(overlapped->hEvent, INFINITE);  // signalled by now; a wait as the system's would
    *bytes = pending->bytes;
    return result(pending->ok, pending->error);
}

BOOL WINAPI cancel_io_ex(HANDLE h, LPOVERLAPPED)
{
    FakeSystem& f = FakeSystem::current();
    uint32_t error = 0;
    return result(f.sim_host().cancel_io(f.sim_host().context, key(h), &error), error);
}

// ---- WinUSB: synchronous calls only. ----

bool synchronous(LPOVERLAPPED overlapped)
{
    if (overlapped == nullptr) return true;
    ++FakeSystem::current().breaches_;
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
}

BOOL WINAPI winusb_initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE interface_handle)
{
    const KorvalHost& sim = FakeSystem::current().sim_host();
    KorvalHandle h = 0;
    uint32_t error = 0;
    if (!sim.winusb_initialize(sim.context, key(file), &h, &error)) return result(0, error);
    *interface_handle = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(static_cast<uintptr_t>(h));
    return TRUE;
}

BOOL WINAPI winusb_free(WINUSB_INTERFACE_HANDLE h)
{
    const KorvalHost& sim = FakeSystem::current().sim_host();
    uint32_t error = 0;
    return result(sim.winusb_free(sim.context, key(h), &error), error);
}

BOOL WINAPI winusb_control_transfer(WINUSB_INTERFACE_HANDLE h, WINUSB_SETUP_PACKET packet, PUCHAR buffer, ULONG length,
                                    PULONG transferred, LPOVERLAPPED overlapped)
{
    if (!synchronous(overlapped)) return FALSE;
    const KorvalHost& sim = FakeSystem::current().sim_host();
    const uint8_t setup[8] = {packet.RequestType,
                              packet.Request,
                              static_cast<uint8_t>(packet.Value),
                              static_cast<uint8_t>(packet.Value >> 8),
                              static_cast<uint8_t>(packet.Index),
                              static_cast<uint8_t>(packet.Index >> 8),
                              static_cast<uint8_t>(packet.Length),
                              static_cast<uint8_t>(packet.Length >> 8)};
    uint32_t moved = 0, error = 0;
    if (!sim.winusb_control_transfer(sim.context, key(h), setup, buffer, length, &moved, &error))
        return result(0, error);
    *transferred = moved;
    return TRUE;
}

BOOL WINAPI winusb_get_descriptor(WINUSB_INTERFACE_HANDLE h, UCHAR type, UCHAR index, USHORT language, PUCHAR buffer,
                                  ULONG length, PULONG transferred)
{
    const KorvalHost& sim = FakeSystem::current().sim_host();
    uint32_t moved = 0, error = 0;
    if (!sim.winusb_get_descriptor(sim.context, key(h), type, index, language, buffer, length, &moved, &error))
        return result(0, error);
    *transferred = moved;
    return TRUE;
}

BOOL WINAPI winusb_query_interface_settings(WINUSB_INTERFACE_HANDLE h, UCHAR alternate,
                                            PUSB_INTERFACE_DESCRIPTOR descriptor)
{
    const KorvalHost& sim = FakeSystem::current().sim_host();
    uint8_t count = 0;
    uint32_t error = 0;
    if (!sim.winusb_query_interface_settings(sim.context, key(h), alternate, &count, &error))
        return result(0, error);
    std::memset(descriptor, 0, sizeof *descriptor);
    descriptor->bLength = sizeof *descriptor;
    descriptor->bDescriptorType = USB_INTERFACE_DESCRIPTOR_TYPE;
    descriptor->bNumEndpoints = count;
    return TRUE;
}

BOOL WINAPI winusb_query_pipe(WINUSB_INTERFACE_HANDLE h, UCHAR alternate, UCHAR index, PWINUSB_PIPE_INFORMATION pipe)
{
    const KorvalHost& sim = FakeSystem::current().sim_host();
    uint8_t type = 0, id = 0;
    uint32_t error = 0;
    if (!sim.winusb_query_pipe(sim.context, key(h), alternate, index, &type, &id, &error)) return result(0, error);
    pipe->PipeType = static_cast<USBD_PIPE_TYPE>(type);
    pipe->PipeId = id;
    pipe->MaximumPacketSize = 512;
    pipe->Interval = 0;
    return TRUE;
}

BOOL WINAPI winusb_write_pipe(WINUSB_INTERFACE_HANDLE h, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG transferred,
                              LPOVERLAPPED overlapped)
{
    if (!synchronous(overlapped)) return FALSE;
    FakeSystem& f = FakeSystem::current();
    uint32_t moved = 0, error = 0;
    ++f.in_flight_;
    const int ok = f.sim_host().winusb_write_pipe(f.sim_host().context, key(h), pipe, buffer, length, &moved, &error);
    --f.in_flight_;
    if (!ok) return result(0, error);
    *transferred = moved;
    return TRUE;
}

BOOL WINAPI winusb_read_pipe(WINUSB_INTERFACE_HANDLE h, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG transferred,
                             LPOVERLAPPED overlapped)
{
    if (!synchronous(overlapped)) return FALSE;
    FakeSystem& f = FakeSystem::current();
    uint32_t moved = 0, error = 0;
    ++f.in_flight_;
    const int ok = f.sim_host().winusb_read_pipe(f.sim_host().context, key(h), pipe, buffer, length, &moved, &error);
    --f.in_flight_;
    if (!ok) return result(0, error);
    *transferred = moved;
    return TRUE;
}

BOOL WINAPI winusb_abort_pipe(WINUSB_INTERFACE_HANDLE h, UCHAR pipe)
{
    const KorvalHost& sim = FakeSystem::current().sim_host();
    uint32_t error = 0;
    return result(sim.winusb_abort_pipe(sim.context, key(h), pipe, &error), error);
}

}  // namespace

FakeSystem::FakeSystem(KorvalSim* sim) : sim_(sim), sim_host_(KorvalSim_Host(sim))
{
    g_current = this;
    table.SetupDiGetClassDevsA = get_class_devs;
    table.SetupDiEnumDeviceInterfaces = enum_interfaces;
    table.SetupDiGetDeviceInterfaceDetailA = interface_detail;
    table.SetupDiDestroyDeviceInfoList = destroy_list;
    table.CreateFileA = create_file;
    table.CloseHandle = close_handle;
    table.DeviceIoControl = device_io_control;
    table.GetOverlappedResult = get_overlapped_result;
    table.CancelIoEx = cancel_io_ex;
    table.winusb_loaded = true;
    table.WinUsb_Initialize = winusb_initialize;
    table.WinUsb_Free = winusb_free;
    table.WinUsb_ControlTransfer = winusb_control_transfer;
    table.WinUsb_GetDescriptor = winusb_get_descriptor;
    table.WinUsb_QueryInterfaceSettings = winusb_query_interface_settings;
    table.WinUsb_QueryPipe = winusb_query_pipe;
    table.WinUsb_WritePipe = winusb_write_pipe;
    table.WinUsb_ReadPipe = winusb_read_pipe;
    table.WinUsb_AbortPipe = winusb_abort_pipe;
}

FakeSystem::~FakeSystem()
{
    // A request nobody waited for still has its thread: let it end with the simulation's answer.
    for (auto& [overlapped, pending] : pending_)
        if (pending->thread.joinable()) pending->thread.join();
    g_current = nullptr;
}

FakeSystem& FakeSystem::current() { return *g_current; }

std::vector<FakeOpen> FakeSystem::opens() const
{
    std::lock_guard lock(mutex_);
    return opens_;
}

void FakeSystem::record_open(const FakeOpen& open)
{
    std::lock_guard lock(mutex_);
    opens_.push_back(open);
}

void FakeSystem::store(OVERLAPPED* overlapped, std::shared_ptr<Pending> pending)
{
    std::lock_guard lock(mutex_);
    pending_[overlapped] = std::move(pending);
}

std::shared_ptr<FakeSystem::Pending> FakeSystem::take(OVERLAPPED* overlapped)
{
    std::lock_guard lock(mutex_);
    auto it = pending_.find(overlapped);
    if (it == pending_.end()) return nullptr;
    auto pending = std::move(it->second);
    pending_.erase(it);
    return pending;
}

}  // namespace korval::test
