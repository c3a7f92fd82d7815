# SPDX-License-Identifier: GPL-2.0-or-later
# Resident memory (VmRSS) of each long-running program a few seconds after start, printed on
# the VM console as "KIT-FIGURE ..." lines; fails above the 2 MiB target.
. "$KIT_LIB"

resident_kb() {
    sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB$/\1/p' "/proc/$1/status"
}

over=
measure() {
    name=$1
    shift
    if ! command -v "$name" >/dev/null; then
        figure "resident $name: not in this build"
        return
    fi
    "$name" "$@" >/dev/null 2>"$name.err" &
    pid=$!
    sleep 3
    kb=$(resident_kb $pid)
    [ -n "$kb" ] || fail "$name ended: $(cat "$name.err")"
    figure "resident $name $*: $kb kB"
    [ "$kb" -le 2048 ] || over="$over $name"
    kill $pid
}

measure s88-reporter -m 0 -f -b 127.0.0.1
measure event-beacon -f -b 127.0.0.1
measure can-bridge -f -i can0 -b 127.0.0.1
[ -z "$over" ] || fail "above 2 MiB resident:$over"
