"""Analog input: the configuration block in named fields, scans, one-shot and continuous acquisition."""

from __future__ import annotations

import ctypes
import queue
import threading
import time
from dataclasses import dataclass, field, replace
from typing import Any, Iterator, Optional, Sequence, Union

from ._numpy import np

from . import _lib, measure
from ._lib import i32, u8, u32
from .errors import KorvalError
from .measure import Acquisition, RateStream, Trigger
from .units import Range, RangeArg

# Buffers and callbacks the library may still write to or call because an operation on them could not
# be ended: kept alive for the life of the process rather than freed under a running thread.
_still_in_use: list[Any] = []
_DEFAULT: Any = object()  # an argument left out


@dataclass
class AdcConfig:
    """The board's ADC configuration block in named fields.

    `ranges[i]` is the range of range slot i (channel c uses slot c >> the board's range shift) and
    `range_flags[i]` the caller's flag kept in bits 3-7 of its code. `trigger` is the trigger byte (bits
    0-1: start source), `calibration_mode` 0 for normal conversion. A scan covers `start_channel` to
    `end_channel`, taking `oversample` + 1 samples of each.
    """

    ranges: list[Range]
    range_flags: list[int]
    calibration_mode: int = 0
    trigger: int = 0
    start_channel: int = 0
    end_channel: int = 0
    oversample: int = 0
    size: int = field(default=20, repr=False)  #: bytes of the block on the board (20 or 21)

    @property
    def channels(self) -> range:
        return range(self.start_channel, self.end_channel + 1)

    @classmethod
    def from_bytes(cls, raw: bytes) -> "AdcConfig":
        if len(raw) < 20:
            raise ValueError(f"an ADC configuration block has 20 or 21 bytes, not {len(raw)}")
        high = raw[20] if len(raw) >= 21 else 0
        return cls(ranges=[Range(b & 7) for b in raw[:16]], range_flags=[b >> 3 for b in raw[:16]],
                   calibration_mode=raw[16], trigger=raw[17], start_channel=(high & 0x0F) * 16 + (raw[18] & 0x0F),
                   end_channel=(high & 0xF0) + (raw[18] >> 4), oversample=raw[19], size=len(raw))

    def to_bytes(self) -> bytes:
        if len(self.ranges) != 16 or len(self.range_flags) != 16:
            raise ValueError("an ADC configuration block has 16 range slots")
        limit = 255 if self.size >= 21 else 15
        if not 0 <= self.start_channel <= self.end_channel <= limit:
            raise ValueError(f"channels {self.start_channel} to {self.end_channel} do not fit the block")
        raw = bytearray(self.size)
        for i, (r, flag) in enumerate(zip(self.ranges, self.range_flags)):
            raw[i] = (int(r) | (flag << 3)) & 0xFF
        raw[16], raw[17], raw[19] = self.calibration_mode, self.trigger, self.oversample
        raw[18] = (self.start_channel & 0x0F) | ((self.end_channel & 0x0F) << 4)
        if self.size >= 21:
            raw[20] = (self.start_channel >> 4) | (self.end_channel & 0xF0)
        return bytes(raw)


