"""Measurements at a chosen rate, paced by the board's counters, on simulated boards."""

import datetime
import threading
import time

import numpy as np
import pytest

import korval

BOARD = 0x8040  # 16 channels, counters at 10 MHz


def wait_for(condition, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.001)


def sample_count_requests(board):
    return sum(1 for t in board.requests() if t.request == 0xBC)


class ClockDriver:
    """Moves the manual clock on in small steps while a test consumes a stream."""

    def __init__(self, sim, step=0.01):
        self._sim, self._step, self._stop = sim, step, threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            self._sim.advance(self._step)
            self._stop.wait(0.0005)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(5)


def test_read_takes_its_time_in_simulated_time_and_every_scan(sim):
    board = sim.add_board(BOARD)
    sim.manual_clock = True
    board.set_signal("sine", amplitude=5.0, frequency=50.0, channel=2)
    dev = korval.Device(0)
    result = {}
    reader = threading.Thread(target=lambda: result.update(a=dev.adc.read(500, rate=1000, channels="0-3")))
    reader.start()
    wait_for(lambda: sample_count_requests(board) == 1)
    start = sim.now
    sim.advance(0.4995)
    assert reader.is_alive()  # scan 500 is due at 0.5 s
    sim.advance(0.0005)
    reader.join(10)
    a = result["a"]
    assert sim.now - start == pytest.approx(0.5)
    assert a.volts.shape == a.counts.shape == (500, 4) and a.counts.dtype == np.uint16
    assert a.rate == 1000.0 and a.channels == [0, 1, 2, 3] and a.ranges == ["±10 V"] * 4
    assert a.times[1] == pytest.approx(0.001) and a.started.tzinfo is not None
    spectrum = np.abs(np.fft.rfft(a.volts[:, 2]))
    assert np.fft.rfftfreq(500, 1 / a.rate)[spectrum.argmax()] == pytest.approx(50.0)
    assert np.abs(a.volts[:, 0]).max() < 0.001


def test_rate_obtained_is_what_the_counters_make(sim):
    board = sim.add_board(BOARD)
    dev = korval.Device(0)
    a = dev.adc.read(30, rate=3000, channels=1, range="0-5 V")
    assert a.rate == pytest.approx(10e6 / (101 * 33))  # the divisors CTR_StartOutputFreq chose
    assert a.times[-1] == pytest.approx(29 / a.rate)
    config = dev.adc.config
    assert (config.trigger & 3, config.start_channel, config.end_channel) == (1, 1, 1)
    assert config.ranges[1] == korval.Range.UNI_5V
    assert board.counter_frequency(2) == 0.0  # the scan clock is stopped afterwards


def test_oversampled_scans_average_the_conversions_after_the_first(sim):
    board = sim.add_board(BOARD)
    dev = korval.Device(0)
    board.set_sample_pattern([0, 100, 200, 301, 40000, 32768, 32770, 32772])  # 2 channels x 4 conversions
    a = dev.adc.read(3, rate=1000, channels=[4, 5], range=["0-10 V", "±10 V"], oversample=3)
    assert a.counts.tolist() == [[200, 32770]] * 3
    assert a.volts[0] == pytest.approx([(100 + 200 + 301) / 3 / 65536 * 10, 2 / 65536 * 20])
    with dev.adc.stream(rate=1000, channels=[4, 5], range=["0-10 V", "±10 V"], oversample=3, scans=3) as s:
        assert [row for block in s for row in block.counts.tolist()] == [[200, 32770]] * 3


def test_a_slow_stream_delivers_every_scan(sim, tmp_path):
    sim.add_board(BOARD)
    sim.manual_clock = True
    dev = korval.Device(0)
    with ClockDriver(sim):
        written = dev.adc.record(tmp_path / "slow.csv", seconds=2, rate=10, channels="0-1")
    assert written == 20
    lines = (tmp_path / "slow.csv").read_text().splitlines()
    assert lines[0] == "time (s),ch0 (V),ch1 (V)" and len(lines) == 21
    assert [float(line.split(",")[0]) for line in lines[1:]] == pytest.approx(np.arange(20) / 10)


def test_stream_blocks_count_scans_and_keep_what_came_after_close(sim):
    sim.add_board(BOARD)
    dev = korval.Device(0)
    with dev.adc.stream(rate=20_000, channels=range(0, 8), block_seconds=0.01) as stream:
        first = next(stream)
        assert first.first_scan == 0 and first.volts.shape[1] == 8
        stream.close()
        rest = list(stream)
    scans = len(first) + sum(len(b) for b in rest)
    assert scans == stream.scans
    assert [b.first_scan for b in rest] == list(np.cumsum([len(first)] + [len(b) for b in rest[:-1]]))


