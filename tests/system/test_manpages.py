# SPDX-License-Identifier: GPL-2.0-or-later
"""Manual pages: each renders with man --warnings without a warning, and its OPTIONS section
lists exactly the options the program's own usage text (-h) names and accepts, with the same
defaults. Options are probed on the program itself, so a page cannot claim one it refuses."""
import os
import re
import subprocess
import unittest

import kit

MAN_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../docs/man")
PROGRAMS = ["s88-reporter", "can-bridge", "ir-throttle", "event-beacon", "s88-check", "susi-cv-read",
            "kit-monitor", "kit-send"]
# A letter no program of the kit takes: ends option parsing with the usage text.
STOP = "-Z"


def roff_text(text):
    """Roff source line -> plain words: macros dropped, common escapes resolved."""
    text = re.sub(r"^\.\w+\s*", "", text)
    text = text.replace("\\-", "-").replace("\\(lq", '"').replace("\\(rq", '"').replace("\\(mu", "x")
    text = re.sub(r"\\f[BIRP]", "", text)
    return text.replace('"', "")


def page_options(path):
    """The OPTIONS section: {letter: (takes an argument, paragraph text)}."""
    options = {}
    section = None
    current = []
    with open(path) as f:
        lines = f.read().splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith(".SH"):
            section = line[3:].strip().strip('"')
            current = []
        elif section == "OPTIONS" and line == ".TP":
            i += 1
            current = []
            for alternative in roff_text(lines[i]).split(","):
                words = alternative.split()
                letter = re.fullmatch(r"-(.)", words[0]).group(1)
                options[letter] = (len(words) > 1, current)
        elif section == "OPTIONS" and line.startswith((".PP", ".SH")):
            current = []
        elif section == "OPTIONS":
            current.append(roff_text(line))
        i += 1
    return {letter: (argument, " ".join(text)) for letter, (argument, text) in options.items()}


def usage_options(usage):
    """Option lines of a usage text: {letter: (takes an argument, default or None)}."""
    options = {}
    for line in usage.splitlines():
        m = re.match(r"^ {9}-(\w) ?(<[^>]*>|\[[^\]]*\])?\s*(.*)$", line)
        if m:
            default = re.search(r"\bdefault (\S+)", m.group(3))
            options[m.group(1)] = (m.group(2) is not None, default and default.group(1))
    return options


def complaints(stderr):
    """(letters getopt called invalid, letters it said need an argument)."""
    return (set(re.findall(r"invalid option -- '(.)'", stderr)),
            set(re.findall(r"option requires an argument -- '(.)'", stderr)))


class ManualPages(unittest.TestCase):
    def test_pages_render_without_warnings(self):
        env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
        for name in PROGRAMS:
            with self.subTest(page=name):
                p = subprocess.run(["man", "--warnings", "-l", os.path.join(MAN_DIR, name + ".1")],
                                   capture_output=True, text=True, env=env, timeout=60)
                self.assertEqual((p.returncode, p.stderr), (0, ""))
                self.assertIn("EXIT STATUS", p.stdout)
                self.assertIn("EXAMPLES", p.stdout)

    def check_options(self, name):
        status, _, usage = kit.run(name, "-h")
        self.assertEqual(status, 0)
        listed = usage_options(usage)
        self.assertTrue(listed, "no option lines in the usage text of " + name)
        page = page_options(os.path.join(MAN_DIR, name + ".1"))
        self.assertIn("h", page)
        self.assertIn("?", page)

        def accepted(letter, argument):
            # Safe probes: a missing argument, or a flag followed by an unknown option, both end
            # in the usage text before the program does anything.
            args = ["-" + letter] if argument else ["-" + letter, STOP]
            _, _, err = kit.run(name, *args)
            invalid, needs_argument = complaints(err)
            if argument:
                self.assertNotIn(letter, invalid, "%s -%s refused" % (name, letter))
                return letter in needs_argument
            return letter not in invalid and letter not in needs_argument

        for letter, (argument, text) in page.items():
            if letter in "h?":
                continue
            with self.subTest(page_option=letter):
                self.assertTrue(accepted(letter, argument),
                                "the page documents -%s %s, which %s does not take that way"
                                % (letter, "with an argument" if argument else "as a flag", name))
        for letter, (argument, default) in listed.items():
            with self.subTest(usage_option=letter):
                if letter not in page:
                    # A letter the usage text names but the program refuses: the page says so.
                    invalid, _ = complaints(kit.run(name, *(["-" + letter] if argument else ["-" + letter, STOP]))[2])
                    self.assertIn(letter, invalid, "-%s is accepted but missing from the page" % letter)
                    with open(os.path.join(MAN_DIR, name + ".1")) as f:
                        self.assertIn("\\-" + letter, f.read())
                    continue
                if default is not None:
                    self.assertRegex(page[letter][1], r"(?i)\bdefault\b[^.]*?" + re.escape(default),
                                     "-%s: the usage text says default %s" % (letter, default))


def add_program_tests():
    for name in PROGRAMS:
        def test(self, name=name):
            self.assertTrue(os.path.exists(kit.program(name)), name + " is not built")
            self.check_options(name)
        setattr(ManualPages, "test_options_match_usage_" + name.replace("-", "_"), test)


add_program_tests()

if __name__ == "__main__":
    kit.main()
