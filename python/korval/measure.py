"""Measurements at a chosen rate: channels, ranges, rate, duration and a trigger in; volts, times and
files out.

The library's measurement functions (KORVAL_MeasureCreate and the others) do the work: the board's
scan clock, the channel span, the conversion to volts and the software trigger. This module checks the
arguments, so that a bad one raises ValueError before anything is sent, and reads the blocks straight
into numpy arrays.
"""

from __future__ import annotations

import collections
import ctypes
import datetime
import math
import re
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Iterator, Optional, Sequence, Union

from ._numpy import np

from . import _lib
from ._lib import f64, u16
from .errors import KorvalError
from .units import Range, RangeArg, is_one_range, parse_range, parse_ranges

if TYPE_CHECKING:
    from .adc import Adc

ChannelsArg = Union[None, int, str, range, Sequence[int]]

_LARGEST_DIVISOR = 65535
_WAIT_MS = 100  # one wait of a read; the program can interrupt between two
_SLOPES = {"rising": 1, "falling": 2}
_GROWN, _LAST, _GONE, _TRIGGER, _RECORD_START = 0x1, 0x2, 0x4, 0x8, 0x10
_TIMEOUT, _EOF, _SHORT_BUFFER = 1460, 38, 122


# ---- arguments --------------------------------------------------------------------------------------------


def parse_channels(channels: ChannelsArg, board_channels: int) -> tuple[int, int]:
    """A contiguous channel span (first, last) from "A-B", "A", range(A, B + 1), consecutive ints or one
    int. The board scans a contiguous span; anything else raises ValueError."""
    if isinstance(channels, bool):
        raise ValueError(f"channels {channels!r}: give a span such as '0-7', range(0, 8) or one channel")
    if isinstance(channels, int):
        first = last = channels
    elif isinstance(channels, str):
        m = re.fullmatch(r"\s*(\d+)\s*(?:-\s*(\d+)\s*)?", channels)
        if not m:
            raise ValueError(f"channels {channels!r}: give a span such as '0-7' or one channel such as '3'")
        first = int(m.group(1))
        last = int(m.group(2)) if m.group(2) is not None else first
    elif isinstance(channels, range):
        if len(channels) == 0 or channels.step != 1:
            raise ValueError(f"channels {channels!r}: the board scans a contiguous, rising span of channels")
        first, last = channels.start, channels[-1]
    else:
        try:
            listed = [int(c) for c in channels]  # type: ignore[union-attr]
        except TypeError:
            raise ValueError(f"channels {channels!r}: give a span such as '0-7', range(0, 8) or one channel") from None
        if not listed or any(b != a + 1 for a, b in zip(listed, listed[1:])):
            raise ValueError(f"channels {listed}: the board scans a contiguous span of channels in rising order, "
                             "such as [0, 1, 2, 3]")
        first, last = listed[0], listed[-1]
    if first > last:
        raise ValueError(f"channels {first}-{last}: the first channel comes before the last")
    if first < 0 or last >= board_channels:
        raise ValueError(f"channels {first}-{last}: the board has channels 0 to {board_channels - 1}")
    return first, last


def check_rate(rate: Any, clock_hz: float) -> float:
    """A scan rate the counters can make: from clock / 65,535² to clock / 4."""
    try:
        hz = float(rate)
    except (TypeError, ValueError):
        raise ValueError(f"rate {rate!r}: give scans per second as a number") from None
    highest = clock_hz / 4
    lowest = clock_hz / (_LARGEST_DIVISOR * _LARGEST_DIVISOR)
    if not math.isfinite(hz) or not lowest <= hz <= highest:
        raise ValueError(f"rate {rate!r}: the board's counters make {lowest:.4g} to {highest:g} scans per second")
    return hz


def _count(value: Any, what: str, lowest: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool) or value < lowest:
        raise ValueError(f"{what} {value!r}: a whole number, {lowest} or more")
    return value


