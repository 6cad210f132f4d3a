"""Analog input: the configuration in named fields, conversion to volts, scans and acquisitions."""

import threading

import numpy as np
import pytest

import korval
from korval import AdcConfig, Range
from conftest import needs


@pytest.mark.parametrize("gain, counts, volts", [
    (Range.BIP_10V, 49152, 5.0),
    (Range.BIP_10V, 32768, 0.0),
    (Range.UNI_1V, 32768, 0.5),
    (Range.UNI_10V, 0, 0.0),
    (Range.BIP_2V, 0, -2.0),
    (Range.UNI_5V, 65535, 5.0 * 65535 / 65536),
])
def test_range_conversion(gain, counts, volts):
    assert gain.to_volts(counts) == pytest.approx(volts)
    assert gain.to_volts(np.array([counts, counts]))[1] == pytest.approx(volts)


@pytest.mark.parametrize("raw, start, end", [
    (bytes(16) + b"\x00\x00\xf0\x03", 0, 15),
    (bytes(16) + b"\x00\x00\xf1\x03\x31", 17, 63),
    (bytes(16) + b"\x00\x00\x00\x00\x00", 0, 0),
])
def test_config_block_fields_round_trip(raw, start, end):
    config = AdcConfig.from_bytes(raw)
    assert (config.start_channel, config.end_channel, config.oversample, config.size) == (start, end, 3 if raw[19] else 0, len(raw))
    assert config.to_bytes() == raw


def test_configuration_reaches_the_board(sim):
    board = sim.add_board(0x8045)  # 64 channels, four per range slot
    dev = korval.Device(0)
    dev.adc.set_ranges(Range.BIP_5V, flag=1)
    dev.adc.set_range(3, Range.UNI_1V)
    dev.adc.set_channels(17, 63)
    dev.adc.set_oversample(9)
    dev.adc.set_mode(trigger=0x05, calibration_mode=0)
    block = board.adc_config
    assert block[:4] == bytes([0x0B] * 3 + [0x06]) and block[16:] == b"\x00\x05\xf1\x09\x31"
    config = dev.adc.config
    assert (config.channels, config.oversample, config.trigger) == (range(17, 64), 9, 5)
    assert dev.adc.range_of(13) == Range.UNI_1V and dev.adc.range_of(16) == Range.BIP_5V
    dev.adc.configure(oversample=0, start_channel=0, end_channel=7)
    assert board.adc_config[18:] == b"\x70\x00\x00"
    with pytest.raises(korval.KorvalError) as e:
        dev.adc.set_channels(5, 64)
    assert e.value.code == 87


def _board_with_signal(sim, volts):
    board = sim.add_board(0x8040)
    board.set_signal("constant", offset=volts)
    dev = korval.Device(0)
    dev.adc.set_ranges(Range.BIP_5V)
    dev.adc.set_channels(2, 5)
    return board, dev


@needs("ADC_GetScanV", "ADC_GetScan", "KorvalSim_SetAdcSignal")
def test_scan_gives_volts_and_counts_by_channel(sim):
    board, dev = _board_with_signal(sim, 2.5)
    volts = dev.adc.scan()
    assert volts.shape == (6,) and np.isnan(volts[:2]).all()
    assert volts[2:] == pytest.approx(2.5, abs=1e-3)
    counts = dev.adc.scan_counts()
    assert counts.dtype == np.uint16 and counts.shape == (6,)
    assert (counts[:2] == 0).all() and abs(int(counts[3]) - 49152) <= 2


@needs("ADC_GetChannelV", "ADC_QueryCal", "ADC_InitFastITScanV", "ADC_GetFastITScanV", "KorvalSim_SetAdcSignal")
def test_one_channel_the_calibration_query_and_fast_scans(sim):
    board, dev = _board_with_signal(sim, 2.5)
    assert dev.adc.channel(3) == pytest.approx(2.5, abs=1e-3)
    assert np.isnan(dev.adc.channel(0))  # outside the configured scan
    assert dev.adc.takes_calibration() in (True, False)
    before = dev.adc.config
    with dev.adc.fast_scans() as scans:
        volts = scans.read()
    assert volts[2:] == pytest.approx(2.5, abs=1e-3)
    assert dev.adc.config == before  # the board's configuration is put back


@needs("ADC_BulkAcquire", "ADC_BulkPoll", "ADC_BulkAbort", "KorvalSim_SetAdcPattern", "KorvalSim_SetAdcStopped")
def test_acquire_returns_the_samples_and_times_out_cleanly(sim):
    board = sim.add_board(0x8040)
    dev = korval.Device(0)
    dev.adc.set_mode(trigger=1)  # the board's own pacing clock: it starts on the sample count
    board.set_sample_pattern([1, 2, 3, 4, 5])
    data = dev.adc.acquire(100_000)
    assert data.dtype == np.uint16 and (data == np.resize([1, 2, 3, 4, 5], 100_000)).all()
    board.stop_converter()
    with pytest.raises(TimeoutError):
        dev.adc.acquire(1000, timeout=0.2)
    board.stop_converter(False)
    assert dev.adc.acquire(10).size == 10  # the aborted acquisition does not hold the board


@needs("ADC_BulkContinuousStart", "ADC_BulkContinuousEnd", "KorvalSim_SetAdcPattern")
def test_stream_delivers_blocks_in_order_and_ends_on_leaving(sim):
    board = sim.add_board(0x8040)
    dev = korval.Device(0)
    dev.adc.set_mode(trigger=1)
    pattern = np.arange(256) * 3  # a whole number of patterns per sample-count request
    board.set_sample_pattern(list(pattern))
    blocks = []
    with dev.adc.stream(block_samples=512, blocks=4, timeout=5) as stream:
        for block in stream:
            blocks.append(block)
            if len(blocks) == 1:
                assert stream.flags & 1  # the first block after the sample count
            if len(blocks) == 6:
                break
    samples = np.concatenate(blocks)
    assert samples.dtype == np.uint16 and (samples == np.resize(pattern, samples.size)).all()
    assert stream.close() == 0  # ended, and closing again is harmless
    data = dev.adc.acquire(8)  # the board is free again
    assert data.size == 8


@needs("ADC_BulkContinuousStart", "ADC_BulkContinuousEnd", "KorvalSim_SetAdcStopped")
def test_stream_waits_are_bounded_and_a_lost_board_ends_the_iteration(sim):
    board = sim.add_board(0x8040)
    dev = korval.Device(0)
    board.stop_converter()
    with dev.adc.stream(block_samples=256, blocks=2, timeout=0.2) as stream:
        with pytest.raises(TimeoutError):
            next(stream)
        stream.timeout = 5
        threading.Timer(0.05, board.unplug).start()
        with pytest.raises(korval.KorvalError):
            for _ in stream:
                pass
