"""Finding and loading the Korval shared library, and the C prototypes of its functions."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Optional, TypeVar

from .errors import KorvalError, LibraryNotFoundError

if TYPE_CHECKING:
    from .device import Device

u8, u16, u32, i32, u64, i64, f64 = (ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32, ctypes.c_int32,
                                    ctypes.c_uint64, ctypes.c_int64, ctypes.c_double)
vp, cp = ctypes.c_void_p, ctypes.c_char_p
P = ctypes.POINTER

FIRST_DEVICE_INDEX = 0xFFFFFFFE
ONLY_DEVICE_INDEX = 0xFFFFFFFD
NO_SLOT = 0xFFFFFFFF
SLOT_COUNT = 32

# void PContCallback(uint16_t *pBuf, uint32_t BufSize, uint32_t Flags, uint32_t Context)
ContCallback = ctypes.CFUNCTYPE(None, P(u16), u32, u32, u32)


class BoardEventInfo(ctypes.Structure):
    """A board that arrived or left (the library's KorvalBoardEvent)."""

    _fields_ = [(name, u32) for name in ("Size", "Kind", "VendorID", "ProductID", "DriverPath", "Reserved")] + [
        ("Path", ctypes.c_char * 256), ("SerialNumber", ctypes.c_char * 64)]


# void KorvalBoardCallback(void *Context, const KorvalBoardEvent *pEvent)
BoardCallback = ctypes.CFUNCTYPE(None, vp, P(BoardEventInfo))


class Capabilities(ctypes.Structure):
    """What a board can do (the library's KorvalCapabilities)."""

    _fields_ = [(name, u32) for name in (
        "Size", "ProductID", "DriverPath", "DIOBytes", "DIOConfigBits", "Tristates", "Counters",
        "GateSelectable")] + [("RootClock", f64)] + [(name, u32) for name in (
            "ADCBulk", "ADCChannels", "ADCMUXChannels", "ConfigBytes", "RangeShift", "ImmADCs", "ImmDACs",
            "DACBoardRange", "DACChannelCal", "DACStream", "DIOStream", "DIOSPI", "DIODebounce", "ClearFIFO",
            "SetCustomClocks", "WDGBytes")] + [("FlashSectors", i32), ("Reserved", u32)]


class UnusableBoardInfo(ctypes.Structure):
    """An attached board that cannot be opened (the library's KorvalUnusableBoard)."""

    _fields_ = [("Size", u32), ("Error", u32), ("VendorID", u32), ("ProductID", u32),
                ("Path", ctypes.c_char * 64), ("Reason", ctypes.c_char * 256)]


class DACPair(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("Channel", u16), ("Value", u16)]


class SimTransfer(ctypes.Structure):
    _fields_ = [("kind", u32), ("via", u32), ("setup", u8 * 8), ("endpoint", u8), ("reserved", u8 * 3),
                ("control_code", u32), ("header", u8 * 38), ("reserved2", u8 * 2), ("length_asked", u32),
                ("length_moved", u32), ("reported", u32), ("error", u32), ("data_size", u32),
                ("sequence", u64)]


class SimFault(ctypes.Structure):
    _fields_ = [(name, u32) for name in ("action", "kind", "request", "endpoint", "count", "error", "bytes")]


class SimDigitalState(ctypes.Structure):
    _fields_ = [("ports", u32), ("direction_bytes", u32), ("tristate_bytes", u32), ("outputs_floating", u32)] + [
        (name, u8 * 16) for name in ("outputs", "direction", "tristate", "inputs", "levels")]


class SimCounter(ctypes.Structure):
    _fields_ = [(name, u32) for name in (
        "mode", "programmed", "initial_count", "count", "out", "gate", "null_count", "status", "clock_source",
        "reserved")] + [("rising_edges", u64)]


class SimAdcSignal(ctypes.Structure):
    _fields_ = [("kind", u32), ("seed", u32), ("offset", f64), ("amplitude", f64), ("frequency", f64)]


class MeasureTrigger(ctypes.Structure):
    """A measurement's software trigger (the library's KorvalTrigger)."""

    _fields_ = [("Slope", u32), ("Channel", u32), ("Level", f64), ("Hysteresis", f64), ("PreTriggerScans", u32),
                ("Records", u32)]


MEASURE_MAX_CHANNELS = 256


class MeasureSettings(ctypes.Structure):
    """What a measurement measures (the library's KorvalMeasureSettings)."""

    _fields_ = [("Size", u32), ("FirstChannel", u32), ("LastChannel", u32), ("RangeCount", u32),
                ("Ranges", u8 * MEASURE_MAX_CHANNELS), ("Oversample", u32), ("BlockScans", u32), ("Rate", f64),
                ("Scans", u64), ("BlockSeconds", f64), ("Trigger", MeasureTrigger)]


class MeasureBlock(ctypes.Structure):
    """Scans of a measurement (the library's KorvalMeasureBlock)."""

    _fields_ = [("Size", u32), ("Flags", u32), ("FirstScan", u64), ("ScanCount", u32), ("ChannelCount", u32),
                ("ScanPeriod", f64), ("HostTimeNs", i64), ("TriggerScan", i64), ("Record", u32), ("Result", u32),
                ("Volts", P(f64)), ("Counts", P(u16))]


class MeasureStatus(ctypes.Structure):
    """How a measurement stands (the library's KorvalMeasureStatus)."""

    _fields_ = [("Size", u32), ("State", u32), ("ScansDelivered", u64), ("ScansAcquired", u64),
                ("RingGrowths", u32), ("Result", u32), ("Rate", f64), ("Records", u32), ("Reserved", u32)]


# void KorvalMeasureCallback(const KorvalMeasureBlock *pBlock, void *pContext)
MeasureCallback = ctypes.CFUNCTYPE(None, P(MeasureBlock), vp)

# name: (result type, argument types). Every device function returns a uint32 result code.
_PROTOTYPES: dict[str, tuple[Any, list[Any]]] = {
    "ResolveDeviceIndex": (u32, [u32]),
    "GetDevices": (u32, []),
    "ClearDevices": (u32, []),
    "KORVAL_CloseDevice": (u32, [u32]),
    "GenericVendorRead": (u32, [u32, u8, u16, u16, P(u32), vp]),
    "GenericVendorWrite": (u32, [u32, u8, u16, u16, u32, vp]),
    "QueryDeviceInfo": (u32, [u32, P(u32), P(u32), vp, P(u32), P(u32)]),
    "GetDeviceSerialNumber": (u32, [u32, P(u64)]),
    "GetDeviceBySerialNumber": (u32, [u64]),
    "GetDeviceByEEPROMData": (u32, [u32, u32, vp]),
    "GetPipes": (u32, [u32, P(u32), P(u32)]),
    "KORVAL_GetCapabilities": (u32, [u32, P(Capabilities)]),
    "KORVAL_GetUnusableBoard": (u32, [u32, P(UnusableBoardInfo)]),
    "KORVAL_GetProductCapabilities": (u32, [u32, P(Capabilities)]),
    "KORVAL_ListProducts": (u32, [P(u32), P(u32)]),
    "KORVAL_GetVersion": (u32, []),
    "KORVAL_RegisterBoardNotification": (u32, [BoardCallback, vp, u32, P(u32)]),
    "KORVAL_UnregisterBoardNotification": (u32, [u32]),
    "QBT_GenericBulkIn": (u32, [u32, u32, vp, u32, P(u32)]),
    "QBT_GenericBulkOut": (u32, [u32, u32, vp, u32, P(u32)]),
    "KORVAL_ClearFIFO": (u32, [u32, u32]),
    "KORVAL_GetStreamStatus": (u32, [u32, P(u32)]),
    "KORVAL_SetStreamingBlockSize": (u32, [u32, u32]),
    "KORVAL_ResetChip": (u32, [u32]),
    "CustomEEPROMRead": (u32, [u32, u32, P(u32), vp]),
    "CustomEEPROMWrite": (u32, [u32, u32, u32, vp]),
    "KORVAL_FlashRead": (u32, [u32, u32, P(u32), vp]),
    "KORVAL_FlashWrite": (u32, [u32, u32, u32, vp]),
    "KORVAL_FlashEraseSector": (u32, [u32, i32]),
    "KORVAL_SaveStateAsDefaults": (u32, [u32]),
    "KORVAL_RestoreFactoryDefaults": (u32, [u32]),
    "KORVAL_SetDefaultsTable": (u32, [u32, vp, P(u32)]),
    "KORVAL_GetDefaultsTable": (u32, [u32, vp, P(u32)]),
    "ADC_GetConfig": (u32, [u32, vp, P(u32)]),
    "ADC_SetConfig": (u32, [u32, vp, P(u32)]),
    "ADC_RangeAll": (u32, [u32, vp, u32]),
    "ADC_Range1": (u32, [u32, u32, u8, u32]),
    "ADC_ADMode": (u32, [u32, u8, u8]),
    "ADC_SetScanLimits": (u32, [u32, u32, u32]),
    "ADC_SetOversample": (u32, [u32, u8]),
    # Scans and acquisition
    "ADC_GetScan": (u32, [u32, vp]),
    "ADC_GetScanV": (u32, [u32, vp]),
    "ADC_GetTrigScanV": (u32, [u32, vp, i32]),
    "ADC_BulkAcquire": (u32, [u32, u32, vp]),
    "ADC_BulkPoll": (u32, [u32, P(i32)]),
    "ADC_BulkAbort": (u32, [u32]),
    "ADC_BulkContinuousStart": (u32, [u32, u32, i32, u32, ContCallback]),
    "ADC_BulkContinuousEnd": (u32, [u32, P(u32)]),
    "ADC_SetCal": (u32, [u32, cp]),
    "ADC_GetCalRefV": (u32, [u32, u32, P(f64)]),
    "ADC_GetITScanV": (u32, [u32, vp]),
    "ADC_GetChannelV": (u32, [u32, u32, P(f64)]),
    "ADC_QueryCal": (u32, [u32]),
    "ADC_InitFastITScanV": (u32, [u32]),
    "ADC_ResetFastITScanV": (u32, [u32]),
    "ADC_SetFastITScanVChannels": (u32, [u32, u32]),
    "ADC_GetFastITScanV": (u32, [u32, vp]),
    "ADC_BulkContinuousDebug": (u32, [u32, P(i32), P(i32), P(i32)]),
    "DACDirect": (u32, [u32, u16, u16]),
    "DACMultiDirect": (u32, [u32, P(DACPair), i32]),
    "DACSetBoardRange": (u32, [u32, u16]),
    "DACSetChannelCal": (u32, [u32, u32, cp]),
    # Waveform output
    "DACOutputOpen": (u32, [u32, P(f64)]),
    "DACOutputSetCount": (u32, [u32, u32]),
    "DACOutputFrame": (u32, [u32, u32, vp]),
    "DACOutputStart": (u32, [u32]),
    "DACOutputSetInterlock": (u32, [u32, u32]),
    "DACOutputClose": (u32, [u32]),
    "DACOutputCloseNoEnd": (u32, [u32]),
    "DACOutputProcess": (u32, [u32, P(f64), u32, vp]),
    # Digital streaming
    "DIO_StreamOpen": (u32, [u32, u32]),
    "DIO_StreamClose": (u32, [u32]),
    "DIO_StreamSetClocks": (u32, [u32, P(f64), P(f64)]),
    "DIO_StreamFrame": (u32, [u32, u32, vp, P(u32)]),
    "DIO_Configure": (u32, [u32, u8, vp, vp]),
    "DIO_ConfigureEx": (u32, [u32, vp, vp, vp]),
    "DIO_ConfigurationQuery": (u32, [u32, vp, vp]),
    "DIO_Write1": (u32, [u32, u32, u8]),
    "DIO_Write8": (u32, [u32, u32, u8]),
    "DIO_WriteAll": (u32, [u32, vp]),
    "DIO_Read1": (u32, [u32, u32, P(u8)]),
    "DIO_Read8": (u32, [u32, u32, P(u8)]),
    "DIO_ReadAll": (u32, [u32, vp]),
    "DIO_SPI_Write": (u32, [u32, u8, u8, u8]),
    "DIO_SPI_Read": (u32, [u32, u8, u8, P(u8)]),
    "DIO_Latch_Read": (u32, [u32, vp, vp, vp, P(u32)]),
    "DIO_Latch_Reset": (u32, [u32]),
    "DIO_Deb_ReadAll": (u32, [u32, vp]),
    "DIO_Deb_SetConfig": (u32, [u32, vp, P(u32)]),
    "DIO_Latch_SetDivisor": (u32, [u32, P(u8)]),
    "DIO_Automap_ClearTable": (u32, [u32]),
    "DIO_Automap_SetTable": (u32, [u32, vp, P(u32)]),
    "DIO_Automap_AddEntry": (u32, [u32, P(u16)]),
    "DIO_Automap_SetTickDivisor": (u32, [u32, P(u8)]),
    "DIO_PWM_SetAll": (u32, [u32, P(u8), vp, P(u32)]),
    "DIO_CSA_DoSync": (u32, [u32, P(f64), P(f64), P(f64), P(f64)]),
    "DIO_CSA_DebounceSet": (u32, [u32, u32]),
    "DIO_CSA_DebounceReadAll": (u32, [u32, vp]),
    "DIO_CSA_ReadAllString": (u32, [u32, vp, P(u32)]),
    "DAC_CSA_SetRangeLimits": (u32, [u32, vp]),
    "DAC_CSA_ClearRangeLimits": (u32, [u32]),
    "KORVAL_OfflineWrite1": (u32, [u32, u32, u16]),
    "KORVAL_OfflineRead1": (u32, [u32, u32, P(u16)]),
    "CTR_8254Mode": (u32, [u32, u32, u32, u32]),
    "CTR_8254Load": (u32, [u32, u32, u32, u16]),
    "CTR_8254ModeLoad": (u32, [u32, u32, u32, u32, u16]),
    "CTR_8254Read": (u32, [u32, u32, u32, P(u16)]),
    "CTR_8254ReadStatus": (u32, [u32, u32, u32, P(u16), P(u8)]),
    "CTR_8254ReadAll": (u32, [u32, vp]),
    "CTR_8254ReadLatched": (u32, [u32, vp]),
    "CTR_8254SelectGate": (u32, [u32, u32]),
    "CTR_StartOutputFreq": (u32, [u32, u32, P(f64)]),
    "CTR_SetWaitGates": (u32, [u32, u32, u32]),
    "CTR_EndWaitGates": (u32, [u32]),
    "CTR_WaitForGate": (u32, [u32, u32, vp]),
    "KORVAL_SetGlobalTickRate": (u32, [u32, P(f64)]),
    "CTR_StartMeasuringPulseWidth": (u32, [u32]),
    "CTR_StopMeasuringPulseWidth": (u32, [u32]),
    "CTR_GetPulseWidthMeasurement": (u32, [u32, u32, u32, P(u16)]),
    # Measurements
    "KORVAL_MeasureCreate": (u32, [u32, P(vp)]),
    "KORVAL_MeasureStart": (u32, [vp, P(MeasureSettings), MeasureCallback, vp]),
    "KORVAL_MeasureRead": (u32, [vp, P(MeasureBlock), P(f64), P(u16), u32, u32]),
    "KORVAL_MeasureGetStatus": (u32, [vp, P(MeasureStatus)]),
    "KORVAL_MeasureStop": (u32, [vp]),
    "KORVAL_MeasureDestroy": (u32, [vp]),
    "KORVAL_InstallHost": (u32, [vp]),
    "KORVAL_GetLastError": (u32, []),
    # Simulated boards
    "KorvalSim_Create": (vp, []),
    "KorvalSim_Destroy": (None, [vp]),
    "KorvalSim_Host": (vp, [vp]),
    "KorvalSim_SetWinUsbAvailable": (u32, [vp, ctypes.c_int]),
    "KorvalSim_AddBoard": (u32, [vp, u32, u32]),
    "KorvalSim_Unplug": (u32, [vp, u32]),
    "KorvalSim_Replug": (u32, [vp, u32]),
    "KorvalSim_SetUnusable": (u32, [vp, u32, u32]),
    "KorvalSim_GetInterfacePath": (u32, [vp, u32, cp, u32]),
    "KorvalSim_LogCount": (u32, [vp, u32]),
    "KorvalSim_LogEntry": (u32, [vp, u32, u32, P(SimTransfer), vp, u32]),
    "KorvalSim_ClearLog": (u32, [vp, u32]),
    "KorvalSim_InjectFault": (u32, [vp, u32, P(SimFault)]),
    "KorvalSim_ClearFaults": (u32, [vp, u32]),
    "KorvalSim_SetManualClock": (u32, [vp, ctypes.c_int]),
    "KorvalSim_AdvanceClock": (u32, [vp, u64]),
    "KorvalSim_ClockNanoseconds": (u64, [vp]),
    "KorvalSim_EepromRead": (u32, [vp, u32, u32, u32, vp]),
    "KorvalSim_EepromWrite": (u32, [vp, u32, u32, u32, vp]),
    "KorvalSim_SetSerialNumber": (u32, [vp, u32, u64]),
    "KorvalSim_SetFirmwareLevel": (u32, [vp, u32, vp]),
    "KorvalSim_SetProductName": (u32, [vp, u32, cp]),
    "KorvalSim_FlashRead": (u32, [vp, u32, u32, u32, vp]),
    "KorvalSim_FlashLoad": (u32, [vp, u32, u32, u32, vp]),
    "KorvalSim_FeedBulkIn": (u32, [vp, u32, u32, vp, u32]),
    "KorvalSim_SetBulkInPattern": (u32, [vp, u32, u32, vp, u32]),
    "KorvalSim_BulkInPending": (u32, [vp, u32, u32, P(u64)]),
    "KorvalSim_ReadBulkOut": (u32, [vp, u32, u32, vp, u32, P(u32), P(u64)]),
    "KorvalSim_SetStreamStatus": (u32, [vp, u32, u32]),
    "KorvalSim_GetDigitalState": (u32, [vp, u32, P(SimDigitalState)]),
    "KorvalSim_SetDigitalInputs": (u32, [vp, u32, vp, u32]),
    "KorvalSim_GetAdcConfig": (u32, [vp, u32, vp, u32, P(u32)]),
    "KorvalSim_SetAdcConfig": (u32, [vp, u32, vp, u32]),
    "KorvalSim_GetCounter": (u32, [vp, u32, u32, P(SimCounter)]),
    "KorvalSim_SetCounterGate": (u32, [vp, u32, u32, ctypes.c_int]),
    "KorvalSim_SetLatches": (u32, [vp, u32, vp, u32]),
    "KorvalSim_SetDebouncedInputs": (u32, [vp, u32, vp, u32]),
    "KorvalSim_GetDacValues": (u32, [vp, u32, P(u16), P(u32)]),
    "KorvalSim_GetDacRange": (u32, [vp, u32, P(u32)]),
    "KorvalSim_GetSpiRegister": (u32, [vp, u32, u32, u32, P(u8)]),
    "KorvalSim_SetSpiRegister": (u32, [vp, u32, u32, u32, u8]),
    "KorvalSim_GetDacPlayed": (u32, [vp, u32, u32, u32, P(u16), P(u32)]),
    "KorvalSim_SetDigitalStreamInput": (u32, [vp, u32, P(u16), u32]),
    "KorvalSim_ReadDigitalStreamOutput": (u32, [vp, u32, P(u16), u32, P(u32)]),
    "KorvalSim_GetCounterFrequency": (u32, [vp, u32, u32, P(f64)]),
    "KorvalSim_SetGatePulseTrain": (u32, [vp, u32, u32, u64, u64]),
    # Analog signals of simulated boards, where the library has them
    "KorvalSim_SetAdcSignal": (u32, [vp, u32, u32, P(SimAdcSignal)]),
    "KorvalSim_SetAdcRate": (u32, [vp, u32, f64]),
    "KorvalSim_SetAdcPattern": (u32, [vp, u32, P(u16), u32]),
    "KorvalSim_AdcTrigger": (u32, [vp, u32]),
    "KorvalSim_SetAdcStopped": (u32, [vp, u32, ctypes.c_int]),
}


def _library_file_name() -> str:
    if sys.platform == "win32":
        return "KORVAL.dll"
    if sys.platform == "darwin":
        return "libkorval.dylib"
    return "libkorval.so"


def candidate_paths() -> list[str]:
    """Where the library is looked for, in order: inside this package (a wheel that carries it),
    KORVAL_LIBRARY, the build tree, the installed library."""
    name = _library_file_name()
    carried = Path(__file__).resolve().parent / name
    tried: list[str] = [str(carried)] if carried.exists() else []
    explicit = os.environ.get("KORVAL_LIBRARY")
    if explicit:
        return tried + [explicit]
    # Imported in a build directory (through the korval.py the build writes there): that build's library.
    built = getattr(sys.modules.get(__package__ or ""), "_BUILD_LIBRARY", None)
    if built:
        tried.append(built)
    # A source tree: python/korval/ with the build directory of `make` beside python/.
    repo = Path(__file__).resolve().parent.parent.parent
    if (repo / "CMakeLists.txt").exists():
        tried.append(str(repo / "build" / "src" / name))
    # Installed next to this package's prefix (pip install into the prefix cmake installed to).
    prefix = Path(sys.prefix)
    for base in (prefix, Path("/usr/local")):
        for lib in ("lib", "lib64", f"lib/{_multiarch()}" if _multiarch() else "lib"):
            tried.append(str(base / lib / name))
    found = ctypes.util.find_library("korval") or ctypes.util.find_library("KORVAL")
    if found:
        tried.append(found)
    tried.append(name if sys.platform == "win32" else name + ".1")
    seen: set[str] = set()
    return [p for p in tried if not (p in seen or seen.add(p))]


def _multiarch() -> str:
    return getattr(sys.implementation, "_multiarch", "") or ""


class Library:
    """The loaded library: its functions with prototypes, looked up when first used."""

    def __init__(self, cdll: ctypes.CDLL, path: str) -> None:
        self.cdll = cdll
        self.path = path
        self._functions: dict[str, Optional[Callable[..., Any]]] = {}

    def function(self, name: str) -> Optional[Callable[..., Any]]:
        """The C function `name` with its prototype, or None when this build of the library lacks it."""
        if name not in self._functions:
            try:
                fn = getattr(self.cdll, name)
            except AttributeError:
                self._functions[name] = None
                return None
            restype, argtypes = _PROTOTYPES[name]
            fn.restype = restype
            fn.argtypes = argtypes
            self._functions[name] = fn
        return self._functions[name]

    def version(self) -> str:
        """The library's version, "major.minor.patch" (KORVAL_GetVersion)."""
        v = self.raw("KORVAL_GetVersion")
        return f"{v >> 16}.{(v >> 8) & 0xFF}.{v & 0xFF}"

    def has(self, name: str) -> bool:
        return self.function(name) is not None

    def call(self, name: str, *args: Any) -> int:
        """Calls a function that returns a result code; raises KorvalError for a non-zero one."""
        code = self.raw(name, *args)
        if code != 0:
            raise KorvalError(code, name)
        return code

    def raw(self, name: str, *args: Any) -> Any:
        fn = self.function(name)
        if fn is None:
            raise NotImplementedError(f"{name} is not in this Korval library ({self.path})")
        return fn(*args)


class Subsystem:
    """A part of a board (its digital ports, analog input, ...): calls functions on the board's slot."""

    def __init__(self, device: "Device") -> None:
        self._device = device
        self._lib: Library = device._lib
        self._index: int = device.index

    def _call(self, name: str, *args: object) -> None:
        self._lib.call(name, self._index, *args)


_Resource = TypeVar("_Resource", bound="Closing")


class Closing:
    """Something that runs until closed and closes when its `with` block is left. When the block is left by
    an exception, a failing close does not take that exception's place; `_close_after_error` is the
    close used then. One still running when collected is closed, its failures dropped."""

    _running = False

    def close(self) -> object:
        raise NotImplementedError

    def _close_after_error(self) -> None:
        self.close()

    def __enter__(self: _Resource) -> _Resource:
        return self

    def __exit__(self, exc_type: Any, *exc: Any) -> None:
        if exc_type is None:
            self.close()
            return
        try:
            self._close_after_error()
        except KorvalError:
            pass

    def __del__(self) -> None:
        if self._running:
            try:
                self.close()
            except Exception:  # noqa: BLE001
                pass


_lock = threading.Lock()
_library: Optional[Library] = None


def load() -> Library:
    """The library, loaded on first use."""
    global _library
    with _lock:
        if _library is None:
            errors = []
            for path in candidate_paths():
                if os.sep in path and not os.path.exists(path):
                    errors.append(f"{path} (no such file)")
                    continue
                try:
                    _library = Library(ctypes.CDLL(path), path)
                    break
                except OSError as e:
                    errors.append(f"{path} ({e})")
            if _library is None:
                raise LibraryNotFoundError(
                    "the Korval library was not found; tried:\n  " + "\n  ".join(errors)
                    + "\nset KORVAL_LIBRARY to the library's path, build it (make demo), or install it")
        return _library
