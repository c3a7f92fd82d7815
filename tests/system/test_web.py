"""kit-monitor -H: its page in a real browser (Debian's headless Chromium through chromedriver)
during a train run sent with kit-send, /state, and the requests it must refuse while the frames
go on; -V's waveform read back by sigrok-cli."""
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

DEBIAN_PYTHON = "/usr/bin/python3"  # python3-selenium is Debian's, not a virtual environment's
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
except ImportError:
    if sys.executable != DEBIAN_PYTHON and os.path.exists(DEBIAN_PYTHON):
        os.execv(DEBIAN_PYTHON, [DEBIAN_PYTHON] + sys.argv)
    webdriver = None

import kit
from test_captures import send, wait_until
from test_monitor import free_ports, monitor, summary

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


def get(url, method="GET", data=None):
    try:
        with urllib.request.urlopen(urllib.request.Request(url, data=data, method=method), timeout=5) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


class Web(unittest.TestCase):
    def start(self, *args):
        self.udp, = free_ports(1)
        self.http = free_tcp_port()
        self.url = "http://127.0.0.1:%d" % self.http
        m = monitor("-p", str(self.udp), "-H", "127.0.0.1:%d" % self.http, *args)
        self.addCleanup(m.stop)
        return m

    def test_page_in_chromium_shows_a_train_run_in_order(self):
        if webdriver is None or not shutil.which("chromedriver"):
            self.skipTest("needs chromium, chromium-driver and python3-selenium")
        self.start()
        profile = tempfile.mkdtemp(prefix="kit-chromium-")
        self.addCleanup(shutil.rmtree, profile, True)
        options = webdriver.ChromeOptions()
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--user-data-dir=" + profile, "--window-size=900,1000"):
            options.add_argument(flag)
        browser = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
        self.addCleanup(browser.quit)
        browser.get(self.url + "/")
        self.assertTrue(wait_until(lambda: browser.find_element("id", "status").text == "live"))
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
        shot = os.environ.get("KIT_PAGE_SCREENSHOT", os.path.join(profile, "page.png"))
        send(self.udp, "00230300#0000000E00010000")  # a train standing on contact 14 for the picture
        send(self.udp, "00300300#")
        self.assertTrue(wait_until(lambda: "beacon 1" in browser.find_element("id", "counts").text))
        browser.set_window_size(900, 1100)
        self.assertTrue(browser.save_screenshot(shot))

    def test_state_and_refused_requests_while_frames_go_on(self):
        m = self.start()
        status, body = get(self.url + "/state")
        self.assertEqual((status, json.loads(body)["contacts"]), (200, {}))
        self.assertEqual(get(self.url + "/nowhere")[0], 404)
        self.assertEqual(get(self.url + "/state", "POST", b"contact=13")[0], 405)
        self.assertEqual(get(self.url + "/", "DELETE")[0], 405)
        big = socket.create_connection(("127.0.0.1", self.http))
        big.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 40000 + b"\r\n\r\n")
        self.assertRegex(big.recv(100), rb"^HTTP/1.1 (431|413|414|400) ")
        # An event stream that is never read, and 1,000 idle connections: the frames still all come.
        stalled = socket.create_connection(("127.0.0.1", self.http))
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stalled.sendall(b"GET /events HTTP/1.1\r\nHost: x\r\n\r\n")
        idle = []
        for _ in range(1000):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", self.http))
            idle.append(s)
        for i in range(3000):
            send_raw(self.udp, "00230300#0000%04X00010000" % (i % 500 + 1))
        self.assertTrue(wait_until(lambda: len(m.lines(3001, timeout=1)) >= 3001, 20))
        # The idle ones that got in are closed after 10 s: the ones queued behind them get their turn.
        poll, by_fd = select.poll(), {s.fileno(): s for s in idle}
        for fd in by_fd:
            poll.register(fd, select.POLLIN)
        closed = [by_fd[fd] for fd, _ in poll.poll(15000)]
        self.assertTrue(closed)
        self.assertEqual({s.recv(1) for s in closed}, {b""})
        for s in idle + [stalled, big]:
            s.close()
        status, body = get(self.url + "/state")
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
