#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Debian's packages for the kit's tools, fetched once, unpacked and cached, for any architecture,
without installing anything into this machine's package system.

A set is a name and a list of packages. get() gives back ONE folder, complete or not there at all,
in which each package is unpacked in a subfolder of its own named as it was asked, and a file
`stamp`, written last, of "package version" lines in the order asked:

    $ scripts/debian_parts.py get armhf vm linux-image-armmp^ busybox-static libc6
    /root/.cache/railkit-parts/armhf-vm-3f2a9c01d4e5
    $ ls /root/.cache/railkit-parts/armhf-vm-3f2a9c01d4e5
    busybox-static  libc6  linux-image-armmp  stamp

    >>> import debian_parts
    >>> debian_parts.get("armhf", "vm", ["linux-image-armmp^", "busybox-static"])

  NAME         the package, unpacked as `dpkg-deb -x` does (--control, control=True: as
               `dpkg-deb -R`, with its control files in DEBIAN/, as dpkg-shlibdeps wants them)
  NAME^        the package NAME depends on first, e.g. linux-image-armmp^ for the versioned
               kernel behind that name, in subfolder NAME; a kernel's folder also gets the
               modules.dep its installation would make (depmod)
  --source, source=True, with --files GLOB (files=[GLOB]): source packages instead, of which only
               the files matching GLOB are taken from their tarballs; NAME=VERSION pins a version

The link <cache>/ARCH-SET points at the set's newest folder; older ones are removed. Other
commands: `versions ARCH PACKAGE...` prints the versions a get would fetch; `apt [--refresh] ARCH
COMMAND...` runs an apt command in the private configuration; `bootstrap ARCH SUITE TARGET
[DEBOOTSTRAP OPTION...]` runs debootstrap with this machine's Debian archive as its mirror, any
form of source apt accepts (mirror+file too), relayed by apt on 127.0.0.1.

Where it comes from: the Debian archives this machine's apt uses, read by apt itself (its own
sources files, keyrings and network settings, Acquire::*), for the architecture asked, with their
source packages, in an apt configuration of our own that nothing of this machine's apt.conf.d
changes (no hooks run; its own lists, cache and sandbox user). A version that stale lists name
but the archive no longer has is met with one refresh of the lists and one more try. When apt
cannot resolve or fetch the set, the folder of the same request already cached is used, and said
so. Every failure is one line: what could not be had, and the command that would help.

Everything lives in ${KIT_PARTS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/railkit-parts}: the
folders, apt-ARCH/ (the private configuration and its lists), a lock held while one run looks
or fetches, and fetch.* folders while it does. Works as any user.
"""
import argparse
import glob
import hashlib
import http.server
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import threading
import urllib.parse
from contextlib import contextmanager

HERE = os.path.dirname(os.path.abspath(__file__))
ME = "scripts/debian_parts.py"


class Failure(Exception):
    """What could not be had, and the command that would help: one line for the user."""


def say(text):
    print("debian-parts: " + text, file=sys.stderr, flush=True)


def cache_dir():
    return os.environ.get("KIT_PARTS_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.join(os.environ.get("HOME") or "/root", ".cache"),
        "railkit-parts")


@contextmanager
def locked(cache):
    """One run at a time looks, fetches and prunes (work trees share the cache)."""
    import fcntl
    os.makedirs(cache, exist_ok=True)
    with open(os.path.join(cache, "lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        # Left by a run that was killed in its fetch: a fetch holds the lock while its folder exists.
        for old in glob.glob(os.path.join(cache, "fetch.*")):
            shutil.rmtree(old, ignore_errors=True)
        yield


# --- the private apt configuration -----------------------------------------------------------

_host = []


def host_settings():
    """This machine's apt as apt reads it: where its sources, keyrings and credentials are, and
    its network settings (Acquire::*, but which index files to fetch, and in which languages)."""
    if _host:
        return _host[0]
    import apt_pkg
    apt_pkg.init_config()
    c = apt_pkg.config
    lines = ['Dir::Etc::sourcelist "%s";' % c.find_file("Dir::Etc::sourcelist"),
             'Dir::Etc::sourceparts "%s";' % c.find_dir("Dir::Etc::sourceparts"),
             'Dir::Etc::trusted "%s";' % c.find_file("Dir::Etc::trusted"),
             'Dir::Etc::trustedparts "%s";' % c.find_dir("Dir::Etc::trustedparts"),
             'Dir::Etc::netrc "%s";' % c.find_file("Dir::Etc::netrc"),
             'Dir::Etc::netrcparts "%s";' % c.find_dir("Dir::Etc::netrcparts")]
    lines += [line for line in c.dump().splitlines() if line.startswith("Acquire::")
              and not line.startswith(("Acquire::IndexTargets", "Acquire::Languages"))]
    _host.append("\n".join(lines))
    return _host[0]


def apt_config(arch):
    """Writes the private configuration for ARCH when it differs from what is there; returns its
    path. APT_CONFIG is read before apt.conf.d, so Dir::Etc::parts and main are ours as well."""
    d = os.path.join(cache_dir(), "apt-" + arch)
    for sub in ("lists/partial", "cache/archives/partial", "apt.conf.d", "preferences.d"):
        os.makedirs(os.path.join(d, sub), exist_ok=True)
    if not os.path.exists(os.path.join(d, "status")):
        open(os.path.join(d, "status"), "w").close()
    text = """// Written by %(me)s; the sources are this machine's, as its apt reads them.
