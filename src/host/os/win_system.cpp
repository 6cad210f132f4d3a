// The system's table for the Windows host: SetupAPI and kernel32 as linked, WinUSB bound by name.
#include "host/os/win_system.h"

#ifdef _WIN32

namespace korval::os::win {

namespace {

// Looks an entry point up by name and gives it the type of the table's field; null when it is missing.
template <class Fn>
void bind(HMODULE module, const char* name, Fn& field) noexcept
{
    field = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

System load_system(const wchar_t* winusb_dll) noexcept
{
    System s;
    s.SetupDiGetClassDevsA = ::SetupDiGetClassDevsA;
    s.SetupDiEnumDeviceInterfaces = ::SetupDiEnumDeviceInterfaces;
    s.SetupDiGetDeviceInterfaceDetailA = ::SetupDiGetDeviceInterfaceDetailA;
    s.SetupDiDestroyDeviceInfoList = ::SetupDiDestroyDeviceInfoList;
    s.CreateFileA = ::CreateFileA;
    s.CloseHandle = ::CloseHandle;
    s.DeviceIoControl = ::DeviceIoControl;
    s.GetOverlappedResult = ::GetOverlappedResult;
    s.CancelIoEx = ::CancelIoEx;

    if (HMODULE cfgmgr = LoadLibraryW(L"cfgmgr32.dll")) {
        bind(cfgmgr, "CM_Register_Notification", s.CM_Register_Notification);
        bind(cfgmgr, "CM_Unregister_Notification", s.CM_Unregister_Notification);
        if (s.CM_Register_Notification == nullptr || s.CM_Unregister_Notification == nullptr) {
            s.CM_Register_Notification = nullptr;
            s.CM_Unregister_Notification = nullptr;
        }
    }

    // Without WinUSB.dll only the DeviceIoControl path is used. The module is kept for the life of the
    // process: its entry points are called until the process ends.
    HMODULE winusb = winusb_dll != nullptr ? LoadLibraryW(winusb_dll) : nullptr;
    if (winusb == nullptr) return s;
    s.winusb_loaded = true;
    bind(winusb, "WinUsb_Initialize", s.WinUsb_Initialize);
    bind(winusb, "WinUsb_Free", s.WinUsb_Free);
    bind(winusb, "WinUsb_ControlTransfer", s.WinUsb_ControlTransfer);
    bind(winusb, "WinUsb_GetDescriptor", s.WinUsb_GetDescriptor);
    bind(winusb, "WinUsb_QueryInterfaceSettings", s.WinUsb_QueryInterfaceSettings);
    bind(winusb, "WinUsb_QueryPipe", s.WinUsb_QueryPipe);
    bind(winusb, "WinUsb_WritePipe", s.WinUsb_WritePipe);
    bind(winusb, "WinUsb_ReadPipe", s.WinUsb_ReadPipe);
    bind(winusb, "WinUsb_AbortPipe", s.WinUsb_AbortPipe);
    return s;
}

const System& system() noexcept
{
    static const System loaded = load_system();
    return loaded;
}

}  // namespace korval::os::win

#endif  // _WIN32
