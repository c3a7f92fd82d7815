# SPDX-License-Identifier: GPL-2.0-or-later
"""The set-up's way to Debian's parts (scripts/debian_parts.py) and this machine's own packages
(scripts/need-packages), against local archives made by apt-ftparchive and signed with a key of the test's own: every form
of apt source this machine may have, lists that go stale, a part that does not download, a host
configuration with hooks and a proxy, apt's lists lock held by another process. Each run has a
host configuration of its own (APT_CONFIG) and cache: neither this machine's apt nor the network
is touched."""
import fcntl
import functools
import gzip
import http.server
import os
import shutil
import subprocess
import tempfile
import threading
import unittest
import urllib.parse

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../..")
PARTS = os.path.join(TOP, "scripts/debian_parts.py")
# debootstrap's view: the relay of mirror() asked for one file, in a process of Debian's Python.
RELAY = """import sys, urllib.request
sys.path.insert(0, sys.argv[1])
import debian_parts
with debian_parts.mirror("armhf", sys.argv[2]) as url:
    sys.stdout.buffer.write(urllib.request.urlopen(url + sys.argv[3]).read())"""


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def deb(repo, suite_name, name, version, arch="armhf"):
    """pool/SUITE/NAME_VERSION_ARCH.deb, holding usr/share/NAME/version."""
    tree = tempfile.mkdtemp()
    write(tree + "/DEBIAN/control", "Package: %s\nVersion: %s\nArchitecture: %s\nMaintainer: kit <kit@localhost>\n"
          "Description: probe\n" % (name, version, arch))
    write(tree + "/usr/share/%s/version" % name, version)
    path = "%s/pool/%s/%s_%s_%s.deb" % (repo, suite_name, name, version, arch)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    subprocess.run(["dpkg-deb", "-Zgzip", "-b", tree, path], check=True, capture_output=True)
    shutil.rmtree(tree)
    return path


def suite(repo, name, arch="armhf", signed=True):
    """dists/NAME of a Debian archive at REPO with what pool/NAME holds, signed (InRelease)."""
    index = "%s/dists/%s/main/binary-%s/Packages" % (repo, name, arch)
    os.makedirs(os.path.dirname(index), exist_ok=True)
    packages = subprocess.run(["apt-ftparchive", "packages", "pool/" + name], cwd=repo, check=True,
                              capture_output=True).stdout
    # Compressed as well, as Debian's are: apt keeps a copy of it (a plain file it would link to).
    for path, data in ((index, packages), (index + ".gz", gzip.compress(packages))):
        with open(path, "wb") as f:
            f.write(data)
    release = subprocess.run(["apt-ftparchive"] + ["-oAPT::FTPArchive::Release::%s=%s" % field for field in (
        ("Origin", "Debian"), ("Suite", name), ("Codename", name), ("Architectures", arch), ("Components", "main"))]
        + ["release", "dists/" + name], cwd=repo, check=True, capture_output=True).stdout
    with open("%s/dists/%s/Release" % (repo, name), "wb") as f:
        f.write(release)
    if signed:
        subprocess.run(["gpg", "--batch", "--yes", "--clearsign", "-o", "%s/dists/%s/InRelease" % (repo, name),
                        "%s/dists/%s/Release" % (repo, name)], env=dict(os.environ, GNUPGHOME=GNUPG),
                       check=True, capture_output=True)


def setUpModule():
    global TMP, GNUPG, KEY, REPO
    TMP = tempfile.mkdtemp(prefix="kit-parts-")
    GNUPG, KEY, REPO = TMP + "/gnupg", TMP + "/archive-key.gpg", TMP + "/debian"
    os.makedirs(GNUPG, mode=0o700)
    env = dict(os.environ, GNUPGHOME=GNUPG)
    subprocess.run(["gpg", "--batch", "--passphrase", "", "--quick-gen-key", "kit archive <kit@localhost>",
                    "default", "default", "never"], env=env, check=True, capture_output=True)
    with open(KEY, "wb") as f:
        f.write(subprocess.run(["gpg", "--export"], env=env, check=True, capture_output=True).stdout)
    for name, version in (("bookworm", "1.0"), ("newer", "2.0"), ("unsigned", "1.0")):
        deb(REPO, name, "kit-probe", version)
        suite(REPO, name, signed=name != "unsigned")


def tearDownModule():
    subprocess.run(["gpgconf", "--kill", "all"], env=dict(os.environ, GNUPGHOME=GNUPG))
    shutil.rmtree(TMP)


