# SPDX-License-Identifier: GPL-2.0-or-later
"""The one way the kit's runners start the virtual board's qemu and the processes beside it, and
stop them however a run ends.

    import launcher

    def main():
        with launcher.Run("target") as run:
            port = run.udp_port()                    # a free port of this machine, held for the run
            run.start(["kit-monitor", "-p", str(port)], stdout=subprocess.PIPE)  # a helper
            run.qemu(["-M", "virt", ...], log="console.log", echo=True, limit=600)
            for name, line in run.lines():           # the console ("board"), line by line
                ...
        return 0 if run.vm_status == 0 else 1

    launcher.main(main)

What a run guarantees:
- Every process it starts is in one process group of the run's own, so that a terminal's Ctrl-C
  reaches the runner alone and the runner stops them in order; each gets the parent-death signal
  (a runner killed outright takes them with it), starts with default signal dispositions and an
  empty signal mask whatever the runner inherited (nohup, a background job), and inherits no
  descriptor of the runner's but its standard streams and what it is handed (pass_fds).
- Ctrl-C, SIGTERM and SIGHUP are handled once: the runner says so, stops the VM (SIGTERM, SIGKILL
  10 s later) and then its helpers, removes its scratch folder and RAM file, lets go of its ports
  and locks, and ends by the same signal. A second signal meanwhile is ignored. A runner started
  with SIGINT or SIGHUP ignored (a background job, nohup) keeps them ignored.
- The console is teed to a log file, carriage returns dropped, and to standard output when asked;
  a reader of standard output that goes away ends the echo, not the run.
"""
import ctypes
import fcntl
import glob
import os
import re
import selectors
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

# A port the run holds is locked by an abstract Unix socket of this name: the kernel lets go
# of it when the holder ends, however it ends, and no file is left behind.
PORT_LOCK = "railkit-%s-port-%d"
STOP_GRACE = 10  # seconds between SIGTERM and SIGKILL
_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


class Stopped(BaseException):
    """Raised in the main thread by Ctrl-C, SIGTERM or SIGHUP; unwinds every Run."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


_prefix = "run:"


def say(text, stream=None, raw=False):
    """One line on standard output (or stream), after the runner's prefix unless raw, for a
    reader that may have gone away; text None for an empty line."""
    stream = stream or sys.stdout
    try:
        stream.write("\n" if text is None else (text if raw else "%s %s" % (_prefix, text)) + "\n")
        stream.flush()
    except (BrokenPipeError, OSError):
        _quiet(stream)


def die(text):
    """The runner's one-line error on standard error, status 1."""
    say("error: " + text, sys.stderr)
    sys.exit(1)


def _quiet(stream):
    # The reader is gone: later writes go nowhere instead of failing again at exit.
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, stream.fileno())
        os.close(null)
    except (OSError, ValueError):
        pass


def _on_signal(signum, _frame):
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, signal.SIG_IGN)
    # Said before the stop, which may take seconds: whoever reads knows at once.
    say("stopped by %s" % signal.Signals(signum).name)
    raise Stopped(signum)


def main(body, prefix=None):
    """Runs body() as the runner's main routine and exits with its status; stopped by a signal,
    every Run in it has cleaned up when this ends the process by the same signal. prefix leads
    the runner's own lines ("target:")."""
    global _prefix
    _prefix = prefix or os.path.basename(sys.argv[0]) + ":"
    for s in (signal.SIGINT, signal.SIGHUP):
        if signal.getsignal(s) != signal.SIG_IGN:
            signal.signal(s, _on_signal)
    signal.signal(signal.SIGTERM, _on_signal)
    try:
        status = body()
    except Stopped as stop:
        try:
            sys.stdout.flush()
        except (BrokenPipeError, OSError):
            _quiet(sys.stdout)
        signal.signal(stop.signum, signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, [stop.signum])
        os.kill(os.getpid(), stop.signum)
        os._exit(128 + stop.signum)
    try:
        sys.stdout.flush()
    except (BrokenPipeError, OSError):
        _quiet(sys.stdout)
    sys.exit(status or 0)


def _child_setup(parent):
    """In a child between fork and exec: die with the runner, start with default signals."""
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    if os.getppid() != parent:
        os._exit(1)  # the runner ended before the signal was set up
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGPIPE,
              signal.SIGXFSZ, signal.SIGTSTP, signal.SIGTTIN, signal.SIGTTOU, signal.SIGUSR1,
              signal.SIGUSR2, signal.SIGALRM, signal.SIGCHLD):
        signal.signal(s, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_SETMASK, [])


def port_free(port, kind=socket.SOCK_DGRAM, address="127.0.0.1"):
    with socket.socket(socket.AF_INET, kind) as s:
        try:
            s.bind((address, port))
            return True
        except OSError:
            return False


