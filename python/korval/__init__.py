"""Korval: Python access to the Korval USB data-acquisition boards.

    import korval

    for dev in korval.devices():
        print(dev.index, hex(dev.product_id), dev.name, dev.features)

    dev = korval.Device.first()
    dev.dio.write_port(0, 0x5A)
    volts = dev.adc.scan()

Every failed call raises `korval.KorvalError` with the library's result code (`.code`) and its Win32
name (`.name`). `korval.Simulation()` puts simulated boards in place of real ones.

The shared library is found through the KORVAL_LIBRARY environment variable (its path), else in the
source tree's build directory, else where it was installed.
"""

from .adc import Adc, AdcConfig, AdcStream, Range
from .measure import Acquisition, Block, RateStream, Trigger
from .device import (Capabilities, Counter, Counters, Dac, Device, Dio, DioStream, Eeprom, Flash, PulseWidths,
                     UnusableBoard, Waveform, devices, unusable_boards)
from .errors import KorvalError, LibraryNotFoundError, result_name
from .sim import SimBoard, Simulation, Transfer

__all__ = [
    "Acquisition", "Adc", "AdcConfig", "AdcStream", "Block", "Capabilities", "Counter", "Counters", "Dac", "Device",
    "Dio", "DioStream", "Eeprom", "Flash", "KorvalError", "LibraryNotFoundError", "PulseWidths", "Range",
    "RateStream", "SimBoard", "Simulation", "Transfer", "Trigger", "UnusableBoard", "Waveform", "devices",
    "library_path", "result_name", "unusable_boards",
]


def __getattr__(name: str) -> str:
    # korval.__version__ is the loaded library's version (KORVAL_GetVersion), read when first asked for,
    # so that importing the package does not load the library.
    if name == "__version__":
        from . import _lib

        return _lib.load().version()
    raise AttributeError(f"module 'korval' has no attribute '{name}'")


def library_path() -> str:
    """The path of the shared library in use (loading it when it is not yet)."""
    from . import _lib

    return _lib.load().path
