# SPDX-License-Identifier: GPL-2.0-or-later
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

# ir_pulses WORD...: the pulses and spaces (us) of a remote's signals one after another, as
# `ir-ctl -s FILE` sends them in one transmission: the kernel's decoder takes them in one go, so
# the time stamps of what it decodes are not stretched by the emulator's pace, however busy.
# WORD: nec:SCANCODE (a NEC frame: address in the high byte, command in the low one),
# nec-repeat (NEC's repeat code, sent while a key is held), rc5:SCANCODE (an RC-5 frame, toggle
# bit 0), gap:US (silence between two signals).
ir_pulses() {
    for word in "$@"; do
        case $word in
        *:*) printf '%s %d\n' "${word%%:*}" "$((${word#*:}))" ;;
        *) echo "$word 0" ;;
        esac
    done | awk '
        # Adjacent halves of one level are one pulse or space; a transmission starts with a pulse.
        function level(on, us) {
            if (n && on == lvl[n]) { dur[n] += us; return }
            if (!n && !on) return
            n++; lvl[n] = on; dur[n] = us
        }
        # The lowest count bits of v, most significant first (busybox awk has no ^).
        function bits(v, count,   s) {
            for (s = ""; count-- > 0; v = int(v / 2)) s = (v % 2) s
            return s
        }
        function nec_byte(v,   s, i) {  # least significant bit first
            for (s = bits(v, 8); s != ""; s = substr(s, 1, length(s) - 1)) {
                level(1, 562); level(0, substr(s, length(s)) == 1 ? 1687 : 562)
            }
        }
        $1 == "nec" {
            level(1, 9000); level(0, 4500)
            a = int($2 / 256); c = $2 % 256
            nec_byte(a); nec_byte(255 - a); nec_byte(c); nec_byte(255 - c); level(1, 562)
        }
        $1 == "nec-repeat" { level(1, 9000); level(0, 2250); level(1, 562) }
        # RC-5: two start bits, the toggle, 5 address and 6 command bits, each 1778 us: a 1 is a
        # space then a pulse, a 0 a pulse then a space.
        $1 == "rc5" {
            s = "110" bits(int($2 / 256), 5) bits($2 % 256, 6)
            for (i = 1; i <= 14; i++)
                if (substr(s, i, 1) == 1) { level(0, 889); level(1, 889) } else { level(1, 889); level(0, 889) }
        }
        $1 == "gap" { level(0, $2) }
        END {
            if (n && !lvl[n]) n--  # it ends with a pulse; the receiver times out by itself
            for (i = 1; i <= n; i++) printf "%s %d\n", lvl[i] ? "pulse" : "space", dur[i]
        }'
}
