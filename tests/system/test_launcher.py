# SPDX-License-Identifier: GPL-2.0-or-later
"""The VM launcher started as `nohup make check 0<&-` starts it: with its standard input closed."""
import os
import subprocess
import sys
import unittest

BOARD = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "board")

# The RAM file must reach a child as the shm file, not as whatever took the closed descriptor's
# number in the child (its stdin, /dev/null).
CHILD = """
import os, sys, subprocess
sys.path.insert(0, %r)
import launcher
with launcher.Run("test") as run:
    path = run.ram_file(1)
    stat = run.start(["stat", "-L", "-c", "%%F %%s", path], pass_fds=[int(path.rsplit("/", 1)[1])],
                     stdout=subprocess.PIPE)
    print(stat.communicate()[0].decode().strip())
""" % BOARD


class Launcher(unittest.TestCase):
    def test_ram_file_with_standard_input_closed(self):
        for closed in ([], [0], [0, 2]):  # standard output carries the answer
            with self.subTest(closed=closed):
                out = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=30,
                                     preexec_fn=lambda: [os.close(fd) for fd in closed])
                self.assertEqual(out.stdout.strip(), "regular file %d" % (1024 * 1024), out.stderr)


if __name__ == "__main__":
    unittest.main()
