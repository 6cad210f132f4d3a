#!/bin/sh
# Checks the export table of KORVAL.dll against the .def file it was built from: exactly the listed
# names are exported, every "_Name = Name" alias has its twin's address, and every VB forwarder an
# address of its own. With a third argument, the list of documented names (tests/exported_names.txt),
# every documented name must be exported too, each alias at its twin's address.
set -eu
dll=$1
def=$2
documented=${3:-}
exports=$(mktemp)
trap 'rm -f "$exports"' EXIT

# "name rva" per export, from objdump's export address table ("[   0] +base[   1] 2440 Export RVA")
# and its name table ("[   0] ClearDevices"), both indexed from 0.
x86_64-w64-mingw32-objdump -p "$dll" | awk '
    function index_of(line) { match(line, /\[ *[0-9]+\]/); return substr(line, RSTART + 1, RLENGTH - 2) + 0 }
    /^Export Address Table -- Ordinal Base/ { section = "rva"; next }
    /^\[Ordinal\/Name Pointer\] Table/ { section = "name"; next }
    NF == 0 { section = "" }
    section == "rva" && /Export RVA/ { rva[index_of($0)] = $(NF - 2) }
    section == "name" && /^[ \t]*\[/ { name[index_of($0)] = $NF }
    END { for (i in name) print name[i], rva[i] }' > "$exports"

rva_of() { awk -v n="$1" '$1 == n { print $2; found = 1 } END { exit !found }' "$exports"; }

count=0
failures=0
while read -r first second third; do
    case "$first" in LIBRARY|EXPORTS|"") continue ;; esac
    count=$((count + 1))
    if ! rva=$(rva_of "$first"); then
        echo "missing export: $first" >&2
        failures=$((failures + 1))
        continue
    fi
    if [ "${second:-}" = "=" ] && [ "$rva" != "$(rva_of "$third" || true)" ]; then
        echo "$first is not at $third's address" >&2
        failures=$((failures + 1))
    fi
    case "$first" in VB*)
        if [ "${second:-}" != "=" ] && [ "$rva" = "$(rva_of "${first#VB}" || true)" ]; then
            echo "$first shares ${first#VB}'s address" >&2
            failures=$((failures + 1))
        fi ;;
    esac
done < "$def"

# The documented names: "Name forms" per line, forms all, underscore, plain or all=Twin.
if [ -n "$documented" ]; then
    missing=""
    expect() {  # name [twin]
        if ! rva=$(rva_of "$1"); then
            missing="$missing $1"
        elif [ -n "${2:-}" ] && [ "$rva" != "$(rva_of "$2" || true)" ]; then
            echo "$1 is not at $2's address" >&2
            failures=$((failures + 1))
        fi
    }
    total=0
    while read -r name forms; do
        case "$name" in \#*|"") continue ;; esac
        case "$forms" in
            plain) expect "$name"; total=$((total + 1)) ;;
            underscore) expect "$name"; expect "_$name" "$name"; total=$((total + 2)) ;;
            all) expect "$name"; expect "_$name" "$name"; expect "VB$name"; total=$((total + 3)) ;;
            all=*) twin=${forms#all=}
                expect "$name" "$twin"; expect "_$name" "$twin"; expect "VB$name" "VB$twin"; total=$((total + 3)) ;;
            *) echo "unknown forms in $documented: $name $forms" >&2; failures=$((failures + 1)) ;;
        esac
    done < "$documented"
    if [ -n "$missing" ]; then
        echo "documented names not exported:$missing" >&2
        failures=$((failures + 1))
    fi
    echo "KORVAL.dll: $total documented names checked"
fi

exported=$(wc -l < "$exports")
if [ "$exported" -ne "$count" ]; then
    echo "KORVAL.dll exports $exported names, the list has $count" >&2
    failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] || { echo "export table check failed" >&2; exit 1; }
echo "KORVAL.dll exports the $count listed names"
