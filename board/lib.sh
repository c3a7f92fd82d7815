# Check helpers for target test cases (busybox sh). A case starts with: . "$KIT_LIB"
# A case passes with exit status 0, is skipped with 77 (see skip), fails with anything else.

# fail MSG: ends the case as failed, with MSG on its output.
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# skip MSG: ends the case as skipped (for what this VM cannot offer).
skip() {
    echo "SKIP: $*" >&2
    exit 77
}

# expect_eq WHAT EXPECTED ACTUAL: fails unless the two texts are equal.
expect_eq() {
    [ "$2" = "$3" ] && return 0
    fail "$1: expected
$2
--- but got
$3"
}

# expect_contains WHAT NEEDLE TEXT: fails unless TEXT contains NEEDLE.
expect_contains() {
    case $3 in
    *"$2"*) return 0 ;;
    esac
    fail "$1: expected to contain
$2
--- but got
$3"
}

# expect_status WHAT EXPECTED COMMAND...: runs COMMAND and fails unless it exits with EXPECTED.
expect_status() {
    what=$1
    expected=$2
    shift 2
    "$@"
    actual=$?
    [ "$actual" = "$expected" ] || fail "$what: exit status $actual, expected $expected"
}

# wait_for SECONDS COMMAND...: polls COMMAND every 0.1 s until it succeeds; fails after SECONDS.
wait_for() {
    tries=$(($1 * 10))
    shift
    while ! "$@"; do
        tries=$((tries - 1))
        [ $tries -gt 0 ] || fail "gave up waiting for: $*"
        sleep 0.1
    done
}

# start_monitor OUT PORT [kit-monitor options...]: kit-monitor -x on UDP port PORT in the
# background, its lines in OUT; returns once it listens. Its pid is in $monitor_pid.
start_monitor() {
    out=$1
    port=$2
    shift 2
    kit-monitor -x -p "$port" "$@" >"$out" &
    monitor_pid=$!
    wait_for 5 grep -q '^listening' "$out"
}

# A case sends $LAST (kit-send, cansend) once the senders it watches are done, or along their
# way; once kit-monitor showed it, it showed all that came before: stop_monitor OUT ends it.
LAST=1FFFFFFF#454E44
stop_monitor() {
    wait_for 10 grep -q 'hex=1f ff ff ff 03 45 4e 44' "$1"
    kill $monitor_pid
    wait $monitor_pid
}

# datagrams OUT: the bytes of each datagram in kit-monitor's lines, in hex, up to $LAST (of one
# longer than 13 bytes the first 13 and "...").
datagrams() {
    sed -n '/hex=1f ff ff ff 03 45 4e 44/q; s/.* hex=//p' "$1"
}

# send_hex PORT HEX...: one datagram to 127.0.0.1:PORT per HEX (digit pairs, blanks allowed; ""
# is an empty one).
send_hex() {
    port=$1
    shift
    for hex in "$@"; do
        printf '%s' "$hex" | xxd -r -p | udp-send "$port" || return 1
    done
}

# figure TEXT: a benchmark figure, in the case's output and on the VM console as a
# "KIT-FIGURE TEXT" line that the host side collects (scripts/footprint, scripts/soak).
figure() {
    echo "KIT-FIGURE $*" >/dev/console
    echo "$*"
}

# ir_receiver PROTOCOL...: switches on the kernel's decoders for PROTOCOLs (nec, rc-5, ...) of
# the board's IR receiver (rc-loopback: what ir-ctl -d $lirc sends comes back as received
# pulses); sets $lirc and $event, the input device that rc-core makes, for ir-throttle -r.
ir_receiver() {
    rc=$(grep -l "rc-core loopback device" /sys/class/rc/rc*/input*/name | head -n 1)
    rc=${rc%/input*}
    [ -n "$rc" ] || fail "no IR receiver (rc-loopback)"
    for protocol in "$@"; do
        echo "+$protocol" >"$rc/protocols" || fail "$rc: no decoder for $protocol"
    done
    for lirc in "$rc"/lirc*; do lirc=/dev/${lirc##*/}; done
    for event in "$rc"/input*/event*; do event=/dev/input/${event##*/}; done
    [ -c "$lirc" ] && [ -c "$event" ] || fail "$rc: no $lirc or $event"
}
