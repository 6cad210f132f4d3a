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
        echo $! > /tmp/gadget$n.pid
        id=$(printf '%04x' "$p")
        if ! wait_for 60 on_bus "$id"; then
            echo "korval-vm: board $p did not appear on the bus"
            cat /tmp/gadget$n.log
            exit 1
        fi
        n=$((n + 1))
    done
    # Should a case hang, what the boards and programs were doing shows before the time limit ends the VM.
    (
        sleep "${KORVAL_VM_WATCHDOG:-420}"
        echo "korval-vm: still running; the boards' logs and the processes:"
        tail -n 5 /tmp/gadget*.log
        ps
    ) &
    for d in /sys/bus/usb/devices/*:1.0; do echo "korval-vm: $d: $(ls -d "$d"/ep_* | sed 's/.*ep_//' | tr '\n' ' ')"; done
fi

# Where the two differ by nature: rates measured on the clock, the inputs' volts (the tool gives a
# simulated board's inputs sines that move with time), what only a simulated board can tell
# (its player's counts), and the spare endpoints korval-gadget declares on dummy_hcd's port
# (0x81, 0x8B: the tool lists every pipe the interface has).
# The pipes are listed in address order: the gadget declares them in the order the port needs.
same() {
    sed -e 's/ at [0-9.]* Hz/ at RATE Hz/; /^simulated board /d; s/^pipes          0x/               0x/' \
        -e 's/[+-][0-9]*\.[0-9]\{6\}\( \|$\)/VOLTS\1/g' \
        -e '/^ *0x8[1B] bulk in$/d' |
        awk '/^               0x/ { pipes = pipes $0 "\n"; next }
             pipes != "" { print "pipes"; fflush(); printf "%s", pipes | "sort"; close("sort"); pipes = "" }
             { print }'
}
run_case() {
    header "== $*"
    k "$@" | same
}

# A case's title; in the VM also the time since boot (a figure, not compared).
header() {
    echo "$1"
    if $vm; then echo "figure: at $(cut -d' ' -f1 /proc/uptime) s"; fi
}

# What the board in slot n did with what it was sent (korval-gadget reports it on SIGUSR2): in the VM
# the report must contain the text; on a simulated board the tool's own output showed it.
board_did() {
    header "== the board in slot $1 did: $2"
    $vm || { echo ok; return; }
    # (the tool returns once the board has its data; the board may still be putting it out)
    tries=0
    while :; do
        before=$(grep -c 'report:' /tmp/gadget$1.log)
        kill -USR2 "$(cat /tmp/gadget$1.pid)"
        wait_for 5 sh -c "[ \$(grep -c 'report:' /tmp/gadget$1.log) -gt $before ]"
        line=$(grep 'report:' /tmp/gadget$1.log | tail -n 1)
        case "$line" in *"$2"*) break ;; esac
        tries=$((tries + 1))
        [ "$tries" -ge 20 ] && break
        sleep 0.5
    done
    echo "figure: board $1: ${line#*report: }"
    case "$line" in *"$2"*) echo ok ;; *) echo "not so: $line" ;; esac
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
board_did 1 "waveform 1000 points of 2 channels, 0 underruns, ended 1; channel 0 codes"
run_case dio -d 2 stream in --points 2048 --hz 2000
# A count from the board, then the same points to it.
points=${TMPDIR:-/tmp}/korval-vm-points.bin
run_case dio -d 2 stream in --points 4096 --hz 4000 --out "$points"
run_case dio -d 2 stream out --file "$points" --hz 4000
board_did 2 "digital points put out 4096, counting up by 1 for 4096"
rm -f "$points"

# ---- unplugged (the port unbound) during an operation, then plugged in again ----
# Every board listed with a slot, none unusable: a board plugged in again is back in the list.
all_listed() {
    listed=$("$tool" list 2>&1)
    [ "$(echo "$listed" | awk '$1 ~ /^[0-9]+$/' | wc -l)" -eq 3 ] && ! echo "$listed" | grep -q unusable
}
gone_pid() { [ ! -e "/proc/$1" ] || grep -q ') Z' "/proc/$1/stat"; }
unplug_case() {
    n=$1
    shift
    header "== unplugged during: $*"
    if ! $vm; then
        echo "ended within 15 s, 1617, found again"
        return
    fi
    udc=$(cat "$(udc_file "$n")")
    id=$(cat /sys/bus/usb/devices/$((n + 1))-1/idProduct)
    # The board's slot now (a board plugged in again may come back in another slot).
    slot=$("$tool" list | awk -v id="0x$id" 'toupper($2) == toupper(id) { print $1 }')
    cmd=$(echo "$*" | sed "s/-d [0-9]*/-d $slot/")
    case "$cmd" in /*) ;; *) cmd="$tool $cmd" ;; esac
    # (the last case's log goes first: the command may not have opened its own yet when it is looked at)
    rm -f /tmp/unplug.log
    $cmd > /tmp/unplug.log 2>&1 &
    pid=$!
    # Running once it says so, or after 5 s (a waveform says nothing until it ends).
    wait_for 5 test -s /tmp/unplug.log
    echo > "$(udc_file "$n")"
    if ! wait_for 15 gone_pid "$pid"; then
        echo "still running 15 s after the unplug:"
        cat /tmp/unplug.log
        kill -9 "$pid"
    fi
    wait "$pid"
    grep '^figure: ' /tmp/unplug.log
    if grep -q 1617 /tmp/unplug.log && ! grep -q FAILED /tmp/unplug.log; then
        printf 'ended within 15 s, 1617, '
    else
        echo "no 1617 (slot $slot of 0x$id: $cmd):"
        cat /tmp/unplug.log
        "$tool" list
    fi
    echo "$udc" > "$(udc_file "$n")"
    if wait_for 30 on_bus "$id" && wait_for 30 all_listed; then
        echo "found again"
    else
        echo "not found again"
    fi
}
unplug_case 0 adc -d 0 stream --seconds 60
# A waveform far longer than the board's buffer: the tool is still queueing frames when the port goes.
unplug_case 1 dac -d 1 wave --shape sine --hz 10 --rate 10000 --channels 2 --seconds 120
unplug_case 0 /korval/korval-vm-check control -d 0 60
# The same through the exported functions, with the threads of the process counted around it.
unplug_case 0 /korval/korval-vm-check unplugged-stream -d 0 60

# ---- a second board of a product on a fourth port, and a continuous acquisition on it ----
# Its inputs read a noise signal that depends on the sample's place only, so every sample is known
# (tests/vm/reference.bin, made with the same seed on a simulated board).
header "== a second 0x8040 in its own slot, 30 s of continuous acquisition, every sample checked"
if $vm; then
    /korval/korval-gadget --product 0x8040 --serial 4B56534900000004 --udc dummy_udc.3 --name board3 \
        --adc-noise 7 > /tmp/gadget3.log 2>&1 &
    wait_for 60 sh -c "[ \$(grep -c '^0x8040\$' /sys/bus/usb/devices/*/idProduct | awk -F: '{ s += \$2 } END { print s }') -ge 2 ]"
    "$tool" list | sed 's/^/figure: /'
    slot=""
    for s in 0 1 2 3; do "$tool" info -d "$s" 2>&1 | grep -qi 4B56534900000004 && slot=$s; done
    slots=$("$tool" list | awk '$1 ~ /^[0-9]+$/ { print $1 }' | sort -u | wc -l)
    if [ -n "$slot" ] && [ "$slots" -eq 4 ] && /korval/korval-vm-check stream "$slot" 30 "${KORVAL_VM_RATE:-4000}" \
        /korval/reference.bin > /tmp/stream.log 2>&1; then
        echo ok
    else
        echo "failed (slot '$slot' of $slots):"
    fi
    cat /tmp/stream.log 2>/dev/null | grep '^figure: ' || cat /tmp/stream.log