class locked:
    """with locked(path): holds the lock file path (flock) for the block; no child inherits it."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)

    def __enter__(self):
        fcntl.flock(self.fd, fcntl.LOCK_EX)
        return self

    def __exit__(self, *exc):
        os.close(self.fd)
        return False


def scratch_of_killed_runs():
    """The scratch folders (railkit-NAME.PID.XXXX) whose runner is gone: a run killed outright
    (SIGKILL) had no time to remove its own."""
    found = []
    for path in glob.glob(os.path.join(tempfile.gettempdir(), "railkit-*.*.*")):
        m = re.fullmatch(r"railkit-[a-z0-9]+\.([0-9]+)\.[^.]+", os.path.basename(path))
        if m and os.path.isdir(path) and not os.path.exists("/proc/" + m.group(1)):
            found.append(path)
    return found


def _remove_scratch_of_killed_runs():
    for path in scratch_of_killed_runs():
        shutil.rmtree(path, ignore_errors=True)


def hmp(path, *commands, timeout=30):
    """Commands to a VM's human monitor on the Unix socket path, each answered before the next."""
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(timeout)
        s.connect(path)
        answers = []
        for command in ("",) + commands:
            if command:
                s.sendall(command.encode() + b"\n")
            seen = b""
            while not seen.endswith(b"(qemu) "):
                chunk = s.recv(4096)
                if not chunk:
                    raise OSError("the monitor closed")
                seen += chunk
            answers.append(seen.decode(errors="replace"))
        return answers[1:]


