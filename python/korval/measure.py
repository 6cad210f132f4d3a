"""Measurements at a chosen rate: channels, ranges, rate and duration in; volts, times and files out.

The rate is the board's scan clock: counters 1 and 2 of 8254 block 0 as a frequency source
(CTR_StartOutputFreq, whose written-back frequency is the rate obtained), with the configuration
block's trigger byte set to the counter start (start source 01), so that each pulse of counter 2 starts
one scan of the channel span.
"""

from __future__ import annotations

import ctypes
import datetime
import math
import queue
import re
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Iterator, Optional, Sequence, Union

from ._numpy import np

from . import _lib
from ._lib import i32, u32
from .errors import KorvalError
from .units import Range, RangeArg, is_one_range, parse_range, parse_ranges, volts_per_count

if TYPE_CHECKING:
    from .adc import Adc

ChannelsArg = Union[None, int, str, range, Sequence[int]]

COUNTER_START = 0x01  #: trigger byte start source: each pulse of counter 2 of block 0 starts a scan
_LARGEST_DIVISOR = 65535
_BLOCK_BYTES_LIMIT = 4 << 20  # one buffer of the library's ring


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


# ---- setting the board up ----------------------------------------------------------------------------------


@dataclass
class Plan:
    """A measurement's settings, checked against the board and not yet sent to it."""

    first: int
    last: int
    ranges: list[Range]
    rate: float
    oversample: int = 0

    @property
    def channels(self) -> list[int]:
        return list(range(self.first, self.last + 1))

    @property
    def samples_per_scan(self) -> int:
        return len(self.channels) * (self.oversample + 1)


def plan(adc: "Adc", rate: Any, channels: ChannelsArg, ranges: RangeArg, oversample: int = 0) -> Plan:
    """Checks a measurement's arguments against the board; raises ValueError before touching it."""
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
    return Plan(first, last, per_channel, hz, oversample)


def configure(adc: "Adc", p: Plan) -> None:
    """Writes the plan's channels, ranges and oversample and the counter start into the board's block."""
    from dataclasses import replace

    config = adc.config
    shift = adc._device.capabilities.range_shift
    ranges = list(config.ranges)
    for c, r in zip(p.channels, p.ranges):
        ranges[c >> shift] = r
    adc.config = replace(config, ranges=ranges, calibration_mode=0,
                         trigger=(config.trigger & ~0x03) | COUNTER_START,
                         start_channel=p.first, end_channel=p.last, oversample=p.oversample)


def start_clock(adc: "Adc", hz: float) -> float:
    """Counters 1 and 2 of block 0 as the scan clock; the rate obtained."""
    value = ctypes.c_double(hz)
    adc._lib.call("CTR_StartOutputFreq", adc._index, 0, ctypes.byref(value))
    return value.value


def stop_clock(adc: "Adc") -> None:
    adc._lib.raw("CTR_StartOutputFreq", adc._index, 0, ctypes.byref(ctypes.c_double(0.0)))


def _now() -> datetime.datetime:
    return datetime.datetime.now(datetime.timezone.utc)


# ---- one-shot reads ----------------------------------------------------------------------------------------


@dataclass
class Acquisition:
    """Scans taken at a rate: `volts` and `counts` of shape (scans, channels), `times` in seconds from the
    first scan, the `rate` obtained in hertz, the `channels` scanned, their `ranges` as text, and when
    the acquisition `started` (UTC)."""

    volts: Any
    counts: Any
    times: Any
    rate: float
    channels: list[int]
    ranges: list[str]
    started: datetime.datetime

    def __len__(self) -> int:
        return len(self.times)


def read(adc: "Adc", samples: int, rate: Any, channels: ChannelsArg, ranges: RangeArg, oversample: int,
         timeout: Optional[float]) -> Acquisition:
    if not isinstance(samples, int) or isinstance(samples, bool) or samples <= 0:
        raise ValueError(f"samples {samples!r}: the number of scans, 1 or more")
    p = plan(adc, rate, channels, ranges, oversample)
    total = samples * p.samples_per_scan
    if total * 2 > 0xFFFFFFFF:
        raise ValueError(f"{samples} scans of {p.samples_per_scan} samples: at most {0xFFFFFFFF // 2} samples "
                         "in one read; use stream() or record() for more")
    if p.oversample == 0 and p.rate < _SLOWEST_ONE_SHOT:
        return _read_by_stream(adc, samples, p, timeout)
    configure(adc, p)
    hz = start_clock(adc, p.rate)
    started = _now()
    try:
        wait = timeout if timeout is not None else 10.0 + samples / hz
        raw = adc.acquire(total, timeout=wait)
    finally:
        stop_clock(adc)
    n = len(p.channels)
    groups = raw.reshape(samples, n, p.oversample + 1)
    if p.oversample:
        # A channel's value in a scan: the mean of its conversions after the first.
        mean = groups[:, :, 1:].mean(axis=2)
        counts = np.rint(mean).astype(np.uint16)
    else:
        mean = groups[:, :, 0]
        counts = mean.copy()
    scale, offset = volts_per_count(p.ranges)
    volts = mean * scale + offset
    return Acquisition(volts=volts, counts=counts, times=np.arange(samples) / hz, rate=hz, channels=p.channels,
                       ranges=[str(r) for r in p.ranges], started=started)