Dir::Etc::parts "%(d)s/apt.conf.d";
Dir::Etc::main "/dev/null";
Dir::Etc::preferences "%(d)s/preferences";
Dir::Etc::preferencesparts "%(d)s/preferences.d";
Dir::State "%(d)s";
Dir::State::lists "%(d)s/lists";
Dir::State::status "%(d)s/status";
Dir::Cache "%(d)s/cache";
Dir::Log "%(d)s";
APT::Architecture "%(arch)s";
APT::Architectures { "%(arch)s"; };
APT::Sandbox::User "%(user)s";
Acquire::Languages "none";
// Source packages from the same entries, signed by the same keys.
Acquire::IndexTargets::deb::Sources {
    MetaKey "$(COMPONENT)/source/Sources";
    ShortDescription "Sources";
    Description "$(RELEASE)/$(COMPONENT) Sources";
    flatMetaKey "Sources";
    flatDescription "$(RELEASE) Sources";
};
%(host)s
""" % dict(me=ME, d=d, arch=arch, user=pwd.getpwuid(os.getuid()).pw_name, host=host_settings())
    # Debian's archive only: another vendor's packages of the same name are never taken.
    pins = "Package: *\nPin: release o=Debian\nPin-Priority: 500\n\n" \
           "Package: *\nPin: release *\nPin-Priority: -1\n"
    for name, content in (("apt.conf", text), ("preferences", pins)):
        path = os.path.join(d, name)
        if not os.path.exists(path) or open(path).read() != content:
            with open(path + ".new", "w") as f:
                f.write(content)
            os.replace(path + ".new", path)
    return os.path.join(d, "apt.conf")


def apt_env(conf):
    return dict(os.environ, APT_CONFIG=conf, LC_ALL="C", DEBIAN_FRONTEND="noninteractive")


def refresh(arch, conf):
    say("refreshing the package lists of %s (in %s)" % (arch, os.path.dirname(conf)))
    if subprocess.run([os.path.join(HERE, "apt-refresh")], env=apt_env(conf), stdout=sys.stderr).returncode:
        raise Failure("cannot refresh the package lists of %s; try: %s apt --refresh %s true"
                      % (arch, ME, arch))


def has_lists(conf):
    return bool(glob.glob(os.path.join(os.path.dirname(conf), "lists", "*_Packages*")))


# --- what a set is -----------------------------------------------------------------------------

def _versions(asked, source):
    """In a process of its own (apt_pkg reads APT_CONFIG once): "asked package version" for each
    package asked, or "asked" alone for one the lists do not have."""
    import apt_pkg
    apt_pkg.init_config()
    apt_pkg.init_system()
    if source:
        records = apt_pkg.SourceRecords()
    else:
        cache = apt_pkg.Cache(None)
        depcache = apt_pkg.DepCache(cache)
    for item in asked:
        name, _, pinned = item.rstrip("^").partition("=")
        found = None
        if source:
            records.restart()
            while records.lookup(name):
                if records.package == name and (records.version == pinned or not pinned and (
                        not found or apt_pkg.version_compare(records.version, found[1]) > 0)):
                    found = (name, records.version)
        elif name in cache:
            version = depcache.get_candidate_ver(cache[name])
            if version and item.endswith("^"):
                first = version.depends_list.get("Depends", [[None]])[0][0]
                version = first and depcache.get_candidate_ver(first.target_pkg)
            if version and (not pinned or version.ver_str == pinned):
                found = (version.parent_pkg.name, version.ver_str)
        print(" ".join((item,) + (found or ())))


def versions(arch, asked, source=False, conf=None):
    """[(asked, package, version)] as the lists have them; one refresh when one is missing."""
    conf = conf or apt_config(arch)
    for attempt in (0, 1):
        if attempt or not has_lists(conf):
            refresh(arch, conf)
        p = subprocess.run([sys.executable, os.path.abspath(__file__), "_versions"]
                           + (["--source"] if source else []) + list(asked),
                           env=apt_env(conf), capture_output=True, text=True)
        if p.returncode:
            raise Failure("apt could not read the package lists of %s (%s); try: %s apt --refresh %s apt-cache stats"
                          % (arch, (p.stderr.strip().splitlines() or ["?"])[-1], ME, arch))
        found = [line.split() for line in p.stdout.splitlines()]
        missing = [f[0] for f in found if len(f) < 3]
        if not missing:
            return [tuple(f) for f in found]
    what = "apt-cache showsrc" if source else "apt-cache policy"
    name = missing[0].rstrip("^").partition("=")[0]
    raise Failure("cannot get %s (%s) from Debian's archive: its package lists do not have it; try: %s apt --refresh %s %s %s"
                  % (missing[0], arch, ME, arch, what, name))


# --- fetching ----------------------------------------------------------------------------------

def _download(arch, conf, wanted, source, into):
    command = ["apt-get", "source", "--download-only"] if source else ["apt-get", "download"]
    p = subprocess.run(command + ["-q"] + ["%s=%s" % (pkg, ver) for _, pkg, ver in wanted],
                       cwd=into, env=apt_env(conf), stdout=sys.stderr, stderr=subprocess.PIPE, text=True)
    if p.returncode:
        sys.stderr.write(p.stderr)
    return p.returncode == 0


def _unpack(arch, wanted, control, files, debs, tree):
    for asked, pkg, version in wanted:
        sub = os.path.join(tree, asked.rstrip("^").partition("=")[0])
        os.makedirs(sub)
        if files:
            for tarball in glob.glob(os.path.join(debs, glob.escape(pkg) + "_*.tar.*")):
                subprocess.run(["tar", "-xf", tarball, "-C", sub, "--wildcards"] + files,
                               stderr=subprocess.DEVNULL)
            if not any(os.scandir(sub)):
                raise Failure("no %s in the source package %s %s" % (" ".join(files), pkg, version))
            continue
        # The folder is fresh: the one file of the package is the version asked for.
        deb = glob.glob(os.path.join(debs, glob.escape(pkg) + "_*.deb"))
        if len(deb) != 1 or subprocess.run(["dpkg-deb", "-R" if control else "-x", deb[0], sub]).returncode:
            raise Failure("cannot unpack %s %s; try: %s apt %s apt-get download %s=%s && dpkg-deb -c %s_*.deb"
                          % (pkg, version, ME, arch, pkg, version, pkg))
        # A kernel's modules.dep is made by its installation, not shipped.
        for order in glob.glob(os.path.join(sub, "lib/modules/*/modules.order")):
            release = os.path.basename(os.path.dirname(order))
            if subprocess.run(["/sbin/depmod", "-b", sub, release]).returncode:
                raise Failure("depmod cannot index the modules of %s %s; try: apt-get install kmod" % (pkg, version))


def _request(arch, name, asked, control, source, files):
    return "%s %s %s control=%s source=%s files=%s" % (arch, name, " ".join(asked), control, source,
                                                         " ".join(files))


def _cached(cache, arch, name, request, why, quiet=False):
    link = os.path.join(cache, "%s-%s" % (arch, name))
    tree = os.path.realpath(link)
    try:
        with open(os.path.join(tree, "request")) as f:
            same = f.read() == request
    except OSError:
        same = False
    if not same or not os.path.exists(os.path.join(tree, "stamp")):
        raise why
    if not quiet:
        say("%s; using the cached %s" % (why, tree))
    return tree


def get(arch, name, packages, control=False, source=False, files=(), cached=False):
    """The folder of set NAME for ARCH: each of PACKAGES unpacked in a subfolder of its own
    (module docstring), fetched when the lists name versions not cached yet. With cached=True,
    the folder last fetched for the same request, if any, without asking apt (else Failure)."""
    cache = cache_dir()
    asked, files = list(packages), list(files)
    request = _request(arch, name, asked, control, source, files)
    if source and not files:
        raise Failure("a set of source packages takes only the files asked for (--files GLOB)")
    if cached:
        return _cached(cache, arch, name, request, Failure("%s-%s is not cached" % (arch, name)), quiet=True)
    with locked(cache):
        conf = apt_config(arch)
        try:
            wanted = versions(arch, asked, source, conf)
        except Failure as why:
            return _cached(cache, arch, name, request, why)
        for attempt in (0, 1):
            key = hashlib.md5((request + repr(wanted)).encode()).hexdigest()[:12]
            tree = os.path.join(cache, "%s-%s-%s" % (arch, name, key))
            if os.path.exists(os.path.join(tree, "stamp")):
                break
            say("fetching %s for %s from Debian (once; cached in %s): %s"
                % (name, arch, cache, ", ".join("%s %s" % w[1:] for w in wanted)))
            tmp = tempfile.mkdtemp(prefix="fetch.", dir=cache)
            try:
                os.mkdir(os.path.join(tmp, "debs"))
                if _download(arch, conf, wanted, source, os.path.join(tmp, "debs")):
                    _unpack(arch, wanted, control, files, os.path.join(tmp, "debs"), os.path.join(tmp, "tree"))
                    with open(os.path.join(tmp, "tree", "request"), "w") as f:
                        f.write(request)
                    with open(os.path.join(tmp, "tree", "stamp"), "w") as f:
                        f.write("".join("%s %s\n" % w[1:] for w in wanted))
                    shutil.rmtree(tree, ignore_errors=True)
                    os.rename(os.path.join(tmp, "tree"), tree)
                    break
            finally:
                shutil.rmtree(tmp, ignore_errors=True)
            if attempt:
                return _cached(cache, arch, name, request, Failure(
                    "cannot download %s (%s) from Debian's archive; try: %s apt --refresh %s apt-get %s"
                    % (", ".join("%s=%s" % w[1:] for w in wanted), arch, ME, arch,
                       "source --download-only " + wanted[0][1] if source else "download " + wanted[0][1])))
            # Stale lists name versions the archive no longer has.
            try:
                refresh(arch, conf)
                wanted = versions(arch, asked, source, conf)
            except Failure as why:
                return _cached(cache, arch, name, request, why)
        link = os.path.join(cache, "%s-%s" % (arch, name))
        if os.path.realpath(link) != tree:
            os.symlink(os.path.basename(tree), link + ".new")
            os.replace(link + ".new", link)
            for old in glob.glob(glob.escape(link) + "-" + "[0-9a-f]" * 12):
                if old != tree:
                    shutil.rmtree(old, ignore_errors=True)
            say("cached %s" % tree)
    return tree


# --- debootstrap ------------------------------------------------------------------------------

class _Relay(http.server.BaseHTTPRequestHandler):
    """GET /PATH: apt fetches ARCHIVE/PATH with this machine's sources and network settings."""

    def do_GET(self):
        path = urllib.parse.urlsplit(self.path).path.lstrip("/")
        fd, out = tempfile.mkstemp(dir=self.server.scratch)
        os.close(fd)
        try:
            ok = ".." not in path.split("/") and subprocess.run(
                ["/usr/lib/apt/apt-helper", "download-file", self.server.archive + path, out],
                env=apt_env(self.server.conf), capture_output=True).returncode == 0
            if not ok:
                self.send_error(404)
                return
            self.send_response(200)
            self.send_header("Content-Length", str(os.path.getsize(out)))
            self.end_headers()
            with open(out, "rb") as f:
                shutil.copyfileobj(f, self.wfile)
        finally:
            os.unlink(out)

    def log_message(self, *args):
        pass


