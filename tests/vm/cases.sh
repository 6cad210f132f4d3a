# The cases of make test-vm. In the VM (no KORVAL_SIM) they run against boards on the dummy USB port,
# made by korval-gadget; here (KORVAL_SIM=PID) against a simulated board of that product. Each case
# prints "== NAME", then what the tool printed and its exit code; the two runs must print the same.
# Checks that only the VM can make (unplugging the port) print "ok ..." in both.
set -u
tool=${KORVAL_TOOL:-/korval/korval}
# The boards, one per dummy port, in slot order: analog input, waveform output, digital streaming.
products="0x8040 0x4001 0x800C"

# Within seconds, until a command succeeds.
wait_for() {
    seconds=$1
    shift
    i=0
    while ! "$@" > /dev/null 2>&1; do
        i=$((i + 1))
        [ "$i" -gt $((seconds * 10)) ] && return 1
        sleep 0.1
    done
}
on_bus() { grep -qs "^$1\$" /sys/bus/usb/devices/*/idProduct; }
gone() { ! on_bus "$1"; }
udc_file() { echo "/sys/kernel/config/usb_gadget/board$1/UDC"; }

if [ -n "${KORVAL_SIM:-}" ]; then
    vm=false
    sims=""
    for p in $products; do sims="$sims --sim $p"; done
    k() { "$tool" $sims "$@" 2>&1; echo "(exit $?)"; }
else
    vm=true
    k() { "$tool" "$@" 2>&1; echo "(exit $?)"; }
    n=0
    for p in $products; do
        # The serial number a simulated board has in slot n ("KVSI" and its number).
        serial=$(printf '4B565349%08X' $((n + 1)))
        /korval/korval-gadget --product "$p" --serial "$serial" --udc dummy_udc.$n --name board$n \
            > /tmp/gadget$n.log 2>&1 &
        id=$(printf '%04x' "$p")
        if ! wait_for 60 on_bus "$id"; then
            echo "korval-vm: board $p did not appear on the bus"
            cat /tmp/gadget$n.log
            exit 1
        fi
        n=$((n + 1))
    done
    for d in /sys/bus/usb/devices/*:1.0; do echo "korval-vm: $d: $(ls -d "$d"/ep_* | sed 's/.*ep_//' | tr '\n' ' ')"; done
fi

# Where the two differ by nature: rates measured on the clock, what only a simulated board can tell
# (its player's counts), and the spare endpoints korval-gadget declares on dummy_hcd's port
# (0x81, 0x8B: the tool lists every pipe the interface has).
# The pipes are listed in address order: the gadget declares them in the order the port needs.
same() {
    sed -e 's/ at [0-9.]* Hz/ at RATE Hz/; /^simulated board /d; s/^pipes          0x/               0x/' \
        -e '/^ *0x8[1B] bulk in$/d' |
        awk '/^               0x/ { pipes = pipes $0 "\n"; next }
             pipes != "" { print "pipes"; fflush(); printf "%s", pipes | "sort"; close("sort"); pipes = "" }
             { print }'
}
run_case() {
    echo "== $*"
    k "$@" | same
}

# ---- found: slot, product ID, name, serial number ----
run_case list
run_case info -d 0
run_case info -d 1
run_case info -d 2

# ---- control requests ----
run_case dio -d 0 show
run_case dio -d 2 configure out 0x0F levels 0x5A then read all
run_case eeprom -d 0 read 0 32
run_case eeprom -d 0 write 0 11 22 33
run_case adc -d 0 config
run_case dac -d 1 set 0=1000 1=2000
run_case flash -d 0 read 0 16
run_case ctr -d 0 all

# ---- bulk: one-shot acquisition, waveform, digital streams ----
run_case adc -d 0 acquire --samples 4096
# (after the acquisition: in the VM the board keeps the scan's channels, a simulated one starts afresh)
run_case adc -d 0 scan ch 0-3
run_case dac -d 1 wave --shape sine --hz 10 --rate 1000 --channels 2 --seconds 1
run_case dio -d 2 stream in --points 2048 --hz 2000

# ---- unplugged (the port unbound) during an operation, then plugged in again ----
gone_pid() { [ ! -e "/proc/$1" ] || grep -q ') Z' "/proc/$1/stat"; }
unplug_case() {
    n=$1
    shift
    echo "== unplugged during: $*"
    if ! $vm; then
        echo "ended within 15 s, 1617, found again"
        return
    fi
    udc=$(cat "$(udc_file "$n")")
    id=$(cat /sys/bus/usb/devices/$((n + 1))-1/idProduct)
    # The board's slot now (a board plugged in again may come back in another slot).
    slot=$("$tool" list | awk -v id="0x$id" 'toupper($2) == toupper(id) { print $1 }')
    cmd=$(echo "$*" | sed "s/-d [0-9]*/-d $slot/")
    $tool $cmd > /tmp/unplug.log 2>&1 &
    pid=$!
    wait_for 30 test -s /tmp/unplug.log
    echo > "$(udc_file "$n")"
    if ! wait_for 15 gone_pid "$pid"; then
        echo "still running 15 s after the unplug:"
        cat /tmp/unplug.log
        kill -9 "$pid"
    fi
    wait "$pid"
    if grep -q 1617 /tmp/unplug.log; then
        printf 'ended within 15 s, 1617, '
    else
        echo "no 1617 (slot $slot of 0x$id: $cmd):"
        cat /tmp/unplug.log
        "$tool" list
    fi
    echo "$udc" > "$(udc_file "$n")"
    if wait_for 30 on_bus "$id" && wait_for 30 sh -c "'$tool' list | grep -q '$id'"; then
        echo "found again"
    else
        echo "not found again"
    fi
}
unplug_case 0 adc -d 0 stream --seconds 60

echo "korval-vm: cases done"