def test_recorded_hdf5_reads_back_with_its_attributes(sim, tmp_path):
    h5py = pytest.importorskip("h5py")
    board = sim.add_board(BOARD)
    board.set_signal("constant", offset=2.5, channel=3)
    dev = korval.Device(0)
    seen = []
    assert dev.adc.record(tmp_path / "run.h5", seconds=0.25, rate=2000, channels="2-3", range="±5 V",
                          progress=lambda done, total: seen.append((done, total))) == 500
    assert seen[-1] == (500, 500)
    with h5py.File(tmp_path / "run.h5") as f:
        volts = f["volts"]
        assert volts.shape == (500, 2) and volts.dtype == np.float32 and volts.maxshape == (None, 2)
        assert volts[:, 1] == pytest.approx(2.5, abs=1e-3)
        attrs = volts.attrs
        assert attrs["rate"] == 2000.0 and list(attrs["channels"]) == [2, 3]
        assert [r.decode() if isinstance(r, bytes) else r for r in attrs["ranges"]] == ["±5 V", "±5 V"]
        assert attrs["start_time"].endswith("Z") and attrs["product_id"] == BOARD
        assert attrs["korval_version"] == korval.__version__ and "serial_number" in attrs


def sine_counts(scans, period):
    """A ±5 V sine of `period` scans in counts of the ±10 V range, from phase 0."""
    volts = 5.0 * np.sin(2 * np.pi * np.arange(scans) / period)
    return np.clip(np.rint((volts + 10.0) * 65536 / 20.0), 0, 65535).astype(int)


# A sine of 100 scans on channel 3 (the span 2-3): rising through 2.5 V first at scan 9, falling through
# -2.5 V at scan 59; the hysteresis of 0.5 V re-arms each between records, so the second record's
# trigger is a period later.
@pytest.mark.parametrize("slope, level, scans", [("rising", 2.5, [9, 109]), ("falling", -2.5, [59, 159])])
def test_a_triggered_read_keeps_its_records_around_the_crossings(sim, slope, level, scans):
    board = sim.add_board(BOARD)
    channel3 = sine_counts(100, 100)
    board.set_sample_pattern(np.stack([np.full(100, 32768), channel3], axis=1).ravel().tolist())
    dev = korval.Device(0)
    trigger = korval.Trigger(channel=3, level=level, slope=slope, hysteresis=0.5, pretrigger=5, records=2)
    a = dev.adc.read(30, rate=10_000, channels="2-3", trigger=trigger)
    assert a.volts.shape == (60, 2) and a.triggers == [5, 35] and a.trigger_index == 5
    assert a.times[[5, 35]] * a.rate == pytest.approx(scans)
    assert (a.counts[:, 1] == channel3[np.rint(a.times * a.rate).astype(int) % 100]).all()


def test_stream_blocks_follow_one_another_and_carry_the_hosts_time(sim):
    sim.add_board(BOARD)
    dev = korval.Device(0)
    before = time.time_ns()
    with dev.adc.stream(rate=20_000, channels="0-3", block_seconds=0.01, scans=2000) as stream:
        blocks = list(stream)
    after = time.time_ns()
    assert sum(len(b) for b in blocks) == stream.scans == 2000 and len(blocks) > 2
    assert [b.first_scan for b in blocks] == [0] + list(np.cumsum([len(b) for b in blocks[:-1]]))
    stamps = [b.host_time_ns for b in blocks]
    assert stamps == sorted(stamps) and before <= stamps[0] and stamps[-1] <= after
    assert abs(blocks[-1].host_time - datetime.datetime.now(datetime.timezone.utc)).total_seconds() < 5
    assert all(b.trigger_index is None and b.record == 0 and not b.gone for b in blocks)


def test_an_unplug_ends_the_stream_with_1617_after_the_scans_before_it(sim):
    board = sim.add_board(BOARD)
    dev = korval.Device(0)
    with dev.adc.stream(rate=20_000, channels="0-1", block_seconds=0.01) as stream:
        blocks = [next(stream)]
        board.unplug()
        with pytest.raises(korval.KorvalError) as e:
            blocks.extend(stream)
    assert e.value.code == 1617
    assert [b.first_scan for b in blocks] == [0] + list(np.cumsum([len(b) for b in blocks[:-1]]))
    assert not any(b.gone for b in blocks[:-1])