@contextmanager
def mirror(arch, suite):
    """http://127.0.0.1:PORT/, the Debian archive of SUITE as this machine's apt reaches it, for
    tools that want a plain mirror (debootstrap), while the block runs."""
    with locked(cache_dir()):
        conf = apt_config(arch)
        for attempt in (0, 1):
            if attempt or not has_lists(conf):
                refresh(arch, conf)
            p = subprocess.run(["apt-get", "indextargets", "--format", "$(REPO_URI)",
                                "Origin: Debian", "Identifier: Packages", "Codename: " + suite],
                               env=apt_env(conf), capture_output=True, text=True)
            archive = p.stdout.split()
            if archive:
                break
        else:
            raise Failure("no Debian archive of %s in this machine's apt sources; try: apt-get indextargets --format '$(CODENAME) $(REPO_URI)'"
                          % suite)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Relay)
    server.archive, server.conf = archive[0], conf
    with tempfile.TemporaryDirectory(prefix="kit-relay.") as server.scratch:
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        try:
            yield "http://127.0.0.1:%d/" % server.server_address[1]
        finally:
            server.shutdown()
            server.server_close()


def bootstrap(arch, suite, target, options=()):
    """debootstrap --arch=ARCH [OPTIONS] SUITE TARGET, through mirror(); raises Failure."""
    with mirror(arch, suite) as url:
        env = dict(os.environ, no_proxy="127.0.0.1", NO_PROXY="127.0.0.1")
        if subprocess.run(["debootstrap", "--arch=" + arch] + list(options) + [suite, target, url],
                          env=env).returncode:
            raise Failure("debootstrap of %s (%s) failed (its log is above); try: %s apt --refresh %s apt-get indextargets"
                          % (suite, arch, ME, arch))


