"""The Python layer's own cost of `Adc.stream(rate=...)`: samples per second delivered into volts, at 8
channels, against numpy's plain conversion of the same counts (counts * scale + offset).

The layer's cost is measured on an instant board: buffers of counts are handed to the stream's
callback as the library's buffer thread hands them (copied out of the ring, queued), then taken as
Blocks of volts, with no board or transport in the way. For reference it also prints the whole chain
on a simulated board, whose sample making bounds that figure.

    KORVAL_LIBRARY=build/src/libkorval.so PYTHONPATH=python python3 bench/python_stream_bench.py [SECONDS]

Prints both rates and their ratio. Goal: at least 20 M samples/s into volts, within 2x of the plain
conversion.
"""

import sys
import time

import numpy as np

import korval

CHANNELS = 8
RATE = 1_000_000  # scans per second asked of the scan clock; the pattern board ignores it
BLOCK_SECONDS = 0.05


def stream_rate(seconds: float) -> tuple[float, int]:
    with korval.Simulation() as sim:
        board = sim.add_board(0x8040)
        board.set_sample_pattern(list(range(1000, 1000 + 64 * CHANNELS)))
        dev = korval.Device(0)
        scans = 0
        with dev.adc.stream(rate=RATE, channels=range(CHANNELS), block_seconds=BLOCK_SECONDS) as stream:
            start = time.perf_counter()
            for block in stream:
                scans += len(block)
                if time.perf_counter() - start >= seconds:
                    break
            elapsed = time.perf_counter() - start
            block_scans = stream.block_scans
    return scans * CHANNELS / elapsed, block_scans


def layer_rate(block_scans: int, seconds: float) -> float:
    """The stream's callback and iterator alone, fed ring-sized buffers of counts."""
    import ctypes

    with korval.Simulation() as sim:
        sim.add_board(0x8040)
        dev = korval.Device(0)
        with dev.adc.stream(rate=1, channels=range(CHANNELS)) as stream:  # 1 scan/s: the board adds nothing
            stream.block_scans = block_scans
            ring_buffer = (ctypes.c_uint16 * (block_scans * CHANNELS))(*range(block_scans * CHANNELS))
            pointer = ctypes.cast(ring_buffer, ctypes.POINTER(ctypes.c_uint16))
            size = ctypes.sizeof(ring_buffer)
            samples = 0
            start = time.perf_counter()
            while time.perf_counter() - start < seconds:
                stream._on_buffer(pointer, size, 0, 0)
                samples += next(stream).volts.size
            elapsed = time.perf_counter() - start
    return samples / elapsed


def plain_rate(block_scans: int, seconds: float) -> float:
    counts = (np.arange(block_scans * CHANNELS) % 65536).astype(np.uint16).reshape(-1, CHANNELS)
    scale = np.full(CHANNELS, 20.0 / 65536)
    offset = np.full(CHANNELS, -10.0)
    done = 0
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        volts = counts * scale + offset
        done += volts.size
    return done / (time.perf_counter() - start)


def main() -> None:
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 3.0
    block_scans = round(BLOCK_SECONDS * 100_000)  # a block at 100,000 scans per second
    layer = layer_rate(block_scans, seconds)
    plain = plain_rate(block_scans, seconds)
    chain, _ = stream_rate(seconds)
    print(f"stream(rate=...), {CHANNELS} channels, blocks of {block_scans} scans, instant board: "
          f"{layer / 1e6:8.2f} M samples/s into volts")
    print(f"numpy plain conversion of the same blocks:                          {plain / 1e6:8.2f} M samples/s")
    print(f"ratio plain / stream: {plain / layer:.2f} (goal: stream >= 20 M samples/s, ratio <= 2)")
    print(f"whole chain on a simulated board (bounded by its sample making):    {chain / 1e6:8.2f} M samples/s")


if __name__ == "__main__":
    main()
