#!/bin/sh
# Checks with clang-format (.clang-format) the C and C++ lines changed since a fixed commit of the
# project's history: code written before the layout was written down keeps its lines until they are
# changed for another reason, and every line changed since must be in the layout. The export list, a
# table laid out by hand, is left out.
#   scripts/check-format.sh [BASE]     prints the changes clang-format would make; fails if there are any
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh --format
# The last commit before .clang-format: the history every clone of the project holds.
base=${1:-8d5641c}
if ! git rev-parse --verify --quiet "$base^{commit}" > /dev/null; then
    echo "check-format: commit $base is not in this clone (a shallow clone?); fetch the history to check" >&2
    exit 1
fi
out=$(git clang-format --style=file --diff --extensions c,h,cpp "$base" -- include src tools tests bench examples ":!src/core/export_list.h")
case "$out" in
    ""|"no modified files to format"|"clang-format did not modify any files") echo "check-format: clean" ;;
    *) printf '%s\n' "$out"; echo "check-format: the lines above are not in the layout of .clang-format" \
           "(git clang-format --style=file $base fixes them)" >&2; exit 1 ;;
esac
