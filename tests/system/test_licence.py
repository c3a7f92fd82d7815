# SPDX-License-Identifier: GPL-2.0-or-later
"""The licence is said where a club passing the kit on looks for it: every source file of the
tree names it in an SPDX line at its top (after a #! line), as debian/copyright does for the
package."""
import os
import subprocess
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SPDX = "SPDX-License-Identifier: GPL-2.0-or-later"
CODE = (".cpp", ".h", ".py", ".sh", ".lua", ".cmake")


class Licence(unittest.TestCase):
    def test_every_source_file_names_the_licence_at_its_top(self):
        files = subprocess.run(["git", "ls-files"], cwd=TOP, capture_output=True, text=True).stdout.split()
        if not files:
            self.skipTest("not a git work tree")
        unnamed = []
        for name in files:
            path = os.path.join(TOP, name)
            with open(path, "rb") as f:
                head = f.read(300).decode(errors="replace").splitlines()[:2]
            if not head or not (name.endswith(CODE) or os.path.basename(name) in ("CMakeLists.txt", "Makefile")
                                or head[0].startswith("#!")):
                continue
            if not any(SPDX in line for line in head[:2 if head[0].startswith("#!") else 1]):
                unnamed.append(name)
        self.assertEqual([], unnamed)

    def test_the_package_says_the_same_licence(self):
        with open(os.path.join(TOP, "debian/copyright")) as f:
            text = f.read()
        self.assertIn("\nLicense: GPL-2.0-or-later\n", text)
        with open(os.path.join(TOP, "LICENSE")) as f:
            self.assertIn("GNU GENERAL PUBLIC LICENSE\n                       Version 2", f.read())


if __name__ == "__main__":
    unittest.main()
