"""Digital ports, analog outputs, counters and the memories, through the package and on the wire."""

import pytest

import korval


def test_digital_ports_round_trip_and_wire_traffic(sim):
    board = sim.add_board(0x8040)
    dev = korval.Device(0)
    dev.dio.configure(outputs=0b01, levels=b"\x5a\x00")
    board.set_digital_inputs(b"\x00\x3c")
    assert board.digital_state()["outputs"] == b"\x5a\x00"
    assert dev.dio.read_all() == b"\x5a\x3c"
    dev.dio.write_bit(0, True)
    dev.dio.write_port(1, 0x81)  # port 1 is an input: the latch changes, the pins do not
    assert dev.dio.read_port(0) == 0x5B and dev.dio.read_bit(2) is False
    assert board.digital_state()["outputs"] == b"\x5b\x81"
    board.clear_log()
    dev.dio.write_all(b"\x01\x02")
    (write,) = board.requests()
    assert (write.request, write.direction_in, write.data[-2:]) == (0x10, False, b"\x01\x02")


@pytest.mark.parametrize("call, error", [
    (lambda d: d.dio.write_port(2, 0), "ERROR_INVALID_ADDRESS"),
    (lambda d: d.dio.read_bit(16), "ERROR_INVALID_ADDRESS"),
    (lambda d: d.flash.read(0, 4), "ERROR_BAD_TOKEN_TYPE"),
    (lambda d: d.dac.write(0, 1), "ERROR_BAD_TOKEN_TYPE"),
    (lambda d: d.eeprom.read(0x100, 1), "ERROR_SEEK"),
])
def test_bad_calls_raise_the_library_code(sim, call, error):
    sim.add_board(0x8040)
    with pytest.raises(korval.KorvalError) as e:
        call(korval.Device(0))
    assert e.value.name == error


@pytest.mark.parametrize("call", [
    lambda d: d.dio.configure(outputs=0x100),
    lambda d: d.dio.write_all(b"\x00"),
    lambda d: d.adc.set_ranges([korval.Range.BIP_5V] * 3),
])
def test_arguments_the_board_cannot_take_are_refused_before_the_call(sim, call):
    board = sim.add_board(0x8040)
    dev = korval.Device(0)
    board.clear_log()
    with pytest.raises(ValueError):
        call(dev)
    assert board.log() == []


def test_analog_outputs(sim):
    board = sim.add_board(0x8074)
    dev = korval.Device(0)
    assert dev.dac.channels == 8
    dev.dac.write(1, 1000)
    dev.dac.write_many({0: 7, 3: 0xFFFF})
    dev.dac.set_range(2)
    assert board.dac_values()[:4] == [7, 1000, 0, 0xFFFF]
    assert board.dac_range == 2


def test_counters(sim):
    board = sim.add_board(0x8020)
    sim.manual_clock = True
    dev = korval.Device(0)
    assert len(dev.counters) == 15
    dev.counters[4].program(2, load=1000)
    state = board.counter(4)
    assert (state["mode"], state["initial_count"]) == (2, 1000)
    sim.advance(10e-6)  # 100 ticks of the 10 MHz clock
    assert dev.counters[4].read() == board.counter(4)["count"]
    assert dev.counters.read_all()[4] == board.counter(4)["count"]
    with pytest.raises(IndexError):
        dev.counters[15]


def test_eeprom_and_flash(sim):
    board = sim.add_board(0x8070)
    dev = korval.Device(0)
    dev.eeprom.write(0x10, b"korval")
    assert dev.eeprom.read(0x10, 6) == b"korval"
    assert board.eeprom_read(0x1E10, 6) == b"korval"
    assert len(dev.eeprom.read()) == 256
    dev.flash.erase(1)
    dev.flash.write(0x10000, b"\x12\x34\x56\x78")
    assert dev.flash.read(0x10000, 4) == b"\x12\x34\x56\x78" == board.flash_read(0x10000, 4)

