"""korval-tango through Tango's own client, on simulated boards, without a Tango database.

Tango starts one device server per process, so every test runs in a process of its own (pytest
--forked, python3-pytest-forked): its simulation and its server live and die with it.
"""

import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import korval  # noqa: E402


def wait_for(condition, seconds=10.0, what="condition"):
    """Polls `condition` until it holds; fails after `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value:
            return value
        assert time.monotonic() < deadline, f"{what}: not met within {seconds} s"
        time.sleep(0.01)


@pytest.fixture
def sim():
    with korval.Simulation() as simulation:
        yield simulation
