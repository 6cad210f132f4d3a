#!/usr/bin/env python3
"""Writes the documentation pages the build generates, as Markdown for Doxygen:

    exported-names.md   every name the library exports, one row per entry point with its forms
    tool-*.md           one page per korval command, from the command's own --help

    gen_pages.py --export-names build/src/export_names.txt --tool build/korval --out DIR
"""

import argparse
import re
import subprocess
import sys
from pathlib import Path


def export_rows(names_file: Path) -> list[tuple[str, list[str]]]:
    """Groups the exported names by entry point: [(plain name, [every name of it])], in list order."""
    names = []
    for line in names_file.read_text().splitlines():
        line = line.strip()
        if line:
            names.append(line.split("=")[0])
    present = set(names)
    rows: dict[str, list[str]] = {}
    for name in names:
        base = name
        if name.startswith("_") and name[1:] in present:
            base = name[1:]
        elif name.startswith("VB") and name[2:] in present:
            base = name[2:]
        rows.setdefault(base, []).append(name)
    return list(rows.items())


def write_export_page(names_file: Path, out: Path) -> None:
    rows = export_rows(names_file)
    total = sum(len(forms) for _, forms in rows)
    lines = [
        "# Exported names {#exported_names}",
        "",
        f"The library exports {total} names for {len(rows)} functions. A function is exported under its",
        "plain name; most also as `_Name`, the same entry point, and as `VBName`, a separate entry point",
        "for Visual Basic that takes the same arguments and returns what the plain function returns.",
        "Each row links to the function's reference; its forms behave exactly as it does.",
        "(This page is generated from the library's export list when the documentation is built.)",
        "",
        "| Function | `_` form | `VB` form | Other names |",
        "|---|---|---|---|",
    ]
    for base, forms in rows:
        underscore = f"`_{base}`" if f"_{base}" in forms else "—"
        vb = f"`VB{base}`" if f"VB{base}" in forms else "—"
        others = [f"`{f}`" for f in forms if f not in (base, f"_{base}", f"VB{base}")]
        lines.append(f"| {base}() | {underscore} | {vb} | {' '.join(others) or '—'} |")
    (out / "exported-names.md").write_text("\n".join(lines) + "\n")


def help_text(tool: Path, *words: str) -> str:
    result = subprocess.run([str(tool), *words, "--help"], capture_output=True, text=True, timeout=30)
    text = result.stdout or result.stderr
    if result.returncode != 0 and not text:
        sys.exit(f"korval {' '.join(words)} --help failed with {result.returncode}")
    return text.replace(str(tool), "korval").rstrip() + "\n"


def subcommands(text: str) -> list[tuple[str, str]]:
    """The subcommands a CLI11 help text lists under "SUBCOMMANDS:" (or "Subcommands:")."""
    found, inside = [], False
    for line in text.splitlines():
        if re.match(r"^\s*subcommands:\s*$", line, re.IGNORECASE):
            inside = True
            continue
        if inside:
            m = re.match(r"^\s{2,}(\S+)\s*(.*)$", line)
            if not m:
                if line.strip():
                    inside = False
                continue
            found.append((m.group(1), m.group(2).strip()))
    return found


def fenced(text: str) -> str:
    return "```\n" + text + "```\n"


def write_tool_pages(tool: Path, out: Path) -> None:
    top = help_text(tool)
    commands = subcommands(top)
    if not commands:
        sys.exit("korval --help lists no commands")
    index = ["# The korval tool {#tool_reference}", "",
             "`korval` drives real and simulated boards from a shell. Each page below is the command's own",
             "`--help`, taken from the tool when the documentation is built, with the help of each of its",
             "operations. The guide's @ref md_docs_getting_started \"Getting started\" page shows it at work.", "",
             fenced(top), "| Command | What it does |", "|---|---|"]
    for name, summary in commands:
        page = f"tool_{re.sub(r'[^A-Za-z0-9]', '_', name)}"
        index.append(f"| @subpage {page} \"korval {name}\" | {summary} |")
        text = help_text(tool, name)
        body = [f"# korval {name} {{#{page}}}", "", summary, "", fenced(text)]
        for op, op_summary in subcommands(text):
            body += [f"## korval {name} {op}", "", op_summary, "", fenced(help_text(tool, name, op))]
        (out / f"tool-{name}.md").write_text("\n".join(body))
    (out / "tool.md").write_text("\n".join(index) + "\n")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--export-names", type=Path, required=True)
    parser.add_argument("--tool", type=Path, required=True)
    parser.add_argument("--out", type=Path, required=True)
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    for stale in args.out.glob("*.md"):
        stale.unlink()
    write_export_page(args.export_names, args.out)
    write_tool_pages(args.tool, args.out)


if __name__ == "__main__":
    main()