class Adc(_lib.Subsystem):
    """The board's analog input.

    The configuration lives on the board: `config` reads it, assigning it writes it whole, and the
    `set_...` methods change one field. `scan()` converts the configured channels once; `acquire()`
    takes a number of samples; `stream()` delivers samples without end, block by block.
    """

    @property
    def channels(self) -> int:
        """Analog input channels of the bulk section (0 on boards without it)."""
        return self._device.capabilities.analog_inputs

    # ---- configuration ---------------------------------------------------------------------------------

    @property
    def config(self) -> AdcConfig:
        buf = (u8 * _CONFIG_MAX)()
        size = u32(_CONFIG_MAX)
        self._call("ADC_GetConfig", buf, ctypes.byref(size))
        return AdcConfig.from_bytes(bytes(buf[:size.value]))

    @config.setter
    def config(self, config: AdcConfig) -> None:
        raw = config.to_bytes()
        size = u32(len(raw))
        self._call("ADC_SetConfig", (u8 * len(raw)).from_buffer_copy(raw), ctypes.byref(size))

    def configure(self, **fields: Any) -> AdcConfig:
        """Reads the block, changes the named fields (those of AdcConfig) and writes it back."""
        config = replace(self.config, **fields)
        self.config = config
        return config

    def set_range(self, slot: int, gain: Union[Range, int], flag: int = 0) -> None:
        """Sets one range slot's range (a slot may cover several channels)."""
        self._call("ADC_Range1", slot, int(gain), flag)

    def set_ranges(self, gains: Union[Range, int, Sequence[Union[Range, int]]], flag: int = 0) -> None:
        """Sets every range slot: one range for all, or one per slot."""
        slots = self._device.capabilities.range_slots
        codes = [int(gains)] * slots if isinstance(gains, int) else [int(g) for g in gains]
        if len(codes) != slots:
            raise ValueError(f"{len(codes)} ranges given, the board has {slots} range slots")
        self._call("ADC_RangeAll", (u8 * slots)(*codes), flag)

    def set_mode(self, trigger: int, calibration_mode: int = 0) -> None:
        """Sets the trigger byte and the calibration mode (0 normal; 1, 3, 5, 7 reference modes)."""
        self._call("ADC_ADMode", trigger, calibration_mode)

    def set_channels(self, start: int, end: int) -> None:
        """The channels a scan covers, start to end."""
        self._call("ADC_SetScanLimits", start, end)

    def set_oversample(self, oversample: int) -> None:
        """Extra samples per channel in a scan (each channel gives oversample + 1)."""
        self._call("ADC_SetOversample", oversample)

    def range_of(self, channel: int, config: Optional[AdcConfig] = None) -> Range:
        """The range channel `channel` is converted in."""
        config = config or self.config
        return config.ranges[channel >> self._device.capabilities.range_shift]

    def set_calibration(self, name: str) -> None:
        """Loads the board's calibration table: ":AUTO:", ":NORM:", ":NONE:" or a table file's path."""
        self._call("ADC_SetCal", str(name).encode())

    # ---- scans -------------------------------------------------------------------------------------------

    def scan(self, channels: measure.ChannelsArg = None) -> np.ndarray:
        """One scan in volts: element c is channel c, NaN for channels below the scan's start channel.
        `channels` ("A-B", range(A, B + 1), consecutive ints or one int) sets the span scanned, and it
        stays the board's configured span; None scans the span configured now (on a board fresh from
        power-up, or a new simulated board, that is channel 0 alone). The oversampled values of each
        channel are averaged."""
        if channels is not None:
            first, last = measure.parse_channels(channels, self.channels)
            self.set_channels(first, last)
        volts = np.full(256, np.nan)
        self._call("ADC_GetScanV", volts.ctypes.data_as(ctypes.c_void_p))
        return _through_last_scanned(volts)

    def scan_triggered(self, timeout: float) -> tuple[np.ndarray, bool]:
        """A scan started by the board's hardware trigger (the trigger byte's start source), in volts as
        `scan()` gives them, and whether the trigger came: when it has not come within `timeout`
        seconds the library starts the scan itself and the values are those of that scan."""
        volts = np.full(256, np.nan)
        ms = max(1, min(int(round(timeout * 1000)), 0x7FFFFFFF))
        code = self._lib.raw("ADC_GetTrigScanV", self._index, volts.ctypes.data_as(ctypes.c_void_p), ms)
        if code not in (0, 1460):
            raise KorvalError(code, "ADC_GetTrigScanV")
        return _through_last_scanned(volts), code == 0

    def fast_scan(self) -> np.ndarray:
        """One fast internal-trigger scan, in volts per channel from channel 0."""
        volts = np.full(256, np.nan)
        self._call("ADC_GetITScanV", volts.ctypes.data_as(ctypes.c_void_p))
        return _through_last_scanned(volts)

    def channel(self, channel: int) -> float:
        """One channel of a scan in volts; NaN for a channel outside the configured scan."""
        volts = ctypes.c_double(0.0)
        self._call("ADC_GetChannelV", channel, ctypes.byref(volts))
        return volts.value

    def takes_calibration(self) -> bool:
        """Whether the board takes a calibration table (set_calibration loads one)."""
        code = self._lib.raw("ADC_QueryCal", self._index)
        if code in (0, 50):
            return code == 0
        raise KorvalError(code, "ADC_QueryCal")

    def fast_scans(self, scans_per_call: int = 1) -> "FastScans":
        """Repeated fast internal-trigger scans of the configured channels, as a context manager:
        ``with dev.adc.fast_scans() as scans: volts = scans.read()``. The board's configuration is put
        back when it ends."""
        return FastScans(self, scans_per_call)

    def calibration_reference(self, index: int) -> float:
        """The voltage of one of the board's calibration references."""
        volts = ctypes.c_double(0.0)
        self._call("ADC_GetCalRefV", index, ctypes.byref(volts))
        return volts.value

    def scan_counts(self) -> np.ndarray:
        """One scan in counts (uint16): element c is channel c; channels below the start channel are 0."""
        caps = self._device.capabilities
        end = self.config.end_channel if caps.config_bytes else caps.immediate_analog_inputs - 1
        counts = np.zeros(256, dtype=np.uint16)
        self._call("ADC_GetScan", counts.ctypes.data_as(ctypes.c_void_p))
        return counts[:max(end + 1, 0)].copy()

    # ---- one-shot acquisition ----------------------------------------------------------------------------

    def acquire(self, samples: int, timeout: Optional[float] = 10.0) -> np.ndarray:
        """Takes `samples` samples (uint16 counts, in the order the board sends them) and returns them
        when all have come. The board starts as its configuration says (its trigger byte). Raises
        TimeoutError, after aborting, when they have not all come within `timeout` seconds."""
        if samples <= 0 or samples * 2 > 0xFFFFFFFF:
            raise ValueError(f"cannot acquire {samples} samples")
        data = np.zeros(samples, dtype=np.uint16)
        self._call("ADC_BulkAcquire", samples * 2, data.ctypes.data_as(ctypes.c_void_p))
        deadline = None if timeout is None else time.monotonic() + timeout
        left = i32(samples * 2)
        pause = 0.0005
        while True:
            self._call("ADC_BulkPoll", ctypes.byref(left))
            if left.value == 0:
                return data
            if deadline is not None and time.monotonic() >= deadline:
                self._abort(data)
                raise TimeoutError(f"{left.value // 2} of {samples} samples had not come after {timeout} s")
            time.sleep(pause)
            pause = min(pause * 2, 0.02)

    def _abort(self, data: np.ndarray) -> None:
        self._lib.raw("ADC_BulkAbort", self._index)
        # The worker stops before its next read; until it has, the buffer stays the library's.
        left = i32(1)
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:
            code = self._lib.raw("ADC_BulkPoll", self._index, ctypes.byref(left))
            if code != 0 or left.value == 0:
                return
            time.sleep(0.005)
        _still_in_use.append(data)

    # ---- continuous acquisition ----------------------------------------------------------------------------

    # ---- at a chosen rate ------------------------------------------------------------------------------------

    def read(self, samples: int, *, rate: float, channels: measure.ChannelsArg = None,
             range: RangeArg = "±10 V", oversample: int = 0, timeout: Optional[float] = None,
             trigger: Optional[Trigger] = None) -> Acquisition:
        """Takes `samples` scans at `rate` scans per second, paced by the board's scan clock, and returns
        them as an `Acquisition` (volts, counts, times, the rate obtained, channels, ranges, start time).

            data = dev.adc.read(1000, rate=10_000, channels="0-3", range="±10 V")

        `channels`: "A-B", range(A, B + 1), a list of consecutive ints or one int (the board scans a
        contiguous span); None: the span configured now. `range`: a range text ("±10 V", "0-5 V", ...)
        or a `Range`, for all channels or one per channel. With `oversample`, each channel is converted
        1 + oversample times per scan and its value is the mean of the conversions after the first.

        With `trigger` (a `korval.Trigger`), each record is `samples` scans kept around a crossing of
        the trigger's level, and `trigger.records` records are taken, one after the other in the
        result; `triggers` (and `trigger_index`, the first) give the row of each trigger scan::

            a = dev.adc.read(1000, rate=10_000, channels="0-3",
                             trigger=korval.Trigger(channel=2, level=1.0, slope="rising", pretrigger=100))
            a.volts[a.trigger_index]        # the trigger scan: row 100

        Arguments the board cannot take raise ValueError before anything is sent; TimeoutError when the
        scans have not all come within `timeout` seconds (default: their duration plus 10 s; with a
        trigger, the time waited for it counts)."""
        return measure.read(self, samples, rate, channels, range, oversample, timeout, trigger)

    def record(self, path: Any, *, seconds: float, rate: float, channels: measure.ChannelsArg = None,
               range: RangeArg = "±10 V", progress: Any = None, trigger: Optional[Trigger] = None) -> int:
        """Streams `seconds` of scans at `rate` to a file in constant memory and returns the scans
        written, round(seconds * rate). `.h5`: HDF5 (h5py), dataset "volts" (float32, scans x channels,
        chunked, appendable) with attributes rate, channels, ranges, start_time (ISO 8601 UTC),
        product_id, serial_number and korval_version. `.csv`: a header naming each channel with its
        unit, then the time in seconds and one column per channel. `progress(written, total)` is called
        after each block. With `trigger`, each of its `records` records is `seconds` long and they are
        written one after the other; times count from the measurement's first scan, and an HDF5 file
        has the row of each trigger scan in the attribute "trigger_rows"."""
        return measure.record(self, path, seconds, rate, channels, range, progress, trigger)

    def stream(self, block_samples: Optional[int] = None, blocks: int = 16, timeout: Any = _DEFAULT, *,
               rate: Optional[float] = None, channels: measure.ChannelsArg = None, range: RangeArg = "±10 V",
               block_seconds: float = 0.05, trigger: Optional[Trigger] = None, scans: Optional[int] = None,
               oversample: int = 0) -> Any:
        """Continuous acquisition, as a context manager and an iterator.

        With `rate`: scans at that rate, paced by the board's scan clock, as `Block`s of volts and
        counts (scans x channels) with their first scan's index and times; a block holds about
        `block_seconds` of scans, and a slow rate still delivers each scan soon after it is taken.

            with dev.adc.stream(rate=100_000, channels="0-7", range="±10 V") as stream:
                for block in stream:
                    ...                      # stream.scans: delivered so far

        `channels`, `range` and `oversample` as for `read`. `scans` ends the stream after that many scans (None:
        until closed). With `trigger`, scans are kept from each trigger on (`scans`, which it needs,
        per record, for `trigger.records` records; records 0: until closed), and the block holding a trigger scan has
        its row in `trigger_index`; waiting for a trigger has no time limit unless `timeout` is given.
        Each block carries `host_time` (UTC) when it arrived. After close() (or the end of the
        `with`), iterating still delivers the blocks that had reached the host.

        Without `rate`, the older raw form: uint16 sample blocks in the order the board sends them,
        started as the board's configuration says."""
        if rate is not None:
            if block_samples is not None:
                raise ValueError("a stream at a rate is sized by block_seconds, not block_samples")
            return RateStream(self, rate, channels, range, block_seconds, None if timeout is _DEFAULT else timeout,
                              trigger, scans, oversample)
        if trigger is not None or scans is not None or oversample:
            raise ValueError("trigger, scans and oversample take a rate: stream(rate=..., trigger=...)")
        return self._raw_stream(8192 if block_samples is None else block_samples, blocks,
                                10.0 if timeout is _DEFAULT else timeout)

    def _raw_stream(self, block_samples: int, blocks: int, timeout: Optional[float]) -> "AdcStream":
        """Continuous acquisition: a context manager and an iterator of uint16 sample blocks.

            with dev.adc.stream(block_samples=4096) as stream:
                for block in stream:
                    ...

        `block_samples` is a multiple of 256 (512 bytes); `blocks` the ring's size at start (it grows
        when blocks are not taken fast enough, so no sample is lost). Waiting for a block raises
        TimeoutError after `timeout` seconds (None: wait until interrupted)."""
        return AdcStream(self, block_samples, blocks, timeout)