# --- the command line ------------------------------------------------------------------------

def _interrupted(signum, _frame):
    raise KeyboardInterrupt(signum)


def main(argv):
    import signal
    # SIGTERM and SIGHUP end a run as Ctrl-C does: its fetch folder goes, then the signal.
    signal.signal(signal.SIGTERM, _interrupted)
    signal.signal(signal.SIGHUP, _interrupted)
    parser = argparse.ArgumentParser(prog=ME, description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="what", required=True)
    for what, flags, names in (
            ("get", ("--control", "--source", "--cached"), ("arch", "set", "packages+")),
            ("versions", (), ("arch", "packages+")),
            ("apt", ("--refresh",), ("arch", "argv...")),
            ("bootstrap", (), ("arch", "suite", "target", "options...")),
            ("_versions", ("--source",), ("packages+",))):
        p = commands.add_parser(what)
        for flag in flags:
            p.add_argument(flag, action="store_true")
        for name in names:
            p.add_argument(name.rstrip("+."), nargs="+" if name[-1] == "+" else argparse.REMAINDER
                           if name[-1] == "." else None)
        if what == "get":
            p.add_argument("--files", action="append", default=[])
    args = parser.parse_args(argv)
    try:
        if args.what == "get":
            try:
                print(get(args.arch, args.set, args.packages, args.control, args.source, args.files, args.cached))
            except Failure:
                if args.cached:
                    return 1
                raise
        elif args.what == "_versions":
            _versions(args.packages, args.source)
        elif args.what == "bootstrap":
            bootstrap(args.arch, args.suite, args.target, args.options)
        else:
            with locked(cache_dir()):
                conf = apt_config(args.arch)
                if args.what == "versions":
                    print("\n".join("%s %s" % w[1:] for w in versions(args.arch, args.packages, conf=conf)))
                    return 0
                if args.refresh or not has_lists(conf):
                    refresh(args.arch, conf)
            if not args.argv:
                print(conf)
                return 0
            os.execvpe(args.argv[0], args.argv, apt_env(conf))
        return 0
    except Failure as why:
        say("error: %s" % why)
        return 1
    except KeyboardInterrupt as stop:
        signum = stop.args[0] if stop.args else signal.SIGINT
        signal.signal(signum, signal.SIG_DFL)
        os.kill(os.getpid(), signum)
        return 128 + signum


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
