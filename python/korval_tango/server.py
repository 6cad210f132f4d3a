"""The KorvalBoard device class and the server's entry point."""

from __future__ import annotations

import contextlib
import ctypes
import inspect
import math
import sys
import threading
import time
from typing import Any, Iterator, Optional

import numpy as np
import tango
from tango import AttrWriteType, DevState
from tango.server import Device, attribute, command, device_property, run

import korval
from korval import measure

# Result codes that mean the board is no longer reachable.
GONE = (1617, 1167)
# How often a device that lost its board (or an idle one) looks at it again, at most.
LOOK_INTERVAL = 0.25
MAX_CHANNELS = 256
MAX_BLOCK_SCANS = 1_000_000
MAX_ACQUIRE_SCANS = 1_000_000
SLOPES = ("none", "rising", "falling")

# Discovery and closing slots change the library's device table: one device at a time.
_table_lock = threading.Lock()
_remotes_added: set[str] = set()
# Which device serves each slot: two devices on one board would undo each other's settings.
_claimed: dict[int, str] = {}


def refuse(what: str, why: str) -> None:
    """A value a client wrote, or a command's argument, that the board cannot take: nothing is sent."""
    tango.Except.throw_exception("KorvalBadValue", f"{what}: {why}; nothing was sent to the board",
                                 "KorvalBoard")


def parse_serial(text: str) -> int:
    """A serial number as `korval info` prints it: hexadecimal, with or without 0x."""
    t = text.strip().lower()
    t = t[2:] if t.startswith("0x") else t
    value = int(t, 16)
    if not 0 <= value < 1 << 64:
        raise ValueError(text)
    return value


def _finite(what: str, value: Any) -> float:
    v = float(value)
    if not math.isfinite(v):
        refuse(what, f"{value!r} is not a finite number")
    return v


def _whole(what: str, value: Any, low: int, high: int) -> int:
    if isinstance(value, (float, np.floating)) and not float(value).is_integer():
        refuse(what, f"{value!r} is not a whole number")
    v = int(value)
    if not low <= v <= high:
        refuse(what, f"{v} is outside {low} to {high}")
    return v


def _parse_span(text: str) -> tuple[float, float]:
    """An output span: "0-5 V", "0-10 V", "±5 V", "±10 V" (or "+-10 V")."""
    r = measure.parse_range(text)
    return (-r.span if r.bipolar else 0.0), r.span


class _Run:
    """One acquisition: its stream, the worker thread that publishes its blocks, and how it ends."""

    def __init__(self, stream: Any, scans: int) -> None:
        self.stream = stream
        self.scans = scans  # 0: until stopped
        self.stop = threading.Event()
        self.collected: list[Any] = []
        self.taken = 0  # scans delivered (with a trigger, those kept)


