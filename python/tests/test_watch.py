"""korval.watch(): boards plugged and unplugged on the simulation, in both forms."""

import threading

import korval
from conftest import needs

pytestmark = needs("KORVAL_RegisterBoardNotification")


def test_iterator_form_tells_arrival_and_departure(sim):
    sim.install()
    with korval.watch() as events:
        board = sim.add_board(0x8040)
        board.unplug()
        got = [events.get(timeout=5), events.get(timeout=5)]
    assert [(e.kind, e.product_id, e.vendor_id, e.driver_path) for e in got] == [
        ("arrived", 0x8040, 0x4B56, "winusb"), ("left", 0x8040, 0x4B56, "winusb")]
    assert got[0].path == board.interface_path
    assert list(events) == []  # closed: the iteration ends


def test_callback_form_may_call_the_library(sim):
    sim.install()
    seen = []
    done = threading.Event()

    def on_event(event):
        seen.append((event.arrived, len(korval.devices())))
        done.set()

    with korval.watch(on_event):
        sim.add_board(0x8040, "ioctl")
        assert done.wait(5)
    assert seen == [(True, 1)]