# The library gives each read of a one-shot acquisition some seconds; scans further apart come by stream.
_SLOWEST_ONE_SHOT = 0.5


def _read_by_stream(adc: "Adc", samples: int, p: Plan, timeout: Optional[float]) -> Acquisition:
    stream = RateStream(adc, p.rate, range(p.first, p.last + 1), p.ranges, block_seconds=1.0, timeout=timeout)
    with stream:
        blocks = list(take(stream, samples))
    counts = np.concatenate([b.counts for b in blocks])
    return Acquisition(volts=np.concatenate([b.volts for b in blocks]), counts=counts,
                       times=np.arange(samples) / stream.rate, rate=stream.rate, channels=stream.channels,
                       ranges=stream.ranges, started=stream.started)


# ---- streams -----------------------------------------------------------------------------------------------


@dataclass
class Block:
    """Scans of a stream: `volts` and `counts` of shape (scans, channels), `first_scan` (its index since
    the start), `times` in seconds since the first scan, and `grown`: the library's ring grew for it
    (the program had fallen behind; nothing was lost)."""

    volts: Any
    counts: Any
    first_scan: int
    times: Any
    grown: bool

    def __len__(self) -> int:
        return len(self.counts)


_END = object()


def _buffer_handler(q: "queue.SimpleQueue[Any]") -> Any:
    """The continuous acquisition's callback for a stream: runs on the library's buffer thread, copies
    each buffer and hands it over through `q`; never blocks, never raises."""

    def on_buffer(data: Any, size: int, flags: int, context: int) -> None:
        try:
            if flags & 2:
                q.put(_END)
                return
            n = size // 2
            if n:
                q.put((np.ctypeslib.as_array(data, shape=(n,)).copy(), bool(flags & 4)))
            elif flags & 4:
                q.put((None, True))
        except BaseException as e:  # noqa: BLE001 - nothing may escape into the library's thread
            q.put(e)

    return on_buffer


