# SPDX-License-Identifier: GPL-2.0-or-later
"""Broadcast destination by interface name, end to end, in a network namespace of our own.

Inside the namespace two veth ends carry 10.77.1.1/24 and 10.77.2.1/24; one listener is bound
to each broadcast address, so the address a frame was sent to shows in which one gets it.
"""
import os
import subprocess
import sys
import unittest

import kit

NS = "railkit-test-%d" % os.getpid()
PORT = 15799

LISTEN = r"""
import select, socket, sys
socks = {}
for addr in sys.argv[2:]:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((addr, int(sys.argv[1])))
    socks[s] = addr
print("ready", flush=True)
while True:
    ready = select.select(list(socks), [], [], 3)[0]
    if not ready:
        break
    for s in ready:
        print(socks[s], s.recv(100).hex(), flush=True)
"""


def ip(*args):
    subprocess.run(["ip", *args], check=True, capture_output=True)


def in_ns(*args, **kw):
    return ["ip", "netns", "exec", NS, *args]


class InterfaceResolution(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            print("SKIPPED: creating a network namespace needs root", file=sys.stderr)
            sys.exit(77)
        try:
            ip("netns", "add", NS)
            ip("-n", NS, "link", "set", "lo", "up")
            ip("-n", NS, "link", "add", "kit0", "type", "veth", "peer", "name", "kit1")
            ip("-n", NS, "addr", "add", "10.77.1.1/24", "brd", "+", "dev", "kit0")
            ip("-n", NS, "addr", "add", "10.77.2.1/24", "brd", "+", "dev", "kit1")
            ip("-n", NS, "link", "set", "kit0", "up")
            ip("-n", NS, "link", "set", "kit1", "up")
        except (OSError, subprocess.CalledProcessError) as e:
            # A machine without usable network namespaces (a chroot without /run, say) cannot
            # host this test; that says nothing about the programs.
            detail = getattr(e, "stderr", b"") or b""
            print("SKIPPED: no usable network namespace here (%s %s)" % (e, detail.decode().strip()),
                  file=sys.stderr)
            subprocess.run(["ip", "netns", "del", NS], capture_output=True)
            sys.exit(77)
        out = subprocess.run(["ip", "-n", NS, "-4", "-o", "addr", "show"], capture_output=True,
                             text=True, check=True).stdout
        # (name, broadcast) of the IPv4 entries in the kernel's order, the order getifaddrs keeps.
        cls.entries = [(l.split()[1], l.split(" brd ")[1].split()[0]) for l in out.splitlines() if " brd " in l]
        assert sorted(b for _, b in cls.entries) == ["10.77.1.255", "10.77.2.255"], out

    def last_broadcast(self, prefix=""):
        return [b for name, b in self.entries if name.startswith(prefix)][-1]

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["ip", "netns", "del", NS], capture_output=True)

    def sent_to(self, program, *args):
        """Runs program in the namespace; returns the broadcast addresses its frames reached."""
        listener = subprocess.Popen(in_ns(sys.executable, "-c", LISTEN, str(PORT), "10.77.1.255", "10.77.2.255"),
                                    stdout=subprocess.PIPE, text=True)
        self.assertEqual(listener.stdout.readline(), "ready\n")
        run = subprocess.run(in_ns(kit.program(program), *args, "-f", "-p", str(PORT)),
                             capture_output=True, text=True, timeout=10)
        out, _ = listener.communicate(timeout=10)
        return run, [line.split()[0] for line in out.splitlines()]

    def test_beacon_prefix_name_and_default(self):
        # Both kit0 and kit1 match the prefix: the later entry of the list wins.
        run, got = self.sent_to("event-beacon", "-i", "0", "-b", "kit")
        self.assertEqual((run.returncode, got), (0, [self.last_broadcast("kit")]))
        for name, broadcast in self.entries:
            run, got = self.sent_to("event-beacon", "-i", "0", "-b", name)
            self.assertEqual((run.returncode, got), (0, [broadcast]))
        run, got = self.sent_to("event-beacon", "-i", "0")
        self.assertEqual((run.returncode, got), (0, [self.last_broadcast()]))

    def test_reporter_by_interface_name(self):
        listener_args = in_ns(sys.executable, "-c", LISTEN, str(PORT), "10.77.1.255", "10.77.2.255")
        listener = subprocess.Popen(listener_args, stdout=subprocess.PIPE, text=True)
        self.assertEqual(listener.stdout.readline(), "ready\n")
        reporter = subprocess.Popen(in_ns(kit.program("s88-reporter"), "-m", "0", "-f", "-v",
                                          "-b", "kit1", "-p", str(PORT)),
                                    stdout=subprocess.PIPE, text=True)
        first = listener.stdout.readline().split()
        reporter.kill()
        out, _ = reporter.communicate()
        listener.kill()
        listener.communicate()
        self.assertEqual(first, ["10.77.2.255", "002303000800000020010000 00".replace(" ", "")])
        self.assertIn("using broadcast address 10.77.2.255\n", out)

    def test_name_without_ipv4_address_is_invalid(self):
        ip("-n", NS, "link", "add", "bare0", "type", "veth", "peer", "name", "bare1")
        run = subprocess.run(in_ns(kit.program("event-beacon"), "-i", "0", "-f", "-b", "bare"),
                             capture_output=True, text=True, timeout=10)
        self.assertEqual((run.returncode, run.stderr),
                         (1, "UDP IP invalid\nno interface bare with an IPv4 broadcast address\n"))


if __name__ == "__main__":
    kit.main()
