# SPDX-License-Identifier: GPL-2.0-or-later
"""ir-throttle as a real process on the host: command line and start-up failures."""
import kit
from can_host import can_socket_error

USAGE = ("\nUsage: ir-throttle -i <can interface> -r <infrared-interface> -s <step>\n"
         "   Version 0.5\n\n"
         "         -l <loco id>        loco id - default 5\n"
         "         -i <can int>        can interface - default can0\n"
         "         -r <ir int>         infrared event interface - default /dev/input/event1\n"
         "         -s <step>           speed setp - default 16\n")


class CommandLine(kit.unittest.TestCase):
    def test_help_and_question_mark_print_usage_with_status_0(self):
        for opt in ("-h", "-?"):
            status, out, err = kit.run("ir-throttle", "-l", "300", opt)
            self.assertEqual((status, out, err), (0, "", USAGE))  # defaults, not the values given

    def test_unknown_option_and_missing_argument_print_complaint_then_usage(self):
        for args in (["-f"], ["-r"]):
            status, out, err = kit.run("ir-throttle", *args)
            self.assertEqual(status, 0)
            self.assertEqual(out, "")
            self.assertTrue(err.endswith(USAGE), err)
            self.assertRegex(err[:-len(USAGE)], r"^\S*ir-throttle: .*option.*\n$")


class StartUp(kit.unittest.TestCase):
    def test_missing_can_ends_with_status_1_before_the_device_is_opened(self):
        status, out, err = kit.run("ir-throttle", "-i", "nosuchcan9", "-r", "/nonexistent")
        self.assertEqual(status, 1)
        self.assertEqual(out, "")
        reason = can_socket_error()
        if reason:
            self.assertEqual(err, "error creating CAN socket: %s\n" % reason)
        else:
            self.assertEqual(err, "setup CAN socket error: No such device\n")


if __name__ == "__main__":
    kit.main()
