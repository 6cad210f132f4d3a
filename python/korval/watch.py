"""Being told of boards that arrive and leave (KORVAL_RegisterBoardNotification).

    for event in korval.watch():          # the iterator form: blocks until the next event
        print(event.kind, hex(event.product_id), event.path)
        if event.arrived:
            korval.devices()                # the slots change only when the program looks again

    with korval.watch(print):             # the callback form: called on the library's thread
        ...

A watch tells; it changes no slot. Boards present when it starts are not reported.
"""

from __future__ import annotations

import ctypes
import queue
from dataclasses import dataclass
from typing import Any, Callable, Iterator, Optional

from . import _lib

ARRIVED, LEFT = 1, 2


@dataclass(frozen=True)
class BoardEvent:
    """A board of the family that was plugged in (`arrived`) or unplugged."""

    arrived: bool
    vendor_id: int      # 0 when the system does not say
    product_id: int     # 0 when the system does not say
    driver_path: str    # "winusb" or "ioctl"
    path: str           # where it is, as the library names it
    serial_number: str  # "" when not known without opening the board

    @property
    def kind(self) -> str:
        return "arrived" if self.arrived else "left"

    @classmethod
    def _from_c(cls, e: _lib.BoardEventInfo) -> "BoardEvent":
        return cls(arrived=e.Kind == ARRIVED, vendor_id=e.VendorID, product_id=e.ProductID,
                   driver_path="ioctl" if e.DriverPath == 1 else "winusb",
                   path=e.Path.decode(errors="replace"), serial_number=e.SerialNumber.decode(errors="replace"))


class BoardWatch:
    """One registration. Without a callback the events are kept for iteration (`next()`, `get()`);
    with one, each event is passed to it on the library's thread. `close()` (or leaving a `with` block)
    ends it; after it returns the callback is not called again."""

    def __init__(self, callback: Optional[Callable[[BoardEvent], Any]] = None) -> None:
        self._lib = _lib.load()
        self._callback = callback
        self._events: "queue.Queue[BoardEvent]" = queue.Queue()
        self._c_callback = _lib.BoardCallback(self._on_event)  # kept alive while registered
        registration = ctypes.c_uint32(0)
        self._lib.call("KORVAL_RegisterBoardNotification", self._c_callback, None, 0, ctypes.byref(registration))
        self._registration: Optional[int] = registration.value

    def _on_event(self, _context: Any, event: Any) -> None:
        e = BoardEvent._from_c(event.contents)
        if self._callback is None:
            self._events.put(e)
            return
        try:
            self._callback(e)
        except Exception:  # noqa: BLE001 - an exception cannot cross into the library's thread
            import traceback

            traceback.print_exc()

    def get(self, timeout: Optional[float] = None) -> Optional[BoardEvent]:
        """The next event, waiting up to `timeout` seconds (None: while the watch is open); None when
        none came."""
        try:
            if timeout is not None:
                return self._events.get(timeout=timeout)
            while self._registration is not None:  # short waits, so that Ctrl-C is seen
                try:
                    return self._events.get(timeout=0.2)
                except queue.Empty:
                    continue
            return self._events.get_nowait()
        except queue.Empty:
            return None

    def __iter__(self) -> Iterator[BoardEvent]:
        return self

    def __next__(self) -> BoardEvent:
        event = self.get()
        if event is None:
            raise StopIteration
        return event

    def close(self) -> None:
        if self._registration is not None:
            registration, self._registration = self._registration, None
            self._lib.call("KORVAL_UnregisterBoardNotification", registration)

    def __enter__(self) -> "BoardWatch":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # noqa: BLE001 - at interpreter exit the library may be gone
            pass


def watch(callback: Optional[Callable[[BoardEvent], Any]] = None) -> BoardWatch:
    """Starts telling of boards that arrive and leave: an iterator of `BoardEvent`s, or, with
    `callback`, a call of it per event on the library's thread."""
    return BoardWatch(callback)
