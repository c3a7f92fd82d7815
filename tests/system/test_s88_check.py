# SPDX-License-Identifier: GPL-2.0-or-later
"""s88-check's command line as a real process. Only paths that end before the GPIO block is
opened are run here: on a real board /dev/mem is the hardware (the target VM runs the rest)."""
import unittest

import kit

USAGE = (
    "\nUsage: s88-check -vf [-b <bcast_addr/int>][-i <0|1>][-p <port>][-m <s88modules>][-o <offset>]\n"
    "   Version 0.2\n\n"
    "         -i [0|1]            invert signals - default 0 -> not inverting\n"
    "         -t <time in usec>   microtiming in usec - default 15 usec\n"
)


class S88CheckOptions(unittest.TestCase):
    def test_help_prints_usage_on_stderr_with_status_0(self):
        for args in (["-h"], ["-?"]):
            status, out, err = kit.run("s88-check", *args)
            self.assertEqual((status, out, err), (0, "", USAGE), args)

    def test_accepted_values_pass_on_to_the_next_option(self):
        # -h after them proves they were accepted without touching the GPIO block.
        for args in (["-m", "1"], ["-m", "32"], ["-t", "2"], ["-i", "3"], ["-v"], ["-i", "x"]):
            status, out, err = kit.run("s88-check", *args, "-h")
            self.assertEqual((status, err), (0, USAGE), args)

    def test_module_count_outside_1_to_32_prints_usage_with_status_1(self):
        for value in ("0", "33", "-1", "abc"):
            status, out, err = kit.run("s88-check", "-m", value)
            self.assertEqual((status, out, err), (1, "", USAGE), value)

    def test_microtiming_below_2_is_refused(self):
        for value, shown in (("1", "1"), ("abc", "0"), ("-7", "-7")):
            status, out, err = kit.run("s88-check", "-t", value)
            self.assertEqual((status, out, err), (1, "", "microtiming value to low: %s\n" % shown))

    def test_reporter_options_and_missing_arguments_print_usage_with_status_0(self):
        for args in (["-f"], ["-b", "eth0"], ["-p", "80"], ["-o", "3"], ["-m"], ["-t"]):
            status, out, err = kit.run("s88-check", *args)
            self.assertEqual(status, 0, args)
            self.assertEqual(out, "", args)
            self.assertTrue(err.endswith(USAGE), (args, err))
            self.assertNotEqual(err, USAGE, "getopt names the fault first: %s" % args)


if __name__ == "__main__":
    kit.main()
