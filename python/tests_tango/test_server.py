"""KorvalBoard devices through tango.DeviceProxy: attributes, acquisition and events, refused values,
unplug and replug, two boards."""

import math
from pathlib import Path

import numpy as np
import pytest
import tango
from tango import DevState, EventType
from tango.test_context import DeviceTestContext, MultiDeviceTestContext

from conftest import wait_for
from korval_tango import KorvalBoard

BOARD = 0x8140  # 16 analog inputs, 2 analog outputs, 2 digital ports, one counter block at 10 MHz


def board_with_serial(sim, serial, product=BOARD):
    board = sim.add_board(product)
    board.set_serial_number(serial)
    return board


def serve(**properties):
    return DeviceTestContext(KorvalBoard, properties=properties, process=False)


def test_every_attribute_reads_and_writes_the_board(sim):
    board = board_with_serial(sim, 0x00C0FFEE)
    for channel, volts in enumerate([1.0, -2.0, 3.5, 0.25]):
        board.set_signal("constant", offset=volts, channel=channel)
    with serve(SerialNumber="c0ffee", OutputSpan="±10 V") as proxy:
        assert proxy.state() == DevState.ON
        assert (proxy.ProductID, proxy.BoardSerialNumber, proxy.BoardSlot) == (BOARD, "0000000000C0FFEE", 0)
        assert proxy.ProductName and "16-channel analog input" in proxy.Capabilities
        proxy.Channels, proxy.Range, proxy.Oversample = "0-3", "±5 V", 2
        assert (proxy.Channels, proxy.Range, proxy.Oversample) == ("0-3", "±5 V", 2)
        assert proxy.Voltages == pytest.approx([1.0, -2.0, 3.5, 0.25], abs=1e-3)
        assert board.adc_config[19] == 2  # the oversample went to the board with the scan
        proxy.Rate = 3000
        assert proxy.Rate == 3000  # the rate asked for, until an acquisition obtains one
        proxy.TriggerSlope, proxy.TriggerChannel, proxy.TriggerLevel = "rising", 2, 1.5
        proxy.TriggerHysteresis, proxy.TriggerPreScans = 0.1, 10
        assert (proxy.TriggerSlope, proxy.TriggerChannel, proxy.TriggerLevel) == ("rising", 2, 1.5)
        assert (proxy.TriggerHysteresis, proxy.TriggerPreScans) == (0.1, 10)

        proxy.AnalogOutputs = [5.0, -10.0]
        assert board.dac_values()[:2] == [49152, 0]
        proxy.SetAnalogOutput([1, 0.0])
        proxy.AnalogOutputCounts = [100]
        assert board.dac_values()[:2] == [100, 32768]
        assert list(proxy.AnalogOutputCounts) == [100, 32768]
        assert proxy.AnalogOutputs == pytest.approx([-10 + 100 * 20 / 65536, 0.0])

        proxy.DigitalDirections = 0b01  # port 0 out, port 1 in
        proxy.DigitalPorts = [0x5A, 0]
        proxy.SetLine([0, 1])
        assert board.digital_state()["outputs"][0] == 0x5B
        board.set_digital_inputs([0, 0x81])
        assert list(proxy.DigitalPorts)[1] == 0x81
        assert list(proxy.DigitalLines)[8:16] == [True] + [False] * 6 + [True]
        assert proxy.DigitalDirections == 0b01

        proxy.OutputFrequency = 3000
        assert proxy.OutputFrequency == pytest.approx(10e6 / (101 * 33))
        assert board.counter_frequency(2) == pytest.approx(proxy.OutputFrequency)
        proxy.OutputFrequency = 0
        proxy.ProgramCounter([0, 0, 1234])
        assert board.counter(0)["initial_count"] == 1234 and len(proxy.CounterCounts) == 3


REFUSED = [
    ("Channels", "0-16"), ("Channels", "3-1"), ("Channels", "all"), ("Range", "±3 V"), ("Range", "±5 V, ±10 V, ±1 V"),
    ("Rate", 0.0), ("Rate", 1e9), ("Rate", math.nan), ("Oversample", 256), ("TriggerSlope", "up"),
    ("TriggerChannel", 16), ("TriggerLevel", math.inf), ("TriggerHysteresis", -1.0),
    ("AnalogOutputs", [5.5]), ("AnalogOutputs", [math.nan]), ("AnalogOutputs", [1.0, 1.0, 1.0]),
    ("AnalogOutputCounts", [65536]), ("AnalogOutputCounts", [-1]), ("DigitalPorts", [256, 0]),
    ("DigitalPorts", [1]), ("DigitalDirections", 4), ("OutputFrequency", -1.0), ("OutputFrequency", 5e6),
]
REFUSED_COMMANDS = [("SetLine", [16, 1]), ("SetLine", [0, 2]), ("SetAnalogOutput", [2, 1.0]),
                    ("Acquire", 0), ("ProgramCounter", [0, 6, 0]), ("ProgramCounter", [3, 0, 0])]


