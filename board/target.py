# SPDX-License-Identifier: GPL-2.0-or-later
"""The virtual board, in the steps every runner takes: get Debian's parts, assemble the
initramfs, boot it (board.launcher), tally what the cases said.

    with launcher.Run("target") as run:
        boot(run, Board(build="build/armhf", cases_dir="tests/target/cases", cases=["susi-cv-read"]))
        run.wait_vm()
    failed = report(board, run)

The initramfs holds busybox, can-utils, the C library, the kernel modules the cases need (in
load order, from the kernel's modules.dep), the kit's programs and helpers of the armhf build,
the kit as `cmake --install` lays it out, board/init as PID 1 and the cases. init runs each case
and prints one "KIT-RESULT PASS|FAIL|SKIP NAME SECONDS" line a case, then "KIT-DONE".
"""
import glob
import lzma
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass, field

import can_bus
import launcher

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TOP, "scripts"))
import debian_parts  # noqa: E402

# Debian's packages of the VM besides its kernel (of v4l-utils, ir-ctl alone, which needs only
# the C library).
PACKAGES = ["busybox-static", "can-utils", "libc6", "v4l-utils"]
# Modules the cases rely on; what they depend on is added, in load order. The board's CAN
# interface is the kernel's slcan on a virtio console (board/can_bus.py); its IR receiver
# rc-loopback with the NEC and RC-5 decoders.
MODULES = ["can", "can-raw", "can-dev", "vcan", "evdev", "fuse", "cuse", "virtio_mmio", "virtio_console", "slcan",
           "rc-core", "rc-loopback", "ir-nec-decoder", "ir-rc5-decoder"]
# And for a board with a LAN: its network card is on virtio-mmio (the virt board's PCIe window is
# out of reach of this 32-bit kernel).
NET_MODULES = ["virtio_mmio", "virtio_net"]
CAN_TOOLS = ["cansend", "candump", "cangen", "canplayer", "cansequence", "canbusload", "slcand"]
RAM_MIB = 256


@dataclass
class Board:
    build: str                      # the armhf build folder
    cases_dir: str
    cases: list
    work: str = ""                  # initramfs, console log, bus log; default BUILD/target
    net: list = None                # qemu user-network options (hostfwd=...) for a LAN, or None
    buses: list = field(default_factory=list)  # bus scripts for the plugin, besides the cases'
    kernel_args: str = ""
    qemu_args: list = field(default_factory=list)
    cpus: int = 2
    limit: int = None               # seconds; None: 90 + each case's own limit; 0: none
    plugin: str = ""
    echo: bool = True

    def __post_init__(self):
        self.work = self.work or os.path.join(self.build, "target")
        self.plugin = self.plugin or os.path.join(TOP, "build/default/board/s88-bus-plugin.so")


def case_names(cases_dir, names):
    """The cases to run: names given (a file name with or without .sh), or all in cases_dir."""
    if not names:
        names = sorted(os.path.basename(f)[:-3] for f in glob.glob(os.path.join(cases_dir, "*.sh")))
    picked = []
    for name in names:
        name = os.path.basename(name)
        name = name[:-3] if name.endswith(".sh") else name
        if not os.path.isfile(os.path.join(cases_dir, name + ".sh")):
            launcher.die("no case %s/%s.sh" % (cases_dir, name))
        picked.append(name)
    if not picked:
        launcher.die("no cases in %s" % cases_dir)
    return picked


def _header(board, name, key):
    with open(os.path.join(board.cases_dir, name + ".sh"), errors="replace") as f:
        return re.findall(r"^# *%s: *(.*)$" % key, f.read(), re.M)


# --- get the parts ----------------------------------------------------------------------------

def get_parts():
    """Debian's armhf parts of the VM, each package unpacked in a folder of its own: the kernel
    that linux-image-armmp names (with its modules.dep), busybox-static, can-utils, libc6; and a
    stamp of their versions (scripts/debian_parts.py)."""
    try:
        return debian_parts.get("armhf", "vm", ["linux-image-armmp^"] + PACKAGES)
    except debian_parts.Failure as why:
        launcher.die(str(why))


# --- assemble the initramfs -------------------------------------------------------------------

