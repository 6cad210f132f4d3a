#!/usr/bin/env python3
"""Checks that every file of src/ includes only its own layer's headers and those of layers below.

The layers, lowest first (CONTRIBUTING.md, "Layers"). Folders on one line are features side by side:
none of them includes another.
"""
import pathlib
import re
import sys

LAYERS = [
    ["base"],
    ["host"],
    ["board"],
    ["usb"],
    ["core"],
    ["pipes"],
    ["memory", "ctr"],
    ["adc", "dac", "dio"],
    ["measure"],
    ["api"],
]
RANK = {folder: rank for rank, folders in enumerate(LAYERS) for folder in folders}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/', re.M)


def main() -> int:
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    faults = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        own = path.relative_to(src).parts[0]
        if own not in RANK:
            if len(path.relative_to(src).parts) > 1:
                faults.append(f"{path}: folder {own} is in no layer")
            continue
        for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if target not in RANK or target == own:
                continue
            if RANK[target] > RANK[own]:
                faults.append(f"{path}: includes {target}/, a higher layer")
            elif RANK[target] == RANK[own]:
                faults.append(f"{path}: includes {target}/, a feature beside its own")
    for fault in faults:
        print(fault)
    print(f"layers: {len(faults)} include(s) against the layer order")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
