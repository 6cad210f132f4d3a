"""The simulation's controls, as the package hands them over: faults, bulk data, the log, memories."""

import pytest

import korval


@pytest.mark.parametrize("injected, error", [(1167, "ERROR_DEVICE_REMOVED"), (31, "ERROR_GEN_FAILURE")])
def test_injected_faults_reach_the_caller(sim, injected, error):
    board = sim.add_board(0x8040)
    dev = korval.Device(0)
    board.fail(error=injected, kind="control", request=0x11)
    with pytest.raises(korval.KorvalError) as e:
        dev.dio.read_all()
    assert e.value.name == error
    (read,) = [t for t in board.requests() if t.request == 0x11]
    assert (read.error, read.direction_in) == (injected, True)


def test_bulk_data_both_ways_and_the_log(sim):
    board = sim.add_board(0x8040)
    dev = korval.Device(0)
    board.feed(b"\x01\x02\x03\x04\x05")
    assert board.pending() == 5
    assert dev.bulk_read(0x86, 4) == b"\x01\x02\x03\x04"
    assert dev.bulk_write(0x02, b"abc") == 3
    assert board.take_bulk_out() == b"abc"
    bulk = [t for t in board.log() if t.kind.startswith("bulk")]
    assert [(t.kind, t.endpoint, t.data) for t in bulk] == [
        ("bulk in", 0x86, b"\x01\x02\x03\x04"), ("bulk out", 0x02, b"abc")]
    board.clear_log()
    assert board.log() == []


def test_vendor_requests_and_identity_controls(sim):
    board = sim.add_board(0x8001, "ioctl")
    board.set_product_name("Rack 3")
    board.eeprom_write(0x1E00, b"\x42")
    dev = korval.Device.only()
    assert (dev.name, dev.capabilities.driver_path) == ("Rack 3", "ioctl")
    assert dev.eeprom.read(0, 1) == b"\x42"
    board.clear_log()
    dev.dio.write_all(b"\x01\x02\x03\x04")
    (sent,) = board.requests()
    dev.dio.write_all(bytes(4))
    dev.vendor_write(sent.request, sent.value, sent.index, sent.data)  # the same request by hand
    assert board.digital_state()["outputs"] == b"\x01\x02\x03\x04"
    assert dev.vendor_read(0x11, size=4) == dev.dio.read_all()
    again = board.requests()[2]
    assert (again.setup, again.data, again.via) == (sent.setup, sent.data, "ioctl")
