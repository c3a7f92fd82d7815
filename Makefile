# Entry points for people: `make demo` shows the kit at work, `make check` runs every test.
# Both install the Debian packages they need when run as root.

HOST_PACKAGES := cmake make g++ libgtest-dev python3 iproute2
# The install, service file and manual page tests check with these.
CHECK_PACKAGES := systemd shellcheck man-db
# The Debian package, cross-built for the board.
DEB_PACKAGES := debhelper cmake crossbuild-essential-armhf

.PHONY: all deps build demo check check-host deb
all: build

deps:
	@scripts/need-packages $(HOST_PACKAGES)

build: deps
	cmake --preset default
	cmake --build --preset default -j$$(nproc)

demo: build
	scripts/demo.sh build/default

check-host: build
	@scripts/need-packages $(CHECK_PACKAGES)
	ctest --preset default -j$$(nproc)

check: check-host

# build/deb/railkit_<version>_armhf.deb
deb:
	@scripts/need-packages --arch armhf $(DEB_PACKAGES)
	scripts/build-deb.sh armhf
