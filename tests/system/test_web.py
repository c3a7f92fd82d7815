# SPDX-License-Identifier: GPL-2.0-or-later
"""kit-monitor -H: its page in a real browser (Debian's headless Chromium through chromedriver)
during a train run sent with kit-send, at a phone's width, and for a viewer beyond the event
streams' limit; /state, and the requests it must refuse while the frames go on, with no host able
to hold the page down; -V's waveform read back by sigrok-cli.

KIT_PAGE_SCREENSHOT=FILE keeps the phone-width picture of the train run. With KIT_PAGE_URL set as
well, the phone-width check reads that page instead (a kit-monitor -H already running, as the
demo's) once it shows an occupied contact, and takes the picture of it:
    KIT_PAGE_URL=http://127.0.0.1:8080/ KIT_PAGE_SCREENSHOT=docs/kit-monitor-page.png \
        python3 tests/system/test_web.py Web.test_page_at_a_phones_width_shows_a_train_run_in_order
"""
import http.client
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

DEBIAN_PYTHON = "/usr/bin/python3"  # python3-selenium is Debian's, not a virtual environment's
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
except ImportError:
    if sys.executable != DEBIAN_PYTHON and os.path.exists(DEBIAN_PYTHON):
        os.execv(DEBIAN_PYTHON, [DEBIAN_PYTHON] + sys.argv)
    webdriver = None

import kit
from test_captures import send
from test_monitor import flood, free_ports, monitor, proc_drops, summary, wait_until

# A train from contact 13 to 20: each contact occupied, the one two behind freed.
TRAIN = []
for contact in range(13, 21):
    TRAIN.append((contact, 1))
    if contact >= 15:
        TRAIN.append((contact - 2, 0))
TRAIN += [(19, 0), (20, 0)]


def free_tcp_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def run_train(port, pause):
    for contact, new in TRAIN:
        send(port, "00230300#0000%04X%02X%02X0000" % (contact, 1 - new, new))
        time.sleep(pause)  # the pace of a train, not a wait for the program


def get(url, method="GET", data=None, source="127.0.0.1"):
    """(status, body) of one request from the address source."""
    parts = urllib.parse.urlsplit(url)
    connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=5, source_address=(source, 0))
    try:
        connection.request(method, parts.path, body=data)
        response = connection.getresponse()
        return response.status, response.read()
    finally:
        connection.close()


PHONE_WIDTH = 360


def chromium(test):
    """Headless Chromium for the test, quit at its end."""
    if webdriver is None or not shutil.which("chromedriver"):
        test.skipTest("needs chromium, chromium-driver and python3-selenium")
    profile = tempfile.mkdtemp(prefix="kit-chromium-")
    test.addCleanup(shutil.rmtree, profile, True)
    options = webdriver.ChromeOptions()
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + profile, "--window-size=900,1000"):
        options.add_argument(flag)
    browser = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    test.addCleanup(browser.quit)
    return browser


def phone(browser, height=800):
    """The page as a phone 360 px wide shows it."""
    browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                            {"width": PHONE_WIDTH, "height": height, "deviceScaleFactor": 2, "mobile": True})


def stream(http, source):
    """An event stream from the address source, which keeps it open and reads nothing."""
    s = socket.socket()
    s.bind((source, 0))
    s.connect(("127.0.0.1", http))
    s.sendall(b"GET /events HTTP/1.1\r\nHost: x\r\n\r\n")
    return s


