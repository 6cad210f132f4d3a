#!/usr/bin/env python3
"""Reads one scan of analog inputs 0 to 7 in the +-10 V range and prints volts per channel.
With --sim, a simulated board whose inputs see a 1.25 V source."""

import argparse
import contextlib

import korval


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sim", action="store_true", help="use a simulated board")
    args = parser.parse_args()
    with contextlib.ExitStack() as stack:
        if args.sim:
            sim = stack.enter_context(korval.Simulation())
            sim.add_board(0x8040).set_signal("constant", offset=1.25)
        dev = korval.Device.first()
        dev.adc.set_ranges(korval.Range.BIP_10V)
        dev.adc.set_channels(0, 7)
        dev.adc.set_oversample(15)
        for channel, volts in enumerate(dev.adc.scan()):
            print(f"channel {channel}: {volts:+.4f} V")


if __name__ == "__main__":
    main()
