"""Waveform output, digital streams and counter outputs, where the library has them."""

import time

import numpy as np
import pytest

import korval
from conftest import needs


@needs("DACOutputOpen", "DACOutputFrame", "DACOutputStart", "DACOutputClose", "KorvalSim_GetDacPlayed")
def test_waveform_output_plays_every_point(sim):
    board = sim.add_board(0x4001)
    sim.manual_clock = True
    dev = korval.Device(0)
    ramp = np.arange(10_000) % 4096
    points = np.stack([ramp, 4095 - ramp], axis=1)  # more than one frame's worth
    with dev.dac.waveform(100_000, channels=2) as out:
        assert out.rate_hz == pytest.approx(100_000)
        with pytest.raises(ValueError):
            out.write([1, 2, 3])  # not whole points
        out.write(points)
        out.start()
    sim.advance(1.0)
    assert (board.dac_played(0, 0, 10_000) == points[:, 0]).all()
    assert (board.dac_played(1, 0, 10_000) == points[:, 1]).all()


@needs("DIO_StreamOpen", "DIO_StreamFrame", "DIO_StreamSetClocks", "KorvalSim_SetDigitalStreamInput")
def test_digital_stream_in_and_out(sim):
    board = sim.add_board(0x800C)
    dev = korval.Device(0)
    board.set_digital_stream_input([7, 8, 9])
    a, b = dev.dio.set_stream_clocks(from_board_hz=200_000, to_board_hz=200_000)
    assert a == pytest.approx(200_000, rel=0.01) and b == pytest.approx(200_000, rel=0.01)
    with dev.dio.stream("in") as stream:
        assert (stream.read(600) == np.resize([7, 8, 9], 600)).all()
        with pytest.raises(ValueError):
            stream.write([1])
    with dev.dio.stream("out") as stream:
        assert stream.write(np.arange(1000)) == 1000
    taken, deadline = [], time.monotonic() + 10
    while sum(len(t) for t in taken) < 1000 and time.monotonic() < deadline:
        taken.append(board.take_digital_stream_output())
    assert (np.concatenate(taken) == np.arange(1000)).all()


@needs("CTR_StartOutputFreq", "KorvalSim_GetCounterFrequency")
def test_counter_frequency_output(sim):
    board = sim.add_board(0x8020)
    dev = korval.Device(0)
    actual = dev.counters.output_frequency(1000.0)
    assert actual == pytest.approx(1000.0, rel=1e-3)
    assert board.counter_frequency(2) == pytest.approx(actual)


@needs("CTR_StartMeasuringPulseWidth", "CTR_GetPulseWidthMeasurement", "KorvalSim_SetGatePulseTrain")
def test_pulse_width_measurement(sim):
    board = sim.add_board(0x8020)
    dev = korval.Device(0)
    # Simulated time stands still until advanced, so the monitor sees the gate in its low stretch
    # whatever the machine's load.
    sim.manual_clock = True
    dev.counters[1].program(2, load=50_000)
    board.set_gate_pulses(1, high_s=0.001, low_s=0.004)  # 1 ms high: 10,000 ticks of the 10 MHz clock
    with dev.counters.measure_pulse_widths():
        sim.advance(0.0055)  # 4 ms low, 1 ms high, then into the next low stretch
        # A pass of the monitor that overlaps the clock's advance may report a partial count first.
        width, deadline = None, time.monotonic() + 10
        while width != 50_000 - 10_000 and time.monotonic() < deadline:
            width = dev.counters[1].pulse_width()
    assert width == 50_000 - 10_000
    with pytest.raises(korval.KorvalError) as e:
        dev.counters[1].pulse_width()  # the measurement has ended
    assert e.value.code == 2
