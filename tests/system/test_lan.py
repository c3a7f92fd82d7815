# SPDX-License-Identifier: GPL-2.0-or-later
"""The LAN machine's pieces for the field's tools: the Wireshark dissector (tshark over a capture
of this machine's loopback, against kit-monitor's lines for the same datagrams) and the python-can
interface "railkit" (found through its entry point in the build tree, with python-can's own
can.logger and can.player)."""
import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

import kit
from test_captures import DEBIAN_PYTHON, send
from test_monitor import free_ports, monitor, summary, wait_until

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PYTHON_DIR = os.path.join(kit.BUILD_DIR, "lan", "python")
# python-can reads its interfaces' entry points once, at import: the build tree's goes first.
sys.path.insert(0, PYTHON_DIR)
try:
    import can
except ImportError:
    if sys.executable != DEBIAN_PYTHON and os.path.exists(DEBIAN_PYTHON):
        os.execv(DEBIAN_PYTHON, [DEBIAN_PYTHON] + sys.argv)  # Debian's python3-can
    can = None

# Crafted frames: one of each kind kit-monitor names, and near misses of each.
FRAMES = ["00230300#0000000D00010000", "00230B00#0001000D01000000", "00300300#", "00080300#000040050010",
          "000A0300#0000400502", "000C0300#000040050301", "00000300#0000000001", "1ABCDEF0#11223344556677",
          "00230300#0000000D00020000", "00300300#00", "000A0300#0000400503", "00000300#0000000002"]
BAD = [bytes(12), bytes(14), bytes(1), b""]
TOP_BITS = bytes.fromhex("E0230300080000000D00010000")  # identifier bits beyond 29 are dropped
# The words after each kind, as tshark's field names.
WORDS = {"s88-event": ["contact", "old", "new", "event_id", "hash"], "beacon": [],
         "loco-speed": ["loco", "speed"], "loco-direction": ["loco", "direction"],
         "loco-function": ["loco", "function", "state"], "start-stop": ["state"]}
FIELDS = ["udp.dstport", "_ws.col.Info", "railkit.kind", "railkit.id", "railkit.dlc", "railkit.data", "railkit.bytes",
          "_ws.expert.group"] + ["railkit." + w for w in sorted({w for ws in WORDS.values() for w in ws})]


def words(row):
    """kit-monitor's words rebuilt from the dissector's fields."""
    v = dict(zip(FIELDS, row))
    kind = v["railkit.kind"]
    if kind == "frame":
        return "frame id=0x%08X dlc=%s data=%s" % (int(v["railkit.id"], 16), v["railkit.dlc"], v["railkit.data"])
    if kind == "bad-length":
        return "bad-length bytes=" + v["railkit.bytes"]
    return " ".join([kind] + ["%s=%s" % (w.replace("_", "-"), "0x%04X" % int(v["railkit.hash"], 16) if w == "hash"
                                         else v["railkit." + w]) for w in WORDS[kind]])


def queued(port):
    """Bytes waiting in the receive queue of this machine's UDP socket on port."""
    with open("/proc/net/udp") as f:
        rows = [line.split() for line in f][1:]
    return sum(int(r[4].split(":")[1], 16) for r in rows if int(r[1].split(":")[1], 16) == port)


@unittest.skipUnless(shutil.which("tshark") and shutil.which("dumpcap") and os.geteuid() == 0,
                     "needs tshark, and root for dumpcap on loopback")
