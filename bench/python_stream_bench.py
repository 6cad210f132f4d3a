"""Python's `Adc.stream(rate=...)` on the library's measurements: samples per second delivered into volts
(numpy arrays of volts and counts per block), at 8 channels, on a simulated board sending a fixed
pattern as fast as it is read.

    KORVAL_LIBRARY=build/src/libkorval.so PYTHONPATH=python python3 bench/python_stream_bench.py [SECONDS]

Prints the rate of the whole chain (board model, library, Python), and the rate of the Python layer
alone: the samples over the CPU time of the reading thread outside the library's read (which holds
the conversion of the board's counts straight into the block's arrays and the wait for a block; the
board model runs on the library's threads). A loaded machine lowers the first figure, hardly the second. Goal: at least
50 M samples/s into volts.
"""

import sys
import time

import korval
from korval import measure

CHANNELS = 8
RATE = 2_500_000  # scans per second asked of the scan clock, the counters' highest
BLOCK_SECONDS = 0.01


def stream_rate(seconds: float) -> tuple[float, float, int]:
    """(samples per second, samples per second of the Python layer's own time, scans per block)."""
    in_read = 0.0
    original = measure._Measurement.read

    def timed_read(self, *args):
        nonlocal in_read
        start = time.thread_time()
        try:
            return original(self, *args)
        finally:
            in_read += time.thread_time() - start

    with korval.Simulation() as sim:
        board = sim.add_board(0x8040)
        board.set_sample_pattern(list(range(1000, 1000 + 64 * CHANNELS)))
        board.set_sample_rate(0)
        dev = korval.Device(0)
        scans = 0
        measure._Measurement.read = timed_read
        try:
            with dev.adc.stream(rate=RATE, channels=range(CHANNELS), block_seconds=BLOCK_SECONDS) as stream:
                next(stream)  # the first block pays the one-time costs (numpy's ctypes, the bindings)
                start, cpu_start = time.perf_counter(), time.thread_time()
                in_read = 0.0
                for block in stream:
                    scans += len(block)
                    if time.perf_counter() - start >= seconds:
                        break
                elapsed = time.perf_counter() - start
                python_cpu = time.thread_time() - cpu_start - in_read
                block_scans = stream.block_scans
        finally:
            measure._Measurement.read = original
    samples = scans * CHANNELS
    return samples / elapsed, samples / max(python_cpu, 1e-9), block_scans


def main() -> None:
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 3.0
    rate, layer, block_scans = stream_rate(seconds)
    print(f"stream(rate=...), {CHANNELS} channels, blocks of {block_scans} scans, simulated board: "
          f"{rate / 1e6:8.2f} M samples/s into volts (goal: 50)")
    print(f"the Python layer alone (its thread's CPU time outside the library's read): {layer / 1e6:8.2f} M samples/s")


if __name__ == "__main__":
    main()
