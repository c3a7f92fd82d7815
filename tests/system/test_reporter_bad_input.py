# SPDX-License-Identifier: GPL-2.0-or-later
"""s88-reporter fed bad input: each start-up failure prints its one line and ends with its status;
the test mode keeps sending where nothing is wrong. Scan-mode rows need GPIO and run in the
target VM."""
import resource
import subprocess

import kit

USAGE_HEAD = "\nUsage: s88-reporter -vf [-b <bcast_addr/int>]"


class StartUpFailures(kit.unittest.TestCase):
    # (arguments, exit status, expected standard error: exact text, or None for the usage text)
    TABLE = [
        (["-h"], 0, None),
        (["-?"], 0, None),
        (["-x"], 0, None),                  # unknown option, after getopt's complaint
        (["-m"], 0, None),                  # missing argument
        (["-b", "1" * 40], 1, "UDP broadcast address or interface error: " + "1" * 40 + "\n"),
        (["-b", "e" * 40], 1, "UDP broadcast address or interface error: " + "e" * 40 + "\n"),
        (["-t", "1"], 1, "microtiming value to low: 1\n"),
        (["-t", "fast"], 1, "microtiming value to low: 0\n"),
        (["-t", "-7"], 1, "microtiming value to low: -7\n"),
        (["-m", "33"], 1, None),
        (["-m", "-1"], 1, None),
        (["-o", "65503"], 1, None),
        (["-c", "PJ3"], 1, "pin definition error: PJ3\n"),
        (["-c", "P"], 1, "pin definition error: P\n"),
        (["-c", "PA1,p@2"], 1, "pin definition error: P@2\n"),
        # Pins past PI31 would index beyond the GPIO tables: refused like a bad bank.
        (["-c", "PI32"], 1, "pin definition error: PI32\n"),
        (["-c", "PA288"], 1, "pin definition error: PA288\n"),
        (["-c", "PA99999999999999999999"], 1, "pin definition error: PA99999999999999999999\n"),
        (["-m", "0", "-b", "1.2.3"], 1, "UDP IP invalid\n"),
        (["-m", "0", "-b", "no-such-interface"], 1,
         "UDP IP invalid\nno interface no-such-interface with an IPv4 broadcast address\n"),
    ]

    def test_each_row_prints_its_message_and_status(self):
        for args, status, err in self.TABLE:
            with self.subTest(args=args):
                got_status, out, got_err = kit.run("s88-reporter", *args)
                self.assertEqual(got_status, status)
                self.assertEqual(out, "")
                if err is None:
                    self.assertTrue(got_err.endswith("         -v                  be verbose\n\n"),
                                    got_err)
                    self.assertIn(USAGE_HEAD, got_err)
                else:
                    self.assertEqual(got_err, err)

    def test_second_socket_not_opened(self):
        # Room for exactly one socket: the second one fails with the system's error text.
        def one_spare_descriptor():
            resource.setrlimit(resource.RLIMIT_NOFILE, (4, 4))
        p = subprocess.run([kit.program("s88-reporter"), "-m", "0", "-f", "-b", "127.0.0.1",
                            "-s", "15731"], capture_output=True, text=True, timeout=10,
                           preexec_fn=one_spare_descriptor)
        self.assertEqual(p.returncode, 1)
        self.assertTrue(p.stderr.startswith("UDP second socket error: Too many open files\n"),
                        p.stderr)


class TestModeSendFailures(kit.unittest.TestCase):
    def test_unsendable_frame_ends_test_mode_with_255(self):
        # Port 0 cannot be sent to: the first frame fails.
        status, out, err = kit.run("s88-reporter", "-m", "0", "-f", "-b", "127.0.0.1", "-p", "0")
        self.assertEqual(status, 255)
        self.assertEqual(out, "")
        self.assertEqual(err, "create_event: error sending UDP data: Invalid argument\n")

    def test_second_port_failure_ends_after_first_send(self):
        listener = kit.Listener()
        try:
            # -s 65536 is non-zero, so a second socket exists, but its port is 0.
            status, out, err = kit.run("s88-reporter", "-m", "0", "-f", "-b", "127.0.0.1",
                                       "-p", str(listener.port), "-s", "65536")
            self.assertEqual(status, 255)
            self.assertEqual(out, "")  # a frame that failed is not traced
            self.assertEqual(err, "create_event: error sending UDP data (second socket): "
                                  "Invalid argument\n")
            got = listener.receive(2, timeout=0.5)
            self.assertEqual(len(got), 1)  # the first destination had it before the failure
        finally:
            listener.close()


class GoesOnWhereNothingIsWrong(kit.unittest.TestCase):
    def test_fifth_pin_and_odd_tokens_do_not_stop_test_mode(self):
        listener = kit.Listener()
        try:
            with kit.Background("s88-reporter", "-m", "0", "-f", "-v", "-b", "127.0.0.1",
                                "-p", str(listener.port),
                                "-c", "x1,,PA1;PB2!PC3:PD4-PE5.PF6") as reporter:
                got = listener.receive(2, timeout=3)
                status, out, err = reporter.stop()
            self.assertEqual(len(got), 2)
            self.assertEqual(got[0][1][9:11], bytes([1, 0]))  # contact 32 goes 1 -> 0
            self.assertEqual(got[1][1][9:11], bytes([0, 1]))  # then back
            self.assertTrue(out.startswith("DATA  pin is PA1\nCLOCK pin is PB2\n"
                                           "LOAD  pin is PC3\nRESET pin is PD4\n"), out)
            self.assertEqual(err, "")
        finally:
            listener.close()


if __name__ == "__main__":
    kit.main()