class Host:
    """A machine's apt configuration (etc/apt's files, as given) and the kit's cache beside it."""

    def __init__(self, files, conf=""):
        self.dir = tempfile.mkdtemp(dir=TMP)
        for name, text in files.items():
            write("%s/etc/%s" % (self.dir, name), text.replace("KEY", KEY).replace("REPO", REPO)
                  .replace("HERE", self.dir))
        write(self.dir + "/apt.conf", 'Dir::Etc "%s/etc/"; Dir::State "%s/state/"; %s' % (self.dir, self.dir, conf))
        self.env = dict(os.environ, APT_CONFIG=self.dir + "/apt.conf", KIT_PARTS_CACHE=self.dir + "/cache")

    def get(self, name, *packages):
        return subprocess.run([PARTS, "get", "armhf", name, *packages], env=self.env, capture_output=True,
                              text=True, timeout=120)

    def relay(self, suite_name, path):
        return subprocess.run(["/usr/bin/python3", "-c", RELAY, os.path.dirname(PARTS), suite_name, path],
                              env=self.env, capture_output=True, timeout=120)


DEB822 = "Types: deb\nURIs: file:REPO\nSuites: bookworm\nComponents: main\nSigned-By: KEY\n"
SOURCES = {
    "sources.list only, fields apart by tabs": (
        {"sources.list": "deb\t[signed-by=KEY]\tfile:REPO\tbookworm\tmain\n"}, "bookworm"),
    "sources.list only, the installer's layout": (
        {"sources.list": "deb [signed-by=KEY] file:REPO bookworm main\n"}, "bookworm"),
    "*.list in sources.list.d, two spaces apart": (
        {"sources.list.d/kit.list": "deb  [signed-by=KEY]  file:REPO  bookworm main\n"}, "bookworm"),
    "options in brackets: trusted=yes for an unsigned suite": (
        {"sources.list": "deb [ trusted=yes arch=armhf ] file:REPO unsigned main\n"}, "unsigned"),
    "deb822, Enabled: no before Types (its suite has 2.0)": (
        {"sources.list.d/kit.sources": "Enabled: no\n" + DEB822.replace("bookworm", "newer") + "\n" + DEB822},
        "bookworm"),
    "deb822, lower-case field names": (
        {"sources.list.d/kit.sources": "types: deb\nuris: file:REPO\nsuites: bookworm\ncomponents: main\n"
                                        "signed-by: KEY\n"}, "bookworm"),
    "deb822, Suites before URIs": (
        {"sources.list.d/kit.sources": "Types: deb\nSuites: bookworm\nURIs: file:REPO\nComponents: main\n"
                                        "Signed-By: KEY\n"}, "bookworm"),
    "deb822, mirror+file as on Debian's cloud images": (
        {"sources.list.d/kit.sources": DEB822.replace("file:REPO", "mirror+file:HERE/etc/mirrors/debian.list"),
         "mirrors/debian.list": "file:REPO\n"}, "bookworm"),
}


@unittest.skipUnless(shutil.which("gpg") and os.path.exists("/usr/bin/python3"), "gpg or Debian's python3 missing")
class Sources(unittest.TestCase):
    def test_every_form_apt_reads_gives_the_part_and_debootstraps_mirror(self):
        for row, (files, suite_name) in SOURCES.items():
            with self.subTest(row):
                host = Host(files)
                p = host.get("probe", "kit-probe")
                self.assertEqual(p.returncode, 0, p.stderr)
                tree = p.stdout.strip()
                self.assertEqual(read(tree + "/stamp"), "kit-probe 1.0\n")
                self.assertEqual(read(tree + "/kit-probe/usr/share/kit-probe/version"), "1.0")
                p = host.relay(suite_name, "dists/%s/Release" % suite_name)
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertEqual(p.stdout, read("%s/dists/%s/Release" % (REPO, suite_name), "rb"))