class Dissector(unittest.TestCase):
    def test_a_loopback_capture_reads_as_kit_monitors_lines(self):
        ports = free_ports(4)
        prefs = sum((["-o", "railkit.%s_port:%d" % (name, port)]
                     for name, port in zip(["board", "frames", "s88", "beacon"], ports)), [])
        tmp = tempfile.mkdtemp(prefix="kit-lan-")
        self.addCleanup(shutil.rmtree, tmp)
        pcap = os.path.join(tmp, "lo.pcap")
        count = len(FRAMES) + len(BAD) + 1
        dumpcap = subprocess.Popen(["dumpcap", "-q", "-i", "lo", "-w", pcap, "-c", str(count), "-f",
                                    " or ".join("udp dst port %d" % p for p in ports)],
                                   stderr=subprocess.PIPE, text=True)
        self.addCleanup(dumpcap.stderr.close)
        self.addCleanup(dumpcap.kill)
        # "File:" comes once the capture is open ("Capturing on" comes before).
        self.assertIn("Capturing on", dumpcap.stderr.readline())
        self.assertIn("File: ", dumpcap.stderr.readline())
        with monitor(*sum((["-p", str(p)] for p in ports), [])) as m, \
                socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            # One at a time: the monitor takes its sockets in turn, not in the order sent.
            for i, frame in enumerate(FRAMES):
                self.assertEqual(send(ports[i % 4], frame), (0, "", ""))
                m.lines(2 + i)
            for i, datagram in enumerate(BAD + [TOP_BITS]):
                s.sendto(datagram, ("127.0.0.1", ports[i % 4]))
                m.lines(2 + len(FRAMES) + i)
            lines = m.lines(1 + count)[1:]
            m.proc.send_signal(signal.SIGTERM)
            m.proc.wait(timeout=10)
            kinds = summary(m.stop()[1])[1]
        self.assertEqual(dumpcap.wait(timeout=30), 0)  # it ends after count datagrams
        shown = [re.match(r"\S+ \S+ -> (\d+) (.*)$", line).groups() for line in lines]
        # Every kind kit-monitor knows (its summary names them all) is among the frames here, so a
        # kind added to its table fails this test until the dissector names it too.
        self.assertEqual(set(kinds), {words.split()[0] for _, words in shown})
        tshark = ["tshark", "-X", "lua_script:" + os.path.join(SOURCE, "lan", "railkit.lua"), *prefs, "-r", pcap]
        p = subprocess.run(tshark + ["-T", "fields", "-E", "occurrence=f"] + sum((["-e", f] for f in FIELDS), []),
                           capture_output=True, text=True, timeout=60)
        rows = [line.split("\t") for line in p.stdout.splitlines()]
        self.assertEqual([(r[0], r[1]) for r in rows], shown, p.stderr)
        self.assertEqual([words(r) for r in rows], [s for _, s in shown])
        self.assertNotIn("Lua", p.stderr)
        # Every bad length and nothing else is malformed (PI_MALFORMED, 0x07000000).
        self.assertEqual([r[1].startswith("bad-length") for r in rows], [r[7] == str(0x07000000) for r in rows])
        p = subprocess.run(tshark + ["-Y", "railkit.contact == 13 && railkit.new == 1"], capture_output=True,
                           text=True, timeout=60)
        self.assertEqual(len(p.stdout.splitlines()), 2, p.stdout)
        print(subprocess.run(tshark, capture_output=True, text=True).stdout)


