# SPDX-License-Identifier: GPL-2.0-or-later
"""kit-monitor's captures read by the field's own tools (tshark, python3-can), its live screen
in a real terminal (tmux), and kit-send's frames as the monitor receives them."""
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import tempfile
import unittest

import kit
from test_monitor import free_ports, lost, monitor, wait_until

# One frame of each kind the monitor names, in cansend's syntax.
FRAMES = ["00230300#0000000D00010000", "00300300#", "00080300#00.00.40.05.00.10", "000A0300#0000400502",
          "000C0300#000040050301", "00000300#0000000001", "1ABCDEF0#11223344556677"]
DEBIAN_PYTHON = "/usr/bin/python3"  # python3-can is Debian's, not a virtual environment's


def send(port, *frame):
    return kit.run("kit-send", "-p", str(port), "127.0.0.1", *frame)


class Captures(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kit-captures-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.log, self.pcap = os.path.join(self.dir, "s.log"), os.path.join(self.dir, "s.pcap")

    def test_tshark_and_python_can_read_what_the_lines_show(self):
        if not shutil.which("tshark") or subprocess.run([DEBIAN_PYTHON, "-c", "import can"]).returncode:
            self.skipTest("needs tshark and python3-can (make check-host installs them)")
        port, = free_ports(1)
        with monitor("-p", str(port), "-x", "-L", self.log, "-w", self.pcap) as m:
            for frame in FRAMES:
                self.assertEqual(send(port, frame), (0, "", ""))
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(bytes(12), ("127.0.0.1", port))
            lines = m.lines(1 + len(FRAMES) + 1)[1:]
            # Killed, not ended: every frame must be in the files already.
            m.proc.kill()
        shown = [(int(h[:11].replace(" ", ""), 16) & 0x1FFFFFFF, int(h[12:14], 16), h[15:].replace(" ", "")[:2 * int(h[12:14], 16)])
                 for h in (re.search(r" hex=(.*)$", line).group(1) for line in lines[:-1])]
        self.assertEqual([line.split()[4] for line in lines], ["s88-event", "beacon", "loco-speed", "loco-direction",
                                                               "loco-function", "start-stop", "frame", "bad-length"])
        tshark = subprocess.run(["tshark", "-r", self.pcap, "-T", "fields", "-e", "can.id", "-e", "can.flags.xtd",
                                 "-e", "can.len", "-e", "data.data"], capture_output=True, text=True, timeout=60)
        self.assertEqual([tuple(line.split("\t")) for line in tshark.stdout.splitlines()],
                         [(str(i), "1", str(n), d) for i, n, d in shown], tshark.stderr)
        print(subprocess.run(["tshark", "-r", self.pcap], capture_output=True, text=True).stdout)
        read = subprocess.run([DEBIAN_PYTHON, "-c", "import can, sys\nfor m in can.LogReader(sys.argv[1]): "
                               "print(m.channel, m.is_extended_id, m.arbitration_id, m.dlc, m.data.hex())", self.log],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(read.stdout.splitlines(), ["can0 True %d %d %s" % f for f in shown], read.stderr)

    def test_log_on_standard_output_replaces_the_lines(self):
        port, = free_ports(1)
        m = subprocess.Popen([kit.program("kit-monitor"), "-p", str(port), "-L", "-", "-i", "vcan0", "-c", "1"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertTrue(m.stderr.readline().startswith("listening on UDP ports"))
        send(port, FRAMES[2])
        out, err = m.communicate(timeout=5)
        self.assertRegex(out, r"^\(\d{10}\.\d{6}\) vcan0 00080300#000040050010\n$")
        self.assertRegex(err, r"^summary: 1 datagrams ")

    def test_unwritable_captures_and_a_full_disk(self):
        port, = free_ports(1)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(("0.0.0.0", port))  # the capture is refused before the port is tried
            for option, path in (("-L", "/nonexistent/s.log"), ("-w", "/nonexistent/s.pcap"), ("-w", "/dev/full")):
                status, out, err = kit.run("kit-monitor", "-p", str(port), option, path, "-t", "5")
                self.assertEqual((status, out), (1, ""))
                self.assertRegex(err, r"^cannot write %s: (No such file or directory|No space left on device)\n$" % path)
        with monitor("-p", str(port), "-L", "/dev/full", "-w", self.pcap, "-c", "2") as m:
            send(port, FRAMES[0])
            send(port, FRAMES[1])
            m.proc.wait(timeout=5)
            status, out, err = m.stop()
        self.assertEqual((status, len(out.splitlines()), err),
                         (1, 5, "cannot write /dev/full: No space left on device; it gets no more frames\n"))
        self.assertEqual(lost(out), "2 frames not in /dev/full (No space left on device)")
        self.assertEqual(os.path.getsize(self.pcap), 24 + 2 * 32)  # the other capture went on
        # A file size limit reached in the middle of a record, as a full disk would be: the pcap
        # ends after the second, the waveform after its header (the size of a run with no event),
        # and the message names the limit. Its SIGXFSZ is left at its default: the monitor must
        # not die of it.
        def run_on_small_disk(limit, *args):
            def small_disk():
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit,) * 2)
            m = subprocess.Popen([kit.program("kit-monitor"), "-p", str(port), *args], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True, preexec_fn=small_disk)
            self.assertTrue(m.stdout.readline().startswith("listening"))
            for frame in FRAMES[:3]:
                send(port, frame)
            return m.communicate(timeout=5)[1], m.returncode
        self.assertEqual(run_on_small_disk(24 + 2 * 32 + 10, "-w", self.pcap, "-c", "3"),
                         ("cannot write %s: File too large; it gets no more frames\n" % self.pcap, 1))
        self.assertEqual(os.path.getsize(self.pcap), 24 + 2 * 32)
        self.assertEqual(run_on_small_disk(24 + 2 * 32, "-w", self.pcap, "-c", "3"),
                         ("cannot write %s: File too large; it gets no more frames\n" % self.pcap, 1))
        vcd = os.path.join(self.dir, "s.vcd")
        self.assertEqual(run_on_small_disk(1 << 20, "-V", vcd, "-c", "0", "-t", "1")[1], 0)
        with open(vcd, "rb") as f:
            header = f.read().index(b"$enddefinitions $end\n") + 21
        self.assertEqual(run_on_small_disk(header + 5, "-V", vcd, "-c", "1"),
                         ("cannot write %s: File too large; it gets no more frames\n" % vcd, 1))
        self.assertEqual(os.path.getsize(vcd), header)

    def test_closed_standard_output_stays_out_of_the_capture(self):
        port, = free_ports(1)
        m = subprocess.Popen(["sh", "-c", 'exec "$0" "$@" >&-', kit.program("kit-monitor"), "-p", str(port),
                              "-w", self.pcap, "-c", "1"], stderr=subprocess.PIPE)
        def sent_and_ended():  # nothing says when it listens: a frame each try until one ends it
            send(port, FRAMES[1])
            return m.poll() is not None
        self.assertTrue(wait_until(sent_and_ended, 5))
        self.assertEqual(m.wait(), 0, m.stderr.read())
        with open(self.pcap, "rb") as f:
            pcap = f.read()
        self.assertEqual((len(pcap), pcap[:4]), (24 + 32, bytes.fromhex("d4c3b2a1")))

    def test_kit_send_refuses_bad_frames_and_sends_nothing(self):
        listener = kit.Listener()
        for bad in ("123#11", "00080300#1", "0008030#11", "00080300#112233445566778899", "20000000#"):
            status, out, err = send(listener.port, bad)
            self.assertEqual((status, out), (1, ""), bad)
            self.assertRegex(err, r"^invalid frame: %s \([^\n]+\)\n$" % re.escape(bad))
        # Misused, it says how to use it and fails, as cansend does.
        for args in (["-P", "1", "127.0.0.1", "00000123#AB"], ["127.0.0.1", "00000123#AB", "-p"]):
            status, out, err = kit.run("kit-send", *args)
            self.assertEqual((status, out), (1, ""), args)
            self.assertIn("\nUsage: kit-send [-p <port>] <host> <id>#<data>\n", err)
        self.assertEqual(kit.run("kit-send", "-h")[0], 0)
        self.assertEqual(send(listener.port, "00000123#AB"), (0, "", ""))
        self.assertEqual([d for _, d in listener.receive(9, timeout=1)], [bytes.fromhex("0000012301ab00000000000000")])

    def test_live_screen_in_tmux_shows_a_train_run(self):
        if not shutil.which("tmux"):
            self.skipTest("needs tmux")
        port, = free_ports(1)
        session = "kit-live-%d" % os.getpid()
        subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "80", "-y", "24",
                        kit.program("kit-monitor"), "-l", "-p", str(port)], check=True)
        self.addCleanup(subprocess.run, ["tmux", "kill-session", "-t", session])
        pane = lambda: subprocess.run(["tmux", "capture-pane", "-p", "-t", session], capture_output=True, text=True).stdout
        self.assertTrue(wait_until(lambda: "frames 0" in pane()), pane())
        # A train from contact 13 to 20: each contact occupied, the one two behind freed.
        for contact in range(13, 21):
            send(port, "00230300#0000%04X00010000" % contact)
            if contact >= 15:
                send(port, "00230300#0000%04X01000000" % (contact - 2))
        self.assertTrue(wait_until(lambda: "frames 14," in pane()), pane())
        screen = pane()
        print(screen)
        grid = {int(line[:6]): [line.ljust(71)[8 + 4 * j] for j in range(16)]
                for line in screen.splitlines() if re.match(r" {5}\d ", line)}
        # Contacts that never changed are not known to be free.
        self.assertEqual(grid, {1: list("?" * 12 + "." * 4), 2: list("..##" + "?" * 12)}, screen)
        subprocess.run(["tmux", "resize-window", "-t", session, "-x", "60", "-y", "24"], check=True)
        self.assertTrue(wait_until(lambda: "terminal too small for the S88 grid: needs 71x11, has 60x24" in pane()), pane())


if __name__ == "__main__":
    kit.main()
