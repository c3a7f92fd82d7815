# SPDX-License-Identifier: GPL-2.0-or-later
"""The user's guide covers every message: each error format that a program of the kit, or the
helper of its units, can print on standard error appears, in its fixed words, in the guide's
troubleshooting section; and every setting of the options files is explained in the guide."""
import glob
import os
import re
import unittest

import kit

TOP = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "../.."))
SOURCE_DIRS = ["common", "gpio", "s88-reporter", "can-bridge", "ir-throttle", "event-beacon",
               "s88-check", "susi-cv-read", "kit-monitor", "kit-send"]
LITERAL = r'"((?:[^"\\]|\\.)*)"'


def message_formats():
    """{format: source file} of the messages: stderr prints, and formats handed to helpers that
    print them (recognised by their words)."""
    found = {}
    for directory in SOURCE_DIRS:
        for path in glob.glob(os.path.join(TOP, directory, "*.cpp")):
            with open(path) as f:
                # Raw strings hold text served as it is (kit-monitor's page), not messages.
                source = re.sub(r'R"(\w*)\(.*?\)\1"', "", f.read(), flags=re.S)
            for m in re.finditer(r"fprintf\(\s*stderr,\s*" + LITERAL, source):
                found[m.group(1)] = path
            for m in re.finditer(r"fputs\(\s*" + LITERAL + r"\s*,\s*stderr", source):
                found[m.group(1)] = path
            for m in re.finditer(LITERAL, source):
                if re.search(r"error|failed|invalid|to low|terminating", m.group(1)):
                    found[m.group(1)] = path
    # The units' helper (shell): its die "..." and echo "setup-interface: ..." >&2 lines, each
    # shell expansion standing for a conversion.
    helper = os.path.join(TOP, "packaging/setup-interface.in")
    with open(helper) as f:
        for m in re.finditer(r'(?:die|echo) "((?:setup-interface: )?[^"]*)"(?: >&2)?', f.read()):
            if m.group(0).startswith("die") or m.group(0).endswith(">&2"):
                found[re.sub(r"\$(\w+|\*|\{[^}]*\}|\([^)]*\))", "%s", m.group(1))] = helper
    # The usage texts are checked against the manual pages, not here.
    return {f: p for f, p in found.items()
            if not re.match(r"(\\n)?\s|\\nUsage|\s*Version|\s*-\w |usage: ", f)}


def fixed_words(fmt):
    """The longest stretch of a format between its conversions, e.g.
    "%s: error sending UDP data: %s\\n" -> ": error sending UDP data:"."""
    text = fmt.replace("\\n", "").replace('\\"', '"')
    return max(re.split(r"%[-0-9.]*[a-z]", text), key=len).strip()


class Guide(unittest.TestCase):
    def test_troubleshooting_names_every_message(self):
        with open(os.path.join(TOP, "docs/guide.md")) as f:
            guide = f.read()
        troubleshooting = guide[guide.index("## 6. Troubleshooting by message"):]
        formats = message_formats()
        # The scan itself must see the messages, or the test proves nothing.
        self.assertIn("CAN write error: %s\\n", formats)
        self.assertIn("UDP IP invalid\\n", formats)
        self.assertIn("no interface %s from the adapter after 10 s", formats)
        self.assertGreater(len(formats), 30)
        missing = sorted("%s (%s)" % (fixed_words(f), os.path.relpath(p, TOP))
                         for f, p in formats.items() if fixed_words(f) not in troubleshooting)
        self.assertEqual(missing, [])

    def test_every_setting_of_the_options_files_is_explained(self):
        with open(os.path.join(TOP, "docs/guide.md")) as f:
            guide = f.read()
        settings = set()
        for path in glob.glob(os.path.join(TOP, "packaging/systemd/default/*")):
            with open(path) as f:
                settings |= set(re.findall(r"(?m)^([A-Z_]+)=", f.read()))
        self.assertIn("BITRATE", settings)
        self.assertEqual(sorted(name for name in settings if "`%s" % name not in guide), [])


if __name__ == "__main__":
    kit.main()
