# SPDX-License-Identifier: GPL-2.0-or-later
"""The daemons started without -f with standard streams closed, as some init scripts, cron jobs
and supervisors start them: their sockets must not land on descriptors 0 to 2, which daemon(0, 0)
then points at the null device. Each must go on sending for several seconds."""
import shlex
import subprocess
import unittest

import kit

# Redirections as a shell writes them: only standard input closed, then all three.
CLOSED = {"stdin": "<&-", "all": "<&- >&- 2>&-"}


def start_detached(closed, name, *args):
    """Starts name without -f with the streams of CLOSED[closed] closed; returns the parent's status."""
    command = "exec %s %s %s" % (shlex.quote(kit.program(name)), " ".join(map(shlex.quote, args)),
                                 CLOSED[closed])
    return subprocess.run(["sh", "-c", command], timeout=10).returncode


class ClosedStreams(unittest.TestCase):
    def test_beacon_keeps_sending(self):
        for closed in CLOSED:
            with self.subTest(closed=closed):
                listener = kit.Listener()
                port = str(listener.port)
                try:
                    self.assertEqual(start_detached(closed, "event-beacon", "-i", "1", "-b", "127.0.0.1",
                                                    "-p", port), 0)
                    got = listener.receive(4, timeout=6)
                finally:
                    kit.kill_daemon("event-beacon", port)
                    listener.close()
                self.assertEqual(len(got), 4)
                self.assertGreaterEqual(got[-1][0] - got[0][0], 2.5)

    def test_reporter_keeps_sending_on_both_sockets(self):
        for closed in CLOSED:
            with self.subTest(closed=closed):
                first, second = kit.Listener(), kit.Listener()
                port = str(first.port)
                try:
                    self.assertEqual(start_detached(closed, "s88-reporter", "-m", "0", "-b", "127.0.0.1",
                                                    "-p", port, "-s", str(second.port)), 0)
                    got_first = first.receive(4, timeout=6)
                    got_second = second.receive(4, timeout=2)
                finally:
                    kit.kill_daemon("s88-reporter", port)
                    first.close()
                    second.close()
                frames = [bytes([0x00, 0x23, 0x03, 0x00, 8, 0, 0, 0, 32, old, 1 - old, 0, 0])
                          for old in (1, 0, 1, 0)]
                self.assertEqual([d for _, d in got_first], frames)
                self.assertEqual([d for _, d in got_second], frames)


if __name__ == "__main__":
    kit.main()
