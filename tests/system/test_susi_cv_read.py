# SPDX-License-Identifier: GPL-2.0-or-later
"""susi-cv-read as a real process on this host: its command line, and the device that is not here."""
import os
import unittest

import kit

USAGE = ("\nUsage: susi-cv-read    Version 0.1\n\n"
         "         -c                  reading CV\n"
         "         -f                  run in foreground (for debugging)\n"
         "         -v                  be verbose\n\n")


class CommandLine(unittest.TestCase):
    def test_usage_statuses(self):
        for args, status in ((["-h"], 0), (["-?"], 0), (["-f"], 0), (["-c", "3", "-v"], 0),
                             (["-x", "-c", "3"], 0), (["-c"], 0), (["-s", "-c", "3"], 1), ([], 1)):
            with self.subTest(args=args):
                code, out, err = kit.run("susi-cv-read", *args)
                self.assertEqual(code, status)
                self.assertEqual(out, "")
                self.assertTrue(err.endswith(USAGE), repr(err))

    def test_getopt_complains_before_the_usage_text(self):
        code, _, err = kit.run("susi-cv-read", "-f")
        self.assertEqual(code, 0)
        self.assertIn("invalid option -- 'f'", err.split(USAGE)[0])
        code, _, err = kit.run("susi-cv-read", "-h")
        self.assertEqual(err, USAGE)


class MissingDevice(unittest.TestCase):
    @unittest.skipIf(os.path.exists("/dev/susi-gpio"), "this machine has a SUSI driver")
    def test_open_failure_exits_255(self):
        code, out, err = kit.run("susi-cv-read", "-c", "897")
        self.assertEqual(code, 255)
        self.assertEqual(out, "")
        self.assertEqual(err, "main: error: open failed [No such file or directory]\n")


if __name__ == "__main__":
    kit.main()
