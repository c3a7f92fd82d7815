# SPDX-License-Identifier: GPL-2.0-or-later
"""event-beacon fed bad input: every failure prints its line and ends with its status."""
import kit

USAGE = ("\nUsage: event-beacon -vf [-b <bcast_addr/int>][-i <sec>][-p <port>]\n"
         "   Version 1.0\n\n"
         "         -b <bcast_addr/int> broadcast address or interface - default 255.255.255.255/br-lan\n"
         "         -i <interval in sec>   using timer in sec / 0 -> only once - default 12\n"
         "         -p <port>           destination port of the server - default 15731\n"
         "         -f                  run in foreground (for debugging)\n"
         "         -v                  be verbose\n\n")


class Failures(kit.unittest.TestCase):
    # (arguments, exit status, expected standard error; None: the usage text after getopt's own
    # complaint, which is the system's text)
    TABLE = [
        (["-h"], 0, USAGE),
        (["-?"], 0, USAGE),
        (["-x"], 0, None),
        (["-p"], 0, None),
        (["-b", "1" * 40], 1, "UDP broadcast address or interface error: " + "1" * 40 + "\n"),
        (["-b", "x" * 400], 1, "UDP broadcast address or interface error: " + "x" * 400 + "\n"),
        # A negative interval would reach sleep() as an endless pause: refused.
        (["-i", "-1"], 1, USAGE),
        (["-f", "-i", "0", "-b", "300.1.1.1"], 1, "UDP IP invalid\n"),
        (["-f", "-i", "0", "-b", "no-such-interface"], 1,
         "UDP IP invalid\nno interface no-such-interface with an IPv4 broadcast address\n"),
        (["-f", "-i", "0", "-b", "127.0.0.1", "-p", "0"], 1,
         "create_event: error sending UDP data: Invalid argument\n"
         "problem sending event data - terminating\n"),
    ]

    def test_each_row_prints_its_message_and_status(self):
        for args, status, err in self.TABLE:
            with self.subTest(args=args):
                got_status, out, got_err = kit.run("event-beacon", *args)
                self.assertEqual(got_status, status)
                self.assertEqual(out, "")
                if err is None:
                    self.assertTrue(got_err.endswith(USAGE), got_err)
                else:
                    self.assertEqual(got_err, err)

    def test_single_frame_with_a_number_that_is_not_one(self):
        listener = kit.Listener()
        try:
            status, out, err = kit.run("event-beacon", "-f", "-i", "soon", "-b", "127.0.0.1",
                                       "-p", str(listener.port + 65536))
            self.assertEqual((status, err), (0, ""))
            got = listener.receive(2, timeout=0.5)
            self.assertEqual([d for _, d in got], [bytes.fromhex("00300300") + bytes(9)])
            self.assertEqual(out.count("\n"), 1)
        finally:
            listener.close()


if __name__ == "__main__":
    kit.main()
