"""The guide's examples are run: every ```python block (in a fresh interpreter, on a simulated board),
every `build/korval --sim ...` line of a ```sh block, and every ```c block is checked to be a part of
an example program that the build compiles and a test runs. Blocks of a section marked
<!-- rate-layer: ... --> need the rate layer and are skipped, saying so, while it is missing."""

import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

DOCS = Path(__file__).resolve().parent.parent
ROOT = DOCS.parent
PAGES = sorted(DOCS.glob("*.md"))
EXAMPLES = sorted((DOCS / "examples").glob("*.c")) + sorted((ROOT / "examples").glob("*.c"))

# A block made to run on a board gets a simulated 0x8040 unless it makes its own simulation.
PREAMBLE = """import korval, runpy, sys
with korval.Simulation() as _sim:
    _sim.add_board(0x8040)
    exec(compile(sys.stdin.read(), {name!r}, "exec"), {{"__name__": "__main__"}})
"""


def blocks(language: str):
    """(page, line, text, needs rate layer) of every fenced block of a language in the guide."""
    found = []
    for page in PAGES:
        rate_layer = False
        lines = page.read_text().splitlines()
        i = 0
        while i < len(lines):
            line = lines[i]
            if line.startswith("## "):
                rate_layer = False
            if "<!-- rate-layer:" in line:
                rate_layer = True
            m = re.match(r"^\s*```(\w+)\s*$", line)
            if m:
                end = i + 1
                while not re.match(r"^\s*```\s*$", lines[end]):
                    end += 1
                if m.group(1) == language:
                    indent = len(line) - len(line.lstrip())
                    body = "\n".join(l[indent:] for l in lines[i + 1:end])
                    found.append(pytest.param(page, i + 1, body, rate_layer, id=f"{page.name}:{i + 1}"))
                i = end
            i += 1
    return found


def python_env() -> dict:
    """The environment of a block: the package of this source tree first on the path."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(ROOT / "python"), env.get("PYTHONPATH", "")) if p)
    return env


def rate_layer_present() -> bool:
    import korval

    return hasattr(korval.Adc, "read") and hasattr(korval.Adc, "record")


@pytest.mark.parametrize("page,line,code,rate_layer", blocks("python"))
def test_python_block(page, line, code, rate_layer, tmp_path):
    if rate_layer and not rate_layer_present():
        pytest.skip("the Python package has no rate layer (Adc.read, Adc.record) yet")
    name = f"{page.name}:{line}"
    if "Simulation(" in code:
        argv, stdin = [sys.executable, "-c", code], None
    else:
        argv, stdin = [sys.executable, "-c", PREAMBLE.format(name=name)], code
    result = subprocess.run(argv, input=stdin, capture_output=True, text=True, timeout=120, cwd=tmp_path,
                            env=python_env())
    assert result.returncode == 0, f"{name} failed:\n{result.stdout}\n{result.stderr}"


def tool_lines():
    found = []
    for param in blocks("sh"):
        page, line, body, rate_layer = param.values
        for n, text in enumerate(body.splitlines()):
            command = text.split("#")[0].strip()
            if command.startswith("build/korval ") and "--sim" in command:
                found.append(pytest.param(command, rate_layer, id=f"{page.name}:{line + n + 1}"))
    return found


@pytest.mark.parametrize("command,rate_layer", tool_lines())
def test_tool_line(command, rate_layer, tmp_path):
    tool = os.environ.get("KORVAL_TOOL", str(ROOT / "build" / "korval"))
    if rate_layer:
        help_text = subprocess.run([tool, "adc", "acquire", "--help"], capture_output=True, text=True).stdout
        if "--rate" not in help_text:
            pytest.skip("the tool's adc acquire has no --rate yet")
    args = shlex.split(command)[1:]
    result = subprocess.run([tool, *args], capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert result.returncode == 0, f"{command} failed:\n{result.stdout}\n{result.stderr}"


def stripped(text: str) -> list[str]:
    return [l.strip() for l in text.splitlines() if l.strip()]


@pytest.mark.parametrize("page,line,code,rate_layer", blocks("c"))
def test_c_block_is_in_an_example(page, line, code, rate_layer):
    wanted = stripped(code)
    for example in EXAMPLES:
        have = iter(stripped(example.read_text()))
        if all(any(w == h for h in have) for w in wanted):
            return
    pytest.fail(f"{page.name}:{line}: no example program holds these lines in this order:\n{code}")

