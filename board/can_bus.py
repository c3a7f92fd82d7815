# SPDX-License-Identifier: GPL-2.0-or-later
"""The board's CAN bus, for a runner of the VM: slcan-bus on this machine (board/slcan_bus.cpp)
with serial-line CAN adapters on it, each a virtio console of the VM joined to a Unix socket of
slcan-bus: the board's own adapter ("board", /dev/hvc0, which slcand makes can0 at 250 kbit/s)
and, for the target cases and the demo, the layout's ("layout", /dev/hvc1, can1), where they play
the layout and watch what the kit puts on the bus.

    args = can_bus.start(run, work)            # before qemu; returns qemu's device options
    run.qemu([... *args ...])
    ...
    failed = can_bus.check(os.path.join(work, "can-bus.log"))

Unplugging the board's adapter and plugging it in again goes through qemu's monitor
(launcher.hmp), as pulling a USB adapter does (unplug() and plug() below):
    device_del board-adapter          the kernel hangs up /dev/hvc0: can0 goes away
    chardev-remove board-line         slcan-bus logs "board unplugged"
    chardev-add socket,id=board-line,path=WORK/can-board.sock      "board plugged in", fresh
    device_add virtconsole,chardev=board-line,id=board-adapter     /dev/hvc0 again
The new /dev/hvc0 opens only once every holder of the old one closed it: the slcand that made can0
must end after the unplug (it does not by itself), and start again after.
"""
import os
import re
import subprocess
import select

import launcher

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
RATE = 250000  # what board/init and the package's units give slcand (-s5)


def start(run, work, adapters=("board", "layout")):
    """Starts slcan-bus as a helper of run with the adapters named (its sockets and its log,
    can-bus.log, a line per command on each adapter's line, in work); returns once it listens,
    with qemu's options for one virtio console per adapter, /dev/hvc0, hvc1... in this order."""
    program = os.environ.get("KIT_BOARD_CAN_BUS") or os.path.join(TOP, "build/default/board/slcan-bus")
    if not os.access(program, os.X_OK):
        launcher.die("no slcan-bus at %s: 'make plugin' builds it" % program)
    sockets = {name: os.path.join(run.scratch, "can-%s.sock" % name) for name in adapters}
    bus = run.start([program, "-l", os.path.join(work, "can-bus.log")] +
                    ["%s=%s" % item for item in sockets.items()], "slcan-bus", stdout=subprocess.PIPE)
    ready = select.select([bus.stdout], [], [], 30)[0] and bus.stdout.readline()
    if ready != b"ready\n":
        launcher.die("slcan-bus did not start (see above)")
    # On virtio-mmio, as the network card: the virt board's PCIe window is out of this kernel's
    # reach.
    args = ["-device", "virtio-serial-device"]
    for name, path in sockets.items():
        args += ["-chardev", "socket,id=%s-line,path=%s" % (name, path),
                 "-device", "virtconsole,chardev=%s-line,id=%s-adapter" % (name, name)]
    return args


def unplug(monitor):
    """The board's adapter pulled out (the run's monitor socket)."""
    launcher.hmp(monitor, "device_del board-adapter", "chardev-remove board-line")


def plug(monitor, run):
    """The board's adapter plugged in again, fresh."""
    launcher.hmp(monitor, "chardev-add socket,id=board-line,path=%s" % os.path.join(run.scratch, "can-board.sock"),
                 "device_add virtconsole,chardev=board-line,id=board-adapter")


def check(log):
    """After the run: says what the board's adapter saw, and returns 1 (a failure) if it took a
    frame it had to refuse, or its first frame came before it was given 250 kbit/s and opened."""
    if not os.path.exists(log):
        return 0
    rate = opened = first = refused = None
    sent = received = refusals = 0
    with open(log, errors="replace") as f:
        for line in f:
            words = line.split()
            if len(words) < 3 or words[1] != "board":
                continue
            command, answer = words[2], words[4] if len(words) > 4 else ""
            if re.fullmatch(r"S[0-9]", command) and answer == "CR:":
                rate = words[-2]
            elif command in ("O", "L") and answer == "CR:":
                opened = rate
            elif command[0] in "tTrR":
                if answer == "BEL:":
                    refusals += 1
                    refused = refused or line.strip()
                else:
                    sent += 1
                    first = first or (opened or "none")
            elif command == "<-":
                received += 1
    launcher.say("the board's CAN adapter: %d frames from the board, %d to it, %d refused%s"
                 % (sent, received, refusals, "; before the first, it was opened at %s bit/s" % first if first else ""))
    if refused:
        launcher.say("FAIL the board's CAN adapter refused a frame: " + refused)
        return 1
    if sent and first != str(RATE):
        launcher.say("FAIL the board's CAN adapter was not opened at %d bit/s before its first frame" % RATE)
        return 1
    return 0
