# SPDX-License-Identifier: GPL-2.0-or-later
"""python-can interface "railkit": the board's 13-byte UDP datagrams as CAN messages.

    bus = can.Bus(interface="railkit", channel="192.168.1.20")

receives what reaches this machine's UDP ports 7655 (can-bridge's frames), 15730 (S88 events) and
15731 (beacons), as kit-monitor does, and sends each message as one datagram to the board's port
7654, where can-bridge puts it on the CAN bus. Every message is extended (29-bit identifier).

Options (keyword arguments, or --name=value after python-can's tools' own options):
    ports       the UDP ports to listen on: a list, or "7655,15730,15731"
    board_port  the board's UDP port for messages sent, 7654
"""
import errno
import logging
import select
import socket
import struct
import time

import can

log = logging.getLogger("can.railkit")

DEFAULT_PORTS = (7655, 15730, 15731)
BOARD_PORT = 7654
FRAME_SIZE = 13
ID_MASK = 0x1FFFFFFF  # the top 3 bits of the datagram's identifier are not part of it


def port_list(ports, name="ports"):
    """(7655, 15730) from a list, one number, or the text "7655,15730" a tool's option gives.
    Raises CanInitializationError naming what was given."""
    words = str(ports).replace(",", " ").split() if isinstance(ports, (int, str)) else ports
    try:
        result = tuple(int(p) for p in words)
    except (TypeError, ValueError):
        result = ()
    if not result or any(not 0 < p < 65536 for p in result):
        given = ports if isinstance(ports, str) else repr(ports)
        raise can.CanInitializationError("railkit: invalid %s %s: give UDP port numbers from 1 to 65535, as "
                                         "7655,15730,15731" % (name, given))
    return result


def pack(msg):
    """A message as the 13-byte datagram: identifier most significant byte first, length, 8 data
    bytes. Raises CanOperationError for what the datagram cannot carry."""
    what = "message 0x%X" % msg.arbitration_id
    if not msg.is_extended_id:
        raise can.CanOperationError("railkit: %s has an 11-bit identifier; the board's datagrams carry "
                                    "extended (29-bit) identifiers only: set is_extended_id=True" % what)
    if msg.is_remote_frame or msg.is_error_frame or msg.is_fd:
        raise can.CanOperationError("railkit: %s is a remote, error or CAN FD frame; the board's "
                                    "datagrams carry data frames only" % what)
    if not 0 <= msg.arbitration_id <= ID_MASK or msg.dlc > 8 or len(msg.data) > 8:
        raise can.CanOperationError("railkit: %s does not fit a classic CAN frame (29-bit identifier, "
                                    "at most 8 data bytes)" % what)
    data = bytes(msg.data[:msg.dlc])
    return struct.pack(">IB8s", msg.arbitration_id, len(data), data)


def unpack(datagram, channel=None, timestamp=None):
    """A 13-byte datagram as a received message; None for any other length. A length above 8 is
    taken as 8: the datagram holds no more."""
    if len(datagram) != FRAME_SIZE:
        return None
    ident, dlc, data = struct.unpack(">IB8s", datagram)
    dlc = min(dlc, 8)
    return can.Message(timestamp=time.time() if timestamp is None else timestamp,
                       arbitration_id=ident & ID_MASK, is_extended_id=True, dlc=dlc,
                       data=data[:dlc], channel=channel, is_rx=True)


class RailkitBus(can.BusABC):
    """The board on the LAN as a python-can bus. channel: the board's address (name or IPv4)."""

    def __init__(self, channel=None, ports=DEFAULT_PORTS, board_port=BOARD_PORT, can_filters=None, **kwargs):
        if not channel:
            raise can.CanInitializationError("railkit: no channel: give the board's address, as "
                                             "channel=\"192.168.1.20\" or -c 192.168.1.20")
        self.channel = str(channel)
        board_ports = port_list(board_port, "board_port")
        if len(board_ports) != 1:
            raise can.CanInitializationError("railkit: invalid board_port %s: give one UDP port number" % (board_port,))
        board_port = board_ports[0]
        try:
            address = socket.getaddrinfo(self.channel, board_port, socket.AF_INET, socket.SOCK_DGRAM)[0][4]
        except (socket.gaierror, UnicodeError) as e:
            raise can.CanInitializationError("railkit: unknown board address %s (%s)" % (self.channel, e)) from None
        self._board = address
        self._sockets = []
        try:
            for port in port_list(ports):
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                self._sockets.append(s)
                try:
                    s.bind(("0.0.0.0", port))  # broadcasts too
                except OSError as e:
                    hint = " (kit-monitor or another bus listens there?)" if e.errno == errno.EADDRINUSE else ""
                    raise can.CanInitializationError("railkit: cannot bind UDP port %d: %s%s"
                                                     % (port, e.strerror, hint), e.errno) from None
            self._out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self._out.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)  # a broadcast address is fair
        except BaseException:
            self._close()
            raise
        self.channel_info = "railkit board %s:%d, listening on UDP %s" % (
            self.channel, board_port, ", ".join(str(s.getsockname()[1]) for s in self._sockets))
        super().__init__(channel=self.channel, can_filters=can_filters, **kwargs)

    def _close(self):
        for s in self._sockets + [getattr(self, "_out", None)]:
            if s:
                s.close()
        self._sockets = []
        self._out = None

    def _recv_internal(self, timeout):
        if not self._sockets:  # shut down: nothing would ever come
            raise can.CanOperationError("railkit: the bus is shut down")
        end = None if timeout is None else time.monotonic() + timeout
        while True:
            left = None if end is None else max(0.0, end - time.monotonic())
            try:
                ready = select.select(self._sockets, [], [], left)[0]
            except (OSError, ValueError) as e:  # ValueError: a socket closed by shutdown()
                raise can.CanOperationError("railkit: receive error: %s" % e) from None
            for s in ready:
                datagram, sender = s.recvfrom(65536)
                msg = unpack(datagram, self.channel)
                if msg:
                    return msg, False
                log.warning("railkit: %d-byte datagram from %s:%d to port %d is not a frame; dropped",
                            len(datagram), sender[0], sender[1], s.getsockname()[1])
            if not ready and left == 0.0:
                return None, False

    def send(self, msg, timeout=None):
        datagram = pack(msg)
        if self._out is None:
            raise can.CanOperationError("railkit: the bus is shut down")
        if timeout is not None and not select.select([], [self._out], [], timeout)[1]:
            raise can.CanTimeoutError("railkit: could not send within %s s" % timeout)
        try:
            self._out.sendto(datagram, self._board)
        except OSError as e:
            raise can.CanOperationError("railkit: cannot send to %s port %d: %s"
                                        % (self.channel, self._board[1], e.strerror), e.errno) from None

    def shutdown(self):
        super().shutdown()
        self._close()
