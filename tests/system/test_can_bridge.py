# SPDX-License-Identifier: GPL-2.0-or-later
"""can-bridge as a real process on the host: command line, start-up order and its failures."""
import socket

import kit
from can_host import can_socket_error

USAGE = ("\nUsage: can-bridge -l <port> -d <port> -i <can interface>\n"
         "   Version 1.01\n\n"
         "         -l <port>           listening UDP port for the server - default 7654\n"
         "         -d <port>           destination UDP port for the server - default 7655\n"
         "         -b <broadcast_addr> broadcast address - default 255.255.255.255\n"
         "         -i <can int>        can interface - default can0\n"
         "         -f                  running in foreground\n\n")


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


class CommandLine(kit.unittest.TestCase):
    def test_help_and_question_mark_print_usage_with_status_0(self):
        for opt in ("-h", "-?"):
            status, out, err = kit.run("can-bridge", opt)
            self.assertEqual((status, out, err), (0, "", USAGE))

    def test_unknown_option_and_missing_argument_print_complaint_then_usage(self):
        for args in (["-x"], ["-f", "-l"]):
            status, out, err = kit.run("can-bridge", *args)
            self.assertEqual(status, 0)
            self.assertEqual(out, "")
            self.assertTrue(err.endswith(USAGE), err)
            self.assertRegex(err[:-len(USAGE)], r"^\S*can-bridge: .*option.*\n$")

    def test_invalid_address_ends_before_any_socket(self):
        for bad in ("192.168.1", "br-lan", "256.1.1.1"):
            status, out, err = kit.run("can-bridge", "-f", "-b", bad)
            self.assertEqual((status, out, err), (1, "", "invalid IP address: %s\n" % bad))


class StartUp(kit.unittest.TestCase):
    def test_missing_can_ends_with_status_1(self):
        status, out, err = kit.run("can-bridge", "-f", "-l", str(free_port()),
                                   "-i", "nosuchcan9")
        self.assertEqual(status, 1)
        self.assertEqual(out, "")
        reason = can_socket_error()
        if reason:
            self.assertEqual(err, "CAN socket error: %s\n" % reason)
        else:
            self.assertEqual(err, "CAN setup error: No such device\n")

    def test_busy_listening_port_is_reported_before_the_can_socket(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken:
            taken.bind(("0.0.0.0", 0))
            port = taken.getsockname()[1]
            status, out, err = kit.run("can-bridge", "-f", "-l", str(port), "-i", "nosuchcan9")
        self.assertEqual((status, out, err), (1, "", "UDP bind error: Address already in use\n"))

    def test_port_is_cut_to_its_low_16_bits(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken:
            taken.bind(("0.0.0.0", 0))
            port = taken.getsockname()[1]
            status, _, err = kit.run("can-bridge", "-f", "-l", str(port + 65536))
        self.assertEqual((status, err), (1, "UDP bind error: Address already in use\n"))


if __name__ == "__main__":
    kit.main()
