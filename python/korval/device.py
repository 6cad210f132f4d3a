"""Boards: finding them, what they are, and their subsystems."""

from __future__ import annotations

import ctypes
import time
from dataclasses import dataclass
from typing import Any, Iterable, Iterator, Mapping, Optional, Sequence, Union

from ._numpy import np

from . import _lib
from ._lib import u8, u16, u32, u64
from .adc import Adc
from .errors import KorvalError

Bytes = Union[bytes, bytearray, memoryview, Sequence[int]]


def _buffer(data: Bytes) -> ctypes.Array:
    raw = bytes(data)
    return (ctypes.c_uint8 * max(len(raw), 1)).from_buffer_copy(raw or b"\0")


@dataclass(frozen=True)
class Capabilities:
    """What a board can do, as its product ID tells the library."""

    product_id: int
    driver_path: str            #: "winusb" or "ioctl"
    digital_ports: int
    direction_bits: int         #: bits of the direction mask: one per port, or one per line
    tristate_bytes: int         #: bytes of the tristate mask; 0 without tristate control
    counter_blocks: int         #: 8254 blocks of three counters each
    counter_clock_hz: float
    gate_selectable: bool
    analog_inputs: int          #: channels of the bulk analog input (0: none)
    range_slots: int            #: range codes in the ADC configuration block
    range_shift: int            #: channel c uses range slot c >> range_shift
    config_bytes: int           #: length of the ADC configuration block
    immediate_analog_inputs: int
    analog_outputs: int
    dac_board_range: bool
    dac_channel_calibration: bool
    waveform_output: bool
    digital_streaming: bool
    spi: bool
    debounce: bool
    clear_fifo: bool
    flash_sectors: int

    @property
    def words(self) -> list[str]:
        """The capabilities in words ("16-channel analog input", "2 digital ports", ...)."""

        def plural(n: int, one: str, many: str) -> str:
            return f"{n} {one if n == 1 else many}"

        words = []
        if self.analog_inputs:
            words.append(f"{self.analog_inputs}-channel analog input")
        if self.immediate_analog_inputs:
            words.append(plural(self.immediate_analog_inputs, "immediate analog input", "immediate analog inputs"))
        if self.analog_outputs:
            words.append(plural(self.analog_outputs, "analog output", "analog outputs"))
        if self.waveform_output:
            words.append("waveform output")
        if self.dac_channel_calibration:
            words.append("calibrated outputs")
        if self.digital_ports:
            words.append(plural(self.digital_ports, "digital port", "digital ports"))
        if self.digital_streaming:
            words.append("digital streaming")
        if self.spi:
            words.append("SPI")
        if self.debounce:
            words.append("debounced inputs")
        if self.counter_blocks:
            words.append(plural(self.counter_blocks * 3, "counter", "counters"))
        if self.flash_sectors:
            words.append(f"{self.flash_sectors * 64} KiB flash")
        return words

    @classmethod
    def _from_c(cls, c: _lib.Capabilities) -> "Capabilities":
        return cls(
            product_id=c.ProductID, driver_path="ioctl" if c.DriverPath else "winusb", digital_ports=c.DIOBytes,
            direction_bits=c.DIOConfigBits, tristate_bytes=c.Tristates, counter_blocks=c.Counters,
            counter_clock_hz=c.RootClock, gate_selectable=bool(c.GateSelectable),
            analog_inputs=c.ADCMUXChannels if c.ADCBulk else 0, range_slots=c.ADCChannels,
            range_shift=c.RangeShift, config_bytes=c.ConfigBytes, immediate_analog_inputs=c.ImmADCs,
            analog_outputs=c.ImmDACs, dac_board_range=bool(c.DACBoardRange),
            dac_channel_calibration=bool(c.DACChannelCal), waveform_output=bool(c.DACStream),
            digital_streaming=bool(c.DIOStream), spi=bool(c.DIOSPI), debounce=bool(c.DIODebounce),
            clear_fifo=bool(c.ClearFIFO), flash_sectors=max(c.FlashSectors, 0))


@dataclass(frozen=True)
class UnusableBoard:
    """A board of the family that is attached but that this program cannot open, and why.

    It holds no slot (`index` is None) and cannot be used until the reason is dealt with; `reason` says
    what to do, for example "permission denied: install the udev rules (...) and re-plug the board".
    """

    path: str
    vendor_id: int
    product_id: int
    code: int
    reason: str
    index: None = None
    usable: bool = False