class Web(unittest.TestCase):
    def start(self, *args):
        self.udp, = free_ports(1)
        self.http = free_tcp_port()
        self.url = "http://127.0.0.1:%d" % self.http
        m = monitor("-p", str(self.udp), "-H", "127.0.0.1:%d" % self.http, *args)
        self.addCleanup(m.stop)
        return m

    def test_page_at_a_phones_width_shows_a_train_run_in_order(self):
        browser = chromium(self)
        url = os.environ.get("KIT_PAGE_URL")
        if not url:
            self.start()
            url = self.url + "/"
        phone(browser)
        browser.get(url)
        self.assertTrue(wait_until(lambda: browser.find_element("id", "status").text == "live"))
        if not os.environ.get("KIT_PAGE_URL"):
            self.watch_a_train_run(browser)
        else:  # a train on the layout, as the picture should show it
            self.assertTrue(wait_until(lambda: browser.find_elements("css selector", "#grid td.occupied"), 120))
        # Without sideways scrolling: the page, the grid, the boards and the newest lines.
        widths = browser.execute_script("""
            const wide = e => e.scrollWidth - e.clientWidth;
            return [document.documentElement.scrollWidth - window.innerWidth,
                    wide(document.getElementById('grid').parentElement),
                    wide(document.getElementById('boards').parentElement),
                    wide(document.getElementById('recent'))];""")
        self.assertEqual(widths, [0, 0, 0, 0])
        shot = os.environ.get("KIT_PAGE_SCREENSHOT", os.path.join(tempfile.gettempdir(), "kit-page-%d.png" % os.getpid()))
        phone(browser, browser.execute_script("return document.documentElement.scrollHeight"))
        self.assertTrue(browser.save_screenshot(shot))
        if "KIT_PAGE_SCREENSHOT" not in os.environ:
            os.unlink(shot)

    def watch_a_train_run(self, browser):
        # Every change of a cell's state, in the order the page showed it.
        browser.execute_script("""
            window.shown = []; const last = {};
            new MutationObserver(() => {
              for (const c of document.querySelectorAll('#grid td[data-state]')) {
                const n = Number(c.id.slice(8));
                if (c.dataset.state !== 'unseen' && last[n] !== c.dataset.state)
                  window.shown.push([n, c.dataset.state === 'occupied' ? 1 : 0]);
                last[n] = c.dataset.state;
              }
            }).observe(document.getElementById('grid'), {childList: true, subtree: true});""")
        run_train(self.udp, 0.45)
        self.assertTrue(wait_until(lambda: len(browser.execute_script("return window.shown")) >= len(TRAIN)),
                        browser.execute_script("return window.shown"))
        self.assertEqual([tuple(x) for x in browser.execute_script("return window.shown")], TRAIN)
        self.assertIn("s88-event contact=20 old=1 new=0", browser.find_element("id", "recent").text)
        self.assertIn("s88-event " + str(len(TRAIN)), browser.find_element("id", "counts").text)
        # Contacts 1 to 12 and 21 to 32 never changed: shown apart from the free ones.
        states = browser.execute_script(
            "return [...document.querySelectorAll('#grid td[data-state]')].map(c => c.dataset.state)")
        self.assertEqual(states, ["unseen"] * 12 + ["free"] * 8 + ["unseen"] * 12)
        # A second board with its beacon, and a train standing on contact 14 for the picture.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other:
            other.bind(("127.0.0.2", 0))
            other.sendto(bytes.fromhex("00300300") + bytes(9), ("127.0.0.1", self.udp))
        send(self.udp, "00230300#0000000E00010000")
        expected = [r"127\.0\.0\.1 no beacon %d \(13-20\) %d" % (len(TRAIN) + 1, len(TRAIN) + 1),
                    r"127\.0\.0\.2 \S+s ago 0 1"]
        rows = lambda: browser.execute_script(  # at once: the table is drawn anew at each event
            "return [...document.querySelectorAll('#boards tr')].slice(1).map("
            "r => [...r.cells].map(c => c.textContent).join(' '))")
        self.assertTrue(wait_until(lambda: len(rows()) == 2 and all(map(re.fullmatch, expected, rows()))), rows())

    def test_a_viewer_beyond_the_stream_limit_still_sees_the_layout_and_its_losses(self):
        m = self.start()
        send(self.udp, "00230300#0000000D00010000")
        m.lines(2)
        # Every event stream taken, from addresses other than the browser's.
        streams = [stream(self.http, "127.0.0.%d" % (2 + i // 8)) for i in range(32)]
        self.addCleanup(lambda: [s.close() for s in streams])
        self.assertTrue(all(s.recv(15) == b"HTTP/1.1 200 OK" for s in streams))
        m.proc.send_signal(signal.SIGSTOP)  # and datagrams dropped by the kernel
        try:
            flood(self.udp, lambda: (proc_drops(self.udp) or 0) > 0)
        finally:
            m.proc.send_signal(signal.SIGCONT)
        browser = chromium(self)
        browser.get(self.url + "/")
        self.assertTrue(wait_until(lambda: browser.find_elements("id", "contact-13")), browser.page_source[-2000:])
        self.assertEqual(browser.find_element("id", "contact-13").get_attribute("data-state"), "occupied")
        self.assertIn("every event stream is taken", browser.find_element("id", "status").text)
        self.assertTrue(wait_until(lambda: "dropped by the kernel on port %d" % self.udp
                                   in browser.find_element("id", "lost").text))

    def test_state_and_refused_requests_while_frames_go_on(self):
        m = self.start()
        status, body = get(self.url + "/state")
        self.assertEqual((status, json.loads(body)["contacts"]), (200, {}))
        self.assertEqual(get(self.url + "/nowhere")[0], 404)
        self.assertEqual(get(self.url + "/state", "POST", b"contact=13")[0], 405)
        self.assertEqual(get(self.url + "/", "DELETE")[0], 405)
        # A header of 16 KiB in lines, as many cookies make it, is served; a longer one is not.
        for size, answer in ((16000, b"HTTP/1.1 200 "), (17000, b"HTTP/1.1 431 ")):
            with socket.create_connection(("127.0.0.1", self.http)) as c:
                c.sendall(b"GET /state HTTP/1.1\r\nHost: x\r\n" +
                          b"".join(b"X-Line-%03d: %s\r\n" % (i, b"c" * 60) for i in range(size // 74)) + b"\r\n")
                self.assertEqual(c.recv(13), answer, size)
        # One host holding every connection it can, idle, keeps no other host out.
        held = [socket.create_connection(("127.0.0.1", self.http)) for _ in range(64)]
        with socket.socket() as visitor:
            visitor.bind(("127.0.0.2", 0))
            visitor.connect(("127.0.0.1", self.http))
            visitor.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
            self.assertEqual(visitor.recv(13), b"HTTP/1.1 200 ")
        # An event stream that is never read, and 1,000 idle connections: the frames still all come,
        # and every idle one is closed, at once or after its idle time.
        stalled = stream(self.http, "127.0.0.3")
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        idle = []
        for _ in range(1000):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", self.http))
            idle.append(s)
        for i in range(3000):
            send_raw(self.udp, "00230300#0000%04X00010000" % (i % 500 + 1))
        self.assertTrue(wait_until(lambda: len(m.lines(3001, timeout=1)) >= 3001, 20))
        def closed(s):
            try:
                return s.recv(1) == b""
            except ConnectionResetError:
                return True
        # The held ones all go: beyond the limit at once, the rest once idle for 3 s.
        for s in held:
            s.settimeout(15)
            self.assertTrue(closed(s))
        # Of the flood, those that got in by now are closed (the rest wait in the system's queue).
        poll, by_fd = select.poll(), {s.fileno(): s for s in idle}
        for fd in by_fd:
            poll.register(fd, select.POLLIN)
        ready = [by_fd[fd] for fd, _ in poll.poll(15000)]
        self.assertTrue(ready)
        self.assertTrue(all(closed(s) for s in ready))
        for s in idle + held + [stalled]:
            s.close()
        # From another address: the flood's own may still be refused while its last are let go.
        status, body = get(self.url + "/state", source="127.0.0.5")
        self.assertEqual((status, json.loads(body)["counts"]["s88-event"]), (200, 3000))
        m.proc.send_signal(signal.SIGINT)
        self.assertEqual(m.proc.wait(timeout=10), 0)  # Ctrl-C ends it, browsers or not
        self.assertEqual(summary(m.stop()[1])[0], 3000)


_sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)


def send_raw(port, frame):
    """One frame of cansend's syntax as kit-send would send it, without a process per frame."""
    ident, data = frame.split("#")
    payload = bytes.fromhex(data)
    _sender.sendto(bytes.fromhex(ident) + bytes([len(payload)]) + payload.ljust(8, b"\0"), ("127.0.0.1", port))


class Waveform(unittest.TestCase):
    def test_sigrok_reads_the_train_run_in_order(self):
        if not shutil.which("sigrok-cli"):
            self.skipTest("needs sigrok-cli")
        directory = tempfile.mkdtemp(prefix="kit-vcd-")
        self.addCleanup(shutil.rmtree, directory)
        vcd = os.path.join(directory, "run.vcd")
        port, = free_ports(1)
        with monitor("-p", str(port), "-V", vcd) as m:
            run_train(port, 0.02)
            send(port, "00300300#")  # no wire for a beacon
            m.lines(1 + len(TRAIN) + 1)
            # A viewer can reload it while the monitor runs: all but the last change is there.
            self.assertEqual(len(self.changes(vcd)[1]), len(TRAIN) - 1)
            m.proc.send_signal(signal.SIGINT)
            m.proc.wait(timeout=5)
        names, changes = self.changes(vcd)
        expected = [("m%d_c%d" % ((c - 1) // 16 + 1, (c - 1) % 16 + 1), v) for c, v in TRAIN]
        self.assertEqual(sorted(names.values()), sorted({n for n, _ in expected}))
        self.assertEqual(changes, expected)
        status, _, err = kit.run("kit-monitor", "-V", os.path.join(directory, "no/such/dir.vcd"))
        self.assertEqual((status, err), (1, "cannot write %s: No such file or directory\n"
                                         % os.path.join(directory, "no/such/dir.vcd")))

    @staticmethod
    def changes(vcd):
        """({id: wire name}, [(wire name, value)] in order) as sigrok-cli reads the file."""
        out = subprocess.run(["sigrok-cli", "-I", "vcd", "-i", vcd, "-O", "vcd"], capture_output=True,
                             text=True, timeout=60).stdout
        names = dict(line.split()[3:5] for line in out.splitlines() if line.startswith("$var"))
        changes, state = [], {}
        for word in out[out.index("$enddefinitions"):].split():
            if word[:1] in "01" and word[1:] in names:
                name, value = names[word[1:]], int(word[0])
                if state.get(name, 0) != value:
                    changes.append((name, value))
                state[name] = value
        return names, changes


if __name__ == "__main__":
    kit.main()
