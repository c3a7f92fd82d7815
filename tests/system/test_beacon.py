# SPDX-License-Identifier: GPL-2.0-or-later
"""event-beacon as a real process."""
import re
import unittest

import kit

BEACON = bytes([0x00, 0x30, 0x03, 0x00]) + bytes(9)
TRACE = r"\d\d:\d\d:\d\d\.\d{6}          UDP->  0x00300300   \[0\]\(00 00 00 00 00 00 00 00\)"


class Beacon(unittest.TestCase):
    def test_usage_and_start_up_errors(self):
        for args in (["-h"], ["-?"], ["-c", "1"], ["-i"]):
            status, _, err = kit.run("event-beacon", *args)
            self.assertEqual(status, 0, args)
            self.assertIn("\nUsage: event-beacon -vf [-b <bcast_addr/int>][-i <sec>][-p <port>]\n", err, args)
        for args, message in ((["-i", "-3"], "\nUsage: event-beacon"),
                              (["-b", "1" * 40], "UDP broadcast address or interface error: " + "1" * 40 + "\n"),
                              (["-b", "nonexistent0"], "UDP IP invalid\n")):
            status, _, err = kit.run("event-beacon", *args)
            self.assertEqual(status, 1, args)
            self.assertIn(message, err, args)

    def test_interval_zero_sends_exactly_one_frame_and_exits_zero(self):
        for interval in ("0", "soon"):
            listener = kit.Listener()
            status, out, err = kit.run("event-beacon", "-i", interval, "-f", "-b", "127.0.0.1",
                                       "-p", str(listener.port))
            self.assertEqual((status, err), (0, ""))
            self.assertEqual([d for _, d in listener.receive(2, timeout=1)], [BEACON])
            self.assertRegex(out, "^" + TRACE + "\n$")

    def test_verbose_line_in_the_foreground_only(self):
        listener = kit.Listener()
        status, out, _ = kit.run("event-beacon", "-i", "0", "-f", "-v", "-b", "127.0.0.1",
                                 "-p", str(listener.port))
        self.assertEqual(status, 0)
        self.assertRegex(out, "^using broadcast address 127.0.0.1 interval 0 sec\n" + TRACE + "\n$")

    def test_repeats_at_the_interval(self):
        listener = kit.Listener()
        with kit.Background("event-beacon", "-i", "1", "-f", "-b", "127.0.0.1", "-p", str(listener.port)) as b:
            got = listener.receive(2, timeout=4)
            b.lines(2)
            _, out, _ = b.stop()
        self.assertEqual([d for _, d in got], [BEACON, BEACON])
        self.assertGreaterEqual(got[1][0] - got[0][0], 0.9)
        self.assertGreaterEqual(len(re.findall(TRACE, out)), 2)

    def test_send_failure_ends_with_status_one(self):
        # Port 0 is refused by the system at every send.
        status, _, err = kit.run("event-beacon", "-i", "5", "-f", "-b", "127.0.0.1", "-p", "65536")
        self.assertEqual(status, 1)
        self.assertEqual(err, "create_event: error sending UDP data: Invalid argument\n"
                              "problem sending event data - terminating\n")


if __name__ == "__main__":
    kit.main()