def unusable_boards() -> list[UnusableBoard]:
    """The attached boards this program cannot open (on Linux, a board without permission), in bus order."""
    lib = _lib.load()
    if not lib.has("KORVAL_GetUnusableBoard"):
        return []
    found = []
    while True:
        info = _lib.UnusableBoardInfo(Size=ctypes.sizeof(_lib.UnusableBoardInfo))
        if lib.raw("KORVAL_GetUnusableBoard", len(found), ctypes.byref(info)) != 0:
            return found
        found.append(UnusableBoard(info.Path.decode(errors="replace"), info.VendorID, info.ProductID, info.Error,
                                   info.Reason.decode(errors="replace")))


def devices() -> list[Any]:
    """Every usable board, lowest slot first (looks for boards attached since the last look), then every
    attached board that cannot be opened, as a `korval.UnusableBoard` (`usable` False, with the reason)."""
    lib = _lib.load()
    mask = lib.raw("GetDevices")
    usable: list[Any] = [Device(slot) for slot in range(_lib.SLOT_COUNT) if mask & (1 << slot)]
    return usable + unusable_boards()


class Device:
    """One board, named by its slot in the library's device table (0 to 31).

    `Device(index)` opens the board in that slot; `Device.first()` and `Device.only()` take the lowest,
    or the one, slot holding a board. A failed call raises `korval.KorvalError`.

    Attributes:
        index         the slot (0 to 31)
        capabilities  what the board can do (`korval.Capabilities`); `features` says it in words
        dio           digital ports (`korval.Dio`)
        adc           analog input (`korval.Adc`): configuration, scans, acquisition, streaming
        dac           analog outputs (`korval.Dac`)
        counters      8254 counters (`korval.Counters`), `counters[n]` by flat number
        eeprom        the EEPROM's 256-byte custom area (`korval.Eeprom`)
        flash         the flash (`korval.Flash`)

    Used as a context manager, the board's slot is closed on leaving.
    """

    usable = True  # a korval.UnusableBoard, also in devices(), has it False
    index: int
    capabilities: Capabilities
    dio: "Dio"
    adc: Adc
    dac: "Dac"
    counters: "Counters"
    eeprom: "Eeprom"
    flash: "Flash"

    def __init__(self, index: int) -> None:
        if not 0 <= index < _lib.SLOT_COUNT:
            raise KorvalError(1413, "Device")
        self._lib = _lib.load()
        self.index = index
        # Asking what sits in the slot looks for newly attached boards when the slot is empty.
        self._lib.call("QueryDeviceInfo", index, None, None, None, None, None)
        caps = _lib.Capabilities()
        caps.Size = ctypes.sizeof(caps)
        self._lib.call("KORVAL_GetCapabilities", index, ctypes.byref(caps))
        self.capabilities = Capabilities._from_c(caps)
        self.dio = Dio(self)
        self.adc = Adc(self)
        self.dac = Dac(self)
        self.counters = Counters(self)
        self.eeprom = Eeprom(self)
        self.flash = Flash(self)

    @classmethod
    def first(cls) -> "Device":
        """The board in the lowest slot that holds one."""
        return cls._resolved(_lib.FIRST_DEVICE_INDEX)

    @classmethod
    def only(cls) -> "Device":
        """The one board attached; ERROR_DUP_NAME when there are several."""
        return cls._resolved(_lib.ONLY_DEVICE_INDEX)

    @classmethod
    def _resolved(cls, special: int) -> "Device":
        lib = _lib.load()
        lib.raw("GetDevices")
        slot = lib.raw("ResolveDeviceIndex", special)
        if slot == _lib.NO_SLOT:
            raise KorvalError(lib.raw("KORVAL_GetLastError"), "ResolveDeviceIndex")
        return cls(slot)

    @classmethod
    def by_serial_number(cls, serial_number: int) -> "Device":
        """The board with this serial number."""
        lib = _lib.load()
        slot = lib.raw("GetDeviceBySerialNumber", serial_number)
        if slot == _lib.NO_SLOT:
            raise KorvalError(2, "GetDeviceBySerialNumber")
        return cls(slot)

    @classmethod
    def by_eeprom(cls, data: Bytes, address: int = 0) -> "Device":
        """The lowest-slot board whose custom EEPROM area holds `data` at `address`."""
        lib = _lib.load()
        raw = bytes(data)
        slot = lib.raw("GetDeviceByEEPROMData", address, len(raw), _buffer(raw))
        if slot == _lib.NO_SLOT:
            raise KorvalError(lib.raw("KORVAL_GetLastError"), "GetDeviceByEEPROMData")
        return cls(slot)

    # ---- identification ------------------------------------------------------------------------------

    @property
    def product_id(self) -> int:
        return self.capabilities.product_id

    @property
    def name(self) -> str:
        """The product name the board reports."""
        size = u32(0)
        self._lib.call("QueryDeviceInfo", self.index, None, ctypes.byref(size), None, None, None)
        room = size.value
        buf = ctypes.create_string_buffer(max(room, 1))
        size.value = room
        self._lib.call("QueryDeviceInfo", self.index, None, ctypes.byref(size), buf, None, None)
        return buf.raw[:min(room, size.value)].decode("latin-1")

    @property
    def serial_number(self) -> Optional[int]:
        """The 64-bit serial number, or None for a board that has none."""
        serial = u64(0)
        code = self._lib.raw("GetDeviceSerialNumber", self.index, ctypes.byref(serial))
        if code == 50:
            return None
        if code:
            raise KorvalError(code, "GetDeviceSerialNumber")
        return serial.value

    @property
    def features(self) -> list[str]:
        """The board's capabilities in words."""
        return self.capabilities.words

    @property
    def pipes(self) -> list[int]:
        """The board's endpoints (pipe ID in bits 0-7, WinUSB pipe type from bit 8); WinUSB boards only."""
        count = u32(0)
        self._lib.call("GetPipes", self.index, ctypes.byref(count), None)
        pipes = (u32 * max(count.value, 1))()
        self._lib.call("GetPipes", self.index, ctypes.byref(count), pipes)
        return list(pipes[:count.value])

    def close(self) -> None:
        """Closes the board's driver handles and frees its slot (a later discovery may refill it)."""
        self._lib.call("KORVAL_CloseDevice", self.index)

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc: object) -> None:
        code = self._lib.raw("KORVAL_CloseDevice", self.index)
        if code not in (0, 6):  # 6: the slot was already empty
            raise KorvalError(code, "KORVAL_CloseDevice")

    def __repr__(self) -> str:
        return f"<korval.Device {self.index}: 0x{self.product_id:04X} ({', '.join(self.features) or 'no known capabilities'})>"

    # ---- transport -----------------------------------------------------------------------------------

    def vendor_read(self, request: int, value: int = 0, index: int = 0, size: int = 0) -> bytes:
        """A device-to-host vendor control request: the bytes the board answered (at most `size`)."""
        buf = (u8 * max(size, 1))()
        n = u32(size)
        self._lib.call("GenericVendorRead", self.index, request, value, index, ctypes.byref(n), buf)
        return bytes(buf[:n.value])

    def vendor_write(self, request: int, value: int = 0, index: int = 0, data: Bytes = b"") -> None:
        """A host-to-device vendor control request with `data` as its data stage."""
        raw = bytes(data)
        self._lib.call("GenericVendorWrite", self.index, request, value, index, len(raw), _buffer(raw))

    def bulk_read(self, pipe: int, size: int) -> bytes:
        """Reads up to `size` bytes from a bulk IN pipe (0x86). Waits until the board sends."""
        buf = (u8 * max(size, 1))()
        n = u32(0)
        self._lib.call("QBT_GenericBulkIn", self.index, pipe, buf, size, ctypes.byref(n))
        return bytes(buf[:n.value])

    def bulk_write(self, pipe: int, data: Bytes) -> int:
        """Writes `data` to a bulk OUT pipe (0x02); the bytes written."""
        raw = bytes(data)
        n = u32(0)
        self._lib.call("QBT_GenericBulkOut", self.index, pipe, _buffer(raw), len(raw), ctypes.byref(n))
        return n.value

    def clear_fifo(self, method: int = 0) -> None:
        """Clears the board's stream FIFOs (method 0, 1, 5 or 86: the firmware's way of clearing)."""
        self._lib.call("KORVAL_ClearFIFO", self.index, method)

    @property
    def stream_status(self) -> int:
        """The board's 32-bit stream status word."""
        status = u32(0)
        self._lib.call("KORVAL_GetStreamStatus", self.index, ctypes.byref(status))
        return status.value

    def set_streaming_block_size(self, size: int) -> None:
        """The largest single streaming transfer (bytes for analog input, points for digital streams)."""
        self._lib.call("KORVAL_SetStreamingBlockSize", self.index, size)

    def reset_chip(self) -> None:
        """Restarts the board's USB controller and with it its firmware."""
        self._lib.call("KORVAL_ResetChip", self.index)

    # ---- power-on defaults ---------------------------------------------------------------------------

    def save_state_as_defaults(self) -> None:
        """The board starts in its present state from now on (newer firmware)."""
        self._lib.call("KORVAL_SaveStateAsDefaults", self.index)

    def restore_factory_defaults(self) -> None:
        self._lib.call("KORVAL_RestoreFactoryDefaults", self.index)

    @property
    def defaults_table(self) -> bytes:
        """The board's power-on defaults table (at most 1,024 bytes)."""
        buf = (u8 * 1024)()
        n = u32(1024)
        self._lib.call("KORVAL_GetDefaultsTable", self.index, buf, ctypes.byref(n))
        return bytes(buf[:n.value])

    @defaults_table.setter
    def defaults_table(self, table: Bytes) -> None:
        raw = bytes(table)
        n = u32(len(raw))
        self._lib.call("KORVAL_SetDefaultsTable", self.index, _buffer(raw), ctypes.byref(n))


