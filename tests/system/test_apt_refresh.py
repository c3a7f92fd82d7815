# SPDX-License-Identifier: GPL-2.0-or-later
"""The set-up's package index refresh (scripts/apt-refresh) against a local archive of two
suites, one of whose Packages files does not match its Release file (a mirror mid-sync): the
refresh goes on, names the index it skipped, and the good suite's packages can be had. It runs in
a private apt configuration (APT_CONFIG): neither the network nor this machine's apt is touched."""
import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest

REFRESH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../scripts/apt-refresh")

STANZA = """Package: kit-probe-{suite}
Version: 1.0
Architecture: all
Maintainer: nobody <nobody@localhost>
Filename: pool/kit-probe-{suite}_1.0_all.deb
Size: 1000
SHA256: {zero}
Description: probe package

"""


def write_suite(repo, suite, broken):
    index = os.path.join(repo, "dists", suite, "main", "binary-all")
    os.makedirs(index)
    packages = STANZA.format(suite=suite, zero="0" * 64).encode()
    with open(os.path.join(index, "Packages"), "wb") as f:
        f.write(packages)
    if broken:
        # The Release file describes a Packages file other than the one the mirror has.
        packages += b"X"
    digest = hashlib.sha256(packages).hexdigest()
    with open(os.path.join(repo, "dists", suite, "Release"), "w") as f:
        f.write("Suite: %s\nCodename: %s\nArchitectures: all\nComponents: main\n"
                "Date: Thu, 01 Jan 2026 00:00:00 UTC\nSHA256:\n %s %d main/binary-all/Packages\n"
                % (suite, suite, digest, len(packages)))


@unittest.skipUnless(shutil.which("apt-get"), "apt-get is missing")
class BrokenIndex(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kit-apt-")
        self.addCleanup(shutil.rmtree, self.dir)
        repo = os.path.join(self.dir, "repo")
        write_suite(repo, "good", broken=False)
        write_suite(repo, "broken", broken=True)
        for sub in ("lists/partial", "cache/archives/partial", "etc/sources.list.d", "etc/preferences.d"):
            os.makedirs(os.path.join(self.dir, sub))
        open(os.path.join(self.dir, "status"), "w").close()
        with open(os.path.join(self.dir, "etc/sources.list"), "w") as f:
            for suite in ("good", "broken"):
                f.write("deb [trusted=yes] file:%s %s main\n" % (repo, suite))
        conf = os.path.join(self.dir, "apt.conf")
        with open(conf, "w") as f:
            d = self.dir
            f.write('Dir::State "%s"; Dir::State::lists "%s/lists"; Dir::State::status "%s/status";\n'
                    'Dir::Cache "%s/cache"; Dir::Etc::sourcelist "%s/etc/sources.list";\n'
                    'Dir::Etc::sourceparts "%s/etc/sources.list.d";\n'
                    'Dir::Etc::preferencesparts "%s/etc/preferences.d";\n'
                    'APT::Sandbox::User "%s"; Acquire::Languages "none";\n'
                    % (d, d, d, d, d, d, d, os.environ.get("USER") or "root"))
        self.env = dict(os.environ, APT_CONFIG=conf)

    def run_apt(self, *args):
        return subprocess.run(args, env=self.env, capture_output=True, text=True, timeout=120)

    def test_refresh_goes_on_and_names_the_skipped_index(self):
        # apt itself fails the whole update for the one bad index.
        self.assertNotEqual(self.run_apt("apt-get", "-q", "update").returncode, 0)
        p = self.run_apt(REFRESH)
        self.assertEqual(p.returncode, 0, p.stderr)
        skipped = [line for line in p.stderr.splitlines() if line.startswith("warning: skipped")]
        self.assertEqual(len(skipped), 1, p.stderr)
        self.assertIn("/dists/broken/main/binary-all/Packages", skipped[0])
        self.assertIn("going on with the other package lists", p.stderr)
        # The good suite's package is there to install; the broken one's is not.
        good = self.run_apt("apt-cache", "policy", "kit-probe-good").stdout
        self.assertIn("Candidate: 1.0", good)
        self.assertNotIn("Candidate: 1.0", self.run_apt("apt-cache", "policy", "kit-probe-broken").stdout)

    def test_a_killed_refresh_is_an_error(self):
        # The good suite alone, apt-get killed once its lists came: by a hook run after them, in a
        # child of apt-get.
        good = os.path.join(self.dir, "etc/good.list")
        with open(os.path.join(self.dir, "etc/sources.list")) as f, open(good, "w") as g:
            g.write(f.readline())
        p = self.run_apt(REFRESH, "-o", "Dir::Etc::sourcelist=" + good,
                         "-o", "APT::Update::Post-Invoke::=kill -KILL $(ps -o ppid= -p $PPID)")
        self.assertEqual(p.returncode, 1, p.stderr)
        self.assertIn("apt-refresh: error: apt-get update failed (exit 137)", p.stderr)


if __name__ == "__main__":
    unittest.main()