def module_order(moddir, names):
    """The module files (paths under moddir) that loading names needs, each after what it
    depends on, from the kernel's modules.dep; a name built into the kernel needs none."""
    deps, files = {}, {}
    with open(os.path.join(moddir, "modules.dep")) as f:
        for line in f:
            path, _, needs = line.partition(":")
            key = _module_key(path)
            files[key] = path
            deps[key] = [_module_key(n) for n in needs.split()]
    with open(os.path.join(moddir, "modules.builtin")) as f:
        builtin = {_module_key(line.strip()) for line in f}
    order = []

    def add(key):
        if key in order:
            return
        if key not in files:
            if key in builtin:
                return
            launcher.die("kernel module %s is neither a module nor built in" % key)
        for need in deps[key]:
            add(need)
        order.append(key)

    for name in names:
        add(name.replace("-", "_"))
    return [files[key] for key in order]


def _module_key(path):
    return re.sub(r"\.ko(\.[a-z]+)?$", "", os.path.basename(path)).replace("-", "_")


def stage_modules(moddir, names, stage):
    """Puts the modules that names need into stage/lib/modules, uncompressed, and their load
    order into stage/etc/kit-modules (board/init and tests/deploy/init read it)."""
    os.makedirs(os.path.join(stage, "lib/modules"), exist_ok=True)
    os.makedirs(os.path.join(stage, "etc"), exist_ok=True)
    order = []
    for path in module_order(moddir, names):
        name = os.path.basename(path)
        source = os.path.join(moddir, path)
        if name.endswith(".xz"):
            name = name[:-3]
            with lzma.open(source) as f, open(os.path.join(stage, "lib/modules", name), "wb") as out:
                shutil.copyfileobj(f, out)
        else:
            shutil.copy(source, os.path.join(stage, "lib/modules", name))
        order.append(name)
    with open(os.path.join(stage, "etc/kit-modules"), "w") as f:
        f.write("".join(name + "\n" for name in order))


