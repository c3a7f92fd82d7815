# SPDX-License-Identifier: GPL-2.0-or-later
"""s88-reporter as a real process: command line, test mode on loopback, second port."""
import re
import time
import unittest

import kit

USAGE_HEAD = "\nUsage: s88-reporter -vf [-b <bcast_addr/int>][-i <0|1>][-p <port>][-m <s88modules>][-o <offset>]\n   Version 2.0\n\n"
TRACE = re.compile(r"^\d\d:\d\d:\d\d\.\d{6} \[0x00000000\] ->S88>UDP  CANID 0x00230300   \[8\] "
                   r"00 00 00 20 (01 00|00 01) 00 00 $")


def frame(old, new):
    return bytes([0x00, 0x23, 0x03, 0x00, 8, 0, 0, 0, 32, old, new, 0, 0])


class CommandLine(unittest.TestCase):
    def test_usage_exits_zero_for_help_unknown_option_and_missing_argument(self):
        for args in (["-h"], ["-?"], ["-x"], ["-p"]):
            status, out, err = kit.run("s88-reporter", *args)
            self.assertEqual(status, 0, args)
            self.assertIn(USAGE_HEAD, err, args)
            self.assertTrue(err.endswith("         -v                  be verbose\n\n"), args)
            self.assertEqual(out, "")

    def test_start_up_errors_exit_one_with_their_message(self):
        cases = [
            (["-m", "33"], USAGE_HEAD),
            (["-m", "-1"], USAGE_HEAD),
            (["-o", "65503"], USAGE_HEAD),
            (["-t", "1"], "microtiming value to low: 1\n"),
            (["-b", "x" * 40], "UDP broadcast address or interface error: " + "x" * 40 + "\n"),
            (["-c", "PJ3"], "pin definition error: PJ3\n"),
            (["-c", "PI32"], "pin definition error: PI32\n"),
            (["-b", "1.2.3", "-m", "0"], "UDP IP invalid\n"),
            (["-b", "no-such-interface", "-m", "0"], "UDP IP invalid\n"),
        ]
        for args, message in cases:
            status, out, err = kit.run("s88-reporter", *args)
            self.assertEqual(status, 1, args)
            self.assertIn(message, err, args)

    def test_verbose_names_the_pins_as_configured(self):
        # An invalid address stops the start-up right after the pin lines.
        status, out, _ = kit.run("s88-reporter", "-v", "-c", "PA40,ph3", "-b", "300.1.1.1")
        self.assertEqual(status, 1)
        self.assertEqual(out, "DATA  pin is PB8\nCLOCK pin is PH3\nLOAD  pin is PI21\nRESET pin is PH5\n")


class TestMode(unittest.TestCase):
    def test_contact_32_toggles_starting_with_one_to_zero(self):
        listener = kit.Listener()
        with kit.Background("s88-reporter", "-m", "0", "-f", "-v", "-b", "127.0.0.1",
                            "-p", str(listener.port)) as reporter:
            got = listener.receive(3, timeout=6)
            reporter.lines(5 + 3)
            status, out, err = reporter.stop()
        self.assertEqual([d for _, d in got], [frame(1, 0), frame(0, 1), frame(1, 0)])
        gaps = [b[0] - a[0] for a, b in zip(got, got[1:])]
        for gap in gaps:
            self.assertGreaterEqual(gap, 0.85)  # 0.9 s apart, never faster
        lines = out.splitlines()
        self.assertEqual(lines[:5], ["DATA  pin is PI20", "CLOCK pin is PH3", "LOAD  pin is PI21",
                                     "RESET pin is PH5", "using broadcast address 127.0.0.1"])
        traces = lines[5:]
        self.assertGreaterEqual(len(traces), 3)
        for line in traces:
            self.assertRegex(line, TRACE)
        self.assertIn("01 00 00 00 ", traces[0])
        self.assertIn("00 01 00 00 ", traces[1])

    def test_second_port_gets_every_frame_too(self):
        first, second = kit.Listener(), kit.Listener()
        with kit.Background("s88-reporter", "-m", "0", "-f", "-b", "127.0.0.1",
                            "-p", str(first.port), "-s", str(second.port)):
            a = first.receive(2, timeout=4)
            b = second.receive(2, timeout=4)
        self.assertEqual([d for _, d in a], [frame(1, 0), frame(0, 1)])
        self.assertEqual([d for _, d in b], [frame(1, 0), frame(0, 1)])

    def test_port_is_cut_to_sixteen_bits(self):
        listener = kit.Listener()
        with kit.Background("s88-reporter", "-m", "0", "-f", "-b", "127.0.0.1",
                            "-p", str(listener.port + 65536)):
            got = listener.receive(1, timeout=3)
        self.assertEqual([d for _, d in got], [frame(1, 0)])

    def test_send_failure_in_test_mode_exits_255(self):
        status, out, err = kit.run("s88-reporter", "-m", "0", "-f", "-b", "127.0.0.1", "-p", "65536")
        self.assertEqual(status, 255)
        self.assertEqual(err, "create_event: error sending UDP data: Invalid argument\n")
        self.assertEqual(out, "")

    def test_without_f_it_detaches_prints_no_trace_and_keeps_sending(self):
        listener = kit.Listener()
        port = str(listener.port)
        status, out, err = kit.run("s88-reporter", "-m", "0", "-v", "-b", "127.0.0.1", "-p", port)
        try:
            self.assertEqual(status, 0)  # the parent returns once the daemon is on its own
            self.assertEqual(out, "DATA  pin is PI20\nCLOCK pin is PH3\nLOAD  pin is PI21\nRESET pin is PH5\n")
            got = listener.receive(2, timeout=4)
            self.assertEqual([d for _, d in got], [frame(1, 0), frame(0, 1)])
        finally:
            kit.kill_daemon("s88-reporter", port)


if __name__ == "__main__":
    kit.main()
