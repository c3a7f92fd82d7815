# SPDX-License-Identifier: GPL-2.0-or-later
"""Helpers for system tests: the built programs as real processes, UDP listeners on loopback."""
import os
import select
import signal
import socket
import subprocess
import time
import unittest

BUILD_DIR = os.environ.get("KIT_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build/default"))


# Under the sanitizer build the programs run without leak checking: they keep what they allocate
# at start-up until they end, by design, and a leak report at exit would change their status.
# Set here, so every process a test starts inherits it.
os.environ["ASAN_OPTIONS"] = ":".join(
    part for part in (os.environ.get("ASAN_OPTIONS", ""), "detect_leaks=0") if part)


def program(name):
    """Path of a built program, e.g. program("s88-reporter")."""
    return os.path.join(BUILD_DIR, name, name)


def run(name, *args, timeout=10, stdin=None):
    """Runs a program to its end; returns (status, stdout, stderr) as text."""
    p = subprocess.run([program(name), *args], input=stdin, capture_output=True, text=True,
                       timeout=timeout)
    return p.returncode, p.stdout, p.stderr


class Listener:
    """A UDP socket on 127.0.0.1 (port 0: the system's choice)."""

    def __init__(self, port=0, address="127.0.0.1"):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((address, port))
        self.port = self.sock.getsockname()[1]

    def receive(self, count, timeout=5.0):
        """Up to count datagrams as (arrival time, bytes), waiting at most timeout in all."""
        got = []
        end = time.monotonic() + timeout
        while len(got) < count:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                break
            got.append((time.monotonic(), self.sock.recv(65536)))
        return got

    def close(self):
        self.sock.close()

    __del__ = close


class Background:
    """A program running while a test talks to it; killed and reaped at the end."""

    def __init__(self, name, *args):
        self.proc = subprocess.Popen([program(name), *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.out = b""

    def lines(self, count, timeout=5.0):
        """Waits until stdout holds count lines (or timeout); returns the lines so far."""
        end = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while self.out.count(b"\n") < count:
            left = end - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                break
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            self.out += chunk
        return self.out.decode().splitlines()

    def stop(self):
        """Kills the program if it still runs; returns (status, stdout, stderr)."""
        if self.proc.poll() is None:
            self.proc.kill()
        out, err = self.proc.communicate(timeout=10)
        self.out += out
        return self.proc.returncode, self.out.decode(), err.decode()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def kill_daemon(name, marker):
    """Kills the detached program whose command line holds marker."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                words = f.read().decode(errors="replace").split("\0")
        except OSError:
            continue
        if words and words[0].endswith("/" + name) and marker in words:
            os.kill(int(pid), signal.SIGKILL)


main = unittest.main
