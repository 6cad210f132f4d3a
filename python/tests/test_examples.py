"""The examples run, on simulated boards."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import needs

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
SCAN = ("ADC_GetScanV", "KorvalSim_SetAdcSignal")
STREAM = ("ADC_BulkContinuousStart", "KorvalSim_SetAdcSignal", "KorvalSim_SetAdcRate")


@pytest.mark.parametrize("example, arguments, output", [
    pytest.param("list_boards.py", ["--sim", "0x8040", "0x8001"], "0x8001", id="list"),
    pytest.param("read_scan.py", ["--sim"], "channel 7: +1.2500 V", id="scan", marks=needs(*SCAN)),
    pytest.param("stream_to_file.py", ["{tmp}/samples.u16", "--samples", "5000", "--sim"], "5000 samples written",
                 id="stream", marks=needs(*STREAM)),
    pytest.param("plot_stream.py", ["--sim", "--samples", "2000", "--save", "{tmp}/plot.png"], "", id="plot",
                 marks=needs(*STREAM)),
])
def test_example_runs(tmp_path, example, arguments, output):
    if example == "plot_stream.py":
        pytest.importorskip("matplotlib")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(EXAMPLES.parent), os.environ.get("PYTHONPATH", "")]),
               MPLBACKEND="Agg", MPLCONFIGDIR=str(tmp_path))
    args = [a.format(tmp=tmp_path) for a in arguments]
    run = subprocess.run([sys.executable, str(EXAMPLES / example), *args], env=env, capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    assert output in run.stdout
