#!/usr/bin/env python3
"""Lists the boards attached to this computer, or simulated ones: list_boards.py --sim 0x8040 0x8001"""

import argparse

import korval


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sim", nargs="*", metavar="PID", help="simulated boards by USB product ID")
    args = parser.parse_args()
    if args.sim is None:
        show()
        return
    with korval.Simulation() as sim:
        for pid in args.sim:
            sim.add_board(int(pid, 0))
        show()


def show() -> None:
    boards = korval.devices()
    for dev in boards:
        serial = f"{dev.serial_number:016X}" if dev.serial_number is not None else "none"
        print(f"{dev.index:<3} 0x{dev.product_id:04X}  {dev.name}  serial {serial}")
        print(f"      {', '.join(dev.features) or 'no known capabilities'}")
    if not boards:
        print("no boards")


if __name__ == "__main__":
    main()
