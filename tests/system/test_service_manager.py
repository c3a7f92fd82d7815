"""The daemons as a service manager runs them (-f, standard output on the null device): they say
READY=1 on NOTIFY_SOCKET once their sockets are open, and write no trace lines to the null device.
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
    fds = "/proc/%d/fd" % pid
    return [fd for fd in os.listdir(fds) if os.readlink(os.path.join(fds, fd)).startswith("socket:")]


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
