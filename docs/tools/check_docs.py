#!/usr/bin/env python3
"""Checks the built documentation:

  - every name the library exports (the build's export_names.txt, from the export list, so new extras
    are checked too) is listed on the exported-names page, and every entry point behind those names is
    a function of the reference with a description of its own (Doxygen's XML index);
  - every internal link and anchor of every HTML page resolves.

    check_docs.py --html build/docs/html --xml build/docs/xml --export-names build/src/export_names.txt
"""

import argparse
import html.parser
import sys
import urllib.parse
import xml.etree.ElementTree as ET
from pathlib import Path


def exported(names_file: Path) -> tuple[list[str], set[str]]:
    """Every exported name, and the entry points they are names of (the plain names)."""
    names, entries = [], set()
    lines = [l.strip() for l in names_file.read_text().splitlines() if l.strip()]
    present = {l.split("=")[0] for l in lines}
    for line in lines:
        name = line.split("=")[0]
        names.append(name)
        base = name
        if name.startswith("_") and name[1:] in present:
            base = name[1:]
        elif name.startswith("VB") and name[2:] in present:
            base = name[2:]
        entries.add(base)
    return names, entries


def documented_functions(xml_dir: Path) -> dict[str, bool]:
    """Function name -> whether the reference describes it (a brief or detailed description)."""
    found: dict[str, bool] = {}
    index = ET.parse(xml_dir / "index.xml").getroot()
    for compound in index.iter("compound"):
        if compound.get("kind") not in ("file", "group"):
            continue
        for member in ET.parse(xml_dir / f"{compound.get('refid')}.xml").getroot().iter("memberdef"):
            if member.get("kind") != "function":
                continue
            text = "".join(member.find("briefdescription").itertext()).strip()
            text += "".join(member.find("detaileddescription").itertext()).strip()
            name = member.findtext("name")
            found[name] = found.get(name, False) or bool(text)
    return found


class Links(html.parser.HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.links: list[str] = []
        self.anchors: set[str] = set()
        self.text: list[str] = []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        for key in ("id", "name"):
            if attrs.get(key):
                self.anchors.add(attrs[key])
        for key in ("href", "src"):
            if attrs.get(key):
                self.links.append(attrs[key])

    def handle_data(self, data):
        self.text.append(data)


def parse(page: Path) -> Links:
    parser = Links()
    parser.feed(page.read_text(errors="replace"))
    return parser


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--html", type=Path, required=True)
    ap.add_argument("--xml", type=Path, required=True)
    ap.add_argument("--export-names", type=Path, required=True)
    args = ap.parse_args()
    problems = []

    names, entries = exported(args.export_names)
    functions = documented_functions(args.xml)
    for entry in sorted(entries):
        if entry not in functions:
            problems.append(f"exported function {entry} is not in the reference")
        elif not functions[entry]:
            problems.append(f"exported function {entry} has no description in the reference")
    names_page = args.html / "exported_names.html"
    if not names_page.exists():
        problems.append("the exported-names page is missing")
    else:
        words = set(" ".join(parse(names_page).text).replace("(", " ").replace(")", " ").split())
        for name in names:
            if name not in words:
                problems.append(f"exported name {name} does not appear on the exported-names page")

    pages = {p.resolve(): parse(p) for p in args.html.rglob("*.html")}
    checked = 0
    for page, parsed in pages.items():
        for link in parsed.links:
            url = urllib.parse.urlsplit(link)
            if url.scheme or url.netloc or link.startswith("javascript:") or link.startswith("mailto:"):
                continue
            target = (page.parent / urllib.parse.unquote(url.path)).resolve() if url.path else page
            checked += 1
            if not target.exists():
                problems.append(f"{page.relative_to(args.html.resolve())}: broken link {link}")
                continue
            if url.fragment and target.suffix == ".html" and target in pages:
                if url.fragment not in pages[target].anchors:
                    problems.append(f"{page.relative_to(args.html.resolve())}: no anchor for {link}")

    for problem in problems:
        print(problem)
    print(f"{len(names)} exported names ({len(entries)} functions, {sum(functions.values())} described); "
          f"{len(pages)} pages, {checked} internal links; {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