else
    echo ok
fi

# ---- permissions with udevd: a user of the seat's session, without our rules and with them ----
# There is no logind in the VM: the seat's state is what logind writes for a session of user 1000
# active on seat0 (/run/systemd/seats/seat0), which udev's "uaccess" step reads to grant that user
# access to the device node (an ACL). Everything else is udevd and the rules as installed.
as_user() { su -s /bin/sh -c "$tool $*" korval 2>&1; }
header "== without the rules a user of the seat is told the fix"
if $vm; then
    mkdir -p /run/systemd/system /run/systemd/seats /run/systemd/sessions /etc/udev/rules.d
    printf 'ACTIVE=c1\nACTIVE_UID=1000\nSESSIONS=c1\nUIDS=1000\n' > /run/systemd/seats/seat0
    /usr/lib/systemd/systemd-udevd --daemon > /tmp/udevd.log 2>&1
    retrigger() { udevadm trigger --action=add --subsystem-match=usb && timeout 60 udevadm settle --timeout=30; }
    retrigger
    out=$(as_user list)
    echo "$out" | sed 's/^/figure: without the rules: /'
    case "$out" in
        *"unusable: permission denied: install the udev rules"*) echo ok ;;
        *) echo "not so: $out" ;;
    esac
else
    echo ok
fi
header "== with the rules the user of the seat opens every board"
if $vm; then
    cp /korval/70-korval.rules /etc/udev/rules.d/
    udevadm control --reload
    retrigger
    ls -l /dev/bus/usb/*/* | sed 's/^/figure: with the rules: /'
    listed=$(as_user list)
    echo "$listed" | sed 's/^/figure: with the rules: /'
    opened=0
    for s in 0 1 2 3; do as_user info -d "$s" > /dev/null && opened=$((opened + 1)); done
    if [ "$opened" -eq 4 ] && ! echo "$listed" | grep -q unusable; then echo ok; else echo "opened $opened of 4"; fi
else
    echo ok
fi

# ---- korval list --watch: a board leaves and arrives again, told by udev's events ----
header "== korval list --watch sees the board leave and arrive"
if $vm; then
    "$tool" list --watch > /tmp/watch.log 2>&1 &
    watcher=$!
    wait_for 30 grep -q '^watching' /tmp/watch.log
    udc=$(cat "$(udc_file 2)")
    echo > "$(udc_file 2)"
    wait_for 15 grep -q '^left .*0x800C' /tmp/watch.log
    echo "$udc" > "$(udc_file 2)"
    wait_for 30 grep -q '^arrived .*0x800C' /tmp/watch.log
    kill -INT "$watcher"
    wait_for 10 gone_pid "$watcher" || kill -9 "$watcher"
    wait "$watcher"
    sed -n '/^watching/,$p' /tmp/watch.log | sed 's/^/figure: watch: /'
    if sed -n '/^watching/,$p' /tmp/watch.log | grep -q '^left .*0x800C' &&
        sed -n '/^watching/,$p' /tmp/watch.log | grep -q '^arrived .*0x800C'; then
        echo ok
    else
        echo "not seen:"
        cat /tmp/watch.log
    fi
else
    echo ok
fi

echo "korval-vm: cases done"