class RateStream(_lib.Closing):
    """Continuous scans at a rate; see `Adc.stream`. An iterator of `Block` objects and a context manager.

    `rate` is the rate obtained, `channels` and `ranges` what is scanned, `started` the start (UTC),
    `scans` the scans delivered so far, `grown` the blocks the ring grew for, `ring_size` the ring's
    buffers now. Blocks hold about `block_seconds` of scans; at slow rates a block comes as soon as the
    board has sent scans, so nothing waits for a block to fill. After `close()` the iterator still
    delivers every scan that had reached the host, then stops.
    """

    def __init__(self, adc: "Adc", rate: Any, channels: ChannelsArg, ranges: RangeArg, block_seconds: float,
                 timeout: Optional[float] = None) -> None:
        if not (isinstance(block_seconds, (int, float)) and math.isfinite(block_seconds) and block_seconds > 0):
            raise ValueError(f"block_seconds {block_seconds!r}: a time in seconds above 0")
        p = plan(adc, rate, channels, ranges)
        self._adc = adc
        self._lib = adc._lib
        self._index = adc._index
        self.channels = p.channels
        self.ranges = [str(r) for r in p.ranges]
        self._n = len(p.channels)
        self._scale, self._offset = volts_per_count(p.ranges)
        self.scans = 0
        self.grown = 0
        self.status = 0
        self._pending: list[Any] = []  # arrays of counts not yet delivered
        self._pending_samples = 0
        self._pending_grown = False
        self._queue: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        self._lock = threading.Lock()
        self._running = False
        self._ended = False
        configure(adc, p)
        self.rate = start_clock(adc, p.rate)
        self.block_scans = max(1, round(block_seconds * self.rate))
        self.timeout = timeout if timeout is not None else 10.0 + 2.0 / self.rate + 2.0 * block_seconds
        # The ring's buffers hold about one block, in units of whole 512-byte packets and whole scans: the
        # board starts each announced count (16 buffers) at the first channel of a scan.
        unit = math.lcm(512, 2 * self._n)
        size = min(_BLOCK_BYTES_LIMIT // unit * unit, max(unit, (self.block_scans * self._n * 2 + unit - 1) // unit * unit))
        self.buffer_bytes = size
        # The callback holds the queue, not the stream, so that a stream left without close() (a loop
        # broken out of) is freed, and so ended, as soon as the program drops it.
        self._callback = _lib.ContCallback(_buffer_handler(self._queue))
        self.started = _now()
        try:
            self._lib.call("ADC_BulkContinuousStart", self._index, size, 16, 0, self._callback)
        except BaseException:
            stop_clock(adc)
            raise
        self._running = True

    def __iter__(self) -> Iterator[Block]:
        return self

    def _take(self, wait: float) -> bool:
        """Moves one item from the queue to the pending counts; False when none came within `wait`."""
        try:
            item = self._queue.get(timeout=wait) if wait > 0 else self._queue.get_nowait()
        except queue.Empty:
            return False
        if item is _END:
            self._ended = True
        elif isinstance(item, BaseException):
            raise item
        else:
            counts, grown = item
            if counts is not None:
                self._pending.append(counts)
                self._pending_samples += counts.size
            if grown:
                self.grown += 1
                self._pending_grown = True
        return True

    def __next__(self) -> Block:
        want = self.block_scans * self._n
        deadline = time.monotonic() + self.timeout
        while self._pending_samples < want and not self._ended:
            if self._pending_samples >= self._n:
                # Some whole scans are here: take what else has come, then deliver them.
                if not self._take(0):
                    break
                continue
            if not self._take(min(0.1, max(0.0, deadline - time.monotonic()))):
                if not self._running and self._queue.empty():
                    break
                if time.monotonic() >= deadline:
                    raise TimeoutError(f"no scan came within {self.timeout:.3g} s")
        whole = min(self._pending_samples, want) // self._n * self._n
        if whole == 0:
            self._finish()
            raise StopIteration
        return self._deliver(whole)

    def _deliver(self, samples: int) -> Block:
        if len(self._pending) == 1:
            data = self._pending[0]
        else:
            data = np.concatenate(self._pending)
        counts, rest = data[:samples], data[samples:]
        self._pending = [rest] if rest.size else []
        self._pending_samples = rest.size
        counts = counts.reshape(-1, self._n)
        volts = np.multiply(counts, self._scale)
        volts += self._offset
        first = self.scans
        self.scans += len(counts)
        grown, self._pending_grown = self._pending_grown, False
        return Block(volts=volts, counts=counts, first_scan=first, times=np.arange(first, self.scans) / self.rate,
                     grown=grown)

    def _finish(self) -> None:
        if self._running:
            self.close()
        if self.status not in (0, 995):
            status, self.status = self.status, 0
            raise KorvalError(status, "ADC_BulkContinuousEnd")

    def ring_size(self) -> int:
        """Buffers in the library's ring now (it grows when blocks are not taken fast enough)."""
        if not self._running:
            return 0
        counts = [i32(0), i32(0), i32(0)]
        code = self._lib.raw("ADC_BulkContinuousDebug", self._index, *[ctypes.byref(c) for c in counts])
        return sum(c.value for c in counts) if code == 0 else 0

    def close(self) -> int:
        """Ends the acquisition and stops the scan clock; the scans that reached the host stay to be
        iterated. Returns the status of the read that ended it (0 when none failed)."""
        with self._lock:
            if not self._running:
                return self.status
            self._running = False
            try:
                self.status = end_continuous(self._lib, self._index, self._callback)
            finally:
                stop_clock(self._adc)
            # Everything the library delivered is queued now, the final call last.
            while self._take(0):
                pass
            return self.status


def end_continuous(lib: _lib.Library, index: int, callback: Any) -> int:
    """Ends the slot's continuous acquisition and waits for its threads: the status of the read that ended
    it (0 when none failed). When it cannot be ended, the threads may still run and call back: the
    callback is kept alive for good, and the failure is raised."""
    status = u32(0)
    code = lib.raw("ADC_BulkContinuousEnd", index, ctypes.byref(status))
    if code != 0:
        from .adc import _still_in_use

        _still_in_use.append(callback)
        raise KorvalError(code, "ADC_BulkContinuousEnd")
    return status.value


def take(stream: RateStream, scans: int) -> Iterator[Block]:
    """Exactly `scans` scans of a stream, in blocks (the last one cut), then the stream is closed."""
    left = scans
    for block in stream:
        if len(block) >= left:
            n = left
            yield Block(block.volts[:n], block.counts[:n], block.first_scan, block.times[:n], block.grown)
            left = 0
            break
        left -= len(block)
        yield block
    stream.close()
    if left:
        raise KorvalError(stream.status or 38, "ADC_BulkContinuousEnd")


# ---- files -------------------------------------------------------------------------------------------------


def record(adc: "Adc", path: Union[str, Path], seconds: float, rate: Any, channels: ChannelsArg, ranges: RangeArg,
           progress: Optional[Callable[[int, int], Any]]) -> int:
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix not in (".h5", ".hdf5", ".csv"):
        raise ValueError(f"{path.name}: record writes .h5 (HDF5) or .csv files")
    if not (isinstance(seconds, (int, float)) and math.isfinite(seconds) and seconds > 0):
        raise ValueError(f"seconds {seconds!r}: a duration above 0")
    p = plan(adc, rate, channels, ranges)
    scans = round(seconds * p.rate)
    if scans < 1:
        raise ValueError(f"{seconds} s at {p.rate:g} scans per second is less than one scan")
    stream = RateStream(adc, p.rate, range(p.first, p.last + 1), p.ranges, block_seconds=0.05)
    with stream:
        writer = _Hdf5Writer(path, stream, adc) if suffix != ".csv" else _CsvWriter(path, stream)
        written = 0
        try:
            for block in take(stream, scans):
                writer.write(block)
                written += len(block)
                if progress is not None:
                    progress(written, scans)
        finally:
            writer.close()
    return written


class _CsvWriter:
    def __init__(self, path: Path, stream: RateStream) -> None:
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
        self._file.close()
