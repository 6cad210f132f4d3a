// The Windows system functions the Windows host calls, reached through one table.
//
// The host's own code (the SetupAPI listing, the overlapped DeviceIoControl, the WinUSB calls) calls the
// system only through a System. system() is the table filled from the system, used by the host the
// library installs by default; tests build their own with fakes in place of the system's functions and
// run the very same host code on them.
#pragma once

#ifdef _WIN32

// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <winusb.h>
// clang-format on

namespace korval::os::win {

struct System {
    // SetupAPI: listing the device interfaces of a class.
    decltype(&::SetupDiGetClassDevsA) SetupDiGetClassDevsA = nullptr;
    decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces = nullptr;
    decltype(&::SetupDiGetDeviceInterfaceDetailA) SetupDiGetDeviceInterfaceDetailA = nullptr;
    decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList = nullptr;

    // kernel32: board file handles and the DeviceIoControl driver path.
    decltype(&::CreateFileA) CreateFileA = nullptr;
    decltype(&::CloseHandle) CloseHandle = nullptr;
    decltype(&::DeviceIoControl) DeviceIoControl = nullptr;
    decltype(&::GetOverlappedResult) GetOverlappedResult = nullptr;
    decltype(&::CancelIoEx) CancelIoEx = nullptr;

    // WinUSB, bound by name from WinUSB.dll. winusb_loaded is false when the DLL could not be loaded;
    // an entry point the DLL does not export stays null.
    bool winusb_loaded = false;
    decltype(&::WinUsb_Initialize) WinUsb_Initialize = nullptr;
    decltype(&::WinUsb_Free) WinUsb_Free = nullptr;
    decltype(&::WinUsb_ControlTransfer) WinUsb_ControlTransfer = nullptr;
    decltype(&::WinUsb_GetDescriptor) WinUsb_GetDescriptor = nullptr;
    decltype(&::WinUsb_QueryInterfaceSettings) WinUsb_QueryInterfaceSettings = nullptr;
    decltype(&::WinUsb_QueryPipe) WinUsb_QueryPipe = nullptr;
    decltype(&::WinUsb_WritePipe) WinUsb_WritePipe = nullptr;
    decltype(&::WinUsb_ReadPipe) WinUsb_ReadPipe = nullptr;
    decltype(&::WinUsb_AbortPipe) WinUsb_AbortPipe = nullptr;

    // cfgmgr32 (Windows 8 and later), bound by name: device-interface arrival and removal
    // notifications. Declared here by their layout, since the SDK declares them only for Windows 8
    // builds. Null when the system lacks them: the library then lists the boards instead.
    using CmNotifyCallback = DWORD(CALLBACK*)(void* notification, void* context, DWORD action, const void* event_data,
                                              DWORD event_data_size);
    DWORD(WINAPI* CM_Register_Notification)
    (const void* filter, void* context, CmNotifyCallback callback, void** notification) = nullptr;
    DWORD(WINAPI* CM_Unregister_Notification)(void* notification) = nullptr;
};

// The system's own functions, with WinUSB bound from the DLL of that name (looked up the usual way:
// beside the program first, then in the system folder). The DLL is never released.
System load_system(const wchar_t* winusb_dll = L"WinUSB.dll") noexcept;

// The table of the host installed at library load: load_system() run once, on first use.
const System& system() noexcept;

}  // namespace korval::os::win

#endif  // _WIN32
