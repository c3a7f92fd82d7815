# SPDX-License-Identifier: GPL-2.0-or-later
"""kit-monitor as a real process on loopback, fed by the real reporter and beacon; what it does
when its standard output stalls or fills, and when the kernel drops datagrams it had no room for."""
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.request

import kit


class Reader:
    """What a program writes into a pipe, read as it comes."""

    def __init__(self, fd):
        self.fd, self.text = fd, ""

    def until(self, pattern, seconds=10):
        """Reads until the text so far matches pattern (multi-line); returns the match or None."""
        end = time.monotonic() + seconds
        while not re.search(pattern, self.text, re.M):
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                return None
            chunk = os.read(self.fd, 65536)
            if not chunk:
                return None
            self.text += chunk.decode()
        return re.search(pattern, self.text, re.M)


def wait_until(what, seconds=10):
    end = time.monotonic() + seconds
    while not what():
        if time.monotonic() > end:
            return False
        time.sleep(0.05)
    return True

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


def lost(out):
    """The words of the line after the summary: "none", or what was lost."""
    m = re.search(r"^summary: .*\nlost: (.*)$", out, re.M)
    assert m, out
    return m.group(1)


def proc_drops(port):
    """The kernel's drops on this machine's UDP socket on port (/proc/net/udp), or None."""
    with open("/proc/net/udp") as f:
        for row in (line.split() for line in list(f)[1:]):
            if int(row[1].split(":")[1], 16) == port:
                return int(row[12])
    return None


_frames = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)


def flood(port, until, limit=500000):
    """S88 events to port, a thousand at a time, until until() or limit; returns how many."""
    sent = 0
    while sent < limit and not until():
        for _ in range(min(1000, limit - sent)):
            _frames.sendto(bytes.fromhex("00230300080000%04x00010000" % (sent % 500 + 1)), ("127.0.0.1", port))
            sent += 1
    return sent


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
        self.assertEqual((len(lines), lines[-1]), (6, "lost: none"))

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

    def test_a_stalled_standard_output_holds_up_neither_captures_nor_the_end(self):
        port, = free_ports(1)
        directory = tempfile.mkdtemp(prefix="kit-monitor-")
        self.addCleanup(shutil.rmtree, directory)
        pcap = os.path.join(directory, "s.pcap")
        reader, writer = os.pipe()  # a pipe that is not read: less scrolled back, Ctrl-S
        m = subprocess.Popen([kit.program("kit-monitor"), "-p", str(port), "-x", "-w", pcap], stdout=writer,
                             stderr=subprocess.PIPE, text=True)
        os.close(writer)
        self.addCleanup(os.close, reader)
        self.addCleanup(m.kill)
        out = Reader(reader)
        self.assertTrue(out.until(r"^listening"))
        # 12,000 lines with -x are more than the pipe and the monitor's queue of 1 MiB hold.
        for thousand in range(1, 13):
            flood(port, lambda: False, 1000)
            self.assertTrue(wait_until(lambda: os.path.getsize(pcap) == 24 + thousand * 32000),
                            os.path.getsize(pcap))
        # Read again, and send a frame each half second: the first of them that shows up comes after
        # a line that says how many were left out.
        gap, sent = None, 12000
        while not gap and sent < 12060:
            _frames.sendto(bytes.fromhex("00230300080000777700010000"), ("127.0.0.1", port))
            sent += 1
            gap = out.until(r"^\((\d+) lines not shown: standard output did not take them\)\n.* contact=30583 ", 0.5)
        self.assertTrue(gap, out.text[-300:])
        self.assertTrue(wait_until(lambda: os.path.getsize(pcap) == 24 + sent * 32))
        m.send_signal(signal.SIGTERM)
        self.assertTrue(out.until(r"^lost: .*\n"))
        self.assertEqual(m.wait(timeout=5), 1)
        self.assertEqual(summary(out.text)[0], sent)
        # Every gap was marked, and they add up to the count.
        gaps = re.findall(r"^\((\d+) lines not shown: standard output did not take them\)$", out.text, re.M)
        self.assertEqual(lost(out.text), "%d lines not shown (standard output did not take them)"
                         % sum(map(int, gaps)))

    def test_the_end_does_not_wait_for_a_stalled_standard_output(self):
        port, = free_ports(1)
        reader, writer = os.pipe()  # read once, then never again
        m = subprocess.Popen([kit.program("kit-monitor"), "-p", str(port)], stdout=writer,
                             stderr=subprocess.PIPE, text=True)
        os.close(writer)
        self.addCleanup(os.close, reader)
        self.addCleanup(m.kill)
        self.assertTrue(Reader(reader).until(r"^listening"))
        flood(port, lambda: False, 3000)  # more than the pipe holds
        m.send_signal(signal.SIGTERM)
        self.assertEqual(m.wait(timeout=5), 1)  # lines were lost
        err = m.stderr.read()
        self.assertEqual(summary(err)[0], 3000)
        self.assertRegex(lost(err), r"^[1-9]\d* lines not shown \(standard output did not take them\)$")

    def test_standard_output_on_a_full_disk_is_an_error(self):
        port, = free_ports(1)
        with open("/dev/full", "w") as full:
            m = subprocess.Popen([kit.program("kit-monitor"), "-p", str(port), "-c", "2"], stdout=full,
                                 stderr=subprocess.PIPE, text=True)
            # Nothing says when it listens: a frame each try until two ended it.
            self.assertTrue(wait_until(lambda: flood(port, lambda: False, 1) and m.poll() is not None))
            err = m.communicate(timeout=5)[1]
        self.assertEqual(m.returncode, 1)
        self.assertTrue(err.startswith("cannot write standard output: No space left on device\n"), err)
        self.assertRegex(lost(err), r"^3 lines not shown \(standard output: No space left on device\)$")

    def test_the_kernels_drops_are_counted_and_told(self):
        port, = free_ports(1)
        http, = free_ports(1)
        out = tempfile.TemporaryFile("w+")  # read as a whole at the end
        m = subprocess.Popen([kit.program("kit-monitor"), "-p", str(port), "-H", "127.0.0.1:%d" % http],
                             stdout=out, stderr=subprocess.PIPE, text=True)
        self.addCleanup(m.kill)
        self.assertTrue(wait_until(lambda: os.pread(out.fileno(), 9, 0) == b"listening"))
        m.send_signal(signal.SIGSTOP)  # the kernel's queue for it fills, then overflows
        try:
            sent = flood(port, lambda: (proc_drops(port) or 0) > 0)
            sent += flood(port, lambda: False, 1000)
        finally:
            m.send_signal(signal.SIGCONT)
        drops = proc_drops(port)
        self.assertGreater(drops, 0)

        def state():
            with urllib.request.urlopen("http://127.0.0.1:%d/state" % http, timeout=5) as r:
                return json.load(r)
        self.assertTrue(wait_until(lambda: state()["datagrams"] == sent - drops, 30))
        self.assertTrue(wait_until(lambda: state()["lost"]["dropped"] == drops))
        self.assertEqual(state()["ports"], [{"port": port, "datagrams": sent - drops, "dropped": drops}])
        m.send_signal(signal.SIGTERM)
        self.assertEqual(m.wait(timeout=5), 1)
        out.seek(0)
        told = out.read()
        self.assertEqual(summary(told)[0], sent - drops)
        self.assertEqual(lost(told), "%d dropped by the kernel on port %d (receive queue full)" % (drops, port))

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
