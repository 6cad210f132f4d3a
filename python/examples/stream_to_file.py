#!/usr/bin/env python3
"""Streams analog input samples to a file of little-endian uint16 counts until N samples are written
(stream_to_file.py out.u16 --samples 1000000). With --sim, a simulated board with a 50 Hz sine."""

import argparse
import contextlib

import korval


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("file")
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--sim", action="store_true", help="use a simulated board")
    args = parser.parse_args()
    with contextlib.ExitStack() as stack:
        if args.sim:
            sim = stack.enter_context(korval.Simulation())
            board = sim.add_board(0x8040)
            board.set_signal("sine", amplitude=4.0, frequency=50.0)
            board.set_sample_rate(100_000)
        dev = korval.Device.first()
        dev.adc.set_ranges(korval.Range.BIP_5V)
        dev.adc.set_channels(0, 0)
        dev.adc.set_mode(trigger=1)  # the board's own pacing clock
        written = 0
        with open(args.file, "wb") as out, dev.adc.stream(block_samples=16384) as stream:
            for block in stream:
                block = block[:args.samples - written]
                out.write(block.astype("<u2").tobytes())
                written += block.size
                if written >= args.samples:
                    break
        print(f"{written} samples written to {args.file}; the ring grew {stream.ring_grew} times")


if __name__ == "__main__":
    main()
