# shellcheck shell=bash
# The board's CAN bus, for a runner of the VM (board/run sources this file): slcan-bus on this
# machine (board/slcan_bus.cpp) with two serial-line CAN adapters on it, each a virtio console
# of the VM joined to a Unix socket of slcan-bus: the board's own adapter (/dev/hvc0, which
# board/init makes can0 with slcand at 250 kbit/s) and the layout's (/dev/hvc1, can1), where the
# cases and the demo play the layout and watch what the kit puts on the bus.
#
#   can_bus_start WORK  starts slcan-bus before qemu, its sockets and its log (can-bus.log, a line
#                       per command on each adapter's line) in WORK; sets can_bus_args to qemu's
#                       devices for the two consoles and can_bus_pid; returns once it is ready
#   can_bus_stop        ends it (it removes its sockets)
#   can_bus_check LOG   after the run: prints what the board's adapter saw, and fails if it took a
#                       frame that it had to refuse, or was not given 250 kbit/s and opened first
#
# Unplugging the board's adapter and plugging it in again, through qemu's monitor (QMP, e.g.
# KIT_TARGET_QEMU_ARGS="-qmp unix:PATH,server=on,wait=off"), as pulling a USB adapter does:
#   device_del {id: board-adapter}        the kernel hangs up /dev/hvc0: can0 goes away
#   chardev-remove {id: board-line}       slcan-bus logs "board unplugged"
#   chardev-add {id: board-line, backend: {type: socket, data: {addr: {type: unix,
#                data: {path: WORK/can-board.sock}}, server: false}}}     "board plugged in", fresh
#   device_add {driver: virtconsole, chardev: board-line, id: board-adapter}   /dev/hvc0 again
# The new /dev/hvc0 opens only once every holder of the old one closed it: the slcand that made
# can0 must be stopped after the unplug (it does not end by itself), and started again after.

can_bus_pid=
can_bus_args=()

can_bus_start() {
    local work=$1 program=${KIT_BOARD_CAN_BUS:-$source_dir/build/default/board/slcan-bus} ready=
    [ -x "$program" ] || die "no slcan-bus at $program: 'make plugin' builds it"
    exec {can_bus_out}< <(exec setpriv --pdeathsig TERM "$program" -l "$work/can-bus.log" \
        board="$work/can-board.sock" layout="$work/can-layout.sock")
    can_bus_pid=$!
    read -r -t 10 -u "$can_bus_out" ready || true
    exec {can_bus_out}<&-
    [ "$ready" = ready ] || die "slcan-bus did not start (see above)"
    # On virtio-mmio, as the network card: the virt board's PCIe window is out of this kernel's
    # reach. Consoles get /dev/hvc0, hvc1 in this order.
    # shellcheck disable=SC2054,SC2034 # qemu's own comma-separated options; board/run uses them
    can_bus_args=(-device virtio-serial-device
        -chardev "socket,id=board-line,path=$work/can-board.sock"
        -device virtconsole,chardev=board-line,id=board-adapter
        -chardev "socket,id=layout-line,path=$work/can-layout.sock"
        -device virtconsole,chardev=layout-line,id=layout-adapter)
}

can_bus_stop() {
    [ -n "$can_bus_pid" ] || return 0
    kill -TERM "$can_bus_pid" 2>/dev/null || true
    wait "$can_bus_pid" 2>/dev/null || true
    can_bus_pid=
}

can_bus_check() {
    awk '
        $2 != "board" { next }
        $3 ~ /^S[0-9]$/ && $5 == "CR:" { rate = $(NF - 1) }
        $3 ~ /^[OL]$/ && $5 == "CR:" { opened = 1 }
        $3 ~ /^[tTrR]/ {
            if ($5 == "BEL:") { refused++; if (!first_refused) first_refused = $0 }
            else { sent++; if (!opened_at_first) opened_at_first = opened ? rate : "none" }
        }
        $3 == "<-" { received++ }
        END {
            printf "target: the board'\''s CAN adapter: %d frames from the board, %d to it, %d refused", sent, received, refused
            if (opened_at_first) printf "; before the first, it was opened at %s bit/s", opened_at_first
            print ""
            bad = refused || (sent && opened_at_first != 250000)
            if (refused) print "target: FAIL the board'\''s CAN adapter refused a frame: " first_refused
            else if (bad) print "target: FAIL the board'\''s CAN adapter was not opened at 250000 bit/s before its first frame"
            exit bad
        }' "$1"
}