class Run:
    """One run of the VM and its helpers: owns them, its scratch folder, RAM file, ports and
    locks, and gives all of them up when the with-block ends, however it ends."""

    def __init__(self, name="run"):
        self.name = name
        self.scratch = None
        self.children = []  # (Popen, what), in the order started
        self.vm = None
        self.vm_status = None
        self.timed_out = False
        self._group = None
        self._fds = []
        self._holds = []
        self._log = None  # the running VM's console log
        self._echo = False
        self._deadline = None

    def __enter__(self):
        # A standard descriptor left closed (nohup cmd 0<&-) would be the next file opened, and a
        # child's stdin or stdout would then land on it: the RAM file given as /dev/fd/0 was
        # qemu's /dev/null.
        for fd in (0, 1, 2):
            try:
                os.fstat(fd)
            except OSError:
                os.set_inheritable(os.open(os.devnull, os.O_RDWR), True)
        _remove_scratch_of_killed_runs()
        self.scratch = tempfile.mkdtemp(prefix="railkit-%s.%d." % (self.name, os.getpid()))
        return self

    def __exit__(self, *exc):
        self.stop()
        for fd in self._fds:
            os.close(fd)
        for hold in self._holds:
            hold.close()
        self._fds, self._holds = [], []
        if self._log:
            self._log.close()
        shutil.rmtree(self.scratch, ignore_errors=True)
        return False

    # --- what the run holds ---------------------------------------------------------------

    def udp_port(self, port=0):
        """A UDP port of 127.0.0.1 for the run, held until it ends: port, when given and free,
        else one the system says is free. None when the given port is taken."""
        return self._port(socket.SOCK_DGRAM, port)

    def tcp_port(self, port=0):
        """The same for a TCP port (a page that a program of the run serves)."""
        return self._port(socket.SOCK_STREAM, port)

    def _port(self, kind, port):
        for _ in range(100):
            candidate = port
            if not candidate:
                with socket.socket(socket.AF_INET, kind) as s:
                    s.bind(("127.0.0.1", 0))
                    candidate = s.getsockname()[1]
            hold = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            try:
                hold.bind("\0" + PORT_LOCK % ("udp" if kind == socket.SOCK_DGRAM else "tcp", candidate))
            except OSError:
                hold.close()
                if port:
                    return None
                continue
            if port_free(candidate, kind):
                self._holds.append(hold)
                return candidate
            hold.close()
            if port:
                return None
        raise OSError("no free port")

    def ram_file(self, mib=256):
        """A file in /dev/shm for the guest's RAM, unlinked at once: the path by which qemu (and
        the bus plugin) open it, /dev/fd/N. It is gone with the last process that has it open."""
        st = os.statvfs("/dev/shm")
        free = st.f_bavail * st.f_frsize // (1024 * 1024)
        if free < mib:
            die("/dev/shm has %d MiB free, the VM's RAM needs %d MiB: enlarge it (mount -o "
                "remount,size=512m /dev/shm; for a container, docker run --shm-size=512m)" % (free, mib))
        fd, path = tempfile.mkstemp(prefix="railkit-ram.", dir="/dev/shm")
        os.unlink(path)
        os.ftruncate(fd, mib * 1024 * 1024)
        os.set_inheritable(fd, True)
        self._fds.append(fd)
        return "/dev/fd/%d" % fd

    def monitor(self):
        """qemu options for a human monitor on a Unix socket of the run, and its path."""
        path = os.path.join(self.scratch, "monitor.sock")
        return ["-monitor", "unix:%s,server=on,wait=off" % path], path

    # --- processes ------------------------------------------------------------------------

    def start(self, command, what=None, pass_fds=(), stdin=subprocess.DEVNULL, **options):
        """Starts a helper process of the run (Popen's options)."""
        parent = os.getpid()
        group = self._group if self._group and self._group_alive() else 0
        child = subprocess.Popen(command, stdin=stdin, close_fds=True, pass_fds=tuple(pass_fds),
                                 process_group=group, preexec_fn=lambda: _child_setup(parent),
                                 **options)
        if not group:
            self._group = child.pid
        self.children.append((child, what or os.path.basename(command[0])))
        return child

    def _group_alive(self):
        try:
            os.killpg(self._group, 0)
            return True
        except OSError:
            return False

    def qemu(self, args, log, echo=False, limit=None):
        """Starts qemu-system-arm with args, its console (standard output and error) teed to the
        file log and, with echo, to standard output; limit: seconds before it is stopped. One VM
        at a time: an earlier one of the run must have ended."""
        assert not self.vm or self.vm.poll() is not None, "one VM at a time"
        if self._log:
            self._log.close()
        self._log, self._echo = open(log, "wb"), echo
        self._deadline = time.monotonic() + limit if limit else None
        self.vm_status, self.timed_out = None, False
        self.vm = self.start(["qemu-system-arm", *args], "qemu", pass_fds=self._fds_for_qemu(args),
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        return self.vm

    def _fds_for_qemu(self, args):
        return [fd for fd in self._fds if any("/dev/fd/%d" % fd in a for a in args)]

    def lines(self, others=None):
        """Yields (name, line) as lines come: "board" for the VM's console (teed as qemu() says),
        and each name of others (name -> a pipe's file object); (name, None) once one has ended.
        Ends when all have ended; the VM is stopped when its time limit passes."""
        sources = dict(others or {})
        if self.vm:
            sources["board"] = self.vm.stdout
        sel = selectors.DefaultSelector()
        buffers = {}
        for name, pipe in sources.items():
            os.set_blocking(pipe.fileno(), False)
            sel.register(pipe, selectors.EVENT_READ, name)
            buffers[name] = b""
        while sel.get_map():
            timeout = None
            if self.vm and self.vm.poll() is None and self._deadline and not self.timed_out:
                timeout = max(0.0, self._deadline - time.monotonic())
            events = sel.select(timeout)
            if not events and timeout is not None:
                self.timed_out = True
                self._stop(self.vm)
                continue
            for key, _ in events:
                name = key.data
                chunk = os.read(key.fileobj.fileno(), 65536)
                if name == "board":
                    self._tee(chunk.replace(b"\r", b""))
                if not chunk:
                    sel.unregister(key.fileobj)
                    if buffers[name]:
                        yield name, buffers[name].decode(errors="replace")
                    yield name, None
                    continue
                *done, buffers[name] = (buffers[name] + chunk.replace(b"\r", b"")).split(b"\n")
                for line in done:
                    yield name, line.decode(errors="replace")
        if self.vm:
            self.vm_status = self.vm.wait()

    def _tee(self, chunk):
        self._log.write(chunk)
        self._log.flush()
        if self._echo and chunk:
            try:
                sys.stdout.buffer.write(chunk)
                sys.stdout.buffer.flush()
            except (BrokenPipeError, OSError):
                _quiet(sys.stdout)
                self._echo = False

    def wait_vm(self):
        """Reads the console to its end (teed) and returns qemu's exit status."""
        for _ in self.lines():
            pass
        return self.vm_status

    def _stop(self, child):
        if child.poll() is not None:
            return
        child.send_signal(signal.SIGTERM)
        try:
            child.wait(STOP_GRACE)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()

    def stop(self):
        """Stops the VM first (the helpers may serve it to the end), then each helper, then what
        is left of the run's process group."""
        if self.vm and self.vm.poll() is None:
            self._stop(self.vm)
            try:  # what the console still held, into the log
                os.set_blocking(self.vm.stdout.fileno(), True)
                self._tee(self.vm.stdout.read().replace(b"\r", b""))
            except (OSError, ValueError):
                pass
            self.vm_status = self.vm.returncode
        for child, _ in reversed(self.children):
            self._stop(child)
        if self._group and self._group_alive():
            try:
                os.killpg(self._group, signal.SIGKILL)
            except OSError:
                pass