def _non_negative(name: str, hz: Any) -> float:
    """A frequency in hertz: 0 or more (0 stops what it paces)."""
    try:
        value = float(hz)
    except (TypeError, ValueError):
        raise ValueError(f"{name} {hz!r}: a frequency in hertz") from None
    if not (value >= 0.0 and value != float("inf")):
        raise ValueError(f"{name} {hz!r}: a frequency in hertz, 0 or more")
    return value


def _counter_load(value: Any) -> int:
    """An 8254 count: 16 bits (0 to 65,535; 0 counts 65,536)."""
    if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value <= 0xFFFF:
        raise ValueError(f"counter load {value!r}: the counters take 0 to 65535")
    return value


def _dac_code(value: Any, largest: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value <= largest:
        raise ValueError(f"DAC code {value!r}: the outputs take 0 to {largest}")
    return value


def _waveform_codes(points: Any, channels: int) -> Any:
    """Waveform points as the flat uint16 codes the library takes: 12-bit, whole points."""
    data = np.asarray(points)
    if data.size and (data.min() < 0 or data.max() > 0xFFF):
        raise ValueError(f"waveform codes {data.min()} to {data.max()}: the outputs take 12-bit codes, 0 to 4095")
    data = np.ascontiguousarray(data, dtype=np.uint16).reshape(-1)
    if data.size % channels:
        raise ValueError(f"{data.size} codes are not whole points of {channels} channels")
    return data


def _mask_bytes(mask: Union[int, Bytes], length: int) -> bytes:
    if isinstance(mask, int):
        if mask < 0 or mask >= 1 << (8 * length):
            raise ValueError(f"mask 0x{mask:X} does not fit {length} byte(s)")
        return mask.to_bytes(length, "little")
    raw = bytes(mask)
    if len(raw) != length:
        raise ValueError(f"mask has {len(raw)} byte(s), the board takes {length}")
    return raw


class Dio(_lib.Subsystem):
    """Digital ports. Port p is byte p of every port buffer; line n is bit n % 8 of port n // 8.

    The direction mask has one bit per port (or per line on boards with per-line directions); a set bit
    makes an output. Masks are given as integers (bit 0 first) or bytes.
    """

    @property
    def ports(self) -> int:
        return self._device.capabilities.digital_ports

    @property
    def lines(self) -> int:
        return self.ports * 8

    def _direction_length(self) -> int:
        return max((self._device.capabilities.direction_bits + 7) // 8, 1)

    def configure(self, outputs: Union[int, Bytes], levels: Optional[Bytes] = None,
                  tristate: Union[bool, int, Bytes] = False) -> None:
        """Sets directions (`outputs`) and output levels (`levels`, one byte per port; all 0 when not
        given). `tristate=True` floats every output; an integer or bytes is a tristate mask (boards
        with tristate control)."""
        out = _buffer(_mask_bytes(outputs, self._direction_length()))
        data = self._port_levels(levels) if levels is not None else bytes(self.ports)
        if isinstance(tristate, bool):
            self._call("DIO_Configure", 1 if tristate else 0, out, _buffer(data))
        else:
            length = self._device.capabilities.tristate_bytes or 1
            self._call("DIO_ConfigureEx", out, _buffer(data), _buffer(_mask_bytes(tristate, length)))

    def configuration(self) -> tuple[int, int]:
        """The direction and tristate masks the board holds (boards with tristate control)."""
        out = (u8 * 16)()
        tri = (u8 * 16)()
        self._call("DIO_ConfigurationQuery", out, tri)
        return (int.from_bytes(bytes(out[:self._direction_length()]), "little"),
                int.from_bytes(bytes(tri[:max(self._device.capabilities.tristate_bytes, 1)]), "little"))

    def read_bit(self, line: int) -> bool:
        bit = u8(0)
        self._call("DIO_Read1", line, ctypes.byref(bit))
        return bool(bit.value)

    def write_bit(self, line: int, value: bool) -> None:
        self._call("DIO_Write1", line, 1 if value else 0)

    def read_port(self, port: int) -> int:
        byte = u8(0)
        self._call("DIO_Read8", port, ctypes.byref(byte))
        return byte.value

    def write_port(self, port: int, value: int) -> None:
        self._call("DIO_Write8", port, value)

    def read_all(self) -> bytes:
        """Every port's levels, port 0 first."""
        buf = (u8 * max(self.ports, 1))()
        self._call("DIO_ReadAll", buf)
        return bytes(buf[:self.ports])

    def write_all(self, levels: Bytes) -> None:
        self._call("DIO_WriteAll", _buffer(self._port_levels(levels)))

    def _port_levels(self, levels: Bytes) -> bytes:
        data = bytes(levels)
        if len(data) != self.ports:
            raise ValueError(f"levels has {len(data)} byte(s), the board has {self.ports} port(s)")
        return data

    def spi_read(self, address: int, register: int) -> int:
        """A register of a device on the board's SPI bus."""
        value = u8(0)
        self._call("DIO_SPI_Read", address, register, ctypes.byref(value))
        return value.value

    def spi_write(self, address: int, register: int, value: int) -> None:
        self._call("DIO_SPI_Write", address, register, value)

    def read_latches(self) -> tuple[bytes, bytes, bytes]:
        """The three input-latch groups (0, 1, 2), one byte per port; the board clears them as it answers."""
        groups = [(u8 * max(self.ports, 1))() for _ in range(3)]
        n = u32(self.ports)
        self._call("DIO_Latch_Read", groups[1], groups[2], groups[0], ctypes.byref(n))
        return tuple(bytes(g[:min(n.value, self.ports)]) for g in groups)  # type: ignore[return-value]

    def reset_latches(self) -> None:
        self._call("DIO_Latch_Reset")

    def set_latch_divisor(self, divisor: int) -> None:
        self._call("DIO_Latch_SetDivisor", ctypes.byref(u8(divisor)))

    def set_debounce_config(self, config: Bytes) -> None:
        """Loads the debounce configuration (at most 1,024 bytes; newer firmware)."""
        raw = bytes(config)
        self._call("DIO_Deb_SetConfig", _buffer(raw), ctypes.byref(u32(len(raw))))

    def set_automap(self, entries: Sequence[int], tick_divisor: Optional[int] = None) -> None:
        """Loads the whole output-map table (16-bit entries, at most 32) and, when given, its tick divisor."""
        raw = b"".join(int(e).to_bytes(2, "little") for e in entries)
        if raw:
            self._call("DIO_Automap_SetTable", _buffer(raw), ctypes.byref(u32(len(raw))))
        else:
            self._call("DIO_Automap_ClearTable")
        if tick_divisor is not None:
            self._call("DIO_Automap_SetTickDivisor", ctypes.byref(u8(tick_divisor)))

    def add_automap_entry(self, entry: int) -> None:
        self._call("DIO_Automap_AddEntry", ctypes.byref(u16(entry)))

    def set_pwm(self, first: int, table: Bytes) -> None:
        """Loads the settings of all PWM outputs: the first setting and a table of at most 16 bytes."""
        raw = bytes(table)
        self._call("DIO_PWM_SetAll", ctypes.byref(u8(first)), _buffer(raw), ctypes.byref(u32(len(raw))))

    def sync(self, rate_hz: float, time_a_ms: float, time_b_ms: float, time_c_ms: float) -> tuple[float, ...]:
        """Runs the sync pulse generator; returns the rate and three times as the board will run them."""
        values = [ctypes.c_double(v) for v in (_non_negative("rate_hz", rate_hz), time_a_ms, time_b_ms, time_c_ms)]
        self._call("DIO_CSA_DoSync", *[ctypes.byref(v) for v in values])
        return tuple(v.value for v in values)

    def set_debounce_counts(self, counts: int) -> None:
        self._call("DIO_CSA_DebounceSet", counts)

    def debounce_data(self) -> bytes:
        """The board's debounce data, 2 bytes per port."""
        buf = (u8 * max(self.ports * 2, 1))()
        self._call("DIO_CSA_DebounceReadAll", buf)
        return bytes(buf[:self.ports * 2])

    def snapshots(self, count: int) -> list[bytes]:
        """Reads every port `count` times back to back: one bytes object of all ports per snapshot."""
        size = u32(count * self.ports)
        buf = (u8 * max(size.value, 1))()
        self._call("DIO_CSA_ReadAllString", buf, ctypes.byref(size))
        raw = bytes(buf[:size.value])
        return [raw[i:i + self.ports] for i in range(0, len(raw), max(self.ports, 1))]

    def offline_read(self, address: int) -> int:
        """A 16-bit word of the board's offline memory."""
        value = u16(0)
        self._call("KORVAL_OfflineRead1", address, ctypes.byref(value))
        return value.value

    def offline_write(self, address: int, value: int) -> None:
        self._call("KORVAL_OfflineWrite1", address, value)

    def set_stream_clocks(self, from_board_hz: float = 0.0, to_board_hz: float = 0.0) -> tuple[float, float]:
        """The two clocks that pace digital streams (0 turns one off); returns what the board will make."""
        a = ctypes.c_double(_non_negative("from_board_hz", from_board_hz))
        b = ctypes.c_double(_non_negative("to_board_hz", to_board_hz))
        self._call("DIO_StreamSetClocks", ctypes.byref(a), ctypes.byref(b))
        return a.value, b.value

    def stream(self, direction: str) -> DioStream:
        """Opens the board's digital stream, "in" (from the board) or "out": a context manager with
        `read(points)` or `write(points)` of 16-bit points, paced by `set_stream_clocks`."""
        return DioStream(self, direction)

    def read_debounced(self) -> bytes:
        """The debounced state of every port (newer firmware)."""
        buf = (u8 * max(self.ports, 1))()
        self._call("DIO_Deb_ReadAll", buf)
        return bytes(buf[:self.ports])


class Dac(_lib.Subsystem):
    """Immediate analog outputs: 16-bit counts per channel."""

    @property
    def channels(self) -> int:
        return self._device.capabilities.analog_outputs

    def write(self, channel: int, value: int) -> None:
        """Puts out a count (0 to 65535) on one channel."""
        self._call("DACDirect", channel, _dac_code(value, 65535))

    def write_many(self, values: Union[Mapping[int, int], Iterable[tuple[int, int]]]) -> None:
        """Sets several channels in one request: {channel: count} or (channel, count) pairs."""
        pairs = [(c, _dac_code(v, 65535)) for c, v in (values.items() if isinstance(values, Mapping) else values)]
        array = (_lib.DACPair * max(len(pairs), 1))(*[_lib.DACPair(c, v) for c, v in pairs])
        self._call("DACMultiDirect", array, len(pairs))

    def set_range(self, code: int) -> None:
        """Selects the board-wide output range (the board's range codes)."""
        self._call("DACSetBoardRange", code)

    def load_calibration(self, channel: int, path: str) -> None:
        """Loads a channel's calibration table (a text file of 65,536 integers) into the board's flash."""
        self._call("DACSetChannelCal", channel, str(path).encode())

    def clear_calibration(self, channel: int) -> None:
        self._call("DACSetChannelCal", channel, b":NONE:")

    def play(self, points: Any, *, rate: float, channels: int = 1, timeout: Optional[float] = 10.0) -> float:
        """Plays a whole waveform and returns once it has been played: `points` of shape (n, channels)
        (or n * channels codes, point by point), 12-bit codes, at `rate` points per second. Opens the
        output, queues the points, starts it, closes it and waits for the points' playing time. Returns
        the rate obtained. For waveforms made as they play, use `waveform()`."""
        data = _waveform_codes(points, channels)
        with self.waveform(rate, channels) as out:
            out.write(data, timeout=timeout)
            out.start()
        # Every point has reached the board, which plays them from its own buffer: at most the whole
        # waveform's time is left.
        time.sleep((data.size // channels) / out.rate_hz)
        return out.rate_hz

    def waveform(self, rate_hz: float, channels: int = 1) -> "Waveform":
        """Opens waveform output (boards with streamed outputs): a context manager that plays the points
        written to it at `rate_hz` points per second, `channels` outputs per point (from channel 0).

            with dev.dac.waveform(10_000, channels=2) as out:
                out.write(points)           # shape (n, 2): 12-bit codes
        """
        return Waveform(self, rate_hz, channels)

    def play_raw(self, words: Any, rate_hz: float) -> float:
        """Plays tagged sample words (bits 0-11 the code, 13 end of point, 14 end of frame, 15 end of
        data) once, without a background worker; returns the rate obtained."""
        data = np.ascontiguousarray(words, dtype=np.uint16).reshape(-1)
        rate = ctypes.c_double(rate_hz)
        self._call("DACOutputProcess", ctypes.byref(rate), data.size, data.ctypes.data_as(ctypes.c_void_p))
        return rate.value

    def set_range_limits(self, limits: Bytes) -> None:
        """Stores 32 bytes of DAC range limits in the board's EEPROM, marked as set."""
        raw = bytes(limits)
        if len(raw) != 32:
            raise ValueError("the range limits are 32 bytes")
        self._call("DAC_CSA_SetRangeLimits", _buffer(raw))

    def clear_range_limits(self) -> None:
        self._call("DAC_CSA_ClearRangeLimits")


class Waveform(_lib.Closing):
    """Waveform output in progress; see `Dac.waveform`. `rate_hz` is the point rate the board runs at."""

    MAX_FRAME_POINTS = 6400

    def __init__(self, dac: Dac, rate_hz: float, channels: int) -> None:
        _non_negative("rate_hz", rate_hz)
        if not isinstance(channels, int) or channels < 1:
            raise ValueError(f"channels {channels!r}: one or more outputs per point")
        self._dac = dac
        self.channels = channels
        rate = ctypes.c_double(rate_hz)
        dac._call("DACOutputOpen", ctypes.byref(rate))
        self.rate_hz = rate.value
        self._open = True
        try:
            dac._call("DACOutputSetCount", channels)
        except KorvalError:
            self.close(end=False)
            raise

    def write(self, points: Any, timeout: Optional[float] = 10.0) -> None:
        """Queues points: an array of shape (n, channels), or n * channels codes point by point. Waits
        (up to `timeout` seconds, then TimeoutError) while the library's queue is full."""
        data = _waveform_codes(points, self.channels)
        step = self.MAX_FRAME_POINTS * self.channels
        for start in range(0, data.size, step):
            frame = data[start:start + step]
            self._queue(frame, timeout)

    def _queue(self, frame: Any, timeout: Optional[float]) -> None:
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            code = self._dac._lib.raw("DACOutputFrame", self._dac._index, frame.size // self.channels,
                                      frame.ctypes.data_as(ctypes.c_void_p))
            if code != 21:  # 21: the queue is full for now
                if code:
                    raise KorvalError(code, "DACOutputFrame")
                return
            if deadline is not None and time.monotonic() >= deadline:
                raise TimeoutError(f"the board took no waveform data for {timeout} s")
            time.sleep(0.002)

    def start(self) -> None:
        """Starts the output before enough data has been queued for it to start by itself."""
        self._dac._call("DACOutputStart")

    def set_interlock(self, on: bool) -> None:
        self._dac._call("DACOutputSetInterlock", 1 if on else 0)

    def close(self, end: bool = True) -> None:
        """Sends what is queued and ends the output (`end`: marks the last point as the end of the data).
        Returns when everything has gone to the board."""
        if self._open:
            self._open = False
            self._dac._call("DACOutputClose" if end else "DACOutputCloseNoEnd")

    def _close_after_error(self) -> None:
        self.close(end=False)


class DioStream:
    """A digital stream in one direction; see `Dio.stream`."""

    def __init__(self, dio: "Dio", direction: str) -> None:
        if direction not in ("in", "out"):
            raise ValueError("a digital stream goes 'in' (from the board) or 'out'")
        self._dio = dio
        self.direction = direction
        dio._call("DIO_StreamOpen", 1 if direction == "in" else 0)
        self._open = True

    def read(self, points: int) -> Any:
        """Reads `points` 16-bit points from the board (fewer when the last transfer came short)."""
        if self.direction != "in":
            raise ValueError("this stream goes out")
        data = np.zeros(points, dtype=np.uint16)
        moved = u32(0)
        self._dio._call("DIO_StreamFrame", points, data.ctypes.data_as(ctypes.c_void_p), ctypes.byref(moved))
        return data[:moved.value // 2]

    def write(self, points: Any) -> int:
        """Writes 16-bit points to the board; returns the number written."""
        if self.direction != "out":
            raise ValueError("this stream comes in")
        data = np.ascontiguousarray(points, dtype=np.uint16).reshape(-1)
        moved = u32(0)
        self._dio._call("DIO_StreamFrame", data.size, data.ctypes.data_as(ctypes.c_void_p), ctypes.byref(moved))
        return moved.value // 2

    def close(self) -> None:
        if self._open:
            self._open = False
            self._dio._call("DIO_StreamClose")

    def __enter__(self) -> "DioStream":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


class Counter:
    """One 8254 counter, by its flat number (block * 3 + counter)."""

    def __init__(self, counters: "Counters", number: int) -> None:
        self._counters = counters
        self.number = number

    def _call(self, name: str, *args: object) -> None:
        self._counters._call(name, 0, self.number, *args)

    def program(self, mode: int, load: Optional[int] = None) -> None:
        """Sets the counter's mode (0 to 5) and, when given, loads its count in the same request."""
        if load is None:
            self._call("CTR_8254Mode", mode)
        else:
            self._call("CTR_8254ModeLoad", mode, _counter_load(load))

    def load(self, value: int) -> None:
        self._call("CTR_8254Load", _counter_load(value))

    def read(self) -> int:
        value = u16(0)
        self._call("CTR_8254Read", ctypes.byref(value))
        return value.value

    def read_status(self) -> tuple[int, int]:
        """The count and the 8254 status byte."""
        value, status = u16(0), u8(0)
        self._call("CTR_8254ReadStatus", ctypes.byref(value), ctypes.byref(status))
        return value.value, status.value

    def pulse_width(self) -> Optional[int]:
        """The counter's latest pulse-width measurement in counts, or None when none was measured since
        the last one was taken (while `Counters.measure_pulse_widths()` runs)."""
        value = u16(0)
        code = self._counters._lib.raw("CTR_GetPulseWidthMeasurement", self._counters._index, 0, self.number,
                                       ctypes.byref(value))
        if code == 1104:
            return None
        if code:
            raise KorvalError(code, "CTR_GetPulseWidthMeasurement")
        return value.value

    def select_gate(self) -> None:
        """Makes this counter's gate the selected one (boards with selectable gates)."""
        self._counters._lib.call("CTR_8254SelectGate", self._counters._index, self.number)

    def __repr__(self) -> str:
        return f"<korval.Counter {self.number}>"


class Counters(_lib.Subsystem):
    """The board's 8254 counters, indexed by flat number: `dev.counters[4].read()`."""

    def __len__(self) -> int:
        return self._device.capabilities.counter_blocks * 3

    def __getitem__(self, number: int) -> Counter:
        if not 0 <= number < len(self):
            raise IndexError(f"counter {number}: the board has {len(self)}")
        return Counter(self, number)

    def __iter__(self) -> Iterator[Counter]:
        return (Counter(self, n) for n in range(len(self)))

    def read_all(self) -> np.ndarray:
        """Every counter's count, in flat order."""
        buf = (u8 * max(len(self) * 2, 1))()
        self._call("CTR_8254ReadAll", buf)
        return np.frombuffer(bytes(buf[:len(self) * 2]), dtype="<u2").astype(np.uint16)

    def output_frequency(self, hz: float, block: int = 0) -> float:
        """Makes a counter block put out a frequency; returns the frequency it runs at."""
        value = ctypes.c_double(_non_negative("hz", hz))
        self._call("CTR_StartOutputFreq", block, ctypes.byref(value))
        return value.value

    def set_global_tick_rate(self, hz: float) -> None:
        """The board's global tick rate (newer firmware)."""
        self._call("KORVAL_SetGlobalTickRate", ctypes.byref(ctypes.c_double(_non_negative("hz", hz))))

    def measure_pulse_widths(self) -> "PulseWidths":
        """Measures pulse widths in the background while the returned context lasts:

            with dev.counters.measure_pulse_widths():
                width = dev.counters[1].pulse_width()
        """
        self._call("CTR_StartMeasuringPulseWidth")
        return PulseWidths(self)

    def watch_gates(self, gate_a: int, gate_b: int) -> None:
        """Watches two gates (flat counter numbers) for `wait_for_gate` (boards with selectable gates)."""
        self._call("CTR_SetWaitGates", gate_a, gate_b)

    def wait_for_gate(self, gate: int) -> bytes:
        """Blocks until the board reports an event of gate A (0) or B (1); the report's two bytes.
        `end_gate_waits` (from another thread) ends the wait with ERROR_OPERATION_ABORTED."""
        buf = (u8 * 2)()
        self._call("CTR_WaitForGate", gate, buf)
        return bytes(buf)

    def end_gate_waits(self) -> None:
        self._call("CTR_EndWaitGates")

    def read_latched(self) -> tuple[np.ndarray, int]:
        """Every count latched at one instant, and the extra byte the board sends with them."""
        buf = (u8 * (len(self) * 2 + 1))()
        self._call("CTR_8254ReadLatched", buf)
        raw = bytes(buf)
        return np.frombuffer(raw[:-1], dtype="<u2").astype(np.uint16), raw[-1]


class PulseWidths:
    """A running pulse-width measurement; leaving the `with` (or `stop()`) ends it."""

    def __init__(self, counters: Counters) -> None:
        self._counters = counters
        self._running = True

    def stop(self) -> None:
        if self._running:
            self._running = False
            self._counters._call("CTR_StopMeasuringPulseWidth")

    def __enter__(self) -> "PulseWidths":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


class Eeprom(_lib.Subsystem):
    """The EEPROM's custom area: 256 bytes the application may use as it likes."""

    SIZE = 256

    def read(self, address: int = 0, size: Optional[int] = None) -> bytes:
        size = self.SIZE - address if size is None else size
        buf = (u8 * max(size, 1))()
        n = u32(size)
        self._call("CustomEEPROMRead", address, ctypes.byref(n), buf)
        return bytes(buf[:n.value])

    def write(self, address: int, data: Bytes) -> None:
        raw = bytes(data)
        self._call("CustomEEPROMWrite", address, len(raw), _buffer(raw))


class Flash(_lib.Subsystem):
    """The board's flash, in 64 KiB sectors. Writes only clear bits: erase a sector before writing it."""

    SECTOR_SIZE = 0x10000

    @property
    def sectors(self) -> int:
        return self._device.capabilities.flash_sectors

    def read(self, address: int, size: int) -> bytes:
        buf = (u8 * max(size, 1))()
        n = u32(size)
        self._call("KORVAL_FlashRead", address, ctypes.byref(n), buf)
        return bytes(buf[:n.value])

    def write(self, address: int, data: Bytes) -> None:
        raw = bytes(data)
        self._call("KORVAL_FlashWrite", address, len(raw), _buffer(raw))

    def erase(self, sector: int) -> None:
        self._call("KORVAL_FlashEraseSector", sector)
