# SPDX-License-Identifier: GPL-2.0-or-later
# Entry points for people: `make demo` shows the kit at work on a virtual board, `make check`
# runs every test.
# Both install the Debian packages they need when run as root.

# kit-monitor's live page: HTTP from libmicrohttpd, its JSON from jansson.
HOST_PACKAGES := cmake make g++ libgtest-dev python3 iproute2 pkg-config libmicrohttpd-dev \
	libjansson-dev
# The armhf cross build, its unit tests under user-mode emulation, and the test VM. Debian's parts
# for them come as files, each package unpacked in a folder of our own (scripts/debian_parts.py,
# through python3-apt; depmod indexes the VM kernel's modules): no armhf package is installed on
# this machine.
TARGET_PACKAGES := cmake make g++-arm-linux-gnueabihf qemu-user-static qemu-system-arm cpio gzip \
	xz-utils python3-apt kmod
# The board's libraries for the armhf build: GoogleTest and the static libfuse3 of a test helper.
ARMHF_SYSROOT := libfuse3-dev libgtest-dev
# The install, service file and manual page tests check with these; kit-monitor's captures are
# read with tshark and python3-can, its live screen in tmux, its page in headless Chromium
# (through chromedriver and Selenium), its waveforms with sigrok-cli. The set-up's own tests sign a
# local archive made by apt-ftparchive with gpg (python3-apt for the parts module).
CHECK_PACKAGES := systemd shellcheck man-db tshark python3-can tmux chromium chromium-driver \
	python3-selenium sigrok-cli gnupg apt-utils python3-apt
# The Debian package, cross-built for the board.
DEB_PACKAGES := debhelper cmake crossbuild-essential-armhf python3-apt
# The server machine's package, built for this machine.
LAN_DEB_PACKAGES := debhelper cmake g++ pkg-config libmicrohttpd-dev libjansson-dev
# That package installed in a chroot of a Debian root for this machine (debootstrap reaches
# Debian's archive through this machine's apt: scripts/debian_parts.py).
LAN_DEPLOY_PACKAGES := debootstrap debian-archive-keyring util-linux iproute2 python3-apt
# The package installed on a Debian armhf root file system and booted under systemd.
DEPLOY_PACKAGES := debootstrap debian-archive-keyring qemu-system-arm e2fsprogs kmod cpio gzip \
	python3 python3-apt

# libclang-rt-14-dev holds the fuzzer and sanitizer runtimes; clang-14 only recommends it.
FUZZ_PACKAGES := clang-14 libfuzzer-14-dev libclang-rt-14-dev
FUZZ_SECONDS ?= 60

.PHONY: all deps deps-armhf build build-armhf plugin board demo check check-host check-armhf \
	check-target check-asan check-fuzz check-demo check-deploy check-lan check-stops fuzz footprint soak bench \
	bench-target deb deb-lan check-deb-lan

all: build

deps:
	@scripts/need-packages $(HOST_PACKAGES)

deps-armhf:
	@scripts/need-packages $(TARGET_PACKAGES)
	@scripts/debian_parts.py get armhf sysroot $(ARMHF_SYSROOT) >/dev/null

build: deps
	cmake --preset default
	cmake --build --preset default -j$$(nproc)

build-armhf: deps-armhf
	cmake --preset armhf
	cmake --build --preset armhf -j$$(nproc)

# The qemu plugin that plays the virtual board's S88 bus, a host library built against qemu's
# plugin header (fetched once from Debian's qemu source package, board/qemu-plugin-header), and
# slcan-bus, which plays its CAN adapters.
plugin: deps deps-armhf
	board/qemu-plugin-header >/dev/null
	cmake --preset default
	cmake --build --preset default --target s88-bus-plugin slcan-bus

# The kit on a virtual board: the armhf VM with a LAN, this machine as its server (scripts/demo).
demo: build build-armhf plugin
	scripts/demo build/default build/armhf

# The virtual board left running for a server on this machine (README: "The virtual board").
board: build-armhf plugin
	scripts/board build/armhf

# The same in short, as a test: fails unless every kind of frame the board makes arrives decoded.
check-demo: build build-armhf plugin
	scripts/demo --check build/default build/armhf

# A session captured here by kit-monitor, replayed with canplayer on the virtual board, back
# through can-bridge unchanged; kit-send's and python-can's frames seen by candump there; a train
# run's S88 events through python-can's bus.recv() and can.logger.
check-lan: build build-armhf plugin
	@scripts/need-packages python3-can iproute2 tshark
	tests/target/lan/run build/default build/armhf