@unittest.skipUnless(can, "needs python3-can (make check-host installs it)")
class PythonCan(unittest.TestCase):
    def setUp(self):
        self.ports = free_ports(3)
        self.board = kit.Listener(self.ports[2])  # stands in for the board's can-bridge
        self.addCleanup(self.board.close)

    def bus(self, **options):
        bus = can.Bus(interface="railkit", channel="localhost", ports="%d,%d" % tuple(self.ports[:2]),
                      board_port=self.ports[2], **options)
        self.addCleanup(bus.shutdown)
        return bus

    def test_messages_both_ways_as_kit_send_and_kit_monitor_have_them(self):
        bus = self.bus()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.sendto(bytes(12), ("127.0.0.1", self.ports[0]))  # not a frame: dropped
            s.sendto(TOP_BITS, ("127.0.0.1", self.ports[1]))
        for i, frame in enumerate(FRAMES[:8]):
            send(self.ports[i % 2], frame)
        got = [bus.recv(5) for _ in range(9)]
        # Two sockets: the order between them is select's.
        self.assertEqual(sorted("%08X#%s" % (m.arbitration_id, m.data.hex().upper()) for m in got if m),
                         sorted([FRAMES[0]] + FRAMES[:8]))
        self.assertTrue(all(m.is_extended_id and m.dlc == len(m.data) and m.channel == "localhost" for m in got))
        self.assertIsNone(bus.recv(0.1))
        for frame in FRAMES[:8]:
            bus.send(can.Message(arbitration_id=int(frame[:8], 16), data=bytes.fromhex(frame[9:])), timeout=1)
            send(self.ports[2], frame)
        got = [d for _, d in self.board.receive(16)]
        self.assertEqual(got[0::2], got[1::2])  # byte for byte what kit-send sends
        self.assertEqual(len(got), 16)

    def test_filters_and_clear_errors(self):
        bus = self.bus(can_filters=[{"can_id": 0x00230000, "can_mask": 0x1FFF0000, "extended": True}])
        for frame in FRAMES[2:4] + FRAMES[1:2]:
            send(self.ports[0], frame)
        self.assertEqual(bus.recv(5).arbitration_id, 0x00230B00)
        for bad in (can.Message(arbitration_id=0x123, is_extended_id=False),
                    can.Message(arbitration_id=0x123, is_remote_frame=True),
                    can.Message(arbitration_id=0x20000000)):
            self.assertRaisesRegex(can.CanOperationError, r"^railkit: message 0x", bus.send, bad)
        self.assertEqual(self.board.receive(1, timeout=0.2), [])
        for channel, why in ((None, "no channel"), ("no-such-board.invalid", "unknown board address"),
                             ("localhost", "cannot bind UDP port %d: Address already in use" % self.ports[0])):
            self.assertRaisesRegex(can.CanInitializationError, "^railkit: " + why, can.Bus, interface="railkit",
                                   channel=channel, ports=self.ports[0])
        for ports in ("7655,x", "0", "", [7655, 70000]):
            with self.assertRaises(can.CanInitializationError) as refused:
                can.Bus(interface="railkit", channel="localhost", ports=ports)
            self.assertIn("railkit: invalid ports %s: " % (ports if isinstance(ports, str) else ports,),
                          str(refused.exception))
        self.assertRaisesRegex(can.CanInitializationError, "^railkit: invalid board_port 7654,7655: ", can.Bus,
                               interface="railkit", channel="localhost", ports=self.ports[1], board_port="7654,7655")
        bus.shutdown()
        self.assertRaises(can.CanOperationError, bus.send, can.Message(arbitration_id=1))
        # Nothing can come any more: recv says so, whatever its time-out, instead of waiting.
        for timeout in (None, 0, 1):
            said = queue.Queue()

            def receive():
                try:
                    said.put("returned %r" % bus.recv(timeout))
                except can.CanError as e:
                    said.put("%s: %s" % (type(e).__name__, e))
            threading.Thread(target=receive, daemon=True).start()
            self.assertEqual(said.get(timeout=10), "CanOperationError: railkit: the bus is shut down")

    def test_can_logger_and_can_player_through_the_entry_point(self):
        log = os.path.join(tempfile.mkdtemp(prefix="kit-lan-"), "session.log")
        self.addCleanup(shutil.rmtree, os.path.dirname(log))
        env = dict(os.environ, PYTHONPATH=PYTHON_DIR)
        logger = subprocess.Popen([DEBIAN_PYTHON, "-m", "can.logger", "-i", "railkit", "-c", "127.0.0.1", "-f", log,
                                   "--ports=%d" % self.ports[0]], stdout=subprocess.PIPE, text=True, env=env,
                                  # Ctrl-C's handling, which a job started in the background lacks.
                                  preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        self.addCleanup(logger.stdout.close)
        self.addCleanup(logger.kill)
        self.assertRegex(logger.stdout.readline(), r"^Connected to RailkitBus: railkit board 127\.0\.0\.1:7654")
        for frame in FRAMES[:9]:
            send(self.ports[0], frame)
        # The logger has taken all once its queue is empty; the ninth may be cut short by Ctrl-C.
        self.assertTrue(wait_until(lambda: queued(self.ports[0]) == 0))
        logger.send_signal(signal.SIGINT)
        self.assertEqual(logger.wait(timeout=10), 0)
        with open(log) as f:
            tokens = [line.split()[1:] for line in f]
        self.assertEqual([t[:2] for t in tokens[:8]], [["127.0.0.1", frame] for frame in FRAMES[:8]])
        subprocess.run([DEBIAN_PYTHON, "-m", "can.player", "-i", "railkit", "-c", "127.0.0.1", "--ignore-timestamps",
                        "--ports=%d" % self.ports[1], "--board-port=%d" % self.ports[2], log], env=env, check=True,
                       capture_output=True, timeout=30)
        played = ["%s#%s" % (d[:4].hex().upper(), d[5:5 + d[4]].hex().upper()) for _, d in self.board.receive(8)]
        self.assertEqual(played, FRAMES[:8])


if __name__ == "__main__":
    kit.main()
