#!/usr/bin/env python3
"""Plots analog input 0, streamed, in volts (matplotlib). With --sim, a simulated board with a 50 Hz
square wave; --save FILE writes the plot to a file instead of showing it."""

import argparse
import contextlib

import numpy as np

import korval


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--samples", type=int, default=20_000)
    parser.add_argument("--rate", type=float, default=100_000.0, help="samples per second (simulation)")
    parser.add_argument("--save", metavar="FILE")
    parser.add_argument("--sim", action="store_true", help="use a simulated board")
    args = parser.parse_args()

    import matplotlib
    if args.save:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    with contextlib.ExitStack() as stack:
        if args.sim:
            sim = stack.enter_context(korval.Simulation())
            board = sim.add_board(0x8040)
            board.set_signal("square", amplitude=3.0, frequency=50.0)
            board.set_sample_rate(args.rate)
        dev = korval.Device.first()
        dev.adc.set_ranges(korval.Range.BIP_5V)
        dev.adc.set_channels(0, 0)
        dev.adc.set_mode(trigger=1)
        gain = dev.adc.range_of(0)
        blocks, total = [], 0
        with dev.adc.stream(block_samples=4096) as stream:
            for block in stream:
                blocks.append(block)
                total += block.size
                if total >= args.samples:
                    break
    volts = gain.to_volts(np.concatenate(blocks)[:args.samples])
    t = np.arange(volts.size) / args.rate
    plt.plot(t * 1000, volts)
    plt.xlabel("time (ms)")
    plt.ylabel(f"channel 0 (V, {gain})")
    if args.save:
        plt.savefig(args.save)
    else:
        plt.show()


if __name__ == "__main__":
    main()
