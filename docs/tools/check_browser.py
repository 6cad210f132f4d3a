#!/usr/bin/env python3
"""Opens the built front page and one function's page in headless Chromium and checks, in the DOM the
browser built (scripts included), that each shows its title and the navigation menu.

    check_browser.py --html build/docs/html --tag build/docs/korval.tag [--function ADC_BulkContinuousStart]
"""

import argparse
import html.parser
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
from pathlib import Path

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--virtual-time-budget=5000"]


class Dom(html.parser.HTMLParser):
    """The page's <title>, its heading (div.title), the main menu's entries and the anchors' ids."""

    def __init__(self) -> None:
        super().__init__()
        self.title, self.heading, self.menu = "", "", []
        self.ids: set[str] = set()
        self._in = None
        self._menu_depth = 0
        self._depth = 0

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self._depth += 1
        if attrs.get("id"):
            self.ids.add(attrs["id"])
        if tag == "title":
            self._in = "title"
        elif tag == "div" and "title" in (attrs.get("class") or "").split():
            self._in = "heading"
        elif tag == "ul" and attrs.get("id") == "main-menu":
            self._menu_depth = self._depth
        elif tag == "a" and self._menu_depth:
            self._in = "menu"
            self.menu.append("")

    def handle_endtag(self, tag):
        if tag == "ul" and self._depth == self._menu_depth:
            self._menu_depth = 0
        self._depth -= 1
        if tag in ("title", "div", "a"):
            self._in = None

    def handle_data(self, data):
        if self._in == "title":
            self.title += data
        elif self._in == "heading":
            self.heading += data
        elif self._in == "menu":
            self.menu[-1] += data.strip()


def dump_dom(chromium: str, page: Path) -> str:
    with tempfile.TemporaryDirectory(prefix="korval-chromium-") as profile:
        result = subprocess.run([chromium, *CHROMIUM_FLAGS, f"--user-data-dir={profile}", "--dump-dom",
                                 page.resolve().as_uri()], capture_output=True, text=True, timeout=120)
    if result.returncode != 0 or "<html" not in result.stdout:
        sys.exit(f"chromium could not open {page}: {result.returncode}\n{result.stderr[-2000:]}")
    return result.stdout


def check(chromium: str, page: Path, want_title: str, want_heading: str, anchor: str = "") -> list[str]:
    dom = Dom()
    dom.feed(dump_dom(chromium, page))
    problems = []
    if want_title not in dom.title:
        problems.append(f"{page.name}: title {dom.title!r} lacks {want_title!r}")
    if want_heading not in dom.heading:
        problems.append(f"{page.name}: heading {dom.heading.strip()!r} lacks {want_heading!r}")
    entries = [m for m in dom.menu if m]
    for entry in ("Main Page", "Related Pages"):
        if entry not in entries:
            problems.append(f"{page.name}: navigation menu {entries} lacks {entry!r}")
    if anchor and anchor not in dom.ids:
        problems.append(f"{page.name}: no element with id {anchor!r}")
    print(f"{page.name}: title {dom.title.strip()!r}, heading {dom.heading.strip()!r}, menu {entries[:5]}...")
    return problems


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--html", type=Path, required=True)
    ap.add_argument("--tag", type=Path, required=True)
    ap.add_argument("--function", default="ADC_BulkContinuousStart")
    args = ap.parse_args()
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        sys.exit("chromium is missing: scripts/setup.sh --docs installs it")

    page, anchor, group = None, "", ""
    root = ET.parse(args.tag).getroot()
    for compound in root.iter("compound"):
        for member in compound.iter("member"):
            if member.get("kind") == "function" and member.findtext("name") == args.function:
                page, anchor = member.findtext("anchorfile"), member.findtext("anchor")
                if compound.get("kind") == "group":
                    group = compound.findtext("title")
    if page is None:
        sys.exit(f"{args.function} is not in the reference")

    problems = check(chromium, args.html / "index.html", "Korval", "Korval documentation")
    problems += check(chromium, args.html / page, "Korval", group or "", anchor)
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