def pack_initramfs(stage, out):
    """stage as a gzipped newc cpio archive, owned by root."""
    with open(out, "wb") as f:
        files = subprocess.run("find . | LC_ALL=C sort", shell=True, cwd=stage, check=True,
                               stdout=subprocess.PIPE).stdout
        cpio = subprocess.Popen(["cpio", "-o", "-H", "newc", "--quiet", "-R", "0:0"], cwd=stage,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        gzip = subprocess.Popen(["gzip", "-1"], stdin=cpio.stdout, stdout=f)
        cpio.stdout.close()
        cpio.communicate(files)
        if cpio.returncode or gzip.wait():
            launcher.die("packing the initramfs %s failed" % out)


def kernel_moddir(parts):
    return glob.glob(os.path.join(parts, "linux-image-armmp/lib/modules/*/"))[0]


def assemble_initramfs(board, parts):
    """work/initrd.gz for the board's cases."""
    stage = os.path.join(board.work, "root")
    shutil.rmtree(stage, ignore_errors=True)
    for folder in ("bin", "usr/bin", "lib", "kit/bin", "kit/cases"):
        os.makedirs(os.path.join(stage, folder), exist_ok=True)
    shutil.copy(os.path.join(parts, "busybox-static/bin/busybox"), os.path.join(stage, "bin"))
    for tool in CAN_TOOLS:
        shutil.copy(os.path.join(parts, "can-utils/usr/bin", tool), os.path.join(stage, "usr/bin"))
    # The remote's key presses as pulses.
    shutil.copy(os.path.join(parts, "v4l-utils/usr/bin/ir-ctl"), os.path.join(stage, "usr/bin"))
    shutil.copytree(os.path.join(parts, "libc6/lib"), os.path.join(stage, "lib"), symlinks=True,
                    dirs_exist_ok=True)
    stage_modules(kernel_moddir(parts), MODULES + (NET_MODULES if board.net is not None else []), stage)
    strip = shutil.which("arm-linux-gnueabihf-strip")
    with open(os.path.join(board.build, "target-files.txt")) as f:
        for path in filter(None, f.read().splitlines()):
            if not os.access(path, os.X_OK):
                launcher.die("%s is missing: build the armhf preset first" % path)
            shutil.copy(path, os.path.join(stage, "kit/bin"))
            if strip:
                subprocess.run([strip, os.path.join(stage, "kit/bin", os.path.basename(path))], check=True)
    # The kit as `cmake --install` lays it out (programs, units, options files), in the VM's own
    # root: the installed-tree case starts the programs from their installed paths.
    if subprocess.run(["cmake", "--install", board.build, "--strip"], env=dict(os.environ, DESTDIR=stage),
                      stdout=subprocess.DEVNULL).returncode:
        launcher.die("cmake --install %s failed" % board.build)
    shutil.copy(os.path.join(HERE, "lib.sh"), os.path.join(stage, "kit/lib.sh"))
    shutil.copy(os.path.join(HERE, "init"), os.path.join(stage, "init"))
    os.chmod(os.path.join(stage, "init"), 0o755)
    for name in board.cases:
        shutil.copy(os.path.join(board.cases_dir, name + ".sh"), os.path.join(stage, "kit/cases"))
    pack_initramfs(stage, os.path.join(board.work, "initrd.gz"))


# --- boot ---------------------------------------------------------------------------------------

def bus_scripts(board):
    """The bus scripts of the cases and of the board, each name once."""
    scripts, by_name = [], {}
    for script in [s for name in board.cases for s in _header(board, name, "kit-bus")] + board.buses:
        script = script.strip()
        if not script:
            continue
        if "," in script:
            launcher.die("a bus script has no commas: " + script)
        name = script.split()[0]
        if name in by_name:
            if by_name[name] != script:
                launcher.die("two bus scripts named " + name)
            continue
        by_name[name] = script
        scripts.append(script)
    return scripts


def time_limit(board):
    if board.limit is not None:
        return board.limit or None
    limit = 90
    for name in board.cases:
        own = _header(board, name, "kit-timeout")
        limit += int(re.match(r"\d*", own[0]).group() or 60) if own else 60
    return limit


def kernel_command_line(board):
    # Two CPUs, the second kept free of ordinary tasks (isolcpus): a case can put a peer there
    # while the programs under test keep CPU 0 and their own timing; benchmarks put their load
    # generators there. (nohz_full=1 as well stalls the reporter at its default microtiming.)
    words = ["console=ttyAMA0", "quiet", "panic=-1"] + (["isolcpus=1"] if board.cpus > 1 else [])
    # The kernel hands NAME=VALUE words it does not know to init's environment, and so to the cases.
    for name, value in sorted(os.environ.items()):
        if re.match(r"KIT_(SOAK|BENCH)_[A-Z0-9_]*$|KIT_CASE_TIMEOUT$", name):
            if not re.fullmatch(r"[A-Za-z0-9_.:/+-]+", value):
                launcher.die("%s: only letters, digits and _.:/+- reach the VM" % name)
            words.append("%s=%s" % (name, value))
    return " ".join(words + ([board.kernel_args] if board.kernel_args else []))


def boot(run, board, parts=None):
    """Assembles the board's initramfs and starts its qemu in run; the console goes to
    work/console.log (and to standard output with board.echo)."""
    if not shutil.which("qemu-system-arm"):
        launcher.die("qemu-system-arm is missing (make check-target installs it)")
    os.makedirs(board.work, exist_ok=True)
    for old in glob.glob(os.path.join(board.work, "s88-bus.log")) + glob.glob(os.path.join(board.work, "s88-bus-*.vcd")) \
            + glob.glob(os.path.join(board.work, "can-bus.log")):
        os.remove(old)  # an earlier run's: whoever reads them reads this one's, or none
    parts = parts or get_parts()
    buses = bus_scripts(board)
    bus_args = []
    if buses and not os.path.isfile(board.plugin):
        launcher.say("no S88 bus plugin at %s ('make plugin' builds it): every case that uses the bus will fail"
                     % board.plugin)
    elif buses:
        ram = run.ram_file(RAM_MIB)
        option = "%s,ram=%s,log=%s" % (board.plugin, ram, os.path.join(board.work, "s88-bus.log"))
        option += "".join(",bus=" + script for script in buses)
        bus_args = ["-object", "memory-backend-file,id=ram,size=%dM,mem-path=%s,share=on" % (RAM_MIB, ram),
                    "-machine", "memory-backend=ram", "-plugin", option]
    launcher.say("building the initramfs with %d case(s)" % len(board.cases))
    assemble_initramfs(board, parts)
    if buses and bus_args:
        launcher.say("the S88 bus plugin plays %d bus script(s): %s" % (len(buses), " ".join(s.split()[0] for s in buses)))
    can_args = can_bus.start(run, board.work)
    nic = ["-nic", "none"]
    if board.net is not None:
        nic = ["-netdev", ",".join(["user", "id=lan"] + board.net), "-device", "virtio-net-device,netdev=lan"]
    limit = time_limit(board)
    with open(os.path.join(parts, "stamp")) as f:
        kernel = f.readline().split()[0]
    launcher.say("booting %s in qemu-system-arm, %d CPU(s) (limit %s; console in %s)"
                 % (kernel, board.cpus, "%ds" % limit if limit else "none", os.path.join(board.work, "console.log")))
    # Plain emulation on purpose: KVM hangs at boot on these machines.
    run.qemu(["-M", "virt", "-m", str(RAM_MIB), "-smp", str(board.cpus), "-nographic", "-no-reboot", *nic,
              *bus_args, *can_args, *board.qemu_args, "-kernel", glob.glob(os.path.join(parts, "linux-image-armmp/boot/vmlinuz-*"))[0],
              "-initrd", os.path.join(board.work, "initrd.gz"), "-append", kernel_command_line(board)],
             log=os.path.join(board.work, "console.log"), echo=board.echo, limit=limit)


# --- tally ------------------------------------------------------------------------------------

def results(lines, tag, names):
    """Verdicts of a VM's checks from its console lines: "TAG-RESULT PASS|FAIL|SKIP NAME ..."
    each, a failed one's output indented below it. Returns (verdicts, outputs): name -> "PASS",
    "FAIL", "SKIP" or None (no result); name -> the lines of that result and below."""
    verdicts, outputs, current = dict.fromkeys(names), {}, None
    for line in lines:
        m = re.match(r"%s-RESULT (PASS|FAIL|SKIP) (\S+)" % tag, line)
        if m:
            current = m.group(2)
            verdicts[current] = m.group(1)
            outputs[current] = [line]
        elif current and line.startswith("    "):
            outputs[current].append(line)
        else:
            current = None
    return verdicts, outputs


def summary(passed, failed, skipped):
    return "%d passed, %d failed%s" % (passed, failed, ", %d skipped" % skipped if skipped else "")


def report(board, run):
    """Prints what the VM's console says of the cases, and of the kernel and the bus; the
    summary last. Returns the number of failures."""
    with open(os.path.join(board.work, "console.log"), errors="replace") as f:
        console = f.read().splitlines()
    verdicts, outputs = results(console, "KIT", board.cases)
    passed = sum(v == "PASS" for v in verdicts.values())
    skipped = sum(v == "SKIP" for v in verdicts.values())
    failed = sum(v == "FAIL" for v in verdicts.values())
    say = launcher.say
    say(None)
    if run.timed_out:
        say("the VM did not finish within %ds" % time_limit(board))
    elif run.vm_status:
        say("qemu ended with status %s" % run.vm_status)
    setup = [line[len("KIT-SETUP-ERROR "):] for line in console if line.startswith("KIT-SETUP-ERROR")]
    if setup:
        say("the VM's set-up failed:")
        for line in setup:
            say("  " + line)
        failed += 1
    missing = [name for name in board.cases if verdicts[name] is None]
    for name in missing:
        say("FAIL %s (no result: the VM stopped before it finished)" % name)
    failed += len(missing)
    if "KIT-DONE" not in console:
        say("the VM stopped before the end of its run")
        failed += 0 if missing else 1
    # A case that upsets the kernel fails the run even if the case itself passed.
    if any(re.match(r"\[ *[0-9.]+\] .*(Kernel panic|Internal error: Oops|BUG: |WARNING: CPU)", line) for line in console):
        say("the kernel reported a fault (see %s)" % os.path.join(board.work, "console.log"))
        failed += 1
    for name in board.cases:
        if verdicts[name] == "FAIL":
            say(outputs[name][0][len("KIT-RESULT "):])
    failed += bus_report(board)
    failed += can_bus.check(os.path.join(board.work, "can-bus.log"))
    launcher.say(summary(passed, failed, skipped), raw=True)
    return failed


def bus_report(board):
    """The bus plugin's record: every whole scan cycle is one load, a RESET and a CLOCK pulse a
    bit; and the same buses as a logic analyzer's software reads the plugin's waveforms."""
    log = os.path.join(board.work, "s88-bus.log")
    if not os.path.exists(log):
        return 0
    failed, bus = 0, None
    with open(log, errors="replace") as f:
        lines = f.read().splitlines()
    broken = []
    for line in lines:
        if line.startswith("bus "):
            bus = line.split()[1]
        elif line.startswith("cycle "):
            broken.append("  %s: %s" % (bus, line))
        elif line.startswith("not-logged "):
            launcher.say("the log of bus %s is full, %s" % (bus, line))
    if broken:
        launcher.say("FAIL s88 bus: scan cycles that were not whole (see %s):" % log)
        for line in broken[:10]:
            launcher.say(line)
        failed += 1
    if shutil.which("sigrok-cli") and subprocess.run([os.path.join(HERE, "check-waveforms"), board.work]).returncode:
        failed += 1
    return failed