@dataclass(frozen=True)
class Trigger:
    """A software trigger: the measurement keeps scans from the first scan at which `channel` crosses
    `level` volts in the direction of `slope` ("rising" or "falling").

    Rising: the trigger is the first scan at or above `level` after the channel has been at or below
    `level - hysteresis` (falling: at or below `level` after at or above `level + hysteresis`), so noise
    smaller than the hysteresis does not trigger. `channel` is a channel number of the span measured.
    Each record keeps `pretrigger` scans from before the trigger scan, then the trigger scan and those
    after it. `records` records are taken, each at a new trigger after the previous record; 0 takes
    records until the stream is closed (streams only).
    """

    channel: int
    level: float = 0.0
    slope: str = "rising"
    hysteresis: float = 0.0
    pretrigger: int = 0
    records: int = 1

    def __post_init__(self) -> None:
        _count(self.channel, "trigger channel", 0)
        if self.slope not in _SLOPES:
            raise ValueError(f"trigger slope {self.slope!r}: 'rising' or 'falling'")
        for name in ("level", "hysteresis"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
                raise ValueError(f"trigger {name} {value!r}: a finite number of volts")
        if self.hysteresis < 0:
            raise ValueError(f"trigger hysteresis {self.hysteresis!r}: 0 volts or more")
        _count(self.pretrigger, "pretrigger", 0)
        _count(self.records, "trigger records", 0)


@dataclass
class Plan:
    """A measurement's settings, checked against the board and not yet sent to it."""

    first: int
    last: int
    ranges: list[Range]
    rate: float
    oversample: int = 0
    trigger: Optional[Trigger] = None

    @property
    def channels(self) -> list[int]:
        return list(range(self.first, self.last + 1))


def plan(adc: "Adc", rate: Any, channels: ChannelsArg, ranges: RangeArg, oversample: int = 0,
         trigger: Optional[Trigger] = None, scans: int = 0) -> Plan:
    """Checks a measurement's arguments against the board; raises ValueError before touching it.
    `scans` is the scans of one record (0: until stopped)."""
    caps = adc._device.capabilities
    if caps.analog_inputs == 0:
        raise ValueError("the board has no bulk analog input to measure at a rate with")
    if caps.counter_blocks == 0:
        raise ValueError("the board has no counters to pace its scans with")
    hz = check_rate(rate, caps.counter_clock_hz)
    if is_one_range(ranges):
        parse_range(ranges)  # a bad text is refused before the board's block is read
    if not isinstance(oversample, int) or isinstance(oversample, bool) or not 0 <= oversample <= 255:
        raise ValueError(f"oversample {oversample!r}: 0 to 255 extra conversions per channel")
    if trigger is not None and not isinstance(trigger, Trigger):
        raise ValueError(f"trigger {trigger!r}: give a korval.Trigger")
    if channels is None:
        config = adc.config
        first, last = config.start_channel, min(config.end_channel, caps.analog_inputs - 1)
    else:
        first, last = parse_channels(channels, caps.analog_inputs)
    per_channel = parse_ranges(ranges, last - first + 1)
    # Channels share a range slot when the board has fewer slots than channels.
    by_slot: dict[int, Range] = {}
    for c, r in zip(range(first, last + 1), per_channel):
        slot = c >> caps.range_shift
        if by_slot.setdefault(slot, r) != r:
            raise ValueError(f"channel {c} shares range slot {slot} with channel {slot << caps.range_shift}: "
                             f"they take one range ({by_slot[slot]}, not {r})")
    if trigger is not None:
        if not first <= trigger.channel <= last:
            raise ValueError(f"trigger channel {trigger.channel}: not in the channels measured, {first} to {last}")
        if not scans:
            raise ValueError("a trigger takes the scans of a record: give scans=")
        if trigger.pretrigger >= scans:
            raise ValueError(f"pretrigger {trigger.pretrigger}: fewer than the {scans} scans of a record")
    return Plan(first, last, per_channel, hz, oversample, trigger)


def _now() -> datetime.datetime:
    return datetime.datetime.now(datetime.timezone.utc)


# ---- the library's measurement ------------------------------------------------------------------------------


class _Measurement:
    """A started measurement of the library (KORVAL_MeasureCreate and KORVAL_MeasureStart), pulled with
    reads; `rate` is the rate obtained."""

    handle: Optional[ctypes.c_void_p] = None

    def __init__(self, adc: "Adc", p: Plan, scans: int, block_seconds: float = 0.0) -> None:
        self._lib = adc._lib
        settings = _lib.MeasureSettings()
        settings.Size = ctypes.sizeof(settings)
        settings.FirstChannel, settings.LastChannel = p.first, p.last
        codes = [int(r) for r in p.ranges]
        if len(set(codes)) == 1:
            codes = codes[:1]
        settings.RangeCount = len(codes)
        settings.Ranges[:len(codes)] = codes
        settings.Oversample = p.oversample
        settings.Rate = p.rate
        settings.Scans = scans
        settings.BlockSeconds = block_seconds
        t = p.trigger
        if t is not None:
            settings.Trigger = _lib.MeasureTrigger(_SLOPES[t.slope], t.channel, float(t.level), float(t.hysteresis),
                                               t.pretrigger, t.records)
        handle = ctypes.c_void_p()
        self._lib.call("KORVAL_MeasureCreate", adc._index, ctypes.byref(handle))
        self.handle = handle
        code = self._lib.raw("KORVAL_MeasureStart", handle, ctypes.byref(settings), _lib.MeasureCallback(), None)
        if code != 0:
            self.destroy()
            error = KorvalError(code, "KORVAL_MeasureStart")
            if code == 87:
                raise ValueError(f"the library refused the measurement ({error})") from error
            raise error
        self.rate: float = settings.Rate
        self.block = _lib.MeasureBlock()

    def read(self, volts: Any, counts: Any, capacity: int, wait_ms: int) -> int:
        """One block into `volts` and `counts` (None: into the measurement's memory); the result code."""
        self.block.Size = ctypes.sizeof(self.block)
        return self._lib.raw("KORVAL_MeasureRead", self.handle, ctypes.byref(self.block),
                             None if volts is None else volts.ctypes.data_as(ctypes.POINTER(f64)),
                             None if counts is None else counts.ctypes.data_as(ctypes.POINTER(u16)), capacity,
                             wait_ms)

    def status(self) -> Any:
        status = _lib.MeasureStatus()
        status.Size = ctypes.sizeof(status)
        self._lib.call("KORVAL_MeasureGetStatus", self.handle, ctypes.byref(status))
        return status

    def destroy(self) -> None:
        handle, self.handle = self.handle, None
        if handle is not None:
            self._lib.raw("KORVAL_MeasureDestroy", handle)

    def __del__(self) -> None:
        self.destroy()


def _wait_ms(deadline: Optional[float]) -> int:
    if deadline is None:
        return _WAIT_MS
    return max(0, min(_WAIT_MS, math.ceil((deadline - time.monotonic()) * 1000)))


# ---- one-shot reads ----------------------------------------------------------------------------------------


@dataclass
class Acquisition:
    """Scans taken at a rate: `volts` and `counts` of shape (scans, channels), `times` in seconds from the
    measurement's first scan, the `rate` obtained in hertz, the `channels` scanned, their `ranges` as
    text, and when the acquisition `started` (UTC). With a trigger, `triggers` holds the row of each
    record's trigger scan (records follow one another, `pretrigger` scans before each trigger) and
    `trigger_index` the first of them; without one, `triggers` is empty and `trigger_index` None."""

    volts: Any
    counts: Any
    times: Any
    rate: float
    channels: list[int]
    ranges: list[str]
    started: datetime.datetime
    triggers: list[int] = field(default_factory=list)

    @property
    def trigger_index(self) -> Optional[int]:
        return self.triggers[0] if self.triggers else None

    def __len__(self) -> int:
        return len(self.times)


def read(adc: "Adc", samples: int, rate: Any, channels: ChannelsArg, ranges: RangeArg, oversample: int,
         timeout: Optional[float], trigger: Optional[Trigger] = None) -> Acquisition:
    if not isinstance(samples, int) or isinstance(samples, bool) or samples <= 0:
        raise ValueError(f"samples {samples!r}: the number of scans, 1 or more")
    p = plan(adc, rate, channels, ranges, oversample, trigger, samples)
    records = trigger.records if trigger is not None else 1
    if records == 0:
        raise ValueError("trigger records 0 (until stopped): a read takes 1 record or more")
    total = samples * records
    n = len(p.channels)
    volts = np.empty((total, n))
    counts = np.empty((total, n), dtype=np.uint16)
    times = np.empty(total)
    triggers: list[int] = []
    started = _now()
    m = _Measurement(adc, p, samples)
    wait = timeout if timeout is not None else 10.0 + total / m.rate
    deadline = time.monotonic() + wait
    filled, result = 0, 0
    try:
        while True:
            room = total - filled
            code = m.read(volts[filled:] if room else None, counts[filled:] if room else None, room, _wait_ms(deadline))
            if code == _TIMEOUT:
                if time.monotonic() >= deadline:
                    raise TimeoutError(f"{filled} of {total} scans had come after {wait:.3g} s")
                continue
            if code == _EOF:
                break
            if code != 0:
                raise KorvalError(code, "KORVAL_MeasureRead")
            b = m.block
            if b.Flags & _TRIGGER:
                triggers.append(filled + b.TriggerScan - b.FirstScan)
            k = min(b.ScanCount, room)
            times[filled:filled + k] = np.arange(b.FirstScan, b.FirstScan + k) / m.rate
            filled += k
            if b.Flags & _LAST:
                result = b.Result
                break
    finally:
        m.destroy()
    if result != 0 or filled < total:
        raise KorvalError(result or _EOF, "KORVAL_MeasureRead")
    return Acquisition(volts=volts, counts=counts, times=times, rate=m.rate, channels=p.channels,
                       ranges=[str(r) for r in p.ranges], started=started, triggers=triggers)


# ---- streams -----------------------------------------------------------------------------------------------


@dataclass
class Block:
    """Scans of a stream: `volts` and `counts` of shape (scans, channels), `first_scan` (its index since
    the measurement's first scan), `times` in seconds since that scan, and `grown`: the library's ring
    grew for it (the program had fallen behind; nothing was lost).

    `host_time_ns` is the host's UTC clock when the block arrived, in nanoseconds since 1970
    (`host_time` as a datetime). With a trigger, `record` is the record the block belongs to (from 0),
    `record_start` says the block begins one (with its pretrigger scans), and `trigger_index` is the row
    of the trigger scan in this block (`first_scan + trigger_index` counts it since the first scan), or
    None when the block does not hold it. `gone`: the board was unplugged after this block; every scan
    before that was delivered."""

    volts: Any
    counts: Any
    first_scan: int
    times: Any
    grown: bool
    host_time_ns: int = 0
    trigger_index: Optional[int] = None
    record: int = 0
    record_start: bool = False
    gone: bool = False

    @property
    def host_time(self) -> datetime.datetime:
        """When the block arrived, UTC (to the microsecond)."""
        seconds, ns = divmod(self.host_time_ns, 1_000_000_000)
        return (datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
                + datetime.timedelta(microseconds=ns // 1000))

    def __len__(self) -> int:
        return len(self.counts)


class RateStream(_lib.Closing):
    """Continuous scans at a rate; see `Adc.stream`. An iterator of `Block` objects and a context manager.

    `rate` is the rate obtained, `channels` and `ranges` what is scanned, `started` the start (UTC),
    `scans` the scans delivered so far, `grown` the blocks the ring grew for. Blocks hold about
    `block_seconds` of scans (`block_scans`); at slow rates a block comes as soon as the board has sent
    scans. After `close()` the iterator still delivers the blocks that had reached the host, then stops.
    """

    def __init__(self, adc: "Adc", rate: Any, channels: ChannelsArg, ranges: RangeArg, block_seconds: float,
                 timeout: Any = None, trigger: Optional[Trigger] = None, scans: Optional[int] = None,
                 oversample: int = 0) -> None:
        if not (isinstance(block_seconds, (int, float)) and math.isfinite(block_seconds) and block_seconds > 0):
            raise ValueError(f"block_seconds {block_seconds!r}: a time in seconds above 0")
        if scans is not None:
            _count(scans, "scans", 1)
        p = plan(adc, rate, channels, ranges, oversample, trigger, scans or 0)
        self._adc = adc
        self._lib = adc._lib
        self._index = adc._index
        self.channels = p.channels
        self.ranges = [str(r) for r in p.ranges]
        self._n = len(p.channels)
        self.scans = 0
        self.grown = 0
        self.status = 0
        self._ready: "collections.deque[Block]" = collections.deque()  # read by close(), not yet delivered
        self._lock = threading.Lock()
        self._done = False
        self._trigger = trigger
        self.started = _now()
        self._m = _Measurement(adc, p, scans or 0, block_seconds)
        self.rate = self._m.rate
        self.block_scans = max(1, round(block_seconds * self.rate))
        self._capacity = self.block_scans + 1
        if timeout is None and trigger is None:
            timeout = 10.0 + 2.0 / self.rate + 2.0 * block_seconds
        self.timeout: Optional[float] = timeout  # None: waits for the trigger until interrupted
        self._running = True

    def __iter__(self) -> Iterator[Block]:
        return self

    def _read(self, wait_ms: int) -> tuple[int, Optional[Block]]:
        """One block from the measurement, read into new arrays: (result code, block or None)."""
        m = self._m
        while True:
            volts = np.empty((self._capacity, self._n))
            counts = np.empty((self._capacity, self._n), dtype=np.uint16)
            code = m.read(volts, counts, self._capacity, wait_ms)
            if code != _SHORT_BUFFER:
                break
            self._capacity = m.block.ScanCount
        if code != 0:
            return code, None
        b = m.block
        k, first = b.ScanCount, b.FirstScan
        if b.Flags & _LAST:
            self._done = True
            self.status = b.Result
        if k == 0:
            return code, None
        return code, Block(volts[:k], counts[:k], first, np.arange(first, first + k) / self.rate,
                           bool(b.Flags & _GROWN), b.HostTimeNs,
                           b.TriggerScan - first if b.Flags & _TRIGGER else None, b.Record,
                           bool(b.Flags & _RECORD_START), bool(b.Flags & _GONE))

    def __next__(self) -> Block:
        block = self._ready.popleft() if self._ready else self._next()
        if block is None:
            self._finish()
            raise StopIteration
        self.scans += len(block)
        self.grown += block.grown
        return block

    def _next(self) -> Optional[Block]:
        deadline = None if self.timeout is None else time.monotonic() + self.timeout
        while not self._done:
            with self._lock:
                if not self._running:
                    return None
                code, block = self._read(_wait_ms(deadline))
            if block is not None:
                return block
            if code == _TIMEOUT:
                if deadline is not None and time.monotonic() >= deadline:
                    raise TimeoutError(f"no scan came within {self.timeout:.3g} s")
            elif code == _EOF:
                self._done = True
            elif code != 0:
                raise KorvalError(code, "KORVAL_MeasureRead")
        return None

    def _finish(self) -> None:
        if self._running:
            self.close()
        if self.status not in (0, 995):
            status, self.status = self.status, 0
            raise KorvalError(status, "KORVAL_MeasureRead")

    def ring_size(self) -> int:
        """Buffers in the library's ring now (it grows when blocks are not taken fast enough)."""
        if not self._running:
            return 0
        counts = [_lib.i32(0), _lib.i32(0), _lib.i32(0)]
        code = self._lib.raw("ADC_BulkContinuousDebug", self._index, *[ctypes.byref(c) for c in counts])
        return sum(c.value for c in counts) if code == 0 else 0

    def close(self) -> int:
        """Ends the measurement; the blocks that had reached the host stay to be iterated. Returns the
        code that ended it early (0 when none did)."""
        self._running = False  # a read waiting in another thread ends within one wait
        with self._lock:
            m = self._m
            if m.handle is None:
                return self.status
            # Keep the scans taken so far: the blocks ready, and the one being filled once it is full
            # (at most a block's time more; scans still in the ring are not counted as taken yet, so
            # one block more is waited for). With a trigger, scans taken are not all kept: only the
            # blocks ready are.
            try:
                status = m.status()
                wanted = max(status.ScansAcquired, status.ScansDelivered + 1)
                deadline = time.monotonic() + (0.0 if self._trigger else min(2.0, 0.5 + self.block_scans / self.rate))
                while not self._done and m.status().ScansDelivered < wanted:
                    code, block = self._read(_wait_ms(deadline))
                    if block is not None:
                        self._ready.append(block)
                    elif code != 0 and (code != _TIMEOUT or time.monotonic() >= deadline):
                        break
            finally:
                m.destroy()
            return self.status


# ---- files -------------------------------------------------------------------------------------------------


def record(adc: "Adc", path: Union[str, Path], seconds: float, rate: Any, channels: ChannelsArg, ranges: RangeArg,
           progress: Optional[Callable[[int, int], Any]], trigger: Optional[Trigger] = None) -> int:
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix not in (".h5", ".hdf5", ".csv"):
        raise ValueError(f"{path.name}: record writes .h5 (HDF5) or .csv files")
    if not (isinstance(seconds, (int, float)) and math.isfinite(seconds) and seconds > 0):
        raise ValueError(f"seconds {seconds!r}: a duration above 0")
    p = plan(adc, rate, channels, ranges, 0, trigger)
    scans = round(seconds * p.rate)
    if scans < 1:
        raise ValueError(f"{seconds} s at {p.rate:g} scans per second is less than one scan")
    records = trigger.records if trigger is not None else 1
    if records == 0:
        raise ValueError("trigger records 0 (until stopped): a recording takes 1 record or more")
    total = scans * records
    stream = RateStream(adc, p.rate, range(p.first, p.last + 1), p.ranges, block_seconds=0.05, trigger=trigger,
                        scans=scans)
    with stream:
        writer = _Hdf5Writer(path, stream, adc) if suffix != ".csv" else _CsvWriter(path, stream)
        written = 0
        try:
            for block in stream:
                writer.write(block)
                if block.trigger_index is not None:
                    writer.triggers.append(written + block.trigger_index)
                written += len(block)
                if progress is not None:
                    progress(written, total)
        finally:
            writer.close()
    if written < total:
        raise KorvalError(stream.status or _EOF, "KORVAL_MeasureRead")
    return written


class _CsvWriter:
    def __init__(self, path: Path, stream: RateStream) -> None:
        self.triggers: list[int] = []
        self._file = open(path, "w", encoding="utf-8", newline="\n")
        self._file.write(",".join(["time (s)"] + [f"ch{c} (V)" for c in stream.channels]) + "\n")
        self._fmt = ",".join(["%.9g"] + ["%.6f"] * len(stream.channels))

    def write(self, block: Block) -> None:
        np.savetxt(self._file, np.column_stack([block.times, block.volts]), fmt=self._fmt)

    def close(self) -> None:
        self._file.close()


class _Hdf5Writer:
    def __init__(self, path: Path, stream: RateStream, adc: "Adc") -> None:
        try:
            import h5py
        except ImportError as e:
            raise ImportError("recording to HDF5 needs h5py (Debian: apt-get install python3-h5py)") from e
        from . import __version__

        self.triggers: list[int] = []
        n = len(stream.channels)
        self._file = h5py.File(path, "w")
        self._data = self._file.create_dataset("volts", shape=(0, n), maxshape=(None, n), dtype="f4",
                                               chunks=(max(1, min(65536, 262144 // n)), n))
        attrs = self._data.attrs
        attrs["rate"] = stream.rate
        attrs["channels"] = np.array(stream.channels, dtype=np.int32)
        attrs["ranges"] = np.array(stream.ranges, dtype=h5py.string_dtype())
        attrs["start_time"] = stream.started.isoformat().replace("+00:00", "Z")
        device = adc._device
        attrs["product_id"] = device.product_id
        serial = device.serial_number
        attrs["serial_number"] = serial if serial is not None else 0
        attrs["korval_version"] = __version__
        for key in ("rate", "channels", "ranges", "start_time", "product_id", "serial_number", "korval_version"):
            self._file.attrs[key] = attrs[key]
        self._rows = 0

    def write(self, block: Block) -> None:
        k = len(block)
        self._data.resize(self._rows + k, axis=0)
        self._data[self._rows:self._rows + k] = block.volts
        self._rows += k

    def close(self) -> None:
        if self.triggers:
            self._data.attrs["trigger_rows"] = np.array(self.triggers, dtype=np.int64)
        self._file.close()