def test_bad_values_are_refused_with_a_reason_and_nothing_is_sent(sim):
    board = board_with_serial(sim, 7)
    with serve(SerialNumber="7") as proxy:
        proxy.Channels = "0-1"
        board.clear_log()
        for name, value in REFUSED:
            with pytest.raises(tango.DevFailed) as e:
                proxy.write_attribute(name, value)
                pytest.fail(f"{name} = {value!r} was taken")
            error = e.value.args[0]
            assert error.reason in ("KorvalBadValue", "API_WAttrOutsideLimit"), (name, value, error.desc)
            assert name in error.desc or error.reason != "KorvalBadValue", (name, value, error.desc)
        for name, value in REFUSED_COMMANDS:
            with pytest.raises(tango.DevFailed) as e:
                proxy.command_inout(name, value)
                pytest.fail(f"{name}({value!r}) was taken")
            assert e.value.args[0].reason == "KorvalBadValue", (name, value)
        assert board.log() == []
        assert (proxy.Channels, proxy.Range, proxy.Rate) == ("0-1", "±10 V", 1000)  # the old values stay


def test_acquisition_pushes_a_change_and_a_data_ready_event_per_block(sim):
    board = board_with_serial(sim, 0xAB)
    board.set_signal("constant", offset=1.5, channel=1)
    with serve(SerialNumber="AB") as proxy:
        proxy.Channels, proxy.Rate = "0-2", 2000
        blocks, ready = [], []
        subscriptions = [
            proxy.subscribe_event("LatestBlock", EventType.CHANGE_EVENT,
                                  lambda e: e.err or e.attr_value.value is None or blocks.append(e.attr_value.value)),
            proxy.subscribe_event("LatestBlock", EventType.DATA_READY_EVENT, lambda e: e.err or ready.append(e.ctr))]
        try:
            take_blocks(proxy, blocks, ready)
        finally:  # a subscription left for after the server has gone keeps the client trying to renew it
            for subscription in subscriptions:
                proxy.unsubscribe_event(subscription)


def take_blocks(proxy, blocks, ready):
    assert proxy.LatestBlock is None or proxy.LatestBlock.size == 0
    proxy.Start()
    assert proxy.state() == DevState.RUNNING and proxy.Rate == 2000 and "scans delivered" in proxy.status()
    with pytest.raises(tango.DevFailed, match="KorvalBusy"):
        proxy.Channels = "0-3"
    wait_for(lambda: len(ready) >= 3, what="three blocks")
    proxy.Stop()
    assert proxy.state() == DevState.ON
    wait_for(lambda: sum(len(b) for b in blocks) == proxy.ScansDelivered == proxy.BlockFirstScan
             + len(proxy.LatestBlock), what="every block's event")
    assert ready == list(range(1, len(ready) + 1)) and proxy.BlocksDelivered == len(ready)
    data = np.concatenate(blocks)
    assert data.shape[1] == 3 and np.allclose(data[:, 1], 1.5, atol=1e-3)
    assert proxy.RingGrowths >= 0 and proxy.BlockHostTime > 1.7e9 and proxy.BlockTriggerScan == -1

    proxy.Acquire(300)
    wait_for(lambda: proxy.state() == DevState.ON, what="the acquisition's end")
    assert proxy.AcquiredVolts.shape == (300, 3) and proxy.ScansDelivered == 300
    assert np.allclose(proxy.AcquiredVolts[:, 1], 1.5, atol=1e-3) and "300 scans" in proxy.status()


def test_an_unplug_faults_with_what_to_do_and_a_replug_turns_on_again(sim):
    board = board_with_serial(sim, 0x51)
    with serve(SerialNumber="51") as proxy:
        proxy.Start()
        board.unplug()
        wait_for(lambda: proxy.state() == DevState.FAULT, what="FAULT after the unplug")
        status = proxy.status()
        assert "is gone (ERROR_DEVICE_REMOVED, 1617)" in status and "Plug it in again" in status
        with pytest.raises(tango.DevFailed, match="KorvalBoardMissing"):
            proxy.Voltages
        board.replug()
        wait_for(lambda: proxy.state() == DevState.ON, what="ON after the replug")
        assert proxy.BoardSerialNumber == "0000000000000051" and len(proxy.Voltages) == 1
        # While idle, the server's own State polling notices, and says so in State change events.
        states = []
        subscription = proxy.subscribe_event("State", EventType.CHANGE_EVENT,
                                             lambda e: e.err or states.append(e.attr_value.value))
        try:
            board.unplug()
            wait_for(lambda: DevState.FAULT in states, what="a FAULT event")
            board.replug()
            wait_for(lambda: states[-1] == DevState.ON, what="an ON event")
        finally:
            proxy.unsubscribe_event(subscription)


