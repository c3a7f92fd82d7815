# SPDX-License-Identifier: GPL-2.0-or-later
"""What a CAN raw socket does on this host: the programs' first CAN step fails differently
on hosts with and without SocketCAN, and both ways must end with status 1."""
import os
import socket


def can_socket_error():
    """The system's error text when a CAN raw socket cannot be created here, else None."""
    try:
        socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW).close()
        return None
    except (OSError, AttributeError) as e:
        return os.strerror(getattr(e, "errno", None) or 97)
