"""kit-monitor as a real process on loopback, fed by the real reporter and beacon."""
import re
import signal
import socket
import time
import unittest

import kit

HEAD = r"\d\d:\d\d:\d\d\.\d{6} 127\.0\.0\.1:\d+ -> %d "


def free_ports(count):
    """Ports nobody holds right now (the system's choice, released again)."""
    socks = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(count)]
    for s in socks:
        s.bind(("127.0.0.1", 0))
    ports = [s.getsockname()[1] for s in socks]
    for s in socks:
        s.close()
    return ports


def monitor(*args):
    m = kit.Background("kit-monitor", *args)
    lines = m.lines(1)
    assert lines and lines[0].startswith("listening on UDP ports"), lines
    return m


def summary(out):
    m = re.search(r"^summary: (\d+) datagrams in [\d.]+ s: (.*)$", out, re.M)
    assert m, out
    return int(m.group(1)), dict(kv.split("=") for kv in m.group(2).split())


class Monitor(unittest.TestCase):
    def test_decodes_the_reporter_and_the_beacon(self):
        events, beacons = free_ports(2)
        with monitor("-p", str(events), "-p", str(beacons), "-x", "-c", "3") as m:
            with kit.Background("s88-reporter", "-m", "0", "-f", "-b", "127.0.0.1", "-p", str(events)):
                m.lines(3, timeout=5)
            status, _, _ = kit.run("event-beacon", "-i", "0", "-b", "127.0.0.1", "-p", str(beacons))
            self.assertEqual(status, 0)
            m.proc.wait(timeout=5)
            status, out, err = m.stop()
        self.assertEqual((status, err), (0, ""))
        lines = out.splitlines()
        # The test event of contact 32 toggles: 1 -> 0 first, then 0 -> 1.
        self.assertRegex(lines[1], "^" + HEAD % events + "s88-event contact=32 old=1 new=0 event-id=0 "
                         "hash=0x0300 hex=00 23 03 00 08 00 00 00 20 01 00 00 00$")
        self.assertRegex(lines[2], "^" + HEAD % events + "s88-event contact=32 old=0 new=1 ")
        self.assertRegex(lines[3], "^" + HEAD % beacons + "beacon hex=00 30 03 00( 00){9}$")
        total, kinds = summary(out)
        self.assertEqual((total, kinds["s88-event"], kinds["beacon"], kinds["bad-length"]), (3, "2", "1", "0"))
        self.assertEqual(len(lines), 5)

    def test_bad_datagrams_do_not_end_it_and_count_ends_it_exactly(self):
        port, = free_ports(1)
        with monitor("-p", str(port), "-c", "3") as m:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            for data in (b"", bytes(14), bytes([0, 0x12, 0x34, 0x56, 9]) + bytes(8), bytes(13)):
                s.sendto(data, ("127.0.0.1", port))
            m.proc.wait(timeout=5)
            status, out, _ = m.stop()
        self.assertEqual(status, 0)
        decoded = [line.split(" ", 4)[4] for line in out.splitlines()[1:4]]
        self.assertEqual(decoded, ["bad-length bytes=0", "bad-length bytes=14",
                                   "frame id=0x00123456 dlc=9 data=00 00 00 00 00 00 00 00"])
        self.assertEqual(summary(out)[0], 3)

    def test_time_limit_and_sigterm_end_with_the_summary(self):
        port, = free_ports(1)
        start = time.monotonic()
        status, out, _ = kit.run("kit-monitor", "-p", str(port), "-t", "1")
        self.assertEqual(status, 0)
        self.assertGreaterEqual(time.monotonic() - start, 1.0)
        self.assertEqual(summary(out)[0], 0)
        for sig in (signal.SIGTERM, signal.SIGINT):
            with monitor("-p", str(port)) as m:
                m.proc.send_signal(sig)
                m.proc.wait(timeout=5)
                status, out, _ = m.stop()
            self.assertEqual(status, 0, sig)
            self.assertEqual(summary(out)[0], 0)

    def test_a_port_held_by_another_program(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(("0.0.0.0", 0))
            port = holder.getsockname()[1]
            free, = free_ports(1)
            status, out, err = kit.run("kit-monitor", "-p", str(free), "-p", str(port), "-t", "5")
        self.assertEqual((status, out), (1, ""))
        self.assertEqual(err, "cannot bind UDP port %d: Address already in use\n" % port)


if __name__ == "__main__":
    kit.main()
