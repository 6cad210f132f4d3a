import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import korval

REPO = Path(__file__).resolve().parent.parent.parent


@pytest.mark.parametrize("pid, path, features", [
    (0x8040, "winusb", ["16-channel analog input", "2 digital ports", "3 counters"]),
    (0x8145, "winusb", ["64-channel analog input", "2 analog outputs", "2 digital ports", "3 counters"]),
    (0x8001, "ioctl", ["4 digital ports", "debounced inputs", "9 counters"]),
    (0x8073, "winusb", ["12 analog outputs", "calibrated outputs", "2 digital ports", "2048 KiB flash"]),
    (0x4001, "winusb", ["8 analog outputs", "waveform output"]),
])
def test_devices_lists_each_board_with_its_capabilities(sim, pid, path, features):
    sim.add_board(pid, path)
    (dev,) = korval.devices()
    assert (dev.index, dev.product_id, dev.features) == (0, pid, features)
    assert dev.capabilities.driver_path == path
    assert dev.name  # every listed product reports its name
    assert f"0x{pid:04X}" in repr(dev)


def test_identification_and_finding_boards(sim):
    a = sim.add_board(0x8040)
    b = sim.add_board(0x8020)
    a.set_product_name("Bench rig")
    b.set_serial_number(0x1122334455667788)
    a.set_serial_number(0)
    assert [d.product_id for d in korval.devices()] == [0x8040, 0x8020]
    assert korval.Device(0).name == "Bench rig"
    assert korval.Device(0).serial_number is None  # unprogrammed
    assert korval.Device.by_serial_number(0x1122334455667788).index == 1
    assert korval.Device.first().index == 0
    with pytest.raises(korval.KorvalError) as e:
        korval.Device.only()
    assert (e.value.code, e.value.name) == (52, "ERROR_DUP_NAME")


@pytest.mark.parametrize("make, code", [
    (lambda: korval.Device(3), 2),
    (lambda: korval.Device(32), 1413),
    (korval.Device.first, 2),
    (korval.Device.only, 2),
])
def test_no_board_is_a_clear_error(sim, make, code):
    with pytest.raises(korval.KorvalError) as e:
        make()
    assert e.value.code == code and e.value.name == korval.result_name(code)


def test_boards_added_later_are_found_and_unplugging_raises_device_removed(sim):
    assert korval.devices() == []
    board = sim.add_board(0x8040)
    dev = korval.Device(0)  # an empty slot looks for new boards
    board.unplug()
    with pytest.raises(korval.KorvalError) as e:
        dev.dio.read_all()
    assert e.value.name == "ERROR_DEVICE_REMOVED"
    dev.close()  # clears the removal mark
    board.replug()
    assert [d.product_id for d in korval.devices()] == [0x8040]


def test_leaving_the_simulation_puts_the_system_host_back():
    system_boards = [d.product_id for d in korval.devices()]
    with korval.Simulation() as sim:
        sim.add_board(0x8145)
        assert [d.product_id for d in korval.devices()] == [0x8145]
    assert [d.product_id for d in korval.devices()] == system_boards


def test_loading_the_library_does_nothing_until_the_first_call():
    # The load starts no thread and opens no board: the first call into the library does that.
    code = ("import os, korval\n"
            "before = len(os.listdir('/proc/self/task'))\n"
            "korval.library_path()\n"
            "loaded = len(os.listdir('/proc/self/task'))\n"
            "print(before, loaded, isinstance(korval.devices(), list))\n")
    env = dict(os.environ, PYTHONPATH=str(REPO / "python"))
    run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    before, loaded, listed = run.stdout.split()
    assert (loaded, listed) == (before, "True")


def test_simulated_boards_are_never_unusable(sim):
    sim.add_board(0x8040)
    assert korval.unusable_boards() == []
    assert [d.usable for d in korval.devices()] == [True]


def test_a_board_made_unusable_is_listed_not_placed(sim):
    sim.add_board(0x8040)
    sim.add_board(0x8001).set_unusable(5)
    [board] = korval.unusable_boards()
    assert (board.product_id, board.code, board.usable) == (0x8001, 5, False)
    assert [d.usable for d in korval.devices()] == [True, False]


def test_result_names_match_the_c_header():
    header = (REPO / "include" / "korval" / "korval.h").read_text()
    codes = {int(v): n for n, v in re.findall(r"X\((ERROR_\w+), (\d+)\)", header)}
    assert codes == korval.errors.RESULT_NAMES


def test_a_missing_library_names_what_was_tried(tmp_path):
    missing = tmp_path / "libkorval.so"
    env = dict(os.environ, KORVAL_LIBRARY=str(missing), PYTHONPATH=str(REPO / "python"))
    run = subprocess.run([sys.executable, "-c", "import korval; korval.devices()"], env=env,
                         capture_output=True, text=True)
    assert run.returncode != 0
    assert "LibraryNotFoundError" in run.stderr and str(missing) in run.stderr


def test_help_reads_as_documentation():
    import pydoc
    text = pydoc.render_doc(korval.Device, renderer=pydoc.plaintext)
    for words in ("Device.first()", "dio", "serial_number", "vendor_read"):
        assert words in text
