"""korval-tango: a Tango Controls device server for Korval boards.

One `KorvalBoard` device per board, bound to its board by the board's serial number (or a slot, or a
remote server), so that the device finds the same board again after a replug or a reboot. Run it with
the `korval-tango` launcher: ``korval-tango INSTANCE`` with the devices registered in the facility's
Tango database (docs/tango.md), or ``korval-tango INSTANCE --sim 0x8040`` on simulated boards.
"""

from .server import KorvalBoard, main

__all__ = ["KorvalBoard", "main"]
