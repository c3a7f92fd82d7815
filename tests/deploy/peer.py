# SPDX-License-Identifier: GPL-2.0-or-later
"""The host's side of the deployment test. Receives what the board's services send to 10.0.2.2
(qemu's user-mode network hands it to this machine's loopback) and answers the guest's questions
on a control port, one datagram each way:
  count NAME         -> how many datagrams arrived on NAME's port
  seen NAME HEX      -> "yes" if one of them began with the bytes HEX, else "no"
  send HEX           -> sends the bytes HEX to the board's port 7654 (qemu's forward), "sent"
NAME is beacon, reporter or bridge. Writes the ports as shell assignments to the file given.
Usage: peer.py PORTS_FILE FORWARD_PORT (this machine's port that qemu forwards to the board's 7654)"""
import os
import select
import socket
import sys

NAMES = ["beacon", "reporter", "bridge"]


def udp(port=0):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", port))
    return s


def main(ports_file, forward):
    sockets = {name: udp() for name in NAMES}
    control = udp()
    received = {name: [] for name in NAMES}
    ports = {"KIT_%s_PORT" % name.upper(): s.getsockname()[1] for name, s in sockets.items()}
    ports.update(KIT_CONTROL_PORT=control.getsockname()[1], KIT_FORWARD_PORT=forward)
    with open(ports_file + ".tmp", "w") as f:
        f.write("".join("%s=%d\n" % item for item in sorted(ports.items())))
    # Renamed into place: the run script waits for the whole file.
    os.rename(ports_file + ".tmp", ports_file)

    by_socket = {s: name for name, s in sockets.items()}
    while True:
        for s in select.select(list(by_socket) + [control], [], [])[0]:
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
            control.sendto(reply.encode(), sender)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))