class KorvalBoard(Device):
    """One Korval board: identity, analog input with acquisition at a rate, analog outputs, digital
    ports and counters. States: ON idle, RUNNING acquiring, FAULT without its board (the status says
    why and what to do); it returns to ON by itself when the board is found again."""

    SerialNumber = device_property(dtype=str, default_value="",
                                   doc="the board's serial number, hexadecimal as `korval info` prints it")
    Slot = device_property(dtype=int, default_value=-1,
                           doc="the library's slot (0 to 31) instead of a serial number")
    RemoteServer = device_property(dtype=str, default_value="",
                                   doc="HOST:PORT of a `korval serve` that the board is attached to")
    RemoteTokenFile = device_property(dtype=str, default_value="", doc="the remote server's token file")
    OutputSpan = device_property(dtype=str, default_value="0-5 V",
                                 doc="the analog outputs' span in volts for counts 0 to 65536 (0-5 V, ±10 V, ...)")
    BlockSeconds = device_property(dtype=float, default_value=0.05, doc="seconds of scans per block")
    StatePollPeriod = device_property(dtype=int, default_value=1000,
                                      doc="milliseconds between the server's own looks at the board (State "
                                          "polling, which also sends State change events); 0: none")

    # ---- life ----------------------------------------------------------------------------------------

    def init_device(self) -> None:
        Device.init_device(self)
        self._lock = threading.RLock()
        self._dev: Optional[korval.Device] = None
        self._looked = 0.0
        self._why = ""
        self._run: Optional[_Run] = None
        self._channels = "0"
        self._ranges = "±10 V"
        self._rate = 1000.0
        self._rate_obtained = float("nan")
        self._oversample = 0
        self._trigger = {"slope": "none", "channel": 0, "level": 0.0, "hysteresis": 0.0, "pre_scans": 0}
        self._block = np.zeros((0, 0))
        self._block_first = 0
        self._block_time = 0.0
        self._block_trigger = -1
        self._blocks = 0
        self._delivered = 0
        self._growths = 0
        self._acquired = np.zeros((0, 0))
        self._outputs: dict[int, int] = {}
        self._port_levels: Optional[bytes] = None
        self._directions = -1
        self._frequency = float("nan")
        self._property_error = ""
        self._span = (0.0, 5.0)
        try:
            self._span = _parse_span(self.OutputSpan)
        except ValueError as e:
            self._property_error = f"The OutputSpan property {self.OutputSpan!r} is not a span: {e}."
        if not (math.isfinite(self.BlockSeconds) and 0 < self.BlockSeconds <= 10):
            self._property_error = f"The BlockSeconds property {self.BlockSeconds!r} is not 0 to 10 seconds."
        self.set_change_event("LatestBlock", True, False)
        self.set_data_ready_event("LatestBlock", True)
        self.set_state(DevState.FAULT)
        self._connect()
        if self.StatePollPeriod > 0 and not self.is_command_polled("State"):
            self.poll_command("State", self.StatePollPeriod)

    def delete_device(self) -> None:
        self._end_run("the device server is stopping")
        self._release()

    def _release(self) -> None:
        with _table_lock:
            for slot, name in list(_claimed.items()):
                if name == self.get_name():
                    del _claimed[slot]

    def dev_status(self) -> str:
        status = self.get_status()
        if self.get_state() == DevState.RUNNING:
            status += f" {self._delivered} scans delivered, {self._growths} ring growths."
        return status

    def always_executed_hook(self) -> None:
        if self._dev is None:
            self._look()

    def dev_state(self) -> DevState:
        self._look()
        return self.get_state()

    # ---- finding the board ---------------------------------------------------------------------------

    def _wanted(self) -> str:
        if self.SerialNumber:
            try:
                return f"the board with serial number {parse_serial(self.SerialNumber):016X}"
            except ValueError:
                return f"the board with serial number {self.SerialNumber!r}"
        if self.Slot >= 0:
            return f"the board in slot {self.Slot}"
        return "the only board attached"

    def _connect(self) -> None:
        """Looks for the device's board; ON when found, else FAULT saying why."""
        self._looked = time.monotonic()
        if self._property_error:
            self._fault(self._property_error + " Correct it, then run Init.")
            return
        try:
            with _table_lock:
                dev = self._find()
                other = _claimed.setdefault(dev.index, self.get_name())
        except (ValueError, korval.KorvalError, korval.LibraryNotFoundError, NotImplementedError) as e:
            self._fault(self._not_found(e))
            return
        if other != self.get_name():
            self._fault(f"{self._wanted()[0].upper()}{self._wanted()[1:]} is served by the device {other} "
                        "already: give each device a board of its own (its SerialNumber or Slot property), "
                        "then run Init.")
            return
        with self._lock:
            self._dev = dev
            self._outputs.clear()
            self._port_levels = None
            self._directions = -1
            self._frequency = float("nan")
        self.set_state(DevState.ON)
        self._idle_status("found")

    def _find(self) -> korval.Device:
        if self.RemoteServer and self.RemoteServer not in _remotes_added:
            lib = korval._lib.load()
            add = lib.cdll.KORVAL_AddRemote  # not in the package's prototypes yet
            add.restype, add.argtypes = ctypes.c_uint32, [ctypes.c_char_p] * 3
            code = add(self.RemoteServer.encode(), self.RemoteTokenFile.encode() or None, None)
            if code not in (0, 183):
                raise korval.KorvalError(code, "KORVAL_AddRemote")
            _remotes_added.add(self.RemoteServer)
        korval.devices()  # looks for boards attached since the last look
        if self.SerialNumber:
            return korval.Device.by_serial_number(parse_serial(self.SerialNumber))
        if self.Slot >= 0:
            return korval.Device(self.Slot)
        return korval.Device.only()

    def _not_found(self, e: Exception) -> str:
        if isinstance(e, ValueError):
            return (f"The SerialNumber property {self.SerialNumber!r} is not a serial number: give it in "
                    "hexadecimal as `korval info` prints it, then run Init.")
        if isinstance(e, (korval.LibraryNotFoundError, NotImplementedError)):
            return f"The Korval library cannot be used: {e}"
        seen = []
        try:
            seen = [f"0x{d.product_id:04X} ({_serial_text(d)})" for d in korval.devices() if d.usable]
        except korval.KorvalError:
            pass
        attached = f"attached now: {', '.join(seen)}" if seen else "no board is attached"
        where = f" through {self.RemoteServer}" if self.RemoteServer else ""
        code = getattr(e, "name", "") and f" ({e.name})"
        return (f"{self._wanted()[0].upper()}{self._wanted()[1:]} was not found{where}{code}; {attached}. "
                "Check its cable and power (`korval list` on this computer shows what the library sees) "
                "and the device's SerialNumber or Slot property. The device keeps looking and turns ON "
                "when the board appears.")

    def _look(self) -> None:
        """Looks again at most every LOOK_INTERVAL: for a missing board, or whether an idle one is there."""
        if time.monotonic() - self._looked < LOOK_INTERVAL:
            return
        if self._dev is None:
            self._connect()
        elif self.get_state() == DevState.ON:
            self._looked = time.monotonic()
            with contextlib.suppress(tango.DevFailed):
                with self._board():
                    self._dev.serial_number  # one request: fails with 1617 on a board that is gone

    def _fault(self, why: str) -> None:
        self._why = why
        self.set_state(DevState.FAULT)
        self.set_status(why)

    def _lost(self, e: korval.KorvalError) -> None:
        """The board is gone: free its slot (the library then finds it again when it comes back), FAULT."""
        with self._lock:
            dev, self._dev = self._dev, None
            run, self._run = self._run, None
        if run is not None:
            run.stop.set()
            with contextlib.suppress(Exception):
                run.stream.close()
        if dev is not None:
            with _table_lock, contextlib.suppress(korval.KorvalError):
                _claimed.pop(dev.index, None)
                dev.close()
        self._looked = time.monotonic()
        self._fault(f"{self._wanted()[0].upper()}{self._wanted()[1:]} is gone ({e.name}, {e.code}): it was "
                    "unplugged, lost power or its USB link (or remote server) dropped"
                    + (", ending the acquisition; every scan before it was delivered" if run else "")
                    + ". Plug it in again: the device finds it by itself and turns ON. The analog and "
                    "digital outputs are then at the board's power-on levels until written again.")

    @contextlib.contextmanager
    def _board(self) -> Iterator[korval.Device]:
        """The board, for calls on it: library failures become Tango exceptions, a gone board FAULT."""
        dev = self._dev
        if dev is None:
            tango.Except.throw_exception("KorvalBoardMissing", self._why or "the board is not connected",
                                         "KorvalBoard")
        try:
            yield dev
        except korval.KorvalError as e:
            if e.code in GONE:
                self._lost(e)
                tango.Except.throw_exception("KorvalBoardGone", self._why, "KorvalBoard")
            tango.Except.throw_exception("KorvalError", str(e), "KorvalBoard")
        except ValueError as e:
            tango.Except.throw_exception("KorvalBadValue", f"{e}; nothing was sent to the board", "KorvalBoard")
        except TimeoutError as e:
            tango.Except.throw_exception("KorvalTimeout", str(e), "KorvalBoard")

    def _caps(self) -> korval.Capabilities:
        with self._board() as dev:
            return dev.capabilities

    def _need(self, have: int, what: str) -> None:
        if not have:
            tango.Except.throw_exception("KorvalNotOnBoard", f"the board has no {what}", "KorvalBoard")

    def _idle_status(self, how: str = "") -> None:
        dev = self._dev
        if dev is None:
            return
        text = (f"Board 0x{dev.product_id:04X}, serial {_serial_text(dev)}, in slot {dev.index}: "
                f"{how + ', ' if how else ''}idle.")
        self.set_status(text)

    # ---- identity ------------------------------------------------------------------------------------

    @attribute(dtype=int, doc="the board's USB product ID")
    def ProductID(self) -> int:
        return self._caps().product_id

    @attribute(dtype=str, doc="the product name the board reports")
    def ProductName(self) -> str:
        with self._board() as dev:
            return dev.name

    @attribute(dtype=str, label="serial number", doc="hexadecimal, as `korval info` prints it")
    def BoardSerialNumber(self) -> str:
        with self._board() as dev:
            return _serial_text(dev)

    @attribute(dtype=int, doc="the board's slot in the library's table of 32")
    def BoardSlot(self) -> int:
        with self._board() as dev:
            return dev.index

    @attribute(dtype=(str,), max_dim_x=32, doc="what the board can do, in words")
    def Capabilities(self) -> list[str]:
        return self._caps().words

    # ---- analog input: settings ----------------------------------------------------------------------

    @attribute(dtype=int, doc="analog input channels of the board")
    def ChannelCount(self) -> int:
        return self._caps().analog_inputs

    @attribute(dtype=str, access=AttrWriteType.READ_WRITE, doc="the channel span scanned, such as 0-7")
    def Channels(self) -> str:
        return self._channels

    @Channels.write
    def Channels(self, value: str) -> None:
        self._idle("Channels")
        caps = self._caps()
        self._need(caps.analog_inputs, "bulk analog input")
        try:
            first, last = measure.parse_channels(value, caps.analog_inputs)
            measure.parse_ranges(self._range_arg(self._ranges), last - first + 1)
        except ValueError as e:
            refuse("Channels", str(e))
        self._channels = f"{first}-{last}" if last > first else str(first)

    @attribute(dtype=str, access=AttrWriteType.READ_WRITE,
               doc="the input range, for all channels (±10 V) or one per channel, comma-separated")
    def Range(self) -> str:
        return self._ranges

    @Range.write
    def Range(self, value: str) -> None:
        self._idle("Range")
        try:
            first, last = self._span_now()
            ranges = measure.parse_ranges(self._range_arg(value), last - first + 1)
        except ValueError as e:
            refuse("Range", str(e))
        texts = [str(r) for r in ranges]
        self._ranges = texts[0] if len(set(texts)) == 1 else ", ".join(texts)

    @attribute(dtype=float, access=AttrWriteType.READ_WRITE, unit="Hz",
               doc="scans per second: write the rate asked for; reads the rate the board's counters make "
                   "once an acquisition has started at it")
    def Rate(self) -> float:
        return self._rate if math.isnan(self._rate_obtained) else self._rate_obtained

    @Rate.write
    def Rate(self, value: float) -> None:
        self._idle("Rate")
        caps = self._caps()
        self._need(caps.counter_blocks, "counters to pace scans with")
        try:
            self._rate = measure.check_rate(value, caps.counter_clock_hz)
        except ValueError as e:
            refuse("Rate", str(e))
        self._rate_obtained = float("nan")

    @attribute(dtype=int, access=AttrWriteType.READ_WRITE, min_value=0, max_value=255,
               doc="extra conversions per channel and scan; a channel's value is the mean after the first")
    def Oversample(self) -> int:
        return self._oversample

    @Oversample.write
    def Oversample(self, value: int) -> None:
        self._idle("Oversample")
        self._oversample = _whole("Oversample", value, 0, 255)

    @attribute(dtype=str, access=AttrWriteType.READ_WRITE, doc="software trigger: none, rising or falling")
    def TriggerSlope(self) -> str:
        return self._trigger["slope"]

    @TriggerSlope.write
    def TriggerSlope(self, value: str) -> None:
        self._idle("TriggerSlope")
        if value.strip().lower() not in SLOPES:
            refuse("TriggerSlope", f"{value!r} is not one of {', '.join(SLOPES)}")
        self._trigger["slope"] = value.strip().lower()

    @attribute(dtype=int, access=AttrWriteType.READ_WRITE, doc="the channel whose level triggers")
    def TriggerChannel(self) -> int:
        return self._trigger["channel"]

    @TriggerChannel.write
    def TriggerChannel(self, value: int) -> None:
        self._idle("TriggerChannel")
        self._trigger["channel"] = _whole("TriggerChannel", value, 0, max(self._caps().analog_inputs - 1, 0))

    @attribute(dtype=float, access=AttrWriteType.READ_WRITE, unit="V")
    def TriggerLevel(self) -> float:
        return self._trigger["level"]

    @TriggerLevel.write
    def TriggerLevel(self, value: float) -> None:
        self._idle("TriggerLevel")
        self._trigger["level"] = _finite("TriggerLevel", value)

    @attribute(dtype=float, access=AttrWriteType.READ_WRITE, unit="V", min_value=0)
    def TriggerHysteresis(self) -> float:
        return self._trigger["hysteresis"]

    @TriggerHysteresis.write
    def TriggerHysteresis(self, value: float) -> None:
        self._idle("TriggerHysteresis")
        v = _finite("TriggerHysteresis", value)
        if v < 0:
            refuse("TriggerHysteresis", f"{v} is below 0")
        self._trigger["hysteresis"] = v

    @attribute(dtype=int, access=AttrWriteType.READ_WRITE, min_value=0,
               doc="scans kept from before the trigger")
    def TriggerPreScans(self) -> int:
        return self._trigger["pre_scans"]

    @TriggerPreScans.write
    def TriggerPreScans(self, value: int) -> None:
        self._idle("TriggerPreScans")
        self._trigger["pre_scans"] = _whole("TriggerPreScans", value, 0, MAX_ACQUIRE_SCANS - 1)

    def _range_arg(self, text: str) -> Any:
        parts = [p.strip() for p in text.split(",")]
        return parts[0] if len(parts) == 1 else parts

    def _span_now(self) -> tuple[int, int]:
        return measure.parse_channels(self._channels, max(self._caps().analog_inputs, 1))

    def _idle(self, what: str) -> None:
        if self.get_state() == DevState.RUNNING:
            tango.Except.throw_exception("KorvalBusy", f"{what}: the acquisition is running; Stop it first",
                                         "KorvalBoard")

    def _plan(self) -> measure.Plan:
        caps = self._caps()
        self._need(caps.analog_inputs, "bulk analog input")
        try:
            return measure.plan(self._dev.adc, self._rate, self._channels, self._range_arg(self._ranges),
                                self._oversample)
        except ValueError as e:
            message = str(e)
        refuse("the acquisition settings", message)
        raise AssertionError("not reached")

    # ---- analog input: values ------------------------------------------------------------------------

    @attribute(dtype=(float,), max_dim_x=MAX_CHANNELS, unit="V",
               doc="each channel of the span in volts, from one scan (while running: the latest scan)")
    def Voltages(self) -> Any:
        if self.get_state() == DevState.RUNNING:
            block = self._block
            return block[-1] if len(block) else np.zeros(0)
        p = self._plan()
        with self._board() as dev:
            _configure_scan(dev, p)
            volts = dev.adc.scan()
        return volts[p.first:p.last + 1]

    @attribute(dtype=((float,),), max_dim_x=MAX_CHANNELS, max_dim_y=MAX_BLOCK_SCANS, unit="V",
               doc="the latest block of the acquisition in volts, scans x channels; change and data-ready "
                   "events come with every block")
    def LatestBlock(self) -> Any:
        return self._block

    @attribute(dtype=((float,),), max_dim_x=MAX_CHANNELS, max_dim_y=MAX_ACQUIRE_SCANS, unit="V",
               doc="every scan of the last Acquire, scans x channels")
    def AcquiredVolts(self) -> Any:
        return self._acquired

    @attribute(dtype=int, doc="the latest block's first scan, counted from the acquisition's start")
    def BlockFirstScan(self) -> int:
        return self._block_first

    @attribute(dtype=float, unit="s", doc="host time (UTC, seconds since 1970) when the latest block arrived")
    def BlockHostTime(self) -> float:
        return self._block_time

    @attribute(dtype=int, doc="the trigger scan's index since the start, or -1 without a trigger in view")
    def BlockTriggerScan(self) -> int:
        return self._block_trigger

    @attribute(dtype=int, doc="blocks delivered by the acquisition")
    def BlocksDelivered(self) -> int:
        return self._blocks

    @attribute(dtype=int, doc="scans delivered by the acquisition")
    def ScansDelivered(self) -> int:
        return self._delivered

    @attribute(dtype=int, doc="times the library's ring grew because the server fell behind (nothing lost)")
    def RingGrowths(self) -> int:
        return self._growths

    # ---- acquisition ---------------------------------------------------------------------------------

    @command(doc_in="starts acquiring at Rate until Stop; blocks come as LatestBlock and its events")
    def Start(self) -> None:
        self._start(0)

    @command(dtype_in=int, doc_in="takes this many scans at Rate, then returns to ON; AcquiredVolts has them")
    def Acquire(self, scans: int) -> None:
        _whole("Acquire", scans, 1, MAX_ACQUIRE_SCANS)
        self._start(int(scans))

    @command(doc_in="ends the acquisition")
    def Stop(self) -> None:
        if self._end_run("stopped"):
            self.set_state(DevState.ON)
            self._idle_status(f"stopped after {self._delivered} scans")

    def _start(self, scans: int) -> None:
        if self.get_state() == DevState.RUNNING:
            tango.Except.throw_exception("KorvalBusy", "an acquisition is running; Stop it first", "KorvalBoard")
        p = self._plan()
        kwargs: dict[str, Any] = {}
        stream_args = inspect.signature(self._dev.adc.stream).parameters
        if p.oversample:
            if "oversample" not in stream_args:
                refuse("Oversample", "acquisition at a rate takes no oversample with this korval package; "
                                     "set it to 0 (the Voltages scan uses it)")
            kwargs["oversample"] = p.oversample
        trigger = self._trigger_arg(p, scans, "trigger" in stream_args)
        if trigger is not None:
            kwargs["trigger"] = trigger
            if scans:
                kwargs["scans"] = scans  # the record's length
        with self._board() as dev:
            stream = dev.adc.stream(rate=p.rate, channels=range(p.first, p.last + 1), range=p.ranges,
                                    block_seconds=self.BlockSeconds, **kwargs)
        run = _Run(stream, scans)
        with self._lock:
            self._run = run
            self._rate_obtained = stream.rate
            self._block, self._block_first, self._block_time, self._block_trigger = np.zeros((0, 0)), 0, 0.0, -1
            self._blocks = self._delivered = self._growths = 0
        self.set_state(DevState.RUNNING)
        self.set_status(f"Acquiring channels {self._channels} at {stream.rate:g} scans per second"
                        + (f", {scans} scans." if scans else " until Stop."))
        threading.Thread(target=self._publish, args=(run,), name="korval-tango blocks", daemon=True).start()

    def _trigger_arg(self, p: measure.Plan, scans: int, supported: bool) -> Any:
        t = self._trigger
        if t["slope"] == "none":
            return None
        if not supported:
            refuse("TriggerSlope", "this korval package has no software trigger; set it to none")
        if not p.first <= t["channel"] <= p.last:
            refuse("TriggerChannel", f"channel {t['channel']} is outside the span {self._channels}")
        if scans and t["pre_scans"] >= scans:
            refuse("TriggerPreScans", f"{t['pre_scans']} pre-trigger scans do not leave room in {scans} scans")
        return korval_trigger(t, records=1 if scans else 0)

    def _publish(self, run: _Run) -> None:
        """The worker: takes the stream's blocks, keeps the latest and pushes its events."""
        error: Optional[BaseException] = None
        with tango.EnsureOmniThread():
            try:
                for block in run.stream:
                    if run.stop.is_set():
                        break
                    volts = block.volts
                    if run.scans:
                        volts = volts[:run.scans - run.taken]
                        run.collected.append(volts)
                    run.taken += len(volts)
                    host_time = getattr(block, "host_time_ns", None) or getattr(block, "host_time", None)
                    trigger = getattr(block, "trigger_index", None)
                    if trigger is not None:
                        trigger += block.first_scan  # a row of the block
                    with self._lock:
                        if run is not self._run:
                            break
                        self._block = np.ascontiguousarray(volts)
                        self._block_first = block.first_scan
                        self._block_time = _epoch_seconds(host_time)
                        self._block_trigger = -1 if trigger is None else int(trigger)
                        self._blocks += 1
                        self._delivered = run.taken
                        self._growths += bool(block.grown)
                        count = self._blocks
                    with contextlib.suppress(tango.DevFailed):
                        self.push_change_event("LatestBlock", self._block)
                        self.push_data_ready_event("LatestBlock", count)
                    if run.scans and self._delivered >= run.scans:
                        break
            except Exception as e:  # noqa: BLE001 - the acquisition's end, reported in the state
                error = e
            self._finished(run, error)

    def _finished(self, run: _Run, error: Optional[BaseException]) -> None:
        with self._lock:
            if run is not self._run:
                return  # stopped, or the board was lost, meanwhile
            self._run = None
            if run.scans and run.collected:
                self._acquired = np.ascontiguousarray(np.concatenate(run.collected))
        try:
            run.stream.close()
            status = getattr(run.stream, "status", 0)
            if error is None and status not in (0, 995):
                error = korval.KorvalError(status, "ADC_BulkContinuousEnd")
        except korval.KorvalError as e:
            error = error or e
        if isinstance(error, korval.KorvalError) and error.code in GONE:
            with self._lock:
                self._run = run  # so the status says the acquisition ended
            self._lost(error)
            return
        self.set_state(DevState.ON)
        if error is not None:
            self._idle_status(f"the acquisition ended after {self._delivered} scans: {error}")
        else:
            self._idle_status(f"{self._delivered} scans taken")

    def _end_run(self, why: str) -> bool:
        with self._lock:
            run, self._run = self._run, None
        if run is None:
            return False
        run.stop.set()
        with contextlib.suppress(Exception):
            run.stream.close()
        return True

    # ---- analog outputs ------------------------------------------------------------------------------

    @attribute(dtype=(float,), max_dim_x=64, access=AttrWriteType.READ_WRITE, unit="V",
               doc="the analog outputs in volts (OutputSpan); NaN for one not written since the board was found")
    def AnalogOutputs(self) -> Any:
        n = self._caps().analog_outputs
        low, high = self._span
        return [low + self._outputs[c] * (high - low) / 65536 if c in self._outputs else float("nan")
                for c in range(n)]

    @AnalogOutputs.write
    def AnalogOutputs(self, values: Any) -> None:
        self._write_outputs("AnalogOutputs", {c: self._volts_to_counts(f"AnalogOutputs[{c}]", v)
                                              for c, v in enumerate(values)})

    @attribute(dtype=(int,), max_dim_x=64, access=AttrWriteType.READ_WRITE,
               doc="the analog outputs in counts, 0 to 65535; -1 for one not written since the board was found")
    def AnalogOutputCounts(self) -> Any:
        return [self._outputs.get(c, -1) for c in range(self._caps().analog_outputs)]

    @AnalogOutputCounts.write
    def AnalogOutputCounts(self, values: Any) -> None:
        self._write_outputs("AnalogOutputCounts", {c: _whole(f"AnalogOutputCounts[{c}]", v, 0, 65535)
                                                   for c, v in enumerate(values)})

    @command(dtype_in=(float,), doc_in="[channel, volts]: sets one analog output")
    def SetAnalogOutput(self, args: Any) -> None:
        if len(args) != 2:
            refuse("SetAnalogOutput", "give [channel, volts]")
        channel = _whole("SetAnalogOutput channel", args[0], 0, 63)
        self._write_outputs("SetAnalogOutput", {channel: self._volts_to_counts("SetAnalogOutput volts", args[1])})

    def _volts_to_counts(self, what: str, volts: Any) -> int:
        v = _finite(what, volts)
        low, high = self._span
        if not low <= v <= high:
            refuse(what, f"{v} V is outside the outputs' span {low:g} to {high:g} V")
        return min(65535, round((v - low) * 65536 / (high - low)))

    def _write_outputs(self, what: str, counts: dict[int, int]) -> None:
        """Sets outputs in one request: a list from channel 0 (it may stop short) or one channel."""
        n = self._caps().analog_outputs
        self._need(n, "analog outputs")
        if not counts or max(counts) >= n:
            refuse(what, f"channel {max(counts, default=0)}: the board has outputs 0 to {n - 1}")
        with self._board() as dev:
            dev.dac.write_many(counts)
        self._outputs.update(counts)

    # ---- digital ports -------------------------------------------------------------------------------

    @attribute(dtype=int, access=AttrWriteType.READ_WRITE,
               doc="the direction mask, a set bit an output (one bit per port, or per line on boards with "
                   "per-line directions); -1 until written, on boards that cannot report it")
    def DigitalDirections(self) -> int:
        caps = self._caps()
        self._need(caps.digital_ports, "digital ports")
        if caps.tristate_bytes:
            with self._board() as dev:
                return dev.dio.configuration()[0]
        return self._directions

    @DigitalDirections.write
    def DigitalDirections(self, mask: int) -> None:
        caps = self._caps()
        self._need(caps.digital_ports, "digital ports")
        bits = caps.direction_bits or caps.digital_ports
        mask = _whole("DigitalDirections", mask, 0, (1 << bits) - 1)
        levels = self._port_levels or bytes(caps.digital_ports)
        with self._board() as dev:
            dev.dio.configure(mask, levels)
        self._directions, self._port_levels = mask, levels

    @attribute(dtype=(int,), max_dim_x=16, access=AttrWriteType.READ_WRITE,
               doc="every port's levels, 0 to 255 each, port 0 first; writing sets the outputs")
    def DigitalPorts(self) -> Any:
        self._need(self._caps().digital_ports, "digital ports")
        with self._board() as dev:
            return list(dev.dio.read_all())

    @DigitalPorts.write
    def DigitalPorts(self, values: Any) -> None:
        ports = self._caps().digital_ports
        self._need(ports, "digital ports")
        if len(values) != ports:
            refuse("DigitalPorts", f"{len(values)} values for {ports} ports")
        levels = bytes(_whole(f"DigitalPorts[{p}]", v, 0, 255) for p, v in enumerate(values))
        with self._board() as dev:
            dev.dio.write_all(levels)
        self._port_levels = levels

    @attribute(dtype=(bool,), max_dim_x=128, doc="every digital line's level, line 0 first")
    def DigitalLines(self) -> Any:
        self._need(self._caps().digital_ports, "digital ports")
        with self._board() as dev:
            raw = dev.dio.read_all()
        return [bool(raw[n // 8] >> (n % 8) & 1) for n in range(len(raw) * 8)]

    @command(dtype_in=(int,), doc_in="[line, level]: sets one digital output line")
    def SetLine(self, args: Any) -> None:
        ports = self._caps().digital_ports
        self._need(ports, "digital ports")
        if len(args) != 2:
            refuse("SetLine", "give [line, level]")
        line = _whole("SetLine line", args[0], 0, ports * 8 - 1)
        level = _whole("SetLine level", args[1], 0, 1)
        with self._board() as dev:
            dev.dio.write_bit(line, bool(level))
        if self._port_levels is not None:
            levels = bytearray(self._port_levels)
            levels[line // 8] = levels[line // 8] & ~(1 << line % 8) | level << line % 8
            self._port_levels = bytes(levels)

    # ---- counters ------------------------------------------------------------------------------------

    @attribute(dtype=float, access=AttrWriteType.READ_WRITE, unit="Hz",
               doc="frequency output of counter block 0 (counters 1 and 2): write the frequency asked for "
                   "(0 stops it); reads the frequency obtained")
    def OutputFrequency(self) -> float:
        return self._frequency

    @OutputFrequency.write
    def OutputFrequency(self, hz: float) -> None:
        caps = self._caps()
        self._need(caps.counter_blocks, "counters")
        self._idle("OutputFrequency (counter block 0 is the scan clock)")
        hz = _finite("OutputFrequency", hz)
        if hz != 0:
            try:
                measure.check_rate(hz, caps.counter_clock_hz)
            except ValueError:
                refuse("OutputFrequency", f"{hz:g} Hz: the counters make {caps.counter_clock_hz / 65535 ** 2:.4g} "
                                          f"to {caps.counter_clock_hz / 4:g} Hz, or 0 to stop")
        with self._board() as dev:
            self._frequency = dev.counters.output_frequency(hz)  # 0 stays 0: stopped

    @attribute(dtype=(int,), max_dim_x=48, doc="every counter's count, in flat order (block x 3 + counter)")
    def CounterCounts(self) -> Any:
        self._need(self._caps().counter_blocks, "counters")
        with self._board() as dev:
            return [int(v) for v in dev.counters.read_all()]

    @command(dtype_in=(int,), doc_in="[counter, mode, load]: programs an 8254 counter (flat number)")
    def ProgramCounter(self, args: Any) -> None:
        caps = self._caps()
        self._need(caps.counter_blocks, "counters")
        if len(args) != 3:
            refuse("ProgramCounter", "give [counter, mode, load]")
        number = _whole("ProgramCounter counter", args[0], 0, caps.counter_blocks * 3 - 1)
        mode = _whole("ProgramCounter mode", args[1], 0, 5)
        load = _whole("ProgramCounter load", args[2], 0, 65535)
        if number in (1, 2):
            self._idle("ProgramCounter (counters 1 and 2 are the scan clock)")
        with self._board() as dev:
            dev.counters[number].program(mode, load)


def korval_trigger(t: dict[str, Any], records: int) -> Any:
    """The trigger as the korval package takes it: one record for Acquire, records until Stop for Start."""
    return korval.Trigger(channel=t["channel"], level=t["level"], slope=t["slope"], hysteresis=t["hysteresis"],
                          pretrigger=t["pre_scans"], records=records)


def _configure_scan(dev: korval.Device, p: measure.Plan) -> None:
    """Writes the plan's span, ranges and oversample into the board's configuration block."""
    config = dev.adc.config
    shift = dev.capabilities.range_shift
    ranges = list(config.ranges)
    for c, r in zip(p.channels, p.ranges):
        ranges[c >> shift] = r
    dev.adc.configure(ranges=ranges, calibration_mode=0, start_channel=p.first, end_channel=p.last,
                      oversample=p.oversample)


def _epoch_seconds(host_time: Any) -> float:
    """A block's host time as UTC seconds since 1970, whether the package gives a datetime, seconds or
    nanoseconds; the time now when it gives none."""
    if host_time is None:
        return time.time()
    if hasattr(host_time, "timestamp"):
        return float(host_time.timestamp())
    value = float(host_time)
    return value / 1e9 if value > 1e14 else value


def _serial_text(dev: korval.Device) -> str:
    serial = dev.serial_number
    return "none" if serial is None else f"{serial:016X}"


def main(argv: Optional[list[str]] = None) -> int:
    """korval-tango INSTANCE [--sim PID[:SERIAL]]... [Tango server options]"""
    args = list(sys.argv if argv is None else argv)
    sims = []
    while "--sim" in args:
        i = args.index("--sim")
        if i + 1 >= len(args):
            print("korval-tango: --sim takes PID[:SERIAL], such as 0x8040:1A2B", file=sys.stderr)
            return 2
        sims.append(args[i + 1])
        del args[i:i + 2]
    simulation = None
    if sims:
        simulation = korval.Simulation()
        for sim in sims:
            pid, _, serial = sim.partition(":")
            board = simulation.add_board(int(pid, 16))
            if serial:
                board.set_serial_number(parse_serial(serial))
        simulation.install()
    args[0] = "korval-tango"
    try:
        run((KorvalBoard,), args=args)
    finally:
        if simulation is not None:
            simulation.close()
    return 0