_CONFIG_MAX = 21
_END = object()


def _through_last_scanned(volts: np.ndarray) -> np.ndarray:
    """A scan's volts up to its last scanned channel (the channels after it stay NaN), as a copy."""
    scanned = np.flatnonzero(~np.isnan(volts))
    return volts[:scanned[-1] + 1].copy() if scanned.size else volts[:0].copy()


class AdcStream(_lib.Closing):
    """A running continuous acquisition; see `Adc.stream`.

    Blocks are copied out of the library's ring as they come, so the library's reader never waits for
    the program. `flags` holds the last block's flags (1: first block after a sample-count request; 4:
    the ring grew for it) and `ring_grew` counts the blocks of flag 4. Closing (or leaving the `with`)
    ends the acquisition; a read failure that ended it is raised as KorvalError when the blocks before it
    have been taken.
    """

    def __init__(self, adc: Adc, block_samples: int, blocks: int, timeout: Optional[float]) -> None:
        self._adc = adc
        self._lib = adc._lib
        self._index = adc._index
        self.block_samples = block_samples
        self.timeout = timeout
        self.flags = 0
        self.ring_grew = 0
        self.status = 0
        self._queue: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        self._running = False
        self._finished = False
        self._lock = threading.Lock()
        self._callback = _lib.ContCallback(self._on_block)
        self._lib.call("ADC_BulkContinuousStart", self._index, block_samples * 2, blocks, 0, self._callback)
        self._running = True

    # Runs on the library's buffer thread: copy and hand over, never block, never raise.
    def _on_block(self, data: Any, size: int, flags: int, context: int) -> None:
        try:
            if flags & 2:
                self._queue.put(_END)
                return
            n = size // 2
            block = np.ctypeslib.as_array(data, shape=(n,)).copy() if n else np.zeros(0, dtype=np.uint16)
            self._queue.put((block, flags))
        except BaseException as e:  # noqa: BLE001 - nothing may escape into the library's thread
            self._queue.put(e)

    def __iter__(self) -> Iterator[np.ndarray]:
        return self

    def __next__(self) -> np.ndarray:
        if self._finished:
            raise StopIteration
        deadline = None if self.timeout is None else time.monotonic() + self.timeout
        while True:
            wait = 0.1 if deadline is None else max(0.0, min(0.1, deadline - time.monotonic()))
            try:
                item = self._queue.get(timeout=wait)
                break
            except queue.Empty:
                if deadline is not None and time.monotonic() >= deadline:
                    raise TimeoutError(f"no sample block came within {self.timeout} s") from None
        if item is _END:
            self._finished = True
            status = self.close()
            if status not in (0, 995):
                raise KorvalError(status, "ADC_BulkContinuousEnd")
            raise StopIteration
        if isinstance(item, BaseException):
            raise item
        block, self.flags = item
        if self.flags & 4:
            self.ring_grew += 1
        return block

    def ring(self) -> tuple[int, int, int]:
        """The library's ring now: buffers blank, being filled or delivered, and filled."""
        counts = [i32(0), i32(0), i32(0)]
        self._lib.call("ADC_BulkContinuousDebug", self._index, *[ctypes.byref(c) for c in counts])
        return counts[0].value, counts[1].value, counts[2].value

    def close(self) -> int:
        """Ends the acquisition and waits for its threads; returns the status of the read that ended it
        (0 when none failed). Blocks not yet taken are dropped."""
        with self._lock:
            if not self._running:
                return self.status
            self._running = False
            status = u32(0)
            code = self._lib.raw("ADC_BulkContinuousEnd", self._index, ctypes.byref(status))
            if code != 0:
                # The threads may still run and call back: the callback stays alive for good.
                _still_in_use.append(self._callback)
                raise KorvalError(code, "ADC_BulkContinuousEnd")
            self.status = status.value
            return self.status


class FastScans:
    """Fast internal-trigger scans set up on a board; made by :meth:`Adc.fast_scans`."""

    def __init__(self, adc: Adc, scans_per_call: int) -> None:
        self._lib = adc._lib
        self._index = adc._index
        self._lib.call("ADC_InitFastITScanV", self._index)
        if scans_per_call != 1:
            try:
                self._lib.call("ADC_SetFastITScanVChannels", self._index, scans_per_call)
            except KorvalError:
                self.close()
                raise

    def read(self) -> np.ndarray:
        """One fast scan, in volts per channel from channel 0 (NaN outside the scan)."""
        volts = np.full(256, np.nan)
        self._lib.call("ADC_GetFastITScanV", self._index, volts.ctypes.data_as(ctypes.c_void_p))
        return _through_last_scanned(volts)

    def close(self) -> None:
        """Puts the board's configuration back as it was before the fast scans."""
        self._lib.raw("ADC_ResetFastITScanV", self._index)

    def __enter__(self) -> "FastScans":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()