@pytest.mark.parametrize("kwargs, says", [
    (dict(channel=-1), "trigger channel"),
    (dict(channel=0, slope="up"), "slope"),
    (dict(channel=0, level=float("inf")), "level"),
    (dict(channel=0, hysteresis=-0.1), "hysteresis"),
    (dict(channel=0, pretrigger=1.5), "pretrigger"),
    (dict(channel=0, records=-1), "records"),
])
def test_a_trigger_that_cannot_be_is_refused(kwargs, says):
    with pytest.raises(ValueError, match=says):
        korval.Trigger(**kwargs)


@pytest.mark.parametrize("kwargs, says", [
    (dict(rate=1000, channels="0-16"), "channels 0 to 15"),
    (dict(rate=1000, channels=[0, 2, 3]), "contiguous"),
    (dict(rate=1000, channels=range(0, 8, 2)), "contiguous"),
    (dict(rate=1000, channels="5-2"), "comes before"),
    (dict(rate=1000, range="±3 V"), "ranges are"),
    (dict(rate=1000, channels="0-1", range=["±10 V"] * 3), "3 ranges given for 2 channels"),
    (dict(rate=3e6), r"2\.5e\+06 scans per second"),
    (dict(rate=0), "scans per second"),
    (dict(rate=float("nan")), "scans per second"),
    (dict(rate=1000, oversample=256), "oversample"),
    (dict(rate=1000, channels="0-3", trigger=korval.Trigger(channel=4)), "trigger channel 4"),
    (dict(rate=1000, channels=0, trigger=korval.Trigger(channel=0, pretrigger=10)), "pretrigger 10"),
    (dict(rate=1000, channels=0, trigger=korval.Trigger(channel=0, records=0)), "records 0"),
])
def test_bad_arguments_raise_value_error_and_touch_nothing(sim, kwargs, says):
    board = sim.add_board(BOARD)
    dev = korval.Device(0)
    dev.adc.config  # the open check's requests before the log is cleared
    board.clear_log()
    with pytest.raises(ValueError, match=says):
        dev.adc.read(10, **kwargs)
    trigger = kwargs.get("trigger")
    if "oversample" not in kwargs and (trigger is None or trigger.channel == 4):  # the others need samples
        with pytest.raises(ValueError, match=says):
            dev.adc.stream(**kwargs)
    assert board.log() == []


@pytest.mark.parametrize("call, says", [
    (lambda dev: dev.counters[1].load(65536), "0 to 65535"),
    (lambda dev: dev.counters[1].program(2, -1), "0 to 65535"),
    (lambda dev: dev.counters.output_frequency(-5.0), "0 or more"),
    (lambda dev: dev.counters.set_global_tick_rate(-1.0), "0 or more"),
])
def test_values_that_would_wrap_raise_value_error(sim, call, says):
    sim.add_board(0x8020)
    with pytest.raises(ValueError, match=says):
        call(korval.Device(0))


def test_dac_codes_beyond_the_outputs_bits(sim):
    sim.add_board(0x4001)
    dev = korval.Device(0)
    with pytest.raises(ValueError, match="0 to 65535"):
        dev.dac.write(0, 70000)
    with pytest.raises(ValueError, match="0 to 4095"):
        dev.dac.play([[0, 4096]], rate=1000, channels=2)


def test_play_plays_the_whole_waveform(sim):
    board = sim.add_board(0x4001)
    dev = korval.Device(0)
    ramp = np.arange(2000) % 4096
    assert dev.dac.play(np.stack([ramp, 4095 - ramp], axis=1), rate=200_000, channels=2) == pytest.approx(200_000)
    assert (board.dac_played(1, 0, 2000) == 4095 - ramp).all()


def test_scan_names_its_span(sim):
    sim.add_board(BOARD)
    dev = korval.Device(0)
    assert len(dev.adc.scan()) == 1  # a fresh board's configured span: channel 0
    assert len(dev.adc.scan(channels="0-3")) == 4
    assert dev.adc.config.end_channel == 3
    with pytest.raises(ValueError, match="channels 0 to 15"):
        dev.adc.scan(channels=16)


def test_a_slow_read_longer_than_a_read_may_wait(sim):
    sim.add_board(BOARD)
    sim.manual_clock = True
    dev = korval.Device(0)
    with ClockDriver(sim, step=0.5):
        a = dev.adc.read(3, rate=0.1, channels=0)  # a scan every 10 s
    assert a.counts.shape == (3, 1) and a.rate == pytest.approx(0.1)
