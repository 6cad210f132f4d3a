"""Every test runs on simulated boards, in a simulation of its own."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import korval  # noqa: E402
from korval import _lib  # noqa: E402


@pytest.fixture
def sim():
    with korval.Simulation() as simulation:
        yield simulation


def needs(*functions: str) -> pytest.MarkDecorator:
    """Skips a test, saying why, while the library lacks one of these functions."""
    missing = [f for f in functions if not _lib.load().has(f)]
    return pytest.mark.skipif(bool(missing), reason=f"the library has no {', '.join(missing)} yet")
