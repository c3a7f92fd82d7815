# SPDX-License-Identifier: GPL-2.0-or-later
"""The installed tree: `cmake --install` into a temporary DESTDIR puts every built program, its
manual page, the systemd units, their options files and the udev rule where they belong, the
programs start from their installed paths, the units pass systemd-analyze verify, and the units
and the rule agree on the names of the devices they wait for."""
import os
import re
import shutil
import stat
import subprocess
import tempfile
import unittest

import kit

PROGRAMS = ["s88-reporter", "can-bridge", "ir-throttle", "event-beacon", "s88-check", "susi-cv-read",
            "kit-monitor", "kit-send"]
SERVICES = ["s88-reporter", "can-bridge", "event-beacon"]
# Every unit with the instance systemd-analyze verify checks a template with, and the options
# files of the programs' units (the CAN interface's settings are railkit-can's).
UNITS = {"s88-reporter.service": None, "can-bridge.service": None, "event-beacon.service": None,
         "ir-throttle.service": None, "ir-throttle@.service": "can1", "can-bridge@.service": "can1",
         "railkit-can@.service": "can0", "railkit-slcan@.service": "dev-ttyACM0"}
DEFAULTS = SERVICES + ["ir-throttle", "railkit-can"]


def built(name):
    return os.path.exists(kit.program(name))


def unit_settings(text):
    """Key -> list of values of a unit file (sections merged; keys are unique across ours)."""
    settings = {}
    for line in text.splitlines():
        line = line.strip()
        if line and not line.startswith(("#", "[")):
            key, _, value = line.partition("=")
            settings.setdefault(key, []).append(value)
    return settings


class InstalledTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.destdir = tempfile.mkdtemp(prefix="kit-install-")
        env = dict(os.environ, DESTDIR=cls.destdir)
        p = subprocess.run([shutil.which("cmake") or "cmake", "--install", kit.BUILD_DIR],
                           env=env, capture_output=True, text=True)
        if p.returncode != 0:
            raise AssertionError("cmake --install failed:\n" + p.stdout + p.stderr)
        cls.files = []
        for root, _, names in os.walk(cls.destdir):
            cls.files += [os.path.join(root, n)[len(cls.destdir):] for n in names]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.destdir)

    def installed(self, pattern):
        """Installed paths (as on the target) that match the regular expression."""
        return [f for f in self.files if re.fullmatch(pattern, f)]

    def one(self, pattern):
        found = self.installed(pattern)
        self.assertEqual(len(found), 1, "want exactly one installed file like %s, got %s" % (pattern, found))
        return found[0]

    def test_every_program_is_built(self):
        # The checks below take the six as given; a missing one fails here by name.
        self.assertEqual([name for name in PROGRAMS if not built(name)], [])

    def test_nothing_but_programs_pages_services_and_docs(self):
        expected = {name for name in PROGRAMS} | {name + ".1" for name in PROGRAMS}
        expected |= set(UNITS) | set(DEFAULTS) | {"70-railkit.rules", "setup-interface", "guide.md"}
        # The python-can interface with its entry point, and the Wireshark dissector.
        expected |= {"railkit_can.py", "METADATA", "entry_points.txt", "top_level.txt", "railkit.lua"}
        self.assertEqual(sorted({os.path.basename(f) for f in self.files}), sorted(expected))
        # No libraries, headers or test binaries slip in.
        self.assertFalse([f for f in self.files if re.search(r"\.(a|so|h)$|/unit-", f)])

    def test_programs_start_from_their_installed_paths(self):
        for name in PROGRAMS:
            with self.subTest(program=name):
                path = self.one(r".*/bin/" + re.escape(name))
                full = self.destdir + path
                self.assertTrue(os.stat(full).st_mode & stat.S_IXOTH, "%s not executable for all" % path)
                p = subprocess.run([full, "-h"], capture_output=True, text=True, timeout=10)
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertIn("Usage: %s" % name, p.stderr)

    def test_every_program_has_its_page_in_section_1(self):
        for name in PROGRAMS:
            with self.subTest(program=name):
                page = self.one(r".*/share/man/man1/" + re.escape(name) + r"\.1")
                with open(self.destdir + page) as f:
                    self.assertRegex(f.readline(), r'^\.TH %s 1 ' % re.escape(name.upper()))

    def unit(self, name):
        if not name.endswith(".service"):
            name += ".service"
        path = self.one(r"(/usr)?(/local)?/lib/systemd/system/" + re.escape(name))
        with open(self.destdir + path) as f:
            return path, f.read()

    def test_units_run_the_installed_program_in_the_foreground_under_supervision(self):
        for name in SERVICES:
            with self.subTest(service=name):
                _, text = self.unit(name)
                s = unit_settings(text)
                command = s["ExecStart"][0].split()
                self.assertEqual([command[0]], self.installed(r".*/bin/" + re.escape(name)))
                self.assertEqual(command[1:], ["-f", "$OPTIONS"])
                self.assertEqual(s["Type"], ["notify"])
                self.assertEqual(s["StandardOutput"], ["null"])
                self.assertEqual(s["StandardError"], ["journal"])
                self.assertEqual(s["Restart"], ["on-failure"])
                # The options file it reads is the one installed, and it sets OPTIONS.
                env_file = s["EnvironmentFile"][0].lstrip("-")
                self.assertIn(env_file, self.files)
                with open(self.destdir + env_file) as f:
                    self.assertRegex(f.read(), r'(?m)^OPTIONS="[^"]*"$')

    def test_units_wait_for_their_device_and_start_with_it(self):
        # (unit, the devices it is bound to and wanted by, what its command line ends with)
        rule = self.one(r".*/lib/udev/rules\.d/70-railkit\.rules")
        with open(self.destdir + rule) as f:
            link = re.search(r'SUBSYSTEMS=="rc".*SYMLINK\+="([^"]+)"', f.read()).group(1)
        receiver = subprocess.run(["systemd-escape", "--path", "--suffix=device", "/dev/" + link],
                                  capture_output=True, text=True, check=True).stdout.strip()
        can0, can = "sys-subsystem-net-devices-can0.device", "sys-subsystem-net-devices-%i.device"
        for unit, devices, tail in (
                ("can-bridge", [can0], "-f $OPTIONS"),
                ("can-bridge@", [can], "$OPTIONS -i %i"),
                ("railkit-can@", [can], "can %i"),
                ("railkit-slcan@", ["%i.device"], "slcan %f"),
                ("ir-throttle", [receiver, can0], "-r /dev/%s $OPTIONS" % link),
                ("ir-throttle@", [receiver, can], "-r /dev/%s $OPTIONS -i %%i" % link)):
            with self.subTest(unit=unit):
                s = unit_settings(self.unit(unit)[1])
                for key in ("BindsTo", "After"):
                    self.assertEqual(set(devices) - set(" ".join(s[key]).split()), set(), key)
                # Nothing else: a target that wanted it would wait for the device at boot.
                self.assertEqual(set(" ".join(s["WantedBy"]).split()), set(devices))
                self.assertTrue(s["ExecStart"][0].endswith(tail), s["ExecStart"])
                # Units started by a device come back whatever ended them.
                if unit.startswith("ir-throttle"):
                    self.assertEqual((s["Restart"], s["StartLimitIntervalSec"]), (["always"], ["0"]))

    @unittest.skipUnless(shutil.which("shellcheck"), "shellcheck is missing (make check installs it)")
    def test_helper_passes_shellcheck(self):
        helper = self.one(r".*/lib/railkit/setup-interface")
        self.assertTrue(os.stat(self.destdir + helper).st_mode & stat.S_IXUSR)
        p = subprocess.run(["shellcheck", "-s", "sh", self.destdir + helper], capture_output=True, text=True)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)

    @unittest.skipUnless(shutil.which("systemd-analyze"), "systemd-analyze is missing (make check installs it)")
    def test_units_pass_systemd_analyze_verify(self):
        # verify insists that ExecStart names an existing program: check copies that point into
        # the DESTDIR tree, so the programs checked are the installed ones.
        # A template is checked as an instance of it.
        checked = 0
        with tempfile.TemporaryDirectory() as tmp:
            for name, instance in UNITS.items():
                _, text = self.unit(name)
                for command in {c.split()[0] for key in ("ExecStart", "ExecStartPost")
                                for c in unit_settings(text).get(key, [])}:
                    text = text.replace("=" + command, "=" + self.destdir + command)
                copy = os.path.join(tmp, name.replace("@", "@" + instance) if instance else name)
                with open(copy, "w") as f:
                    f.write(text)
                # --man=no: the pages are checked by test_manpages, not against this host's man.
                p = subprocess.run(["systemd-analyze", "verify", "--man=no", copy],
                                   capture_output=True, text=True, cwd=tmp, timeout=60)
                # verify reports unknown keys and bad values but still exits 0: any output fails.
                self.assertEqual((p.returncode, p.stdout + p.stderr), (0, ""), name)
                checked += 1
        self.assertEqual(checked, len(UNITS))


if __name__ == "__main__":
    kit.main()
