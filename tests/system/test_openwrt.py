# SPDX-License-Identifier: GPL-2.0-or-later
"""OpenWrt files: the procd init scripts are sound shell (sh -n, shellcheck), and under a stand-in
for procd and UCI they start each program in the foreground with the options of
/etc/config/railkit, respawned, standard output dropped and standard error logged."""
import os
import re
import shutil
import subprocess
import unittest

import kit

OPENWRT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../packaging/openwrt/railkit")
SERVICES = {"s88-reporter": "s88_reporter", "can-bridge": "can_bridge", "event-beacon": "event_beacon"}

# Records what an init script asks of procd; answers UCI look-ups from UCI_<section>_<option>.
PROCD_STAND_IN = r'''
config_load() { [ "$1" = railkit ] || echo "config_load $1"; }
config_get() { eval "$1=\"\${UCI_$2_$3-\$4}\""; }
config_get_bool() {
    config_get "$@"
    case "$(eval echo "\$$1")" in 1|on|true|yes|enabled) eval "$1=1" ;; *) eval "$1=0" ;; esac
}
procd_open_instance() { echo open; }
procd_set_param() { printf '%s' "$1"; shift; for a in "$@"; do printf ' [%s]' "$a"; done; echo; }
procd_close_instance() { echo close; }
procd_add_reload_trigger() { echo "trigger $*"; }
. "$1"
start_service
service_triggers
'''


def init_script(name):
    return os.path.join(OPENWRT, "files", name + ".init")


def uci_defaults():
    """The shipped /etc/config/railkit as {(section, option): value}."""
    values = {}
    section = None
    with open(os.path.join(OPENWRT, "files/railkit.config")) as f:
        for line in f:
            m = re.match(r"\s*config\s+\w+\s+'(\w+)'", line)
            if m:
                section = m.group(1)
            m = re.match(r"\s*option\s+(\w+)\s+'([^']*)'", line)
            if m:
                values[(section, m.group(1))] = m.group(2)
    return values


def start(name, **uci):
    env = {"PATH": os.environ["PATH"]}
    env.update({"UCI_%s_%s" % key: value for key, value in uci_defaults().items()})
    env.update({"UCI_%s_%s" % (SERVICES[name], key): value for key, value in uci.items()})
    p = subprocess.run(["sh", "-c", PROCD_STAND_IN, "sh", init_script(name)], env=env,
                       capture_output=True, text=True, timeout=10)
    return p.returncode, p.stdout.splitlines(), p.stderr


class InitScripts(unittest.TestCase):
    def test_scripts_parse(self):
        for name in SERVICES:
            with self.subTest(script=name):
                p = subprocess.run(["sh", "-n", init_script(name)], capture_output=True, text=True)
                self.assertEqual((p.returncode, p.stderr), (0, ""))
                with open(init_script(name)) as f:
                    text = f.read()
                self.assertTrue(text.startswith("#!/bin/sh /etc/rc.common\n"))
                self.assertRegex(text, r"(?m)^USE_PROCD=1$")

    @unittest.skipUnless(shutil.which("shellcheck"), "shellcheck is missing (make check installs it)")
    def test_scripts_pass_shellcheck(self):
        p = subprocess.run(["shellcheck", "-s", "sh"] + [init_script(n) for n in SERVICES],
                           capture_output=True, text=True)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)

    def test_shipped_config_starts_nothing_until_enabled(self):
        for name in SERVICES:
            with self.subTest(service=name):
                status, lines, err = start(name)
                self.assertEqual((status, err), (0, ""))
                self.assertEqual(lines, ["trigger railkit"])

    def test_enabled_service_runs_in_the_foreground_with_its_options(self):
        for name, section in SERVICES.items():
            with self.subTest(service=name):
                options = uci_defaults()[(section, "options")]
                status, lines, err = start(name, enabled="1")
                self.assertEqual((status, err), (0, ""))
                command = "command [/usr/bin/%s] [-f]" % name + "".join(" [%s]" % w for w in options.split())
                self.assertEqual(lines, ["open", command, "respawn", "stdout [0]", "stderr [1]", "close",
                                         "trigger railkit"])

    def test_options_are_split_into_words(self):
        status, lines, _ = start("can-bridge", enabled="yes", options="-b 192.168.1.10  -i can1")
        self.assertEqual(status, 0)
        self.assertIn("command [/usr/bin/can-bridge] [-f] [-b] [192.168.1.10] [-i] [can1]", lines)


class PackageMakefile(unittest.TestCase):
    def test_installs_every_program_script_and_the_config(self):
        with open(os.path.join(OPENWRT, "Makefile")) as f:
            text = f.read()
        self.assertIn("include $(INCLUDE_DIR)/cmake.mk", text)
        self.assertRegex(text, r"DEPENDS:=.*\+libstdcpp")
        for name in ["s88-reporter", "can-bridge", "ir-throttle", "event-beacon", "s88-check", "susi-cv-read"]:
            self.assertIn("$(PKG_INSTALL_DIR)/usr/bin/%s $(1)/usr/bin/" % name, text)
        for name in SERVICES:
            self.assertIn("./files/%s.init $(1)/etc/init.d/%s" % (name, name), text)
        self.assertIn("./files/railkit.config $(1)/etc/config/railkit", text)


if __name__ == "__main__":
    kit.main()
