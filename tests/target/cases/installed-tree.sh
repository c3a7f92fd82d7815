# SPDX-License-Identifier: GPL-2.0-or-later
# The kit as `cmake --install` lays it out, in the VM's own root (the runner installs the armhf
# build there): every program starts from its installed path, and the command line of each
# systemd unit, with the options file the unit names, starts the installed program on the target.
. "$KIT_LIB"

unitdir=
for dir in /usr/local/lib/systemd/system /lib/systemd/system /usr/lib/systemd/system; do
    [ -e "$dir/event-beacon.service" ] && unitdir=$dir && break
done
[ -n "$unitdir" ] || skip "no installed tree in this VM: the runner did not install the build"

# read_unit UNIT: sets exec_start to the unit's ExecStart= and OPTIONS from the options file the
# unit names; `eval "set -- $exec_start" EXTRA...` then gives what systemd runs (OPTIONS split
# into words), followed by EXTRA.
read_unit() {
    unit=$unitdir/$1.service
    exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
    env_file=$(sed -n 's/^EnvironmentFile=-\{0,1\}//p' "$unit")
    [ -n "$exec_start" ] || fail "$unit has no ExecStart"
    [ -f "$env_file" ] || fail "$unit names $env_file, which is not installed"
    OPTIONS=
    # The shipped options files are plain NAME="value" lines, read alike by systemd and sh.
    . "$env_file"
}

read_unit event-beacon
bindir=$(dirname "${exec_start%% *}")
expect_contains "event-beacon unit runs it in the foreground" "event-beacon -f" "$exec_start"

# Every program of the kit has its installed copy, and that copy starts.
for name in s88-reporter can-bridge ir-throttle event-beacon s88-check susi-cv-read kit-monitor kit-send; do
    [ -x "$bindir/$name" ] || fail "$name is not installed in $bindir"
    "$bindir/$name" -h 2>usage
    expect_eq "$bindir/$name -h status" 0 $?
    expect_contains "$bindir/$name -h" "Usage: $name" "$(cat usage)"
done

# event-beacon as its unit starts it, sending once to this VM.
start_monitor beacon 15731 -c 1 -t 10
read_unit event-beacon
eval "set -- $exec_start" -i 0 -b 127.0.0.1
"$@" >/dev/null 2>errors
expect_eq "installed event-beacon status" 0 $?
wait $monitor_pid
expect_eq "beacon frame" "00 30 03 00 00 00 00 00 00 00 00 00 00" "$(datagrams beacon)"

# s88-reporter as its unit starts it, in test mode (the later -m wins): contact 32 opens.
start_monitor s88 15730 -c 1 -t 10
read_unit s88-reporter
eval "set -- $exec_start" -m 0 -b 127.0.0.1
"$@" >/dev/null 2>>errors &
reporter=$!
wait $monitor_pid
kill $reporter
expect_eq "s88 test event" "00 23 03 00 08 00 00 00 20 01 00 00 00" "$(datagrams s88)"

# can-bridge as its unit starts it, on can0: a frame from the layout (can1) comes out on UDP
# port 7655.
start_monitor bridged 7655 -c 1 -t 10
read_unit can-bridge
eval "set -- $exec_start" -i can0 -b 127.0.0.1
"$@" >/dev/null 2>>errors &
bridge=$!
# The bridge may not be bound yet: send until the frame is through.
tries=40
while kill -0 $monitor_pid 2>/dev/null && [ $tries -gt 0 ]; do
    cansend can1 00123456#1122
    sleep 0.1
    tries=$((tries - 1))
done
wait $monitor_pid
kill $bridge
expect_eq "bridged frame" "00 12 34 56 02 11 22 00 00 00 00 00 00" "$(datagrams bridged)"
expect_eq "errors of the installed programs" "" "$(cat errors)"
