# SPDX-License-Identifier: GPL-2.0-or-later
"""The daemons as a service manager runs them (-f, standard output on the null device): they say
READY=1 on NOTIFY_SOCKET once their sockets are open (the reporter's scan only once it can read
the bus), and write no trace lines to the null device.
can-bridge needs SocketCAN, which this machine lacks: the deployment VM checks it."""
import os
import socket
import subprocess
import tempfile
import unittest

import kit

DAEMONS = {
    "s88-reporter": ["-m", "0"],  # a frame every 0.9 s
    "event-beacon": ["-i", "1"],
}


def start(name, port, stdout, env=None):
    return subprocess.Popen([kit.program(name), "-f", "-b", "127.0.0.1", "-p", str(port),
                             *DAEMONS[name]], stdout=stdout, stderr=subprocess.DEVNULL, env=env)


def sockets_of(pid):
    fds, found = "/proc/%d/fd" % pid, []
    for fd in os.listdir(fds):
        try:  # the notification's own socket may be closed between the two looks
            if os.readlink(os.path.join(fds, fd)).startswith("socket:"):
                found.append(fd)
        except FileNotFoundError:
            pass
    return found


def write_calls(pid):
    with open("/proc/%d/io" % pid) as f:
        return int(dict(line.split(": ") for line in f.read().splitlines())["syscw"])


class Readiness(unittest.TestCase):
    def test_ready_once_sockets_are_open(self):
        with tempfile.TemporaryDirectory() as tmp:
            for name in DAEMONS:
                for address in (os.path.join(tmp, "notify"), "@kit-notify-%d" % os.getpid()):
                    with self.subTest(name=name, address=address):
                        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
                        notify.bind(address.replace("@", "\0", 1))
                        notify.settimeout(5)
                        listener = kit.Listener()
                        p = start(name, listener.port, subprocess.DEVNULL,
                                  dict(os.environ, NOTIFY_SOCKET=address))
                        try:
                            self.assertEqual(notify.recv(64), b"READY=1")
                            self.assertTrue(sockets_of(p.pid), "no socket open at READY=1")
                            self.assertEqual(len(listener.receive(1)), 1)
                        finally:
                            p.kill()
                            p.wait()
                            notify.close()
                            listener.close()
                            if not address.startswith("@"):
                                os.unlink(address)

    def test_reporter_without_the_bus_is_never_ready(self):
        # Scan mode opens /dev/mem; where it is missing the reporter fails, and must not have
        # said READY=1 before. Never where it exists: the scan would drive the host's memory.
        if os.path.exists("/dev/mem"):
            self.skipTest("this machine has a /dev/mem")
        with tempfile.TemporaryDirectory() as tmp:
            notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            notify.bind(os.path.join(tmp, "notify"))
            status = subprocess.run([kit.program("s88-reporter"), "-f", "-m", "1", "-b", "127.0.0.1"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10,
                                    env=dict(os.environ, NOTIFY_SOCKET=notify.getsockname())).returncode
            notify.setblocking(False)
            self.assertEqual(status, 1)
            self.assertRaises(BlockingIOError, notify.recv, 64)
            notify.close()


class NullOutput(unittest.TestCase):
    def test_no_trace_writes_to_the_null_device(self):
        # /dev/zero swallows writes as /dev/null does, but is no reason to skip the trace: the
        # count of write calls shows the trace there, and its absence on /dev/null.
        for name in DAEMONS:
            for device, traced in (("/dev/null", False), ("/dev/zero", True)):
                with self.subTest(name=name, device=device), open(device, "w") as out:
                    listener = kit.Listener()
                    p = start(name, listener.port, out)
                    try:
                        self.assertEqual(len(listener.receive(1)), 1)
                        before = write_calls(p.pid)
                        self.assertEqual(len(listener.receive(2, timeout=4)), 2)
                        self.assertEqual(write_calls(p.pid) > before, traced)
                    finally:
                        p.kill()
                        p.wait()
                        listener.close()


if __name__ == "__main__":
    kit.main()
