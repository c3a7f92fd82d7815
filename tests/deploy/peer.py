# SPDX-License-Identifier: GPL-2.0-or-later
"""The host's side of the deployment test. Receives what the board's services send to 10.0.2.2
(qemu's user-mode network hands it to this machine's loopback), plays the layout on the CAN bus
(the host of the layout's serial-line adapter on slcan-bus, at 250 kbit/s), and answers the
guest's questions on a control port, one datagram each way:
  count NAME         -> how many datagrams (frames, for layout) arrived on NAME's port
  seen NAME HEX      -> "yes" if one of them began with the bytes HEX, else "no"; for layout, with
                        the frame as candump -L writes it (00080300#0000400300)
  send HEX           -> sends the bytes HEX to the board's port 7654 (qemu's forward), "sent"
  layout FRAME       -> the layout puts FRAME (ID#DATA, as cansend takes it) on the bus, "sent"
  adapter off|on     -> the board's adapter unplugged or plugged in again through qemu's monitor,
                        "done" (or what went wrong)
NAME is beacon, reporter, bridge or layout. Writes the ports as shell assignments to the file given.
Usage: peer.py PORTS_FILE FORWARD_PORT MONITOR BOARD_LINE LAYOUT_LINE
  FORWARD_PORT  this machine's port that qemu forwards to the board's 7654
  MONITOR       the VM's monitor socket; BOARD_LINE, LAYOUT_LINE the adapters' sockets on slcan-bus"""
import os
import re
import select
import socket
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "board"))
import can_bus  # noqa: E402

NAMES = ["beacon", "reporter", "bridge"]


def udp(port=0):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", port))
    return s


def candump_text(line):
    """A frame as an adapter writes it to its host (T0008030050000400300) as candump -L does."""
    digits = 8 if line[0] in "TR" else 3
    ident = line[1:1 + digits]
    if line[0] in "rR":
        return ident + "#R"
    return "%s#%s" % (ident, line[2 + digits:2 + digits + 2 * int(line[1 + digits], 16)])


def adapter_text(frame):
    """ID#DATA as the host writes it to its adapter, or None."""
    m = re.fullmatch(r"([0-9A-Fa-f]{3}|[0-9A-Fa-f]{8})#((?:[0-9A-Fa-f]{2}){0,8})", frame)
    if not m:
        return None
    return "%s%s%d%s\r" % ("t" if len(m.group(1)) == 3 else "T", m.group(1), len(m.group(2)) // 2, m.group(2))


def done(action, *args):
    try:
        action(*args)
        return "done"
    except OSError as e:
        return "failed: %s" % e


def main(ports_file, forward, monitor, board_line, layout_line):
    sockets = {name: udp() for name in NAMES}
    control = udp()
    received = {name: [] for name in NAMES + ["layout"]}
    # The layout's adapter, set to the board's bit rate and opened: what the board puts on the
    # bus comes here, one frame a line.
    layout = socket.socket(socket.AF_UNIX)
    layout.connect(layout_line)
    layout.sendall(b"S5\rO\r")
    pending = b""
    ports = {"KIT_%s_PORT" % name.upper(): s.getsockname()[1] for name, s in sockets.items()}
    ports.update(KIT_CONTROL_PORT=control.getsockname()[1], KIT_FORWARD_PORT=forward)
    with open(ports_file + ".tmp", "w") as f:
        f.write("".join("%s=%d\n" % item for item in sorted(ports.items())))
    # Renamed into place: the run script waits for the whole file.
    os.rename(ports_file + ".tmp", ports_file)

    by_socket = {s: name for name, s in sockets.items()}
    while True:
        for s in select.select(list(by_socket) + [control, layout], [], [])[0]:
            if s is layout:
                data = layout.recv(4096)
                if not data:
                    sys.exit("peer: the layout's adapter is gone")
                # Its answers (CR, BEL, z, Z) between the frames.
                *lines, pending = (pending + data.replace(b"\a", b"\r")).split(b"\r")
                for line in (line.decode(errors="replace") for line in lines):
                    if len(line) > 1 and line[0] in "tTrR":
                        received["layout"].append(candump_text(line).lower())
                        print("layout", line, flush=True)
                continue
            data, sender = s.recvfrom(4096)
            if s is not control:
                received[by_socket[s]].append(data.hex())
                print(by_socket[s], data.hex(), flush=True)
                continue
            words = data.decode(errors="replace").split()
            print("ask", *words, flush=True)
            reply = "?"
            if len(words) == 2 and words[0] == "count" and words[1] in received:
                reply = str(len(received[words[1]]))
            elif len(words) == 3 and words[0] == "seen" and words[1] in received:
                reply = "yes" if any(d.startswith(words[2].lower()) for d in received[words[1]]) else "no"
            elif len(words) == 2 and words[0] == "send":
                control.sendto(bytes.fromhex(words[1]), ("127.0.0.1", forward))
                reply = "sent"
            elif len(words) == 2 and words[0] == "layout" and adapter_text(words[1]):
                layout.sendall(adapter_text(words[1]).encode())
                reply = "sent"
            elif words == ["adapter", "off"]:
                reply = done(can_bus.unplug, monitor)
            elif words == ["adapter", "on"]:
                reply = done(can_bus.plug, monitor, board_line)
            print("answer", reply, flush=True)
            control.sendto(reply.encode(), sender)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), *sys.argv[3:6])