def test_a_board_never_found_is_a_fault_until_it_appears(sim):
    board_with_serial(sim, 1)
    with serve(SerialNumber="0x2") as proxy:
        assert proxy.state() == DevState.FAULT
        assert "serial number 0000000000000002 was not found" in proxy.status() and "0000000000000001" in proxy.status()
        board_with_serial(sim, 2)
        wait_for(lambda: proxy.state() == DevState.ON, what="ON when the board appears")
        assert proxy.BoardSlot == 1


@pytest.mark.parametrize("properties, says", [
    ({"SerialNumber": "G7"}, "The SerialNumber property 'G7' is not a serial number"),
    ({"OutputSpan": "0-7 V"}, "The OutputSpan property '0-7 V' is not a span"),
    ({"BlockSeconds": 0}, "The BlockSeconds property 0.0 is not 0 to 10 seconds"),
])
def test_a_bad_property_is_a_fault_that_names_it(sim, properties, says):
    board_with_serial(sim, 1)
    with serve(**properties) as proxy:
        assert proxy.state() == DevState.FAULT and says in proxy.status()


def test_two_boards_in_two_devices_each_keep_their_own(sim):
    first, second = board_with_serial(sim, 0xA), board_with_serial(sim, 0xB)
    devices = [{"class": KorvalBoard, "devices": [
        {"name": "lab/korval/b", "properties": {"SerialNumber": "B"}},
        {"name": "lab/korval/a", "properties": {"SerialNumber": "A"}},
        {"name": "lab/korval/a-again", "properties": {"SerialNumber": "A"}}]}]
    with MultiDeviceTestContext(devices, process=False) as context:
        a, b = tango.DeviceProxy(context.get_device_access("lab/korval/a")), \
            tango.DeviceProxy(context.get_device_access("lab/korval/b"))
        assert (a.BoardSlot, b.BoardSlot) == (0, 1)
        again = tango.DeviceProxy(context.get_device_access("lab/korval/a-again"))
        assert again.state() == DevState.FAULT and "served by the device lab/korval/a already" in again.status()
        a.DigitalDirections, b.DigitalDirections = 3, 3
        a.DigitalPorts, b.DigitalPorts = [1, 2], [3, 4]
        assert first.digital_state()["outputs"] == bytes([1, 2]) and second.digital_state()["outputs"] == bytes([3, 4])
        b.Start()
        first.unplug()
        wait_for(lambda: a.state() == DevState.FAULT, what="the unplugged board's device in FAULT")
        assert b.state() == DevState.RUNNING
        first.replug()
        wait_for(lambda: a.state() == DevState.ON, what="ON again")
        assert a.BoardSerialNumber.endswith("A") and b.state() == DevState.RUNNING
        b.Stop()


def test_the_launcher_serves_simulated_boards_without_a_database(tmp_path):
    import socket
    import subprocess

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    launcher = Path(__file__).resolve().parent.parent / "korval-tango"
    server = subprocess.Popen([str(launcher), "bench", "--sim", "0x8140:BEEF", "-nodb", "-dlist", "lab/korval/1",
                               "-ORBendPoint", f"giop:tcp:127.0.0.1:{port}"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        proxy = tango.DeviceProxy(f"tango://127.0.0.1:{port}/lab/korval/1#dbase=no")
        wait_for(lambda: server.poll() is not None or _answers(proxy), what="the server's start")
        assert server.poll() is None, server.stderr.read().decode()
        assert proxy.state() == DevState.ON and proxy.BoardSerialNumber == "000000000000BEEF"
    finally:
        server.terminate()
        server.wait(10)


def _answers(proxy):
    try:
        proxy.ping()
        return True
    except tango.DevFailed:
        return False


def test_an_acquire_with_a_trigger_keeps_its_record_from_the_trigger(sim):
    board = board_with_serial(sim, 0x77)
    board.set_signal("sine", amplitude=5.0, frequency=10.0, channel=0)
    with serve(SerialNumber="77") as proxy:
        proxy.Channels, proxy.Rate = "0-1", 1000
        proxy.TriggerSlope, proxy.TriggerLevel, proxy.TriggerPreScans = "rising", 2.0, 5
        proxy.Acquire(50)
        wait_for(lambda: proxy.state() == DevState.ON, what="the record")
        volts = proxy.AcquiredVolts[:, 0]
        assert volts.shape == (50,) and volts[4] < 2.0 <= volts[5] and proxy.BlockTriggerScan >= 5