check-host: build
	@# tshark asks whether to install dumpcap setuid when it is installed; for a test machine, no.
	@dpkg-query -W -f='$${db:Status-Status}' wireshark-common 2>/dev/null | grep -qx installed || \
		echo 'wireshark-common wireshark-common/install-setuid boolean false' | debconf-set-selections 2>/dev/null || true
	@scripts/need-packages $(CHECK_PACKAGES)
	ctest --preset default -j$$(nproc)

# The unit tests again, as armhf binaries: 32-bit faults show up here, not on a user's board.
check-armhf: build-armhf
	ctest --preset armhf -j$$(nproc)

# The target test cases in a VM with Debian's armhf kernel (tests/target/README.md).
check-target: build-armhf plugin
	board/run -B build/armhf
	tests/target/selftest -B build/armhf

# Every runner of the virtual board (make board, the demo, the LAN and deploy checks) stopped by
# Ctrl-C, SIGTERM, SIGHUP and SIGKILL leaves nothing behind (after check-deploy: it uses the
# deploy check's cached root file system).
check-stops: build build-armhf plugin deb
	@scripts/need-packages $(DEPLOY_PACKAGES) python3-can tshark
	tests/target/stops build/armhf build/default

# The same unit and system tests again, built with AddressSanitizer and UBSan.
check-asan: deps
	cmake --preset asan
	cmake --build --preset asan -j$$(nproc)
	ctest --preset asan -j$$(nproc)

# Every fuzz target for a short fixed number of runs over its seeds.
check-fuzz: deps
	@scripts/need-packages $(FUZZ_PACKAGES)
	cmake --preset fuzz
	cmake --build --preset fuzz -j$$(nproc)
	ctest --preset fuzz

# Every fuzz target for FUZZ_SECONDS (make fuzz FUZZ_SECONDS=600); each keeps what it found.
fuzz: deps
	@scripts/need-packages $(FUZZ_PACKAGES)
	cmake --preset fuzz
	cmake --build --preset fuzz -j$$(nproc)
	KIT_FUZZ_SECONDS=$(FUZZ_SECONDS) ctest --preset fuzz --timeout $$(($(FUZZ_SECONDS) + 120))

check: check-host check-asan check-fuzz check-armhf check-target check-lan check-demo check-deploy \
	check-stops check-deb-lan

# Figures, not tests: stripped size of each armhf program and resident memory in the VM.
footprint: deps-armhf
	scripts/footprint

# Long runs in the target VM (over ten minutes), not part of check.
soak: build-armhf plugin
	scripts/soak

# Figures, not pass or fail: S88 scan cycle timing, GPIO access cost, and kit-monitor's CPU time
# per datagram while it captures (also with 20 browsers on its page), against a bare receive loop.
bench: build
	build/default/tests/bench/bench-scan
	build/default/tests/bench/bench-gpio
	build/default/tests/bench/bench-monitor

# Figures from the target VM: can-bridge's forwarding rate both ways against a minimal relay
# (about half an hour of emulation).
bench-target: build-armhf
	tests/target/bench/run -B build/armhf

# build/deb/railkit_<version>_armhf.deb
deb:
	@scripts/need-packages $(DEB_PACKAGES)
	scripts/build-deb.sh armhf

# build/deb/railkit-lan_<version>_<arch>.deb for the server machine: kit-monitor, kit-send, the
# python-can interface and the Wireshark dissector (scripts/build-deb.sh --lan).
deb-lan:
	@scripts/need-packages $(LAN_DEB_PACKAGES)
	scripts/build-deb.sh --lan

# That package installed with dpkg on a clean Debian 12 root for this machine, each piece run from
# there in a chroot (tests/deploy/lan; the root is built once and cached).
check-deb-lan: deb-lan
	@scripts/need-packages $(LAN_DEPLOY_PACKAGES)
	tests/deploy/lan

# That package installed with dpkg on Debian 12 armhf, its services checked under systemd in the
# VM on the board's serial-line CAN adapter (slcan-bus, built with the plugin), and installed over
# itself repacked as an older version (tests/deploy/run; the root file system is built once and
# cached).
check-deploy: deb plugin
	@scripts/need-packages $(DEPLOY_PACKAGES)
	tests/deploy/run
