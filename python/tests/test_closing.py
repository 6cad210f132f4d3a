"""How streams close when their `with` block is left or they are collected (pure Python)."""

import gc

import pytest

import korval
from korval import _lib


class Resource(_lib.Closing):
    def __init__(self, failing=False):
        self.failing, self.calls, self._running = failing, [], True

    def close(self, end=True):
        self.calls.append("close" if end else "close-no-end")
        self._running = False
        if self.failing:
            raise korval.KorvalError(31, "close")

    def _close_after_error(self):
        self.close(end=False)


@pytest.mark.parametrize(
    "failing, body_error, expected, calls",
    [
        (False, None, None, ["close"]),
        (True, None, korval.KorvalError, ["close"]),  # a failing close is raised...
        (True, KeyError, KeyError, ["close-no-end"]),  # ...but never over the error that left the block
        (False, KeyError, KeyError, ["close-no-end"]),
    ],
)
def test_leaving_the_block_closes_once(failing, body_error, expected, calls):
    r = Resource(failing)

    def run():
        with r as entered:
            assert entered is r
            if body_error is not None:
                raise body_error("in the block")

    if expected is None:
        run()
    else:
        with pytest.raises(expected):
            run()
    assert r.calls == calls


def test_a_running_resource_is_closed_when_collected_and_its_failure_dropped():
    closed = []

    class Tracked(Resource):
        def close(self, end=True):
            closed.append(self._running)
            super().close(end)

    Tracked(failing=True)
    gc.collect()
    assert closed == [True]
    stopped = Tracked()
    stopped._running = False
    del stopped
    gc.collect()
    assert closed == [True]
