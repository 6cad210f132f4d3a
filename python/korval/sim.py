"""Simulated boards: firmware models that answer as real boards do, for programs and tests without hardware."""

from __future__ import annotations

import ctypes
import gc
from dataclasses import dataclass
from typing import Any, Optional, Sequence, Union

from ._numpy import np

from . import _lib
from ._lib import u8, u16, u32, u64
from .device import _buffer
from .errors import KorvalError

PATHS = {"winusb": 0, "ioctl": 1}
KINDS = {1: "control", 2: "bulk in", 3: "bulk out", 4: "descriptor", 5: "pipe query"}
SIGNALS = {"constant": 0, "sine": 1, "square": 2, "ramp": 3, "noise": 4}


@dataclass(frozen=True)
class Transfer:
    """One transfer a simulated board saw, as its log keeps it."""

    sequence: int
    kind: str              #: "control", "bulk in", "bulk out", "descriptor" or "pipe query"
    via: str               #: "winusb" or "ioctl"
    setup: bytes           #: the setup packet of control and descriptor transfers
    endpoint: int          #: bulk transfers: the endpoint address
    length_asked: int
    length_moved: int
    error: int             #: 0, or the error the transfer failed with
    data: bytes            #: OUT: what the host sent; IN: what the board answered

    @property
    def request(self) -> int:
        return self.setup[1]

    @property
    def value(self) -> int:
        return int.from_bytes(self.setup[2:4], "little")

    @property
    def index(self) -> int:
        return int.from_bytes(self.setup[4:6], "little")

    @property
    def direction_in(self) -> bool:
        return bool(self.setup[0] & 0x80)


class Simulation:
    """Simulated boards in place of the operating system's, for the life of a `with` block:

        with korval.Simulation() as sim:
            board = sim.add_board(0x8040)
            dev = korval.Device.first()

    Entering installs the simulated host (the library then sees only simulated boards, in the order
    added, each driver path by itself); leaving puts the operating system's host back. Boards may be
    added before or after entering.
    """

    def __init__(self, winusb: bool = True) -> None:
        self._lib = _lib.load()
        self._sim = self._lib.raw("KorvalSim_Create")
        if not self._sim:
            raise MemoryError("the simulation could not be created")
        self._installed = False
        if not winusb:
            self._check("KorvalSim_SetWinUsbAvailable", 0)

    def _check(self, name: str, *args: Any) -> None:
        self._lib.call(name, self._sim, *args)

    def add_board(self, product_id: int, path: str = "winusb") -> "SimBoard":
        """Attaches a board with this USB product ID, reached by WinUSB ("winusb") or by the
        DeviceIoControl driver ("ioctl")."""
        if path not in PATHS:
            raise ValueError(f"path is 'winusb' or 'ioctl', not {path!r}")
        number = self._lib.raw("KorvalSim_AddBoard", self._sim, product_id, PATHS[path])
        if number == 0:
            raise KorvalError(87, "KorvalSim_AddBoard")
        return SimBoard(self, number, product_id)

    def install(self) -> None:
        self._lib.call("KORVAL_InstallHost", self._lib.raw("KorvalSim_Host", self._sim))
        self._installed = True

    def close(self) -> None:
        """Puts the operating system's host back and frees the simulation."""
        if self._sim:
            # Streams and waveforms the program left open end when they are freed: free them now, while
            # their boards are still there.
            gc.collect()
            if self._installed:
                self._lib.raw("KORVAL_InstallHost", None)
                self._installed = False
            self._lib.raw("KorvalSim_Destroy", self._sim)
            self._sim = None

    def __enter__(self) -> "Simulation":
        self.install()
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # ---- simulated time -------------------------------------------------------------------------------

    @property
    def manual_clock(self) -> bool:
        return getattr(self, "_manual", False)

    @manual_clock.setter
    def manual_clock(self, manual: bool) -> None:
        """With the manual clock, simulated time stands still until `advance` moves it."""
        self._check("KorvalSim_SetManualClock", 1 if manual else 0)
        self._manual = manual

    def advance(self, seconds: float) -> None:
        self._check("KorvalSim_AdvanceClock", int(round(seconds * 1e9)))

    @property
    def now(self) -> float:
        """Simulated time in seconds."""
        return self._lib.raw("KorvalSim_ClockNanoseconds", self._sim) / 1e9


