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

An adapter left out of the VM (start(..., in_vm=...)) is there for a program of this machine to
play its host: it connects to line(run, name) and speaks the host's side of the line (S5, O, then
frames each way), as the deploy check's layout does.

Unplugging the board's adapter and plugging it in again goes through qemu's monitor
(launcher.hmp), as pulling a USB adapter does (unplug() and plug() below):
    device_del board-adapter          the kernel hangs up /dev/hvc0: can0 goes away
    chardev-remove board-line         slcan-bus logs "board unplugged"
    chardev-add socket,id=board-line-N,path=WORK/can-board.sock    "board plugged in", fresh
    device_add virtconsole,chardev=board-line-N,id=board-adapter   /dev/hvc0 again
A line qemu was started with keeps its id taken after its removal (its command-line options
stay), so each plug-in takes a new one.
The new /dev/hvc0 opens only once every holder of the old one closed it: the slcand that made can0
must end after the unplug (it does not by itself), and start again after.
"""
import os
import re
import subprocess
import select
import time

import launcher

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
RATE = 250000  # what board/init and the package's units give slcand (-s5)


def line(run, name):
    """The Unix socket of the adapter name's line, where slcan-bus listens for its host."""
    return os.path.join(run.scratch, "can-%s.sock" % name)


def start(run, work, adapters=("board", "layout"), in_vm=None):
    """Starts slcan-bus as a helper of run with the adapters named (its sockets and its log,
    can-bus.log, a line per command on each adapter's line, in work); returns once it listens,
    with qemu's options for one virtio console per adapter in_vm (default: all), /dev/hvc0,
    hvc1... in this order. An empty in_vm gives the VM the consoles' bus alone, where plug()
    can put the board's adapter later."""
    program = os.environ.get("KIT_BOARD_CAN_BUS") or os.path.join(TOP, "build/default/board/slcan-bus")
    if not os.access(program, os.X_OK):
        launcher.die("no slcan-bus at %s: 'make plugin' builds it" % program)
    bus = run.start([program, "-l", os.path.join(work, "can-bus.log")] +
                    ["%s=%s" % (name, line(run, name)) for name in adapters], "slcan-bus", stdout=subprocess.PIPE)
    ready = select.select([bus.stdout], [], [], 30)[0] and bus.stdout.readline()
    if ready != b"ready\n":
        launcher.die("slcan-bus did not start (see above)")
    # On virtio-mmio, as the network card: the virt board's PCIe window is out of this kernel's
    # reach.
    args = ["-device", "virtio-serial-device"]
    for name in adapters if in_vm is None else in_vm:
        args += ["-chardev", "socket,id=%s-line,path=%s" % (name, line(run, name)),
                 "-device", "virtconsole,chardev=%s-line,id=%s-adapter" % (name, name)]
    return args


def unplug(monitor, timeout=30):
    """The board's adapter pulled out (the run's monitor socket). Raises OSError with qemu's
    answer when it refuses. qemu removes the console once the guest has let go of it, and keeps
    its line until then ("busy")."""
    _monitor(monitor, "device_del board-adapter")
    end = time.monotonic() + timeout
    for name in _board_lines(monitor):
        while True:
            try:
                _monitor(monitor, "chardev-remove " + name)
                break
            except OSError as e:
                if "is busy" not in str(e) or time.monotonic() > end:
                    raise
            time.sleep(0.1)


def plug(monitor, path):
    """The board's adapter plugged in, fresh, on its line path (line(run, "board"))."""
    name = "board-line-%d" % time.monotonic_ns()
    _monitor(monitor, "chardev-add socket,id=%s,path=%s" % (name, path),
             "device_add virtconsole,chardev=%s,id=board-adapter" % name)


def _board_lines(monitor):
    """The ids of the board's line that qemu has now (info chardev: "board-line: filename=...")."""
    text = launcher.hmp(monitor, "info chardev")[0].partition("\r\n")[2]
    return re.findall(r"^(board-line[-0-9]*): ", text, re.M)


def _monitor(monitor, *commands):
    for command, answer in zip(commands, launcher.hmp(monitor, *commands)):
        # After the command's echo, up to the next prompt: what qemu had to say against it.
        said = answer.partition("\r\n")[2].replace("(qemu) ", "").strip()
        if said:
            raise OSError("%s: %s" % (command, said))


def check(log):
    """After the run: says what the board's adapter saw, and returns 1 (a failure) if it took a
    frame it had to refuse, or, any time it was plugged in, its first frame came before it was
    given 250 kbit/s and opened."""
    if not os.path.exists(log):
        return 0
    plugs = []  # per plug-in: [when, the bit rate it was opened at before its first frame]
    rate = opened = refused = None
    sent = received = refusals = 0
    with open(log, errors="replace") as f:
        for line in f:
            words = line.split()
            if len(words) < 3 or words[1] != "board":
                continue
            command, answer = words[2], words[4] if len(words) > 4 else ""
            if words[2:4] == ["plugged", "in"]:
                plugs.append([words[0], None])
                rate = opened = None
            elif re.fullmatch(r"S[0-9]", command) and answer == "CR:":
                rate = words[-2]
            elif command in ("O", "L") and answer == "CR:":
                opened = rate
            elif command[0] in "tTrR":
                if answer == "BEL:":
                    refusals += 1
                    refused = refused or line.strip()
                else:
                    sent += 1
                    if plugs and not plugs[-1][1]:
                        plugs[-1][1] = opened or "none"
            elif command == "<-":
                received += 1
    firsts = sorted({first for _, first in plugs if first})
    launcher.say("the board's CAN adapter: plugged in %d time(s), %d frames from the board, %d to it, %d refused%s"
                 % (len(plugs), sent, received, refusals,
                    "; before the first frame of each plug-in, it was opened at %s bit/s" % " or ".join(firsts)
                    if firsts else ""))
    if refused:
        launcher.say("FAIL the board's CAN adapter refused a frame: " + refused)
        return 1
    late = [when for when, first in plugs if first and first != str(RATE)]
    if late:
        launcher.say("FAIL the board's CAN adapter, plugged in at %s, was not opened at %d bit/s before its first frame"
                     % (", ".join(late), RATE))
        return 1
    return 0
