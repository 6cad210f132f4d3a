#!/bin/sh
# Checks the documentation "make docs" built in BUILD (default build): every exported name appears in
# the reference, every internal link resolves, and headless Chromium renders the front page and a
# function's page with their titles and navigation. Doxygen itself already failed the build on any
# warning (an undocumented function or parameter, a broken reference).
#   scripts/check-docs.sh [BUILD]
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
python3 docs/tools/check_docs.py --html "$build/docs/html" --xml "$build/docs/xml" \
    --export-names "$build/src/export_names.txt"
python3 docs/tools/check_browser.py --html "$build/docs/html" --tag "$build/docs/korval.tag"