class SimBoard:
    """A simulated board's controls: what a test or demonstration sets and reads behind the library."""

    def __init__(self, simulation: Simulation, number: int, product_id: int) -> None:
        self._simulation = simulation
        self._lib = simulation._lib
        self.number = number
        self.product_id = product_id

    def _call(self, name: str, *args: Any) -> None:
        self._lib.call(name, self._simulation._sim, self.number, *args)

    def __repr__(self) -> str:
        return f"<korval.SimBoard {self.number}: 0x{self.product_id:04X}>"

    # ---- presence -------------------------------------------------------------------------------------

    def unplug(self) -> None:
        """Every transfer on the board fails as on an unplugged board, and enumeration no longer finds it."""
        self._call("KorvalSim_Unplug")

    def replug(self) -> None:
        self._call("KorvalSim_Replug")

    def set_unusable(self, error: int = 5) -> None:
        """From the next discovery the board is one this program may not open (5: permission denied):
        it holds no slot and `korval.unusable_boards()` lists it. 0 makes it usable again."""
        self._call("KorvalSim_SetUnusable", error)

    @property
    def interface_path(self) -> str:
        buf = ctypes.create_string_buffer(512)
        self._call("KorvalSim_GetInterfacePath", buf, len(buf))
        return buf.value.decode()

    # ---- transfer log and faults ------------------------------------------------------------------------

    def log(self) -> list[Transfer]:
        """Every transfer the board saw since the log was last cleared, oldest first."""
        sim = self._simulation._sim
        entries = []
        for i in range(self._lib.raw("KorvalSim_LogCount", sim, self.number)):
            entry = _lib.SimTransfer()
            self._call("KorvalSim_LogEntry", i, ctypes.byref(entry), None, 0)
            data = (u8 * max(entry.data_size, 1))()
            self._call("KorvalSim_LogEntry", i, ctypes.byref(entry), data, entry.data_size)
            entries.append(Transfer(
                sequence=entry.sequence, kind=KINDS.get(entry.kind, str(entry.kind)),
                via="ioctl" if entry.via else "winusb", setup=bytes(entry.setup), endpoint=entry.endpoint,
                length_asked=entry.length_asked, length_moved=entry.length_moved, error=entry.error,
                data=bytes(data[:entry.data_size])))
        return entries

    def requests(self) -> list[Transfer]:
        """The control requests of the log."""
        return [t for t in self.log() if t.kind == "control"]

    def clear_log(self) -> None:
        self._call("KorvalSim_ClearLog")

    def fail(self, error: int = 31, kind: str = "any", request: Optional[int] = None,
             endpoint: Optional[int] = None, count: int = 1) -> None:
        """The next `count` matching transfers fail with `error` (kind "control", "bulk in", ...)."""
        self._fault(1, kind, request, endpoint, count, error=error)

    def answer_short(self, size: int, kind: str = "any", request: Optional[int] = None,
                     endpoint: Optional[int] = None, count: int = 1) -> None:
        """The next `count` matching transfers move at most `size` data bytes."""
        self._fault(2, kind, request, endpoint, count, size=size)

    def _fault(self, action: int, kind: str, request: Optional[int], endpoint: Optional[int], count: int,
               error: int = 0, size: int = 0) -> None:
        anything = 0xFFFFFFFF
        kinds = {v: k for k, v in KINDS.items()}
        fault = _lib.SimFault(action, anything if kind == "any" else kinds[kind],
                              anything if request is None else request, anything if endpoint is None else endpoint,
                              count, error, size)
        self._call("KorvalSim_InjectFault", ctypes.byref(fault))

    def clear_faults(self) -> None:
        self._call("KorvalSim_ClearFaults")

    # ---- identity and memories ----------------------------------------------------------------------------

    def set_serial_number(self, serial: int) -> None:
        self._call("KorvalSim_SetSerialNumber", serial)

    def set_product_name(self, name: str) -> None:
        self._call("KorvalSim_SetProductName", name.encode())

    def set_firmware_level(self, reply: bytes) -> None:
        """The three bytes the firmware answers its feature-level query with (b"\\x02\\0\\0": older firmware)."""
        self._call("KorvalSim_SetFirmwareLevel", (u8 * 3).from_buffer_copy(bytes(reply)))

    def eeprom_read(self, address: int, size: int) -> bytes:
        return self._read_memory("KorvalSim_EepromRead", address, size)

    def eeprom_write(self, address: int, data: bytes) -> None:
        self._call("KorvalSim_EepromWrite", address, len(data), _buffer(data))

    def flash_read(self, address: int, size: int) -> bytes:
        return self._read_memory("KorvalSim_FlashRead", address, size)

    def flash_load(self, address: int, data: bytes) -> None:
        self._call("KorvalSim_FlashLoad", address, len(data), _buffer(data))

    def _read_memory(self, name: str, address: int, size: int) -> bytes:
        buf = (u8 * max(size, 1))()
        self._call(name, address, size, buf)
        return bytes(buf[:size])

    # ---- bulk pipes ------------------------------------------------------------------------------------------

    def feed(self, data: Union[bytes, np.ndarray], endpoint: int = 0x86) -> None:
        """Bytes (or uint16 samples) for the host to read from a bulk IN endpoint."""
        raw = data.astype("<u2").tobytes() if isinstance(data, np.ndarray) else bytes(data)
        self._call("KorvalSim_FeedBulkIn", endpoint, raw, len(raw))

    def set_pattern(self, data: Union[bytes, np.ndarray], endpoint: int = 0x86) -> None:
        """A pattern repeated without end on a bulk IN endpoint (empty: none)."""
        raw = data.astype("<u2").tobytes() if isinstance(data, np.ndarray) else bytes(data)
        self._call("KorvalSim_SetBulkInPattern", endpoint, raw or None, len(raw))

    def pending(self, endpoint: int = 0x86) -> int:
        """Bytes waiting in a bulk IN FIFO."""
        n = u64(0)
        self._call("KorvalSim_BulkInPending", endpoint, ctypes.byref(n))
        return n.value

    def take_bulk_out(self, endpoint: int = 0x02, size: int = 1 << 20) -> bytes:
        """Takes up to `size` of the oldest bytes the host wrote to a bulk OUT endpoint."""
        buf = (u8 * max(size, 1))()
        n = u32(0)
        self._call("KorvalSim_ReadBulkOut", endpoint, buf, size, ctypes.byref(n), None)
        return bytes(buf[:n.value])

    def set_stream_status(self, status: int) -> None:
        self._call("KorvalSim_SetStreamStatus", status)

    # ---- digital ports -----------------------------------------------------------------------------------------

    def set_digital_inputs(self, levels: Sequence[int]) -> None:
        """The outside levels at the pins of ports 0, 1, ..."""
        raw = bytes(levels)
        self._call("KorvalSim_SetDigitalInputs", raw, len(raw))

    def digital_state(self) -> dict[str, Any]:
        """The ports as the board holds them: outputs, direction, tristate, inputs, levels (bytes each)."""
        s = _lib.SimDigitalState()
        self._call("KorvalSim_GetDigitalState", ctypes.byref(s))
        n = s.ports
        return {"ports": n, "outputs_floating": bool(s.outputs_floating),
                "outputs": bytes(s.outputs[:n]), "direction": bytes(s.direction[:s.direction_bytes]),
                "tristate": bytes(s.tristate[:s.tristate_bytes]), "inputs": bytes(s.inputs[:n]),
                "levels": bytes(s.levels[:n])}

    def set_latches(self, groups: bytes) -> None:
        """The three input-latch groups (0, 1, 2), one byte per port each."""
        self._call("KorvalSim_SetLatches", bytes(groups), len(groups))

    def set_debounced_inputs(self, state: bytes) -> None:
        self._call("KorvalSim_SetDebouncedInputs", bytes(state), len(state))

    def spi_register(self, address: int, register: int) -> int:
        v = u8(0)
        self._call("KorvalSim_GetSpiRegister", address, register, ctypes.byref(v))
        return v.value

    def set_spi_register(self, address: int, register: int, value: int) -> None:
        self._call("KorvalSim_SetSpiRegister", address, register, value)

    # ---- analog ------------------------------------------------------------------------------------------------

    @property
    def adc_config(self) -> bytes:
        """The ADC configuration block the board holds."""
        buf = (u8 * 32)()
        n = u32(0)
        self._call("KorvalSim_GetAdcConfig", buf, len(buf), ctypes.byref(n))
        return bytes(buf[:n.value])

    @adc_config.setter
    def adc_config(self, block: bytes) -> None:
        self._call("KorvalSim_SetAdcConfig", bytes(block), len(block))

    def set_signal(self, kind: str = "constant", offset: float = 0.0, amplitude: float = 0.0,
                   frequency: float = 0.0, channel: Optional[int] = None, seed: int = 0) -> None:
        """What an analog input channel (every channel when None) sees: "constant" (offset volts), "sine",
        "square", "ramp" or "noise" of `amplitude` volts about `offset`, at `frequency` hertz."""
        signal = _lib.SimAdcSignal(SIGNALS[kind], seed, offset, amplitude, frequency)
        self._call("KorvalSim_SetAdcSignal", 0xFFFFFFFF if channel is None else channel, ctypes.byref(signal))

    def set_sample_rate(self, samples_per_second: float) -> None:
        """Samples per second of simulated time; 0: as fast as they are read."""
        self._call("KorvalSim_SetAdcRate", samples_per_second)

    def set_sample_pattern(self, counts: Sequence[int]) -> None:
        """Counts the converter sends instead of its signals, repeated in order (empty: the signals)."""
        array = (u16 * max(len(counts), 1))(*counts)
        self._call("KorvalSim_SetAdcPattern", array, len(counts))

    def trigger(self) -> None:
        """Fires the external trigger."""
        self._call("KorvalSim_AdcTrigger")

    def stop_converter(self, stopped: bool = True) -> None:
        """Stops the converter sending (reads wait), or lets it go on."""
        self._call("KorvalSim_SetAdcStopped", 1 if stopped else 0)

    def dac_values(self) -> list[int]:
        """The last count put out on each analog output."""
        values = (u16 * 64)()
        n = u32(64)
        self._call("KorvalSim_GetDacValues", values, ctypes.byref(n))
        return list(values[:min(n.value, 64)])

    @property
    def dac_range(self) -> int:
        r = u32(0)
        self._call("KorvalSim_GetDacRange", ctypes.byref(r))
        return r.value

    def dac_played(self, channel: int, first: int = 0, count: int = 65536) -> Any:
        """The codes a waveform channel put out, one per point, from point `first` on."""
        codes = np.zeros(max(count, 1), dtype=np.uint16)
        n = u32(count)
        self._call("KorvalSim_GetDacPlayed", channel, first, codes.ctypes.data_as(ctypes.POINTER(u16)),
                   ctypes.byref(n))
        return codes[:n.value]

    def set_digital_stream_input(self, points: Sequence[int]) -> None:
        """The points the board streams to the host, over and over (empty: a count from 0)."""
        data = np.ascontiguousarray(points, dtype=np.uint16)
        self._call("KorvalSim_SetDigitalStreamInput", data.ctypes.data_as(ctypes.POINTER(u16)), data.size)

    def take_digital_stream_output(self, capacity: int = 1 << 20) -> Any:
        """Takes the oldest points the board has put out of its digital stream."""
        data = np.zeros(max(capacity, 1), dtype=np.uint16)
        n = u32(0)
        self._call("KorvalSim_ReadDigitalStreamOutput", data.ctypes.data_as(ctypes.POINTER(u16)), capacity,
                   ctypes.byref(n))
        return data[:n.value]

    # ---- counters ----------------------------------------------------------------------------------------------

    def counter(self, number: int) -> dict[str, int]:
        """A counter's state now: mode, programmed, initial_count, count, out, gate, status, ..."""
        c = _lib.SimCounter()
        self._call("KorvalSim_GetCounter", number, ctypes.byref(c))
        return {name: getattr(c, name) for name, _ in c._fields_ if name != "reserved"}

    def set_gate(self, number: int, level: bool) -> None:
        self._call("KorvalSim_SetCounterGate", number, 1 if level else 0)

    def counter_frequency(self, number: int) -> float:
        """The frequency a counter's output runs at now, in hertz."""
        hz = ctypes.c_double(0.0)
        self._call("KorvalSim_GetCounterFrequency", number, ctypes.byref(hz))
        return hz.value

    def set_gate_pulses(self, number: int, high_s: float, low_s: float) -> None:
        """Drives a counter's gate low for `low_s`, then high for `high_s` seconds, over and over."""
        self._call("KorvalSim_SetGatePulseTrain", number, int(round(high_s * 1e9)), int(round(low_s * 1e9)))