@unittest.skipUnless(shutil.which("gpg") and os.path.exists("/usr/bin/python3"), "gpg or Debian's python3 missing")
class Fetching(unittest.TestCase):
    def setUp(self):
        self.repo = tempfile.mkdtemp(dir=TMP)
        self.host = Host({"sources.list": "deb [signed-by=KEY] file:%s bookworm main\n" % self.repo})
        self.cache = self.host.env["KIT_PARTS_CACHE"]

    def test_stale_lists_fetch_the_new_version_once(self):
        deb(self.repo, "bookworm", "kit-other", "1.0")
        probe = deb(self.repo, "bookworm", "kit-probe", "1.0")
        suite(self.repo, "bookworm")
        self.assertEqual(self.host.get("one", "kit-probe").returncode, 0)
        # The archive moves on; the lists the first run left name a version it no longer has.
        os.unlink(probe)
        deb(self.repo, "bookworm", "kit-probe", "2.0")
        suite(self.repo, "bookworm")
        p = self.host.get("two", "kit-probe", "kit-other")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(p.stderr.count("fetching two for armhf"), 2, p.stderr)
        self.assertEqual(p.stderr.count("kit-probe 2.0, kit-other 1.0"), 1, p.stderr)
        tree = p.stdout.strip()
        self.assertEqual(read(tree + "/stamp"), "kit-probe 2.0\nkit-other 1.0\n")
        self.assertEqual(read(tree + "/kit-probe/usr/share/kit-probe/version"), "2.0")
        self.assertEqual(sorted(os.listdir(tree)), ["kit-other", "kit-probe", "request", "stamp"])
        p = self.host.get("two", "kit-probe", "kit-other")
        self.assertEqual((p.stdout.strip(), p.stderr), (tree, ""))

    def test_a_part_that_does_not_download_leaves_nothing(self):
        deb(self.repo, "bookworm", "kit-probe", "1.0")
        broken = deb(self.repo, "bookworm", "kit-broken", "1.0")
        suite(self.repo, "bookworm")
        with open(broken, "ab") as f:
            f.write(b"not what the index says")
        p = self.host.get("set", "kit-probe", "kit-broken")
        self.assertEqual((p.returncode, p.stdout), (1, ""))
        last = p.stderr.splitlines()[-1]
        self.assertRegex(last, r"^debian-parts: error: cannot download kit-probe=1.0, kit-broken=1.0 \(armhf\).*; try: ")
        self.assertEqual(sorted(os.listdir(self.cache)), ["apt-armhf", "lock"])

    def test_host_hooks_do_not_run_and_its_proxy_is_used(self):
        deb(self.repo, "bookworm", "kit-probe", "1.0")
        suite(self.repo, "bookworm")
        asked = []

        class Proxy(http.server.SimpleHTTPRequestHandler):
            def translate_path(self, path):  # a proxy is asked for whole URLs
                return super().translate_path(urllib.parse.urlsplit(path).path)

            def log_message(self, form, *args):
                asked.append(args[0])

        proxy = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Proxy, directory=TMP))
        threading.Thread(target=proxy.serve_forever, daemon=True).start()
        self.addCleanup(proxy.server_close)
        self.addCleanup(proxy.shutdown)
        hook = TMP + "/hook-ran"
        host = Host({"sources.list": "deb [signed-by=KEY] http://archive.kit.invalid/%s bookworm main\n"
                     % os.path.basename(self.repo),
                     "apt.conf.d/50kit": 'Acquire::http::Proxy "http://127.0.0.1:%d/";\n'
                     'APT::Update::Pre-Invoke { "touch %s"; };\nAPT::Update::Post-Invoke { "touch %s"; };\n'
                     'APT::Update::Post-Invoke-Success { "touch %s"; };\n'
                     % (proxy.server_address[1], hook, hook, hook)})
        p = host.get("probe", "kit-probe")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertIn("GET http://archive.kit.invalid/%s/pool/bookworm/kit-probe_1.0_armhf.deb HTTP/1.1"
                      % os.path.basename(self.repo), asked)
        p = host.relay("bookworm", "dists/bookworm/Release")
        self.assertEqual(p.stdout, read(self.repo + "/dists/bookworm/Release", "rb"))
        self.assertFalse(os.path.exists(hook))


@unittest.skipUnless(os.getuid() == 0 and shutil.which("gpg"), "need-packages installs as root")
class NeedPackages(unittest.TestCase):
    def test_waits_for_the_lists_lock_then_installs(self):
        repo, sandbox = tempfile.mkdtemp(dir=TMP), tempfile.mkdtemp(dir=TMP)
        deb(repo, "bookworm", "kit-probe", "1.0", "all")
        suite(repo, "bookworm", arch="amd64")
        admin = sandbox + "/root/var/lib/dpkg"
        for sub in ("info", "updates", "triggers"):
            os.makedirs(admin + "/" + sub)
        for name in ("status", "available"):
            open(admin + "/" + name, "w").close()
        host = Host({"sources.list": "deb [signed-by=KEY] file:%s bookworm main\n" % repo},
                    'Dir::State::status "%s/status"; APT::Architecture "amd64";' % admin)
        env = dict(host.env, DPKG_ROOT=sandbox + "/root", DPKG_ADMINDIR=admin)
        os.makedirs(host.dir + "/state/lists/partial")
        with open(host.dir + "/state/lists/lock", "w") as lock:
            fcntl.lockf(lock, fcntl.LOCK_EX)
            need = subprocess.Popen([TOP + "/scripts/need-packages", "kit-probe"], env=env, text=True,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.addCleanup(need.kill)
            waiting = need.stderr.readline()
        self.assertIn("waiting for another apt to finish", waiting)
        out, err = need.communicate(timeout=120)
        self.assertEqual(need.returncode, 0, out + err)
        status = subprocess.run(["dpkg-query", "-W", "-f", "${db:Status-Status} ${Version}", "kit-probe"],
                                env=env, capture_output=True, text=True).stdout
        self.assertEqual(status, "installed 1.0")


if __name__ == "__main__":
    unittest.main()
